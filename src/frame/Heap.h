// Heap.h — zeroed allocation that stops the program when memory runs out.
#pragma once
#include <cstddef>

namespace Heap {
  void InitModule();
  void* ALLOCATE(size_t l);
}
