// ConSigs.h — console signals (SIGINT, SIGQUIT, SIGHUP, SIGTERM) stop the
// program through the termination chain, always on the main thread: the
// event loop waits on Fd() beside its socket and calls Check() when it is
// ready, and a long step (a whole-file digest) calls Check() between blocks.
#pragma once

namespace ConSigs {
  void InitModule();
  void Message(const char* s);
  // Readable while a console signal is pending; -1 when the module was not
  // started (the console's signals are left as they are).
  int Fd();
  // A pending console signal: "ConSigs: Signal received, terminating." on
  // standard output, then the termination chain. Returns at once when none
  // is pending.
  void Check();
}
