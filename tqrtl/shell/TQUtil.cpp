// The module state and the shutdown-callback map.
//
// The map has 17 buckets; a module's bucket is (handle >> 4) mod 17, and
// each bucket is a chain, newest first, of nodes carved from TQPlex blocks
// of 10. The bucket array exists from the first registration until the last
// entry is removed or the library unloads.
#include "tqrtl/shell/TQUtil.h"

#include <new>

#include "tqrtl/core/TQPlex.h"
#include "tqrtl/core/internal/string_pool.h"
#include "tqrtl/errors/TQException.h"
#include "tqrtl/shell/internal/module_entry.h"

namespace TQUtil {
namespace {

constexpr unsigned int kBuckets = 17;
constexpr unsigned int kNodesPerBlock = 10;

struct Node {
  Node* next;
  unsigned int bucket;
  HINSTANCE module;
  ShutDownCallback callback;
};

struct CallbackMap {
  Node** buckets = nullptr;
  Node* free_nodes = nullptr;
  TQPlex* blocks = nullptr;
  int count = 0;
};

HINSTANCE g_module = nullptr;
bool g_shutdown_done = false;
CallbackMap g_map;

unsigned int BucketOf(HINSTANCE module) {
  return static_cast<unsigned int>((reinterpret_cast<ULONG_PTR>(module) >> 4) % kBuckets);
}

void FreeMap() {
  if (g_map.blocks != nullptr) g_map.blocks->FreeDataChain();
  ::operator delete(static_cast<void*>(g_map.buckets));
  g_map = CallbackMap();
}

Node* NewNode() {
  if (g_map.free_nodes == nullptr) {
    TQPlex* block = TQPlex::Create(g_map.blocks, kNodesPerBlock, sizeof(Node));
    Node* nodes = static_cast<Node*>(block->data());
    for (unsigned int i = kNodesPerBlock; i-- > 0;) {
      nodes[i].next = g_map.free_nodes;
      g_map.free_nodes = &nodes[i];
    }
  }
  Node* node = g_map.free_nodes;
  g_map.free_nodes = node->next;
  return node;
}

// The library's own callback: marks that the callbacks have run, so that
// unloading does not run them a second time.
void OwnShutDown() { g_shutdown_done = true; }

}  // namespace

HINSTANCE ModuleHandle() { return g_module; }

bool LoadStringA(unsigned int id, TQString* text) {
  return text->LoadStringA(id, ModuleHandle()) != 0;
}

StrUtil::StringHandle LoadStringA(unsigned int id) {
  return StrUtil::StringHandle(ModuleHandle(), id);
}

bool RegisterOnShutDownCallback(HINSTANCE module, ShutDownCallback callback) {
  if (g_map.buckets == nullptr) {
    void* buckets = ::operator new(kBuckets * sizeof(Node*), std::nothrow);
    if (buckets == nullptr) throw TQMemoryException();
    g_map.buckets = static_cast<Node**>(buckets);
    for (unsigned int i = 0; i < kBuckets; ++i) g_map.buckets[i] = nullptr;
  }
  const unsigned int bucket = BucketOf(module);
  for (Node* node = g_map.buckets[bucket]; node != nullptr; node = node->next) {
    if (node->module == module) return false;
  }
  Node* node = NewNode();
  node->bucket = bucket;
  node->module = module;
  node->callback = callback;
  node->next = g_map.buckets[bucket];
  g_map.buckets[bucket] = node;
  ++g_map.count;
  return true;
}

bool UnregisterOnShutDownCallback(HINSTANCE module) {
  if (g_map.buckets == nullptr) return false;
  for (Node** link = &g_map.buckets[BucketOf(module)]; *link != nullptr; link = &(*link)->next) {
    Node* node = *link;
    if (node->module != module) continue;
    *link = node->next;
    node->next = g_map.free_nodes;
    g_map.free_nodes = node;
    if (--g_map.count == 0) FreeMap();
    return true;
  }
  return false;
}

void KickShutDown() {
  if (g_map.count == 0) return;
  for (unsigned int bucket = 0; bucket < kBuckets; ++bucket) {
    // A callback may unregister modules, even the last one, which frees the
    // map: the walk stops then.
    for (Node* node = g_map.buckets[bucket]; node != nullptr;) {
      Node* next = node->next;
      node->callback();
      if (g_map.buckets == nullptr) return;
      node = next;
    }
  }
}

namespace internal {

BOOL ModuleEntry(HINSTANCE module, DWORD reason) {
  try {
    switch (reason) {
      case DLL_PROCESS_ATTACH:
        RegisterOnShutDownCallback(module, OwnShutDown);
        g_module = module;
        return TRUE;
      case DLL_PROCESS_DETACH:
        g_module = nullptr;
        if (!g_shutdown_done) KickShutDown();
        UnregisterOnShutDownCallback(module);
        FreeMap();
        StrUtil::internal::DestroyStringPool();
        return TRUE;
      default:
        return TRUE;
    }
  } catch (...) {
    return reason == DLL_PROCESS_DETACH ? TRUE : FALSE;
  }
}

}  // namespace internal
}  // namespace TQUtil
