// RefCntObject.h: base of objects that several owners share through pointers
// and that delete themselves when the last owner lets go.
//
// The count changes atomically, so owners on different threads may add and
// release references at the same time; the object's other state is not
// locked.
#ifndef TQRTL_CORE_REFCNTOBJECT_H_
#define TQRTL_CORE_REFCNTOBJECT_H_

#include <atomic>

#include "tqrtl/platform/win32.h"

class TQRTL_API RefCntObject {
 public:
  // A new object has count 0. With deleteWhenUnreferenced true, its first
  // AddRef keeps it alive and the Release that brings the count back to 0
  // destroys it.
  explicit RefCntObject(bool deleteWhenUnreferenced = true)
      : m_count(0), m_delete_when_unreferenced(deleteWhenUnreferenced) {}
  virtual ~RefCntObject();

  // Ref: AddRef through the virtual table (an override is honoured).
  virtual long Ref();
  // AddRef: adds a reference; returns the new count.
  virtual long AddRef();
  // Unref: Release through the virtual table.
  virtual long Unref();
  // Release: drops a reference; at 0, and when the object deletes itself,
  // calls Destroy(). Returns the new count; the object may be gone then.
  virtual long Release();
  // Destroy: deletes the object through its virtual destructor.
  virtual void Destroy();

  // GetRefCount: the count now. Other threads may change it at the same
  // time, so it is read atomically (acquire: whatever the last releasing
  // owner did with the object happened before).
  long GetRefCount() const {
    return std::atomic_ref<LONG>(const_cast<LONG&>(m_count)).load(std::memory_order_acquire);
  }
  bool DeletesWhenUnreferenced() const { return m_delete_when_unreferenced; }

 protected:
  LONG m_count;
  bool m_delete_when_unreferenced;
};

#endif  // TQRTL_CORE_REFCNTOBJECT_H_
