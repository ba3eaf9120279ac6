// RegistryValue.h: typed registry values that repair themselves.
//
// A value object has a name, the key it lives in, a cached current value and
// a default. Every Get() reads the registry (the cache is only as fresh as
// the last read); an assignment reads first and writes only when the value
// really changes, then marks the value and every key above it changed. A
// value that is missing, of the wrong type, malformed or too large is
// replaced by its default on read: the broken entry is deleted, the default
// written in its place, and the value marked changed. So every setting has a
// well-defined value even where nothing was stored yet.
//
//   kind                 class                                 stored as
//   number               NumberValue<T>, T = int, long,        REG_DWORD
//                        unsigned long, unsigned int
//   string               StringValue (below 2048 bytes with    REG_SZ
//                        its NUL)
//   point, size, rect    ExtendedValue<tagPOINT, 0>,           REG_BINARY: a 32-bit type
//                        ExtendedValue<tagSIZE, 1>,            code (0, 1, 2), then the
//                        ExtendedValue<tagRECT, 2>             fields, 32-bit little-endian
//
// Numbers are kept and stored as 32 bits whatever the width of T on this
// system; Get() takes the stored bits as T (sign-extended for signed T), with
// no range check.
//
// Failures: a failed registry call throws `unsigned int` 3 after closing the
// key; Value::Create throws 4 for a stored type the library does not handle.
// StringValue throws TQMemoryException when it cannot copy a text.
//
// Thread-safety: none; one thread at a time per value. Two value objects on
// the same entry see each other's writes at their next read.
#ifndef TQRTL_REGISTRY_REGISTRYVALUE_H_
#define TQRTL_REGISTRY_REGISTRYVALUE_H_

#include <cstring>
#include <type_traits>

#include "tqrtl/registry/Registry.h"

namespace Registry {

template <class T>
class NumberValue;
class StringValue;
template <class T, int N>
class ExtendedValue;

namespace ExtendedType {

enum TypeCode { Point = 0, Size = 1, Rect = 2 };

// Read: the `size` bytes stored after the type code into `data`; 1, or 0
// when the value does not exist. Throws 0 for another type, another code or
// a length other than size + 4; 4 for more than 20 bytes; 3 on failure.
TQRTL_API int Read(HKEY key, const char* name, TypeCode code, unsigned char* data,
                   unsigned int size);
// Write: the code, then `size` (at most 16) bytes of `data`. Throws 3.
TQRTL_API void Write(HKEY key, const char* name, TypeCode code, unsigned char* data,
                     unsigned int size);

}  // namespace ExtendedType

class TQRTL_API Value : public Item {
 public:
  // Copies name, parent and the changed flag.
  Value& operator=(const Value& other);

  // Create: a new object of the class that fits what is stored under `name`
  // in `key`, owned by the caller, with the stored data as its default and
  // an empty current value; NULL when nothing is stored there. Throws 4 for
  // types and layouts the library does not handle (REG_MULTI_SZ, a binary
  // value without a known type code, more than 2048 bytes), deleting
  // nothing.
  static Value* Create(Key* key, const char* name);

  // Downcasts: the object itself when it is of that class, else NULL.
  virtual NumberValue<unsigned long>* NumberVal();
  virtual StringValue* StringVal();
  virtual ExtendedValue<tagPOINT, 0>* PointVal();
  virtual ExtendedValue<tagSIZE, 1>* SizeVal();
  virtual ExtendedValue<tagRECT, 2>* RectVal();

  // Read: loads the value from the open key into the cache; 0 when it is
  // missing. Throws 0 or 4 when what is stored does not fit this class.
  virtual int Read(HKEY key) = 0;
  // Write: stores the cache in the open key.
  virtual void Write(HKEY key) const = 0;
  // RestoreDefault: the default becomes the value, is stored, and the value
  // is marked changed.
  virtual void RestoreDefault() = 0;

  // Delete: removes the entry from the registry; the cache stays. The next
  // read finds it missing and writes the default back. Throws 3, also when
  // there is no such entry.
  void Delete() const override;

 protected:
  Value(Key* parent, const char* name);
  Value(const Value& other);

  static Value* Create(HKEY handle, Key* key, const char* name);

  // ReadValue: refreshes the cache from the registry, repairing a missing or
  // broken entry. The const form updates the cache as well.
  void ReadValue();
  void ReadValue() const;
  // WriteValue: stores the cache.
  void WriteValue() const;
};

template <class T>
class BoundValue : public Value {
 public:
  // Get: reads the registry and returns the current value.
  const T& Get() {
    ReadValue();
    return m_value;
  }
  // GetDefault: what a missing or broken entry is replaced with.
  const T& GetDefault() const { return m_default; }

  // Assignment: reads; when the value differs, replaces it, stores it and
  // marks it changed. Assigning what is stored writes nothing.
  BoundValue& operator=(const T& value) {
    ReadValue();
    if (ValEqual(value)) return *this;
    ValReplace(value);
    WriteValue();
    MarkChanged();
    return *this;
  }

  void RestoreDefault() override {
    ValReplace(m_default);
    WriteValue();
    MarkChanged();
  }

