// Sndrs.cpp — the senders' table. A sender remembers nothing about what it
// sent: the receiver asks again for whatever got lost.
#include "Sndrs.h"

#include <cstring>

#include "Lib3.h"
#include "Log.h"
#include "SO.h"
#include "Slots.h"

namespace Sndrs {
namespace {

TSlots<TSndrDesc, cntMax> tbl;
TSettings set;
bool initialised = false;

constexpr uint32_t ringMask = cntMaxReq - 1;
static_assert((cntMaxReq & ringMask) == 0, "the ring wraps by masking");

void Message(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, set.vrb); }
void Trace(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, false); }

[[noreturn]] void Fatal(const char* s) {
  Log::Write(set.mid, Log::lvlFat, s, true);
  Lib3::Stop();
}

// A fragment read short: "Update snd 1 idx 5 short len 100 of 1455".
void Short(const TSndrDesc& s, uint32_t k, uint32_t c, uint32_t l) {
  char t[128];
  SO::TBuffer b;
  SO::Init(b, t);
  SO::WrStr(b, "Update snd ");
  SO::WrShtCard(b, s.i, 1);
  SO::WrStr(b, " idx ");
  SO::WrLngCard(b, k, 1);
  SO::WrStr(b, " short len ");
  SO::WrLngCard(b, c, 1);
  SO::WrStr(b, " of ");
  SO::WrLngCard(b, l, 1);
  Message(t);
}

}  // namespace

void InitModule(const TSettings& s0) {
  set = s0;
  if (initialised) {
    if (tbl.n == 0) tbl.Reset(set.cnt);
    return;
  }
  initialised = true;
  Log::Register(set.mid, "Sndrs");
  tbl.Reset(set.cnt);
  char s[128];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "InitModule cntMax ");
  SO::WrLngCard(b, tbl.cnt, 1);
  SO::WrStr(b, ", SIZE( TSndrDesc ) = ");
  SO::WrLngCard(b, sizeSndrDesc, 1);
  SO::WrStr(b, ", cntMaxReq ");
  SO::WrLngCard(b, cntMaxReq, 1);
  Message(s);
}

TSndr Alloc(uint16_t l, Files::TFile f) {
  if (tbl.Full()) return nullptr;
  if (l == 0 || l > lenMaxFgm || f == nullptr) return nullptr;
  Files::TPosDesc t;
  Files::GetTgt(f, t);
  const uint64_t m = WISP::FgmCnt(t.l, l);
  if (m > WISP::fgmCntMax) return nullptr;
  TSndrDesc* s = tbl.Take();
  if (s == nullptr) Fatal("Alloc cnt inconsistency");
  s->l = l;
  s->f = f;
  s->r.m = static_cast<uint32_t>(m);
  char x[128];
  SO::TBuffer b;
  SO::Init(b, x);
  SO::WrStr(b, "Alloc snd ");
  SO::WrShtCard(b, s->i, 1);
  SO::WrStr(b, " fgl ");
  SO::WrCard(b, s->l, 1);
  SO::WrStr(b, " cnt ");
  SO::WrLngCard(b, s->r.m, 1);
  Message(x);
  return s;
}

void GetCnt(TSndr s, uint32_t& n) { n = s->r.m; }

void GetFgl(TSndr s, uint16_t& l) { l = s->l; }

void Receive(TSndr s, uint32_t i, uint32_t x) {
  TReqsDesc& q = s->r;
  for (uint32_t j = 0; j < 32; ++j) {
    if ((x >> j & 1) == 0) continue;
    if (q.n >= cntMaxReq) continue;                  // queue full
    if (uint64_t(i) + j >= q.m) continue;            // beyond the file (or beyond 32 bits)
    q.a[q.w] = i + j;
    q.w = (q.w + 1) & ringMask;
    q.n++;
  }
  if (set.dbg) {
    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "Receive snd ");
    SO::WrShtCard(b, s->i, 1);
    SO::WrStr(b, " idx ");
    SO::WrLngCard(b, i, 1);
    SO::WrStr(b, " set ");
    SO::WrLngHex(b, x, 1);
    SO::WrStr(b, " rqs ");
    SO::WrLngCard(b, q.n, 1);
    Trace(t);
  }
}

bool Update(TSndr s, uint32_t n, TSendProc p, uint32_t r) {
  TReqsDesc& q = s->r;
  // What was read ahead serves the next updates too while the file stays
  // as it was; a file that changes is seen within one update.
  Files::Flush(s->f);
  Files::TPosDesc tg;
  Files::GetTgt(s->f, tg);
  uint8_t buf[lenMaxFgm];
  while (n > 0 && q.n > 0) {
    const uint32_t k = q.a[q.r];
    q.r = (q.r + 1) & ringMask;
    q.n--;
    // Queued indices lie below the fragment count, so the fragment starts
    // inside the target length; the last one ends with it.
    const uint32_t l = WISP::FgmLen(tg.l, k, s->l);
    const uint32_t c = Files::Read(s->f, WISP::FgmAt(k, s->l), buf, l);
    if (c != l) {
      Short(*s, k, c, l);
      return false;
    }
    p(r, k, buf, c);
    n--;
    if (set.dbg) {
      char t[128];
      SO::TBuffer b;
      SO::Init(b, t);
      SO::WrStr(b, "Update snd ");
      SO::WrShtCard(b, s->i, 1);
      SO::WrStr(b, " idx ");
      SO::WrLngCard(b, k, 1);
      SO::WrStr(b, " len ");
      SO::WrLngCard(b, c, 1);
      SO::WrStr(b, " rqs ");
      SO::WrLngCard(b, q.n, 1);
      SO::WrStr(b, " cnt ");
      SO::WrLngCard(b, n, 1);
      Trace(t);
    }
  }
  return true;
}

void Free(TSndr& s) {
  if (s == nullptr || s->i == 0) Fatal("Free invalid sender");
  char x[128];
  SO::TBuffer b;
  SO::Init(b, x);
  SO::WrStr(b, "Free snd ");
  SO::WrShtCard(b, s->i, 1);
  SO::WrStr(b, " fgl ");
  SO::WrCard(b, s->l, 1);
  SO::WrStr(b, " cnt ");
  SO::WrLngCard(b, s->r.m, 1);
  Message(x);
  tbl.Give(s);
  s = nullptr;
}

}  // namespace Sndrs
