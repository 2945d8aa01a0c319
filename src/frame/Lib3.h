// Lib3.h — process return code, the termination chain and fatal stops.
//
// Every way out of a program (return from main, a fatal stop, a console
// signal, the quit key) runs the termination chain exactly once, newest entry
// first, ending in Halt, which exits with the current return code.
//
// The main thread holds the frame lock (Lock/Unlock) whenever it runs module
// code; the event loop releases it only while it waits on the socket. A stop
// requested from another thread (the console-signal thread) takes the lock
// before it runs the chain, so the chain never runs beside module code.
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

  // The frame lock (recursive). The main thread holds it from InitModule on.
  void Lock();
  void Unlock();
  // Takes the lock from another thread, waiting at most ms milliseconds.
  bool LockTimed(uint32_t ms);

  // One procedure called on every way out just before the process ends,
  // also when the chain is cut short (restores the terminal's settings).
  void AtExit(TProc p);
}
