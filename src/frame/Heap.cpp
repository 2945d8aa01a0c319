// Heap.cpp — allocation under one lock, so that any thread may allocate (the
// server runs a digest worker beside its event loop).
#include "Heap.h"

#include <cstdlib>
#include <mutex>

#include "Lib3.h"

namespace {
  std::mutex lock;
}

namespace Heap {
  void InitModule() {}

  void* ALLOCATE(size_t l) {
    std::lock_guard<std::mutex> g(lock);
    void* a = std::calloc(1, l == 0 ? 1 : l);
    if (a == nullptr) Lib3::FatalError("Heap.ALLOCATE: out of memory");
    return a;
  }
}
