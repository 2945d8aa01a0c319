// Mtxs.cpp — re-entrant mutexes on POSIX threads.
#include "Mtxs.h"

#include <new>
#include <pthread.h>

#include "Heap.h"
#include "Lib3.h"

namespace Mtxs {
  struct TMtxDesc {
    pthread_mutex_t m;
  };

  void InitModule() {}

  TMtx New() {
    auto* x = static_cast<TMtxDesc*>(Heap::ALLOCATE(sizeof(TMtxDesc)));
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    if (pthread_mutex_init(&x->m, &a) != 0) Lib3::FatalError("Mtxs.New: mutex init failed");
    pthread_mutexattr_destroy(&a);
    return x;
  }

  void Req(TMtx m) { pthread_mutex_lock(&m->m); }
  void Rel(TMtx m) { pthread_mutex_unlock(&m->m); }
}
