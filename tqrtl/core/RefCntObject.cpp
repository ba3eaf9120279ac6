#include "tqrtl/core/RefCntObject.h"

#include "tqrtl/core/TQInterlocked.h"

RefCntObject::~RefCntObject() = default;

long RefCntObject::Ref() { return AddRef(); }

long RefCntObject::AddRef() { return static_cast<LONG>(TQInterlockedIncrement(&m_count)); }

long RefCntObject::Unref() { return Release(); }

long RefCntObject::Release() {
  const LONG count = static_cast<LONG>(TQInterlockedDecrement(&m_count));
  if (count == 0 && m_delete_when_unreferenced) Destroy();
  return count;
}

void RefCntObject::Destroy() { delete this; }
