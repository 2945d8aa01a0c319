// Server.h — the server's table of up to 16 transfer sessions, one per client
// endpoint: read and write requests answered, the fragment flow of every
// session driven from one timer that fires every millisecond, received files
// checked against the announced length and digest, and every rejected
// telegram counted.
#pragma once
#include <cstdint>

#include "Parts.h"
#include "WISP.h"

namespace Server {
  // The error counters' kinds; eNull counts them all.
  enum TErr : uint8_t {
    eNull = 0,
    eLen = 1,        // datagram shorter than 11 or longer than 1472 bytes
    eCrc = 2,        // CRC trailer wrong
    eMag = 3,        // magic is not "WISP"
    eVer = 4,        // version is not 6
    eCmd = 5,        // not a command the server receives
    eRdRqLen = 6,    // read request body not 133 bytes
    eRdRqFgl = 7,    // read request for fragment length 0
    eRdRqTyp = 8,    // read request from an endpoint with a write session
    eRdRqPar = 9,    // read request not matching the endpoint's read session
    eRdRqBsy = 10,   // read request while all slots are in use, or the client's
                     // address holds its most sessions (-s)
    eRdRqRID = 11,   // file cannot be opened for reading
    eDatRqLen = 12,  // data request body not 10 bytes
    eDatRqRef = 13,  // data request reference 0 or above 16
    eDatRqSes = 14,  // data request for a free slot, another endpoint or a write session
    eWrRqLen = 15,   // write request body not 161 bytes
    eWrRqFgl = 16,   // write request for fragment length 0
    eWrRqTyp = 17,   // write request from an endpoint with a read session
    eWrRqPar = 18,   // write request not matching the endpoint's write session
    eWrRqBsy = 19,   // write request while all slots are in use, or the client's
                     // address holds its most sessions (-s)
    eWrRqRID = 20,   // file cannot be opened for writing, or gets only (-g)
    eDatRpLen = 21,  // data reply body below 7 or above 1461 bytes
    eDatRpRef = 22,  // data reply reference 0 or above 16
    eDatRpSes = 23,  // data reply for a free slot, another endpoint or a read session
    eCloseLen = 24,  // close body not 3 bytes
    eCloseRef = 25,  // close reference 0 or above 16
    eCloseSes = 26,  // close for a free slot or from another endpoint
    eNet = 27,       // datagram from outside the client networks served (-n)
    // Counted and shown only with -x:
    eXLen = 28,      // digest or digest request of the wrong body length
    eXSes = 29,      // digest or digest request for a free slot, another endpoint,
                     // or a session that does not wait for it
    eXVal = 30,      // an extended record whose fields cannot be: a digest-known
                     // flag other than 0 and 1, a digest where none is known, a
                     // digest whose length is not the session's
  };
  constexpr uint32_t errCnt = 28;      // the counters shown with -n, without -x
  constexpr uint32_t errCntExt = 31;   // and with -x
  using TErrCnts = uint32_t[errCntExt];
  // The counters shown: all errCntExt with -x; without it errCnt with -n,
  // and up to eNet (left out) without -n.
  uint32_t ErrCntShown();

  constexpr uint32_t sesMax = 16;     // sessions at once
  constexpr uint32_t tos = WISP::tosSes;   // session time-out, timer steps (1 ms)
  constexpr uint32_t dtuMax = 1000;   // largest update period, steps
  constexpr uint32_t dtc = 125;       // steps between repeated closes
  constexpr uint32_t stepsMax = 25;   // steps one late timer pass makes up

  // Registers with the log, clears the tables, starts the 1 ms timer,
  // installs the receive handler and writes the start-up lines; with -k
  // also the timer of the partial uploads, swept every sweep seconds.
  void InitModule(uint64_t sweep = Parts::sweepSec);
  // The link's event loop; never returns.
  [[noreturn]] void Run();
  void GetErrCnts(TErrCnts& e);
}
