// TQArray.h: a growable array of values, the base of the list-valued
// strings and the layout of exception message arguments.
//
// Fields, in order: the element block `data` (null when the array holds no
// block), `size` (constructed elements in use), `capacity` (slots in the
// block) and `growStep` (0: grow by size / 8, clamped to 4..1024; otherwise
// the fixed number of slots added). Slots between size and capacity hold no
// constructed element. Growing moves the elements bitwise, so an element's
// reference counts are never touched when the block moves. No virtual
// functions. One array must not be changed by two threads at once.
//
// Allocation failures throw TQMemoryException (the array is unchanged).
#ifndef TQRTL_STRINGS_TQARRAY_H_
#define TQRTL_STRINGS_TQARRAY_H_

#include <cstring>
#include <new>

#include "tqrtl/platform/win32.h"

// Element helpers. The generic forms construct, destroy and assign through
// the type; TQString has cheaper overloads of its own (TQString.h).
template <class TYPE>
inline void TQConstructElements(TYPE* elements, int count) {
  for (int i = 0; i < count; ++i) new (static_cast<void*>(elements + i)) TYPE();
}
template <class TYPE>
inline void TQDestructElements(TYPE* elements, int count) {
  for (int i = 0; i < count; ++i) elements[i].~TYPE();
}
template <class TYPE>
inline void TQCopyElements(TYPE* destination, const TYPE* source, int count) {
  for (int i = 0; i < count; ++i) destination[i] = source[i];
}

// Thrown by TQArray when memory runs out; defined in TQException.cpp.
[[noreturn]] TQRTL_API void TQThrowMemoryException();

template <class TYPE, class ARG_TYPE>
class TQArray {
 public:
  TQArray() : data(nullptr), size(0), capacity(0), growStep(0) {}
  TQArray(const TQArray& other) : data(nullptr), size(0), capacity(0), growStep(0) { Copy(other); }
  TQArray& operator=(const TQArray& other) {
    if (this != &other) Copy(other);
    return *this;
  }
  ~TQArray() { Resize(0); }

  int GetSize() const { return size; }
  int GetUpperBound() const { return size - 1; }
  bool IsEmpty() const { return size == 0; }

  // GetAt / operator[]: element `index` by value. REQUIRES: 0 <= index < size.
  TYPE GetAt(int index) const { return data[index]; }
  TYPE operator[](int index) const { return data[index]; }
  // ElementAt: element `index` for assignment. REQUIRES: 0 <= index < size.
  TYPE& ElementAt(int index) { return data[index]; }
  void SetAt(int index, ARG_TYPE element) { data[index] = element; }
  const TYPE* GetData() const { return data; }
  TYPE* GetData() { return data; }

  // Add: appends `element`; returns its index. `element` may be an element
  // of this array: it is copied before the block can move.
  int Add(ARG_TYPE element) {
    const TYPE value(element);
    const int index = size;
    Resize(size + 1, -1);
    data[index] = value;
    return index;
  }

  void RemoveAll() { Resize(0, -1); }

  // Resize: sets the number of elements, constructing empty ones or
  // destroying those past `newSize`. `newStep` other than -1 replaces the
  // growth step first. Size 0 frees the block.
  void Resize(int newSize, int newStep = -1) {
    if (newStep != -1) growStep = newStep;
    if (newSize <= 0) {
      if (data != nullptr) {
        TQDestructElements(data, size);
        ::operator delete(static_cast<void*>(data));
        data = nullptr;
      }
      size = capacity = 0;
      return;
    }
    if (data == nullptr) {
      data = Allocate(newSize);
      TQConstructElements(data, newSize);
      size = capacity = newSize;
      return;
    }
    if (newSize <= capacity) {
      if (newSize > size)
        TQConstructElements(data + size, newSize - size);
      else if (newSize < size)
        TQDestructElements(data + newSize, size - newSize);
      size = newSize;
      return;
    }
    int step = growStep;
    if (step == 0) {
      step = size / 8;
      step = step < 4 ? 4 : (step > 1024 ? 1024 : step);
    }
    const int newCapacity = capacity + step > newSize ? capacity + step : newSize;
    TYPE* block = Allocate(newCapacity);
    std::memcpy(static_cast<void*>(block), static_cast<const void*>(data),
                static_cast<size_t>(size) * sizeof(TYPE));
    TQConstructElements(block + size, newSize - size);
    ::operator delete(static_cast<void*>(data));
    data = block;
    size = newSize;
    capacity = newCapacity;
  }

  TYPE* data;
  int size;
  int capacity;
  int growStep;

 private:
  static TYPE* Allocate(int count) {
    if (static_cast<size_t>(count) > static_cast<size_t>(-1) / sizeof(TYPE))
      TQThrowMemoryException();
    void* block = ::operator new(static_cast<size_t>(count) * sizeof(TYPE), std::nothrow);
    if (block == nullptr) TQThrowMemoryException();
    return static_cast<TYPE*>(block);
  }

  void Copy(const TQArray& other) {
    Resize(0, -1);
    growStep = other.growStep;
    for (int i = 0; i < other.size; ++i) Add(other.data[i]);
  }
};

#endif  // TQRTL_STRINGS_TQARRAY_H_
