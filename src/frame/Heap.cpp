// Heap.cpp — zeroed allocation; running out of memory stops the program.
#include "Heap.h"

#include <cstdlib>

#include "Lib3.h"

namespace Heap {
  void InitModule() {}

  void* ALLOCATE(size_t l) {
    void* a = std::calloc(1, l == 0 ? 1 : l);
    if (a == nullptr) Lib3::FatalError("Heap.ALLOCATE: out of memory");
    return a;
  }
}
