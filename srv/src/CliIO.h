// CliIO.h — the server's datagram link: bound to the configured endpoint,
// every datagram from a client network served (all of them without -n)
// reaches the session with its source endpoint.
//
// In the secure mode (-e) the link is also the door: a datagram reaches the
// session only once Seal has opened it, with its door entry, and what the
// session sends is sealed for the entry it names. A session takes the entry
// of the request that opened it (Take) and gives it back when it ends
// (Drop); the entry of a request that opened no session is given back as
// soon as the request has been handled (after its reply, if any).
#pragma once
#include <cstddef>
#include <cstdint>

#include "SO.h"
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
  // Sends l bytes of x (an array of n bytes) to d; in the secure mode sealed
  // for door entry k (0: the entry of the datagram being handled).
  void Send(const UDP0::TDstDesc& d, const uint8_t* x, size_t n, uint32_t l, uint32_t k = 0);
  template <size_t N> inline void Send(const UDP0::TDstDesc& d, const uint8_t (&x)[N], uint32_t l, uint32_t k = 0) {
    Send(d, x, N, l, k);
  }
  // Datagrams in runs (Link::Runs) while the largest fragment count per
  // update of the open sessions, fpu, is above the default rate's.
  void Runs(uint32_t fpu);
  [[noreturn]] void Execute();

  // The door entry of the datagram being handled (0 in the plain mode and
  // outside the handler); Take also keeps it for the session that it opens,
  // Drop gives a session's entry back.
  uint32_t Cur();
  uint32_t Take();
  // Whether what a session of entry k sends can go: always in the plain
  // mode; in the secure mode once the client has shown it holds the
  // session's keys (until then the door swallows it).
  bool Ready(uint32_t k);
  void Drop(uint32_t k);
  // The largest fragment for a client at d: the sealed telegram's overhead
  // comes off in the secure mode.
  uint16_t FglMax(const UDP0::TDstDesc& d);
  // " cli '<name>'": the client of entry k as its line in dir/clients names
  // it (nothing in the plain mode).
  void WrClient(SO::TBuffer& b, uint32_t k);
}
