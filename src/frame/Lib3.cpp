// Lib3.cpp — return code, termination chain, fatal stops.
#include "Lib3.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "FIOStd.h"

namespace {
  [[noreturn]] void HaltProc() { Lib3::Halt(); }

  uint8_t rc = 255;
  // The chain always ends in Halt, also for modules started without
  // InitModule (unit tests).
  Lib3::TProc term = HaltProc;
  std::atomic<bool> initialised{false};
  std::atomic<bool> chainRunning{false};
  std::atomic<Lib3::TProc> atExit{nullptr};

  // Ends the process at once with code x, after the at-exit procedure.
  [[noreturn]] void Exit(int x) {
    Lib3::TProc p = atExit.exchange(nullptr);
    if (p != nullptr) p();
    _exit(x);
  }

  // Return from main (or exit()) runs the chain through the C library's
  // exit machinery.
  void OnProcessExit() {
    if (!chainRunning.load()) Lib3::DoneModule();
  }
}

namespace Lib3 {
  void InitModule() {
    if (initialised.load()) return;
    rc = 255;
    term = Halt;
    initialised.store(true);
    std::atexit(OnProcessExit);
  }

  bool Initialised() { return initialised.load(); }

  void SetReturnCode(uint8_t x) { rc = x; }
  uint8_t ReturnCode() { return rc; }

  void Terminate(TProc p, TProc& old) {
    old = term;
    term = p;
  }

  void Halt() { Exit(rc); }

  void Stop() {
    if (!initialised.load()) Exit(9);
    // A stop requested while the chain runs ends the process at once.
    if (chainRunning.exchange(true)) Exit(rc);
    TProc p = term;
    if (p != nullptr) p();
    Halt();
  }

  void DoneModule() { Stop(); }

  void FatalError(const char* s) {
    FIOStd::WrStrLn(FIOStd::chErr, s);
    Stop();
  }


  void AtExit(TProc p) { atExit.store(p); }
}
