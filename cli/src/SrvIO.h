// SrvIO.h — the client's datagram link: talks to the one configured server.
#pragma once
#include <cstddef>
#include <cstdint>

namespace SrvIO {
  // x is the 1472-byte receive buffer, l the datagram's true length.
  using THandler = void (*)(const uint8_t* x, uint32_t l);
  void InitModule();
  void Install(THandler h);
  // Sends l bytes of x (an array of n bytes) to the configured server.
  void Send(const uint8_t* x, size_t n, uint32_t l);
  template <size_t N> inline void Send(const uint8_t (&x)[N], uint32_t l) { Send(x, N, l); }
  // Datagrams in runs (Link::Runs): on when the granted rate is above the
  // default 10 fragments per update.
  void Runs(bool on);
  [[noreturn]] void Execute();
}
