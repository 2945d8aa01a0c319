// ConSigs.h — console signals (SIGINT, SIGQUIT, SIGHUP, SIGTERM) stop the
// program through the termination chain, handled on a thread of their own.
#pragma once

namespace ConSigs {
  void InitModule();
  void Message(const char* s);
}
