// Lib3.h — process return code, the termination chain and fatal stops.
//
// Every way out of a program (return from main, a fatal stop, a console
// signal, the quit key) runs the termination chain exactly once, newest entry
// first, ending in Halt, which exits with the current return code.
//
// The chain runs on the main thread: a console signal reaches the event loop
// as a descriptor event (ConSigs) and stops the program between two steps of
// the loop or two blocks of a long digest, so the chain never runs beside
// module code and needs no lock. A module's own thread (the server's digest
// worker) never stops the program; its module's DoneModule ends it.
#pragma once
#include <cstdint>

namespace Lib3 {
  using TProc = void (*)();

  void InitModule();
  bool Initialised();

  void SetReturnCode(uint8_t x);
  uint8_t ReturnCode();

  // old := term; term := p. A module's DoneModule does its clean-up, then old().
  void Terminate(TProc p, TProc& old);

  // Runs the whole chain (once); never returns.
  [[noreturn]] void DoneModule();
  // Ends the process with the return code.
  [[noreturn]] void Halt();
  // Stops the program through the chain. Before InitModule: exit code 9.
  [[noreturn]] void Stop();
  // Writes s and a line end to standard error, then Stop().
  [[noreturn]] void FatalError(const char* s);

  // One procedure called on every way out just before the process ends,
  // also when the chain is cut short (restores the terminal's settings).
  void AtExit(TProc p);
}
