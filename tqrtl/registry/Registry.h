// Registry.h: the registry as a tree of small objects, one per key or value.
//
// Settings classes declare their keys and values as members, so a settings
// tree mirrors its registry keys. An idle object holds only a name and a
// pointer to the key it lives in; a Win32 handle is opened for the length of
// one operation and closed again, so a large tree costs no registry
// resources while idle.
//
//   Item                 name, parent key, changed flag
//     Key                + handle (NULL while closed)
//       RootKey          a predefined hive key (HKEY_CURRENT_USER, ...)
//       Subkey           + open count; opens through its parent
//     Value              (RegistryValue.h)
//   Iterator             enumerates a key's subkeys or values by index
//     SubkeyIterator
//     ValueIterator
//
// Names may hold several levels separated by backslashes. Every registry
// access goes through RegAPI and fails with its `unsigned int` codes (3 for
// a failed registry call, see RegAPI.h); an operation that opened a key
// closes it again before the exception leaves.
//
// Choices worth knowing:
//  - A copy of a Subkey never takes the source's handle: it starts closed
//    and opens its own on its first Open(). (Sharing the handle would close
//    it twice.)
//  - A copy of an iterator opens the key once more, so that each iterator's
//    destructor balances an open of its own.
//  - Key::Open("") on a key whose chain of empty names reaches the root key
//    opens the root itself (a new handle to it).
//  - ValueIterator::Next() moves past an entry once its name is read, even
//    when building the value object then fails, so a caller can skip values
//    of a type the library does not handle.
//
// Thread-safety: none. A key object and everything below it belong to one
// thread at a time.
#ifndef TQRTL_REGISTRY_REGISTRY_H_
#define TQRTL_REGISTRY_REGISTRY_H_

#include <type_traits>

#include "tqrtl/platform/win32.h"
#include "tqrtl/registry/RegAPI.h"
#include "tqrtl/strings/TQString.h"

namespace Registry {

class Key;
class RootKey;
class Value;

class TQRTL_API Item {
 public:
  virtual ~Item();

  // Copies name, parent and the changed flag.
  Item& operator=(const Item& other);

  Key* Parent() { return m_parent; }
  const Key* Parent() const { return m_parent; }
  const char* Name() const { return m_item_name; }

  // IsChanged: 1 once this item or anything below it was written through
  // the library. Nothing sets it back.
  int IsChanged() const { return m_changed; }
  // MarkChanged: sets the flag here and on every key above, up to the root.
  void MarkChanged();

  // Root: the root key at the top of the parent chain; NULL for an item that
  // hangs from no root key.
  virtual RootKey* Root();
  RootKey* Root() const;

  // Delete: removes the item from the registry (keys with their subtree).
  // Nothing at this level.
  virtual void Delete() const;

  // Path: the item's path from its root key, levels joined with "\"; a key
  // right below a root key has its own name as its path.
  TQString Path() const;

 protected:
  explicit Item(Key* parent = nullptr, const char* name = "");
  // Takes name and parent; the copy starts unchanged.
  Item(const Item& other);
  void Assign(const Item& other);

  TQString m_item_name;
  Key* m_parent;
  int m_changed;
};

class TQRTL_API Key : public Item {
 public:
  Key& operator=(const Key&) = delete;

  // Open: the key's handle, opening it if needed; every Open() is matched by
  // exactly one Close(). Opening creates a missing key.
  virtual HKEY Open() = 0;
  virtual void Close() = 0;

  int IsOpen() const { return m_handle != nullptr ? 1 : 0; }
  operator HKEY() const { return m_handle; }

  // Open(path): a new handle to the key `path` below this one, which the
  // caller closes with RegAPI::CloseKey. An empty path means this key
  // itself, opened through its parent by its own name (a key with an empty
  // name passes the request up; at the root key, the root itself).
  HKEY Open(const char* path);

