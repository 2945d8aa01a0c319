// Sndrs.h — the sending half of a fragment transfer: requested fragment
// indices are queued from data requests and, once per update, a bounded number
// of them are read from the file and handed to the session's send routine.
#pragma once
#include <cstdint>
#include "Files.h"
#include "Log.h"

namespace Sndrs {
  // Capacity of a request queue: a receiver keeps at most a window of
  // Rcvrs::wndMax fragments asked for, so the queue holds a whole window
  // even when the sender answers only 2 * fpu of it per update.
  constexpr uint32_t cntMaxReq = 8192;
  constexpr uint16_t lenMaxFgm = 1455;   // largest fragment

  // The request queue, a ring of fragment indices.
  struct TReqsDesc {
    uint32_t n;               // indices queued, 0..cntMaxReq
    uint32_t r;               // read position
    uint32_t w;               // write position
    uint32_t a[cntMaxReq];
    uint32_t m;               // fragment count of the file
  };

  struct TSndrDesc {
    uint8_t i;          // slot 1..cnt; 0 = free
    uint16_t l;         // fragment length 1..1455
    Files::TFile f;     // the file being sent (used, not owned)
    TReqsDesc r;
  };
  using TSndr = TSndrDesc*;

  // Size of a sender in its packed layout (the file reference as 4 bytes),
  // as the start-up line reports it.
  constexpr uint32_t sizeReqsDesc = 4 + 4 + 4 + 4 * cntMaxReq + 4;
  constexpr uint32_t sizeSndrDesc = 1 + 2 + 4 + sizeReqsDesc;
  static_assert(sizeSndrDesc == 32791);

  // Sends one data reply: r the caller's reference, i the fragment index,
  // the first l bytes of b (valid only during the call) the data.
  using TSendProc = void (*)(uint32_t r, uint32_t i, const uint8_t* b, uint32_t l);

  constexpr uint32_t cntMax = 16;     // largest table (the server's)

  struct TSettings {
    uint32_t cnt = cntMax;          // slots this program uses, 1..cntMax
    Log::TModId mid = Log::midNull; // the program's identifier for this module
    bool dbg = false;               // -d: a trace line per request and fragment
    bool vrb = false;               // -v: messages on the console too
  };

  // Starts the module with s; a later call only takes new settings (tests).
  void InitModule(const TSettings& s);
  // nullptr when the table is full, l is 0 or above 1455, f is nullptr, or
  // the file has more fragments of l bytes than an index can name.
  TSndr Alloc(uint16_t l, Files::TFile f);
  void GetCnt(TSndr s, uint32_t& n);
  void GetFgl(TSndr s, uint16_t& l);
  // Queues i + j for every set bit j of x (dropped when the queue is full or
  // the index is beyond the file).
  void Receive(TSndr s, uint32_t i, uint32_t x);
  // Sends at most n queued fragments through p. Each fragment is read at the
  // length the file had when it was opened (the target length), never
  // beyond it, so a file that grows meanwhile sends what was announced. A
  // fragment the file no longer holds whole (it shrank) is not sent and the
  // result is false: the session cannot succeed and must end as failed.
  bool Update(TSndr s, uint32_t n, TSendProc p, uint32_t r);
  void Free(TSndr& s);
}
