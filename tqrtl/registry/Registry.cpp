// Registry: items, keys and iterators.
#include "tqrtl/registry/Registry.h"

#include "tqrtl/registry/RegistryValue.h"

namespace Registry {

// ---------------------------------------------------------------- Item

Item::Item(Key* parent, const char* name)
    : m_item_name(name != nullptr ? name : ""), m_parent(parent), m_changed(0) {}

Item::Item(const Item& other)
    : m_item_name(other.m_item_name), m_parent(other.m_parent), m_changed(0) {}

Item::~Item() = default;

Item& Item::operator=(const Item& other) {
  Assign(other);
  return *this;
}

void Item::Assign(const Item& other) {
  m_item_name = other.m_item_name;
  m_parent = other.m_parent;
  m_changed = other.m_changed;
}

void Item::MarkChanged() {
  for (Item* item = this; item != nullptr; item = item->m_parent) item->m_changed = 1;
}

RootKey* Item::Root() { return m_parent != nullptr ? m_parent->Root() : nullptr; }

RootKey* Item::Root() const { return const_cast<Item*>(this)->Root(); }

void Item::Delete() const {}

TQString Item::Path() const {
  if (m_parent == nullptr) return m_item_name;
  const TQString above = m_parent->Path();
  if (above.IsEmpty()) return m_item_name;
  return above + "\\" + m_item_name;
}

// ---------------------------------------------------------------- Key

Key::Key(Key* parent, const char* name, HKEY handle) : Item(parent, name), m_handle(handle) {}

Key::Key(const Key& other) : Item(other), m_handle(other.m_handle) {}

HKEY Key::Open(const char* path) {
  Key* key = this;
  TQString rest(path != nullptr ? path : "");
  // An empty path names the key itself, reached through its parent; at the
  // root there is no parent left and the root itself is opened.
  while (rest.IsEmpty() && key->m_parent != nullptr) {
    rest = key->m_item_name;
    key = key->m_parent;
  }
  return WithOpenKey(*key, [&rest](HKEY handle) { return RegAPI::OpenKey(handle, rest); });
}

void Key::GetInfo(RegAPI::KeyInfo* info) const {
  WithOpenKey(*const_cast<Key*>(this), [info](HKEY handle) { RegAPI::GetKeyInfo(handle, info); });
}

// ---------------------------------------------------------------- RootKey

RootKey::RootKey(HKEY handle) : Key(nullptr, "", handle) {}

RootKey::RootKey(const RootKey& other) : Key(other) {}

RootKey::~RootKey() = default;

// ---------------------------------------------------------------- Subkey

Subkey::Subkey(Key* parent, const char* name) : Key(parent, name, nullptr), m_open_count(0) {}

Subkey::Subkey(const Subkey& other) : Key(other), m_open_count(0) { m_handle = nullptr; }

Subkey::~Subkey() {
  if (m_handle != nullptr) RegCloseKey(m_handle);
}

HKEY Subkey::Open() {
  if (m_handle == nullptr) {
    if (m_parent == nullptr) throw RegAPI::ErrFailed;
    m_handle = WithOpenKey(*m_parent,
                           [this](HKEY parent) { return RegAPI::OpenKey(parent, m_item_name); });
  }
  ++m_open_count;
  return m_handle;
}

void Subkey::Close() {
  if (m_open_count <= 0) return;  // an unmatched Close() changes nothing
  if (--m_open_count == 0 && m_handle != nullptr) RegAPI::CloseKey(m_handle);
}

int Subkey::Create() {
  if (Open() == nullptr) return 0;
  Close();
  return 1;
}

void Subkey::Delete() const {
  if (m_parent == nullptr) throw RegAPI::ErrFailed;
  // Split at the last backslash, the registry's only level separator (a
  // slash is an ordinary character in a key name on every system).
  const int last = m_item_name.ReverseFind('\\');
  const TQString directory = last < 0 ? TQString() : m_item_name.Left(last);
  const TQString leaf = last < 0 ? m_item_name : m_item_name.Mid(last + 1);
  HKEY handle = m_parent->Open(directory);
  try {
    RegAPI::DeleteKey(handle, leaf);
    RegAPI::CloseKey(handle);
  } catch (...) {
    if (handle != nullptr) RegCloseKey(handle);
    throw;
  }
}

// ---------------------------------------------------------------- Iterators

Iterator::Iterator(Key& key) : m_key(&key), m_handle(nullptr), m_count(0), m_index(0) {
  m_handle = key.Open();
}

Iterator::Iterator(const Iterator& other)
    : m_key(other.m_key), m_handle(other.m_handle), m_count(other.m_count), m_index(other.m_index) {
  m_key->Open();
}

Iterator::~Iterator() {
  try {
    m_key->Close();
  } catch (unsigned int) {
    // A handle that cannot be closed stays with its key; nothing to undo.
  }
}

SubkeyIterator::SubkeyIterator(Key& key) : Iterator(key) {
  RegAPI::KeyInfo info;
  RegAPI::GetKeyInfo(m_handle, &info);
  m_count = info.subkeyCount;
}

SubkeyIterator::~SubkeyIterator() = default;

Subkey SubkeyIterator::Next() {
  Subkey next(m_key, RegAPI::KeyName(m_handle, m_index));
  ++m_index;
  return next;
}

ValueIterator::ValueIterator(Key& key) : Iterator(key) {
  RegAPI::KeyInfo info;
  RegAPI::GetKeyInfo(m_handle, &info);
  m_count = info.valueCount;
}

ValueIterator::~ValueIterator() = default;

Value* ValueIterator::Next() {
  const TQString name = RegAPI::ValueName(m_handle, m_index);
  ++m_index;
  return Value::Create(m_key, name);
}

}  // namespace Registry