  // GetInfo: the key's counts (RegAPI::GetKeyInfo) between an Open() and a
  // Close().
  void GetInfo(RegAPI::KeyInfo* info) const;

 protected:
  Key(Key* parent, const char* name, HKEY handle);
  // Takes name, parent and the handle value; the copy starts unchanged.
  Key(const Key& other);

  HKEY m_handle;
};

// WithOpenKey: `call(handle)` between key.Open() and its Close(), and its
// result. The key is closed again also when the call throws; what the call
// or the Close() threw leaves WithOpenKey.
template <typename Call>
auto WithOpenKey(Key& key, Call call) {
  using Result = decltype(call(HKEY{}));
  const HKEY handle = key.Open();
  if constexpr (std::is_void_v<Result>) {
    try {
      call(handle);
    } catch (...) {
      key.Close();
      throw;
    }
    key.Close();
  } else {
    Result result{};
    try {
      result = call(handle);
    } catch (...) {
      key.Close();
      throw;
    }
    key.Close();
    return result;
  }
}

// RootKey: a predefined hive key. Its name is "", it has no parent, Open()
// costs nothing and Close() never closes it.
class TQRTL_API RootKey : public Key {
 public:
  explicit RootKey(HKEY handle);
  RootKey(const RootKey& other);
  ~RootKey() override;

  using Item::Root;
  RootKey* Root() override { return this; }
  using Key::Open;
  HKEY Open() override { return m_handle; }
  void Close() override {}
};

// Subkey: a key below another key, opened only for the length of an
// operation. Open() opens it through its parent (which is held open only
// while the child is being opened) and counts; Close() closes the handle
// when the count returns to 0.
class TQRTL_API Subkey : public Key {
 public:
  // Starts closed. Throws nothing; the registry is not touched.
  Subkey(Key* parent, const char* name);
  // Takes name and parent, but no handle: the copy starts closed.
  Subkey(const Subkey& other);
  // Closes the handle if it is still open.
  ~Subkey() override;

  using Key::Open;
  HKEY Open() override;
  void Close() override;

  // Create: makes sure the key exists; 1 when it does, leaving it closed.
  int Create();

  // Delete: removes the key and its whole subtree from the registry; a key
  // that does not exist is no failure. The object stays usable, and a later
  // Open() makes the key again.
  void Delete() const override;

  // OpenCount: Open() calls not yet matched by Close().
  LONG OpenCount() const { return m_open_count; }

 private:
  LONG m_open_count;
};

// Iterator: holds its key open from construction to destruction and walks
// the entries counted at construction (Rewind does not count again). Next()
// past the end, or past entries someone else removed meanwhile, throws 3.
class TQRTL_API Iterator {
 public:
  Iterator& operator=(const Iterator&) = delete;
  virtual ~Iterator();

  int More() const { return m_index < m_count ? 1 : 0; }
  void Rewind() { m_index = 0; }

 protected:
  explicit Iterator(Key& key);
  // Opens the key again, so each iterator closes it once.
  Iterator(const Iterator& other);

  Key* m_key;
  HKEY m_handle;
  DWORD m_count;
  DWORD m_index;
};

class TQRTL_API SubkeyIterator : public Iterator {
 public:
  explicit SubkeyIterator(Key& key);
  SubkeyIterator(const SubkeyIterator& other) = default;
  ~SubkeyIterator() override;

  // Next: the next subkey, closed, as a child of the iterated key.
  Subkey Next();
};

class TQRTL_API ValueIterator : public Iterator {
 public:
  explicit ValueIterator(Key& key);
  ValueIterator(const ValueIterator& other) = default;
  ~ValueIterator() override;

  // Next: a new value object for the next entry (Value::Create), owned by
  // the caller, or NULL when the value vanished before it was read. Throws 4
  // for a type the library does not handle (the entry is passed).
  Value* Next();
};

}  // namespace Registry

#endif  // TQRTL_REGISTRY_REGISTRY_H_
