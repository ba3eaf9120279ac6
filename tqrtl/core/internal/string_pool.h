// string_pool.h: module-level control of the string-handle pool.
#ifndef TQRTL_CORE_INTERNAL_STRING_POOL_H_
#define TQRTL_CORE_INTERNAL_STRING_POOL_H_

namespace StrUtil::internal {

// DestroyStringPool: destroys the pool's slots if they were ever made. Called
// once, when the library unloads, after the shutdown callbacks.
void DestroyStringPool();

}  // namespace StrUtil::internal

#endif  // TQRTL_CORE_INTERNAL_STRING_POOL_H_
