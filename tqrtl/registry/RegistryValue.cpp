// Registry values: reading with repair, writing only changes, and building
// a typed object for whatever is stored.
#include "tqrtl/registry/RegistryValue.h"

#include <cstdlib>
#include <cstring>

#include "tqrtl/errors/TQException.h"

namespace Registry {
namespace {

// Value::Create reads into this many bytes (one more is kept for a NUL).
constexpr unsigned long kCreateBuffer = 2048;
// A stored text must be shorter than this, its NUL included.
constexpr unsigned long kStringBuffer = 2048;
// A binary value: the type code and at most four 32-bit fields.
constexpr unsigned long kBinaryBuffer = 20;

DWORD LittleEndian32(const unsigned char* bytes) {
  return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
         static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

char* CopyText(const char* text) {
  const std::size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy == nullptr) throw TQMemoryException();
  std::memcpy(copy, text, size);
  return copy;
}

// The expected size of each code's fields.
unsigned int FieldBytes(DWORD code) {
  switch (code) {
    case ExtendedType::Point:
    case ExtendedType::Size:
      return 8;
    case ExtendedType::Rect:
      return 16;
    default:
      return 0;
  }
}

template <class T, int N>
Value* NewExtended(Key* key, const char* name, const unsigned char* fields) {
  T value;
  std::memcpy(&value, fields, sizeof value);
  return new ExtendedValue<T, N>(key, name, value);
}

}  // namespace

// ---------------------------------------------------------------- ExtendedType

namespace ExtendedType {

int Read(HKEY key, const char* name, TypeCode code, unsigned char* data, unsigned int size) {
  unsigned char stored[kBinaryBuffer];
  unsigned long length = sizeof stored;
  if (!RegAPI::ReadBinary(key, name, stored, &length)) return 0;
  if (length < 4 || LittleEndian32(stored) != static_cast<DWORD>(code) || length != size + 4) {
    throw RegAPI::ErrWrongType;
  }
  std::memcpy(data, stored + 4, size);
  return 1;
}

void Write(HKEY key, const char* name, TypeCode code, unsigned char* data, unsigned int size) {
  unsigned char stored[kBinaryBuffer];
  if (size > sizeof stored - 4) size = sizeof stored - 4;
  const DWORD number = static_cast<DWORD>(code);
  for (int i = 0; i < 4; ++i) stored[i] = static_cast<unsigned char>(number >> (8 * i));
  std::memcpy(stored + 4, data, size);
  RegAPI::WriteBinary(key, name, stored, size + 4);
}

}  // namespace ExtendedType

// ---------------------------------------------------------------- Value

Value::Value(Key* parent, const char* name) : Item(parent, name) {}

Value::Value(const Value& other) : Item(other) {}

Value& Value::operator=(const Value& other) {
  Assign(other);
  return *this;
}

NumberValue<unsigned long>* Value::NumberVal() { return nullptr; }
StringValue* Value::StringVal() { return nullptr; }
ExtendedValue<tagPOINT, 0>* Value::PointVal() { return nullptr; }
ExtendedValue<tagSIZE, 1>* Value::SizeVal() { return nullptr; }
ExtendedValue<tagRECT, 2>* Value::RectVal() { return nullptr; }

void Value::Delete() const {
  WithOpenKey(*m_parent, [this](HKEY handle) { RegAPI::DeleteValue(handle, m_item_name); });
}

void Value::ReadValue() {
  const bool broken = WithOpenKey(*m_parent, [this](HKEY handle) {
    try {
      // A missing value is written while its key is still open.
      if (!Read(handle)) RestoreDefault();
      return false;
    } catch (unsigned int code) {
      if (code != RegAPI::ErrWrongType && code != RegAPI::ErrUnsupported) throw;
    }
    // Broken: remove what is there; the default goes in its place once
    // the key is closed again.
    RegAPI::DeleteValue(handle, m_item_name);
    return true;
  });
  if (broken) RestoreDefault();
}

void Value::ReadValue() const { const_cast<Value*>(this)->ReadValue(); }

void Value::WriteValue() const {
  WithOpenKey(*m_parent, [this](HKEY handle) { Write(handle); });
}

Value* Value::Create(Key* key, const char* name) {
  return WithOpenKey(*key, [key, name](HKEY handle) { return Create(handle, key, name); });
}

Value* Value::Create(HKEY handle, Key* key, const char* name) {
  unsigned char data[kCreateBuffer + 1];
  unsigned long size = kCreateBuffer;
  unsigned long type = REG_NONE;
  if (!RegAPI::ReadBytes(handle, name, data, &size, &type)) return nullptr;
  switch (type) {
    case REG_SZ:
      data[size] = '\0';  // a text stored without its NUL ends at its size
      return new StringValue(key, name, reinterpret_cast<const char*>(data));
    case REG_DWORD:
      if (size != 4) break;
      return new NumberValue<unsigned long>(key, name, LittleEndian32(data));
    case REG_BINARY: {
      if (size < 4) break;
      const DWORD code = LittleEndian32(data);
      const unsigned int fields = FieldBytes(code);
      if (fields == 0 || size != fields + 4) break;
      switch (code) {
        case ExtendedType::Point:
          return NewExtended<tagPOINT, 0>(key, name, data + 4);
        case ExtendedType::Size:
          return NewExtended<tagSIZE, 1>(key, name, data + 4);
        default:
          return NewExtended<tagRECT, 2>(key, name, data + 4);
      }
    }
    default:
      break;
  }
  throw RegAPI::ErrUnsupported;
}

// ---------------------------------------------------------------- StringValue

StringValue::StringValue(Key* parent, const char* name, const char* defaultText)
    : BoundValue<const char*>(parent, name, nullptr) {
  m_value = CopyText("");
  try {
    m_default = CopyText(defaultText != nullptr ? defaultText : "");
  } catch (...) {
    std::free(const_cast<char*>(m_value));
    throw;
  }
}

StringValue::StringValue(const StringValue& other) : BoundValue<const char*>(other) {
  m_value = CopyText(other.m_value);
  try {
    m_default = CopyText(other.m_default);
  } catch (...) {
    std::free(const_cast<char*>(m_value));
    throw;
  }
}

StringValue::~StringValue() {
  std::free(const_cast<char*>(m_value));
  std::free(const_cast<char*>(m_default));
}

StringValue& StringValue::operator=(const char* text) {
  if (text == nullptr) text = "";
  // The read below may replace the cached text; a caller's pointer into it
  // must not be left dangling.
  if (text == m_value) {
    const TQString kept(text);
    BoundValue<const char*>::operator=(static_cast<const char*>(kept));
  } else {
    BoundValue<const char*>::operator=(text);
  }
  return *this;
}

StringValue& StringValue::operator=(const StringValue& other) {
  if (&other == this) return *this;
  other.ReadValue();
  return *this = other.m_value;
}

void StringValue::SetDefault(const char* const& text) {
  if (text == m_default) return;
  char* copy = CopyText(text != nullptr ? text : "");
  std::free(const_cast<char*>(m_default));
  m_default = copy;
}

void StringValue::ValReplace(const char* const& text) {
  if (text == m_value) return;
  char* copy = CopyText(text != nullptr ? text : "");
  std::free(const_cast<char*>(m_value));
  m_value = copy;
}

int StringValue::ValEqual(const char* const& text) const {
  return std::strcmp(m_value, text != nullptr ? text : "") == 0 ? 1 : 0;
}

int StringValue::Read(HKEY key) {
  char buffer[kStringBuffer];
  // One byte short of the buffer: a text of kStringBuffer bytes or more does
  // not fit (4), and the byte after whatever was read holds a NUL.
  unsigned long size = kStringBuffer - 1;
  if (!RegAPI::ReadString(key, m_item_name, buffer, &size)) return 0;
  buffer[size] = '\0';
  if (std::strcmp(buffer, m_value) != 0) ValReplace(static_cast<const char*>(buffer));
  return 1;
}

void StringValue::Write(HKEY key) const { RegAPI::WriteString(key, m_item_name, m_value); }

}  // namespace Registry
