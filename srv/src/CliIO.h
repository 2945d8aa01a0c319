// CliIO.h — the server's datagram link: bound to the configured endpoint,
// every datagram from a client network served (all of them without -n)
// reaches the session with its source endpoint.
#pragma once
#include <cstddef>
#include <cstdint>

#include "UDP0.h"

namespace CliIO {
  struct TRxInfDesc {
    UDP0::TDstDesc d;   // the endpoint that sent the datagram
  };
  // x holds the datagram (at least its first 1472 bytes), l is its true length.
  using THandler = void (*)(const TRxInfDesc& r, const uint8_t* x, uint32_t l);
  // Called for every datagram from outside the client networks served (-n),
  // which reaches no handler and is counted in the link's rxf.
  using TRefused = void (*)();
  void InitModule();
  void Install(THandler h, TRefused f = nullptr);
  // Sends l bytes of x (an array of n bytes) to d.
  void Send(const UDP0::TDstDesc& d, const uint8_t* x, size_t n, uint32_t l);
  template <size_t N> inline void Send(const UDP0::TDstDesc& d, const uint8_t (&x)[N], uint32_t l) { Send(d, x, N, l); }
  // Datagrams in runs (Link::Runs) while the largest fragment count per
  // update of the open sessions, fpu, is above the default rate's.
  void Runs(uint32_t fpu);
  [[noreturn]] void Execute();
}
