// Rcvrs.h — the receiving half of a fragment transfer: a sliding window of
// requested fragments, re-requests after a time-out, arriving fragments
// checked and written at their place, and the errors counted per receiver.
//
// The time-out is a countdown of update periods (125 ms at whatever period).
// With the switch rtt (-r) a receiver also learns the round trip from its
// own requests (Rtt) and asks again for a missing fragment once the learnt
// time has passed since it was last asked for and the link has shown that it
// is lost, not late (Rcvrs.cpp says how).
//
// With the switch cc (-c) the receiver adapts its requests to the path
// (Path): per update it asks for as many fragments as the path's estimated
// rate allows, never more than granted, keeps about two round trips of them
// on their way, and its window spans what the path holds plus what recovery
// needs, up to wndCc fragments (Rcvrs.cpp says how).
#pragma once
#include <cstdint>
#include "Files.h"
#include "Log.h"
#include "Path.h"
#include "Rtt.h"

namespace Parts {
  struct TPartDesc;
}

namespace Rcvrs {
  // Largest window: the window a session asks for is fpu * 25 / dtu, up to
  // 255 * 25 = 6375 fragments at 1 ms, and the slots are indices masked
  // with wndMax - 1, so the next power of two.
  constexpr uint32_t wndMax = 8192;
  constexpr uint16_t lenMaxFgm = 1455;   // largest fragment
  // Largest window with cc: 1 Gbit/s at a round trip of 300 ms is 25 800
  // fragments of 1455 bytes; twice that on their way, and room behind a
  // fragment lost twice over. 24 bytes and 4 bits a slot, 3.1 MiB per
  // receiver, allocated at start-up and touched as far as a window reaches.
  constexpr uint32_t wndCc = 131072;

  enum TErr : uint8_t { eNull = 0, eWnd = 1, eLen = 2, eDup = 3, eTO = 4 };
  constexpr uint32_t errCnt = 5;
  using TErrCnts = uint32_t[errCnt];   // [eNull] counts all errors

  struct TWndDesc {
    uint32_t i;                  // window start: all below received
    uint32_t j;                  // window end (exclusive): all below asked for
    uint16_t w;                  // window size 1..wndMax
    uint32_t d[wndMax / 32];     // received flags by slot (index MOD wndMax)
    uint16_t n;                  // flags set
    uint32_t t[wndMax];          // per slot, updates left before asking again
    uint32_t q[wndMax];          // per slot, the microsecond clock when last asked for (-r)
    uint32_t o[wndMax / 32];     // asked-for-once flags by slot (-r): only these give a measure
  };

  struct TRcvrDesc {
    uint8_t i;          // slot 1..cnt; 0 = free
    uint16_t l;         // fragment length 1..1455
    Files::TFile f;     // the file being written (used, not owned)
    uint32_t n;         // fragment count
    uint16_t z;         // file length MOD l
    TWndDesc w;
    TErrCnts e;
    // The learnt round trip (-r), all times in microseconds of MMSys::Micros.
    Rtt::TRttDesc rt;   // from fragments asked for once only
    uint32_t p;         // the update period
    uint32_t a;         // ask time of the once-asked fragment that arrived and was asked for last
    uint32_t ai;        // its index
    uint32_t h;         // 1 + the highest index that has arrived (0: none)
    uint32_t pr;        // when the last probe was asked for
    uint32_t s;         // the learnt time the last debug line showed (0: none yet)
  };
  using TRcvr = TRcvrDesc*;

  // Size of a receiver in its packed layout (the file reference as 4 bytes),
  // as the start-up line reports it.
  constexpr uint32_t sizeWndDesc = 4 + 4 + 2 + 4 * (wndMax / 32) + 2 + 4 * wndMax + 4 * wndMax + 4 * (wndMax / 32);
  constexpr uint32_t sizeRcvrDesc = 1 + 2 + 4 + 4 + 2 + sizeWndDesc + 4 * errCnt + 12 + 4 * 6;
  static_assert(sizeRcvrDesc == 67665);

  // The upper bound of the learnt time, in microseconds: the 125 ms of the
  // countdown, and the learnt time until there is a measure.
  constexpr uint32_t toMaxUs = 125000;

  // Sends one data request: f the caller's reference, b the base index, bit j
  // of s asks for fragment b + j.
  using TReqProc = void (*)(uint32_t f, uint32_t b, uint32_t s);

  constexpr uint32_t cntMax = 16;     // largest table (the server's)

  struct TSettings {
    uint32_t cnt = cntMax;          // slots this program uses, 1..cntMax
    Log::TModId mid = Log::midNull; // the program's identifier for this module
    bool dbg = false;               // -d: a trace line per request and fragment
    bool vrb = false;               // -v: messages on the console too
    bool rtt = false;               // -r: ask again after the learnt round trip
    bool cc = false;                // -c: the rate and the window adapt to the path
    uint32_t (*clk)() = nullptr;    // microsecond clock of the measure; nullptr: MMSys::Micros
  };

  // Starts the module with s; a later call only takes new settings (tests).
  void InitModule(const TSettings& s);
  // A receiver for f (its target length set) in fragments of l bytes with a
  // window of w fragments (clamped to 1..wndMax), updated every dtu ms (with
  // rtt no fragment is asked for again sooner than two of them); nullptr
  // when the table is full, l is 0 or above 1455, f is nullptr, or the file
  // has more fragments of l bytes than an index can name. With cc
  // the window adapts instead, and fpu fragments per update is the granted
  // rate it never goes above (0: the window's w * 25 / dtu).
  //
  // With k (a resume, -k) the fragments k holds are there already: the
  // window starts at its in-order prefix (the file's digest follows from
  // there), a held fragment is never asked for, and every fragment written
  // is marked in k.
  TRcvr Alloc(uint16_t l, Files::TFile f, uint32_t w, uint32_t dtu = 1, uint32_t fpu = 0,
              Parts::TPartDesc* k = nullptr);
  void GetCnt(TRcvr r, uint32_t& n);
  void GetFgl(TRcvr r, uint16_t& l);
  // A data reply with fragment index i and l data bytes at x.
  void Receive(TRcvr r, uint32_t i, const uint8_t* x, uint32_t l);
  // One update: at most n indices asked for through p(f, b, s), a fragment
  // asked for again after `to` updates, or with rtt once it is lost by the
  // learnt time (Rcvrs.cpp says when); with cc as many as the path's rate
  // allows, at most n, `to` unused. true while fragments are missing.
  bool Update(TRcvr r, uint32_t n, uint32_t to, TReqProc p, uint32_t f);
  void Free(TRcvr& r);

  // With cc: the path model of r (tests and the debug lines), fragments on
  // their way, the span of the window it asks in, and the slots its last
  // Update looked at (tests: the work of an update).
  const Path::TPathDesc* Model(TRcvr r);
  uint32_t Flying(TRcvr r);
  uint32_t Span(TRcvr r);
  uint32_t Visited(TRcvr r);
}
