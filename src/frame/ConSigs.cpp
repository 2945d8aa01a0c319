// ConSigs.cpp — console signals on a thread of their own.
//
// SIGINT (Ctrl-C), SIGQUIT (Ctrl-\), SIGHUP (terminal closed) and SIGTERM
// (shutdown) are blocked in every thread and taken with sigwait() by one
// dedicated thread. That thread never interrupts the main thread: it takes
// the frame lock, which the main thread gives up only while it waits on its
// socket, and then runs the termination chain. So a signal can neither
// deadlock on nor tear a log line the main thread is writing.
#include "ConSigs.h"

#include <csignal>
#include <cstring>
#include <pthread.h>

#include "FIOStd.h"
#include "Lib3.h"

namespace {
  sigset_t sigs;

  // How long the signal thread waits for the main thread to reach a safe
  // point (the wait on its socket) before it stops the program regardless.
  constexpr uint32_t lockWaitMs = 3000;

  void* Handler(void*) {
    for (;;) {
      int s = 0;
      if (sigwait(&sigs, &s) != 0) continue;
      ConSigs::Message("Signal received, terminating.");
      Lib3::LockTimed(lockWaitMs);
      Lib3::Stop();
    }
    return nullptr;
  }
}

namespace ConSigs {
  void Message(const char* s) {
    char line[256] = "ConSigs: ";
    std::strncat(line, s, sizeof line - std::strlen(line) - 1);
    FIOStd::WrStrLn(FIOStd::chOut, line);
  }

  void InitModule() {
    // A console that went away must not kill the program through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGQUIT);
    sigaddset(&sigs, SIGHUP);
    sigaddset(&sigs, SIGTERM);
    pthread_t t;
    pthread_attr_t a;
    bool ok = pthread_sigmask(SIG_BLOCK, &sigs, nullptr) == 0 && pthread_attr_init(&a) == 0;
    if (ok) {
      pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
      ok = pthread_create(&t, &a, Handler, nullptr) == 0;
      pthread_attr_destroy(&a);
    }
    if (!ok) {
      Message("Installation failed.");
      Lib3::Stop();
    }
  }
}
