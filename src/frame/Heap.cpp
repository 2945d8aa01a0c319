// Heap.cpp — allocation under one lock. The termination chain may run on the
// console-signal thread, so allocations are serialised.
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