  virtual void SetDefault(const T& value) { m_default = value; }
  // ValReplace: replaces the cached value only.
  virtual void ValReplace(const T& value) { m_value = value; }
  virtual int ValEqual(const T& value) const {
    if constexpr (std::is_scalar_v<T>) {
      return m_value == value ? 1 : 0;
    } else {
      // Points, sizes and rectangles: 32-bit fields without padding.
      return std::memcmp(&m_value, &value, sizeof(T)) == 0 ? 1 : 0;
    }
  }

 protected:
  BoundValue(Key* parent, const char* name, const T& defaultValue)
      : Value(parent, name), m_value(), m_default(defaultValue) {}
  BoundValue(const BoundValue& other) = default;
  BoundValue& operator=(const BoundValue& other) = default;

  T m_value;
  T m_default;
};

// NumberValue<T>: a REG_DWORD shown as T. All four kinds keep the 32 stored
// bits in BoundValue<unsigned long>.
template <class T>
class NumberValue : public BoundValue<unsigned long> {
  static_assert(std::is_same_v<T, int> || std::is_same_v<T, long> ||
                    std::is_same_v<T, unsigned long> || std::is_same_v<T, unsigned int>,
                "numbers are int, long, unsigned long or unsigned int");

 public:
  NumberValue(Key* parent, const char* name, T defaultValue)
      : BoundValue<unsigned long>(parent, name, Bits(defaultValue)) {}
  NumberValue(const NumberValue& other) = default;
  NumberValue& operator=(const NumberValue& other) = default;

  // Get: reads the registry and returns the stored 32 bits as T.
  T Get() {
    ReadValue();
    return AsT(m_value);
  }
  T GetDefault() const { return AsT(m_default); }

  NumberValue& operator=(T value) {
    BoundValue<unsigned long>::operator=(Bits(value));
    return *this;
  }

  NumberValue<unsigned long>* NumberVal() override {
    if constexpr (std::is_same_v<T, unsigned long>) {
      return this;
    } else {
      return nullptr;
    }
  }

  int Read(HKEY key) override { return RegAPI::ReadDword(key, m_item_name, &m_value); }
  void Write(HKEY key) const override { RegAPI::WriteDword(key, m_item_name, m_value); }

 private:
  static unsigned long Bits(T value) { return static_cast<DWORD>(value); }
  static T AsT(unsigned long bits) {
    if constexpr (std::is_signed_v<T>) {
      return static_cast<T>(static_cast<LONG>(static_cast<DWORD>(bits)));
    } else {
      return static_cast<T>(static_cast<DWORD>(bits));
    }
  }
};

// StringValue: a REG_SZ. Current value and default are private heap copies
// (malloc/free); the current value starts "". A stored text of 2048 bytes or
// more, its NUL included, counts as broken and is replaced by the default.
class TQRTL_API StringValue : public BoundValue<const char*> {
 public:
  StringValue(Key* parent, const char* name, const char* defaultText);
  StringValue(const StringValue& other);
  ~StringValue() override;

  StringValue& operator=(const char* text);
  // Assigns the text `other` reads now; nothing at all for itself.
  StringValue& operator=(const StringValue& other);

  StringValue* StringVal() override { return this; }

  void SetDefault(const char* const& text) override;
  void ValReplace(const char* const& text) override;
  int ValEqual(const char* const& text) const override;
  int Read(HKEY key) override;
  void Write(HKEY key) const override;
};

template <class T, int N>
class ExtendedValue : public BoundValue<T> {
  static_assert((N == ExtendedType::Point && std::is_same_v<T, tagPOINT>) ||
                    (N == ExtendedType::Size && std::is_same_v<T, tagSIZE>) ||
                    (N == ExtendedType::Rect && std::is_same_v<T, tagRECT>),
                "a point is 0, a size 1, a rectangle 2");
  static_assert(sizeof(T) == (N == ExtendedType::Rect ? 16 : 8), "32-bit fields, no padding");

 public:
  ExtendedValue(Key* parent, const char* name, const T& defaultValue)
      : BoundValue<T>(parent, name, defaultValue) {}
  ExtendedValue(const ExtendedValue& other) = default;
  ExtendedValue& operator=(const ExtendedValue& other) = default;
  using BoundValue<T>::operator=;

  ExtendedValue<tagPOINT, 0>* PointVal() override {
    if constexpr (N == ExtendedType::Point) {
      return this;
    } else {
      return nullptr;
    }
  }
  ExtendedValue<tagSIZE, 1>* SizeVal() override {
    if constexpr (N == ExtendedType::Size) {
      return this;
    } else {
      return nullptr;
    }
  }
  ExtendedValue<tagRECT, 2>* RectVal() override {
    if constexpr (N == ExtendedType::Rect) {
      return this;
    } else {
      return nullptr;
    }
  }

  int Read(HKEY key) override {
    T value;
    if (!ExtendedType::Read(key, this->m_item_name, static_cast<ExtendedType::TypeCode>(N),
                            reinterpret_cast<unsigned char*>(&value), sizeof value)) {
      return 0;
    }
    this->m_value = value;
    return 1;
  }
  void Write(HKEY key) const override {
    T value = this->m_value;
    ExtendedType::Write(key, this->m_item_name, static_cast<ExtendedType::TypeCode>(N),
                        reinterpret_cast<unsigned char*>(&value), sizeof value);
  }
};

}  // namespace Registry

#endif  // TQRTL_REGISTRY_REGISTRYVALUE_H_
