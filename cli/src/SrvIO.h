// SrvIO.h — the client's datagram link: talks to the one configured server.
#pragma once
#include <cstddef>
#include <cstdint>

namespace SrvIO {
  // x holds the datagram (at least its first 1472 bytes), l is its true length.
  using THandler = void (*)(const uint8_t* x, uint32_t l);
  void InitModule();
  void Install(THandler h);
  // Sends l bytes of x (an array of n bytes) to the configured server.
  void Send(const uint8_t* x, size_t n, uint32_t l);
  template <size_t N> inline void Send(const uint8_t (&x)[N], uint32_t l) { Send(x, N, l); }
  // Datagrams in runs (Link::Runs) when the granted fragments per update,
  // fpu, are above the default rate's.
  void Runs(uint32_t fpu);
  [[noreturn]] void Execute();
}
