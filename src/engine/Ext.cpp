// Ext.cpp — the holder's and the receiver's part of the digest after the
// data.
#include "Ext.h"

#include <cstring>
#include <sys/stat.h>

#include "Tmr0.h"

namespace Ext {
namespace {

struct TStatDesc {
  uint64_t l;
  int64_t ms, mns, cs, cns;
};

bool StatOf(Files::TFile f, TStatDesc& s) {
  struct stat st{};
  if (fstat(f->b, &st) != 0) return false;
  s = TStatDesc{static_cast<uint64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                st.st_ctim.tv_nsec};
  return true;
}

}  // namespace

Jobs::TState Hold(THoldDesc& h, Files::TFile f) {
  h = THoldDesc{};
  TStatDesc s{};
  if (!StatOf(f, s)) return Jobs::stFailed;
  h.l = s.l;
  h.ms = s.ms;
  h.mns = s.mns;
  h.cs = s.cs;
  h.cns = s.cns;
  WISP::TPosDesc t{};
  const Jobs::TState st = Jobs::Digest(f->b, h.j, t);
  if (st == Jobs::stDone) {
    // A kept digest belongs to this very content (same size and times).
    Files::SetRdTgt(f, t);
    h.k = true;
  }
  return st;
}

bool Asked(THoldDesc& h) {
  h.q = !h.k;
  return h.k;
}

bool Same(const THoldDesc& h, Files::TFile f) {
  TStatDesc s{};
  return StatOf(f, s) && s.l == h.l && s.ms == h.ms && s.mns == h.mns && s.cs == h.cs && s.cns == h.cns;
}

THoldSt Poll(THoldDesc& h, Files::TFile f) {
  if (h.bad) return hsFailed;
  if (h.k) return hsKnown;
  WISP::TPosDesc t{};
  const Jobs::TState st = Jobs::Poll(h.j, t);
  if (st == Jobs::stBusy) return hsBusy;
  h.j = 0;
  // The digest covers what the worker read; it is the file's only while
  // the file is as it was when its length was announced.
  if (st != Jobs::stDone || t.l != h.l || !Same(h, f)) {
    h.bad = true;
    return hsFailed;
  }
  Files::SetRdTgt(f, t);
  h.k = true;
  return h.q ? hsDue : hsNew;
}

void Record(Files::TFile f, uint16_t r, WISP::TDgstDesc& d) {
  Files::TPosDesc t{};
  Files::GetTgt(f, t);
  d.r = r;
  d.l = t.l;
  std::memcpy(d.d, t.d, sizeof d.d);
}

void Drop(THoldDesc& h) {
  if (h.j != 0) Jobs::Cancel(h.j);
  h.j = 0;
}

TWaitSt Wait(TWaitDesc& w, uint32_t now) {
  if (w.k) return wsKnown;
  if (!w.on) {
    w.on = true;
    w.t = now;
    w.q = now;
    return wsAsk;
  }
  if (Tmr0::Diff(w.t, now) >= WISP::tosSes) return wsExpired;
  if (Tmr0::Diff(w.q, now) < askMs) return wsIdle;
  w.q = now;
  return wsAsk;
}

bool Take(TWaitDesc& w, Files::TFile f, const WISP::TDgstDesc& d) {
  if (!w.on) return false;
  Files::TPosDesc t{};
  Files::GetTgt(f, t);
  if (d.l != t.l) return false;
  if (w.k) return true;
  std::memcpy(t.d, d.d, sizeof t.d);
  Files::SetTgt(f, t);
  w.k = true;
  return true;
}

}  // namespace Ext
