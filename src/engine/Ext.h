// Ext.h — the digest after the data (the extended exchange, -x): the side
// that holds a file sends it before its digest is known, and the side that
// receives it asks for that digest once it has every fragment.
//
// The holder's worker (Jobs) digests the file while the fragments go out.
// The receiver digests its in-order prefix as always; once it holds every
// fragment it asks for the holder's digest every askMs, and only the digest
// counts as an answer: a digest that never comes ends the transfer like a
// silent peer after WISP::tosSes. The holder answers only such a request,
// and only while the file's size, modification and status-change time are
// still those at open: every fragment has been read by then, so a file that
// changed at any time while it was sent (even in a part sent and digested
// before the change) never passes as a whole copy; its transfer fails.
//
// Both records live in their session; the module keeps no state of its own.
#pragma once
#include <cstdint>

#include "Files.h"
#include "Jobs.h"
#include "WISP.h"

namespace Ext {
  constexpr uint32_t askMs = 125;   // the receiver asks for the digest this often

  // ---- the holder ----

  struct THoldDesc {
    Jobs::TJob j;          // the digest job (0: none)
    bool k;                // the digest is known (the file's target carries it)
    bool q;                // the receiver asked for it before it was known
    bool bad;              // the file changed or could not be read through
    uint64_t l;            // the file at open: size and times
    int64_t ms, mns, cs, cns;
  };

  enum THoldSt : uint8_t {
    hsBusy,     // the worker is at it
    hsNew,      // known from now on
    hsDue,      // known from now on, and asked for already: it goes out now
    hsKnown,    // known before
    hsFailed,   // the file changed since it was opened, or a read failed
  };

  // Begins the digest of f (opened with its digest left for later): records
  // the file as it is now and hands the digest to the worker; a kept digest
  // of this content makes it known at once. stBusy or stDone on success,
  // stFull when no job is free, stFailed when the file cannot be looked at.
  Jobs::TState Hold(THoldDesc& h, Files::TFile f);
  // Looks at the job: once it is done the file must still be as it was at
  // open (then its target gets the digest, to be sent when asked for).
  THoldSt Poll(THoldDesc& h, Files::TFile f);
  // The receiver asks for the digest: true when it is known (then it goes
  // out if the file is still the same), otherwise the request is kept, and
  // Poll says hsDue once the digest is there, so that it goes out at once
  // instead of at the receiver's next request.
  bool Asked(THoldDesc& h);
  // The file is still as it was at open (size, modification, status change).
  bool Same(const THoldDesc& h, Files::TFile f);
  // The digest record of f's target for the session reference r.
  void Record(Files::TFile f, uint16_t r, WISP::TDgstDesc& d);
  // Gives up the job (the session ends).
  void Drop(THoldDesc& h);

  // ---- the receiver ----

  struct TWaitDesc {
    bool k;         // the holder's digest came in answer to the wait (the
                    // file's target carries it)
    bool on;        // every fragment is there and the wait has begun
    uint32_t t;     // ms tick the wait began (or the digest came)
    uint32_t q;     // ms tick the digest was asked for last
  };

  enum TWaitSt : uint8_t { wsKnown, wsAsk, wsIdle, wsExpired };

  // The receiver holds every fragment (now: the ms tick; a receiver that
  // counts its own steps may instead set on and ask every askMs steps, its
  // session's time-out then running without restarts). wsKnown: go on to
  // the end check; wsAsk: ask for the digest now; wsIdle: wait on;
  // wsExpired: no digest came within WISP::tosSes.
  TWaitSt Wait(TWaitDesc& w, uint32_t now);
  // A digest record for the file f being received, while the wait is on:
  // false (a bad record) when its length is not the one announced;
  // otherwise the target gets the digest once (a repeated one changes
  // nothing). The caller counts one that comes before the wait.
  bool Take(TWaitDesc& w, Files::TFile f, const WISP::TDgstDesc& d);
}
