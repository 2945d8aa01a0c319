// FuzzFrame.h — what the fuzz targets share: the program's start-up in a
// scratch directory, a stop of the program during an input turned into a
// crash that libFuzzer keeps, loopback sockets that stand for peers, and the
// records an input is cut into.
#pragma once
#include <cstddef>
#include <cstdint>

#include "WISP.h"

namespace FuzzFrame {
  // Creates a scratch directory, changes into it, puts a link to /dev/null
  // under the program's log file name (inputs would fill the disk with log
  // lines; the log never opens a link, so it runs without a file) and
  // removes the directory when the process ends.
  void EnterScratchDir(const char* logName);

  // From now on any stop of the program while inInput is true aborts, so
  // libFuzzer reports it and keeps the input. A stop outside an input (the
  // normal end of a fuzzing run) exits with code 0.
  void TrapStops();
  extern bool inInput;

  // A UDP socket bound to 127.0.0.1 on a port the system chooses: a peer
  // that never answers. Returns the port; the socket stays open.
  uint16_t OpenPeer();
  // 127.0.0.1 as the link stores addresses (network order in memory).
  uint32_t Loopback();

  // Reads an input front to back.
  struct TReader {
    const uint8_t* p;
    size_t n;
    bool Byte(uint8_t& b);
    uint16_t U16();   // 0 when the input is used up
  };

  // One datagram record: the bytes that follow in the input, at most len of
  // them (len is the datagram's true length; the link hands a handler at
  // most 1472 bytes of it). With fixHdr the first 6 bytes become "WISP" and
  // version 6; with fixCrc the last 4 bytes become the right trailer. This
  // lets the fuzzer reach the command handlers without guessing CRCs.
  struct TDatagram {
    uint8_t x[WISP::lenMaxTel];
    uint32_t l;
  };
  void ReadDatagram(TReader& r, uint32_t len, bool fixHdr, bool fixCrc, TDatagram& d);
}
