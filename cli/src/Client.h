// Client.h — the client's one transfer: the session that fetches a file from
// the server (get) or sends a local file to it (put), its receive handler and
// timer, the end-of-transfer check by length and MD5 digest, the progress
// display and the 23 error counters.
#pragma once
#include <cstdint>

namespace Client {
  // What an arriving datagram was rejected for; eNull counts them all.
  enum TErr : uint8_t {
    eNull = 0,
    eLen = 1,        // shorter than 11 or longer than 1472 bytes
    eCrc = 2,
    eMag = 3,
    eVer = 4,
    eCmd = 5,        // a command the client never receives
    eRdRpSt = 6,     // read reply while not opening
    eRdRpWr = 7,     // read reply in put mode
    eRdRpLen = 8,
    eDatRpSt = 9,    // data reply while not transferring
    eDatRpWr = 10,   // data reply in put mode
    eDatRpLen = 11,
    eWrRpSt = 12,
    eWrRpWr = 13,    // write reply in get mode
    eWrRpLen = 14,
    eDatRqSt = 15,
    eDatRqWr = 16,   // data request in get mode
    eDatRqLen = 17,
    eCloseSt = 18,
    eCloseWr = 19,   // close in get mode
    eCloseLen = 20,
    eCloseRef = 21,  // shown, never counted
    eTimeOut = 22,   // shown, never counted
    // Counted and shown only with -x:
    eXLen = 23,      // digest or digest request of the wrong body length
    eXSes = 24,      // digest or digest request the session does not take
    eXVal = 25,      // an extended record whose fields cannot be
  };
  constexpr uint32_t errCnt = 23;      // the counters shown without -x
  constexpr uint32_t errCntExt = 26;   // and with it
  using TErrCnts = uint32_t[errCntExt];
  // The counters shown: errCnt, with -x errCntExt.
  uint32_t ErrCntShown();

  // Registers with the log, opens the local file, installs the receive
  // handler, chains DoneModule and starts the timer that sends the request.
  void InitModule();
  // The event loop of the link; the process ends from inside it.
  [[noreturn]] void Run();
  void GetErrCnts(TErrCnts& e);

  // Megabytes (of 1048576 bytes) per second for n bytes in dt milliseconds;
  // 999.999 for dt = 0.
  double Speed(uint64_t n, uint32_t dt);
}
