// Heap.h — allocation serialised by one lock.
#pragma once
#include <cstddef>

namespace Heap {
  void InitModule();
  void* ALLOCATE(size_t l);
}
