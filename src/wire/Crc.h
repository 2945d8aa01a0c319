// Crc.h — the CRC-32 trailer of every telegram.
//
// CRC-32 with generator 0x04C11DB7, most significant bit first, start value
// 0xFFFFFFFF and no final xor. The trailer is stored most significant byte
// first, so running the CRC over an intact telegram including its trailer
// ends in 0; that is the whole receive check (Ok).
#pragma once
#include <cstddef>
#include <cstdint>

namespace Crc {
  constexpr uint32_t init = 0xFFFFFFFFu;

  // The 256-entry step table; entry 1 is the generator polynomial.
  extern const uint32_t table[256];

  // One step: (crc shl 8) xor table[((crc shr 24) xor b) and 0FFH].
  inline uint32_t Upd(uint32_t crc, uint8_t b) {
    return (crc << 8) ^ table[((crc >> 24) ^ b) & 0xFFu];
  }
  // Runs Upd over the first len bytes of buf: eight bytes a step through
  // derived tables, or sixteen with carry-less multiplication where the
  // processor has it; the result is the same.
  uint32_t UpdL(uint32_t crc, const void* buf, size_t len);
  // Reverses the byte order, so that storing the result little-endian puts
  // the most significant byte of crc first.
  constexpr uint32_t Swap(uint32_t crc) {
    return (crc >> 24) | ((crc >> 8) & 0x0000FF00u) | ((crc << 8) & 0x00FF0000u) | (crc << 24);
  }
  // True when the len bytes of buf, trailer included, are intact.
  bool Ok(const void* buf, size_t len);
  // Computes the trailer over the first len bytes of buf, stores it at
  // offset len (buf must hold len + 4 bytes) and returns len + 4.
  uint32_t AppendCrc(uint8_t* buf, uint32_t len);

  // The start-up self-test over the first 341 bytes of the table, the table's
  // entries taken as bytes in little-endian order (entry 0 gives bytes 0..3,
  // its lowest byte first). Test(t) runs it over another table.
  bool Test();
  bool Test(const uint32_t (&t)[256]);

  // Runs the self-test once; a failure stops the program ("Crc.Test failed").
  void InitModule();
}
