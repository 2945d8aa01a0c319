// Server.cpp — the server's transfer sessions.
//
// One slot per client endpoint, 16 slots. A read session owns an open file and
// a sender and answers the client's data requests; a write session owns a file
// being received (a temporary file until it is committed) and a receiver that
// asks the client for fragments. Everything runs on the link's event loop:
// OnRx for each arriving datagram, OnTmr with the milliseconds that passed
// (a step of every session for each) while a session is open. With no session
// the timer has nothing to do and is stopped, so the idle server sleeps until
// a datagram, a key or a signal arrives.
//
// Rules beyond the plain protocol:
// - An upload that passes its end-of-write check is given its date and time
//   and committed under its name at once. The client reports success as soon
//   as it has answered our close, and that one close can be lost; a later
//   time-out must then not destroy a file the client counts as delivered. A
//   session that ends before a passed check leaves no file: the file table
//   removes the uncommitted temporary file when the entry is closed.
// - A served file that shrinks while it is sent ends its read session as
//   failed: the sender reads no byte beyond the length the read reply
//   announced and reports a fragment it can no longer read whole; the
//   session then repeats a close with a failure result, which the client
//   answers as a failed check.
// - Nothing that arrives from the network stops the server. Every telegram
//   is checked before it touches a table, and the fatal stops below guard
//   only against the tables disagreeing with each other.
// - Nor does the disk. A file operation that fails (a read of a served file,
//   a write on a full disk, the sync, link or time setting at the commit)
//   marks the file table's entry failed, and only the session that owns it
//   ends, with a close that carries errChk; an upload's temporary file goes
//   with it. An upload whose announced length does not fit on the disk is
//   refused at once.
// - Nor does slow work hold up the loop. A file's digest (for a read reply,
//   and for the check of an upload) and every sync of an upload (the last
//   ones at its commit included) are the work of the worker of Jobs; the
//   session waits for them in its opening or checking state and polls on
//   its timer, while the others go on. A session opening waits with its time-out
//   running (the client's repeated request restarts it); an upload's check
//   waits without, and tells its client every dtc steps that it is there.
// - The operator fences the server in: only the client networks given with
//   -n reach it at all (the link drops the rest, counted in eNet), -g
//   refuses every write request as if its file could not be created, and -s
//   bounds the sessions of one client address, so that one host cannot take
//   every slot; a request beyond it gets the busy reply like a full table.
// - A client that speaks IPv6 is granted at most WISP::lenMaxFgm6 bytes per
//   fragment through the fragment-length field of the replies, so that its
//   data replies fit a 1500-byte link without fragmentation.
// - With -x a request that offers the extended exchange gets it: 64-bit
//   lengths, and no side waits for the digest (Ext). A read session starts
//   its sender at once while the worker digests the file, and sends the
//   digest when it has it; a write session that holds every fragment asks
//   its client for the digest, and then only that digest keeps it alive. A
//   classic request is served as without -x; one for a file of 4 GiB or
//   more is refused as not found, and the log says why.
// - With -k an upload is received into its partial file in the hidden
//   directory of Parts, with a record the worker saves every Parts::saveLen
//   bytes. An upload that ends without passing its check (the client gave
//   up or went silent, the server was stopped) is left to Parts with a last
//   record and kept for a day; one whose check fails goes. A write request
//   for the same name, length, date and time and digest (when known), from
//   any client, goes on with what is held: the receiver asks only for the
//   fragments it lacks. Kept uploads are swept at start-up and every
//   sweep period (an hour).
#include "Server.h"

#include <cstring>
#include <ctime>
#include <sys/stat.h>

#include "Cfg.h"
#include "CliIO.h"
#include "Config.h"
#include "Crc.h"
#include "DT.h"
#include "Ext.h"
#include "Files.h"
#include "Jobs.h"
#include "Lib2.h"
#include "Lib3.h"
#include "Log.h"
#include "Parts.h"
#include "Rcvrs.h"
#include "SO.h"
#include "Slots.h"
#include "Sndrs.h"
#include "SysVer.h"
#include "Tmrs.h"
#include "UDP0.h"
#include "Utils.h"
#include "WISP.h"

namespace Server {
namespace {

  // ---- session table ------------------------------------------------------

  // A read session: the file served, its date and time as sent in the read
  // reply, the sender, the result the client reported in its close, and
  // whether the file came up short (the session is then closing as failed).
  struct TSndDesc {
    Files::TFile f;
    DT::TDateTime d;
    Sndrs::TSndr s;      // nullptr while the file's digest is being computed
    WISP::TError e;
    bool c;              // the file came up short: closing as failed
    Jobs::TJob j;        // the digest job while s is nullptr (0: none)
    uint16_t l;          // the fragment length granted, for the sender to come
    uint32_t x;          // the extensions accepted (0: the classic exchange)
    Ext::THoldDesc h;    // with x: the digest the worker makes meanwhile
  };

  // A write session: the file received, the date and time the client
  // announced, the receiver, whether the end-of-write check has run and its
  // outcome.
  struct TRcvDesc {
    Files::TFile f;
    DT::TDateTime d;
    Rcvrs::TRcvr r;
    bool c;
    WISP::TError e;
    bool w;              // the check waits for the file's job (Files::Ready, Files::Place)
    bool k;              // the content passed the check: the file is being committed
    uint32_t x;          // the extensions accepted (0: the classic exchange)
    Ext::TWaitDesc g;    // with x: the client's digest, asked for once every
                         // fragment is there
    Parts::TPart kp;     // with -k: the partial upload
  };

  struct TExtDesc {
    bool w;   // true: write session
    union {
      TSndDesc s;
      TRcvDesc r;
    };
  };

  struct TParDesc {
    uint32_t tos;   // time-out, steps
    uint32_t dtu;   // update period, steps (1..1000)
    uint32_t fpu;   // fragments per update (1..configured maximum)
  };

  struct TCntDesc {
    uint32_t t;     // steps left before the session times out
    uint32_t u;     // steps left before the next update
    bool n;         // new: its first timer pass counts one step, since the
                    // time that pass reports began before the session did
  };

  struct TSesDesc {
    uint8_t i;            // own index 1..16 while in use; 0 = free
    UDP0::TDstDesc d;     // the client endpoint
    TExtDesc x;
    TParDesc p;
    TCntDesc c;
    uint32_t k;           // its door entry in the secure mode (0: plain mode)
  };

  TSlots<TSesDesc, sesMax> ses;
  // Session i (1..16) by its reference.
  TSesDesc& Ses(uint32_t i) { return ses.a[i - 1]; }
  TErrCnts ers;
  Tmrs::TTmr tmr = nullptr;
  bool initialised = false;
  Lib3::TProc oldTerm = nullptr;
  // With -k: the timer of the partial uploads (every second: those left
  // get their last record; every sweep period: the sweep) and its clock.
  Tmrs::TTmr ptm = nullptr;
  uint64_t sweepSec = Parts::sweepSec;
  uint64_t swept = 0;

  // The wall clock of the partial uploads' records, Unix seconds.
  uint64_t Now() { return static_cast<uint64_t>(std::time(nullptr)); }

  // Log texts: the allocation and release lines carry a resource id of up to
  // 128 characters, so they get the large buffer.
  constexpr uint32_t lenTxt = 512;
  using TTxt = char[lenTxt + 1];

  void InitTxt(SO::TBuffer& b, TTxt& s) {
    s[0] = '\0';
    SO::Init(b, s, lenTxt);
  }
  const char* EndTxt(SO::TBuffer& b, TTxt& s) {
    s[b.l < lenTxt ? b.l : lenTxt] = '\0';
    return s;
  }

  // ---- reporting ----------------------------------------------------------

  void Message(const char* s) { Log::Write(Cfg::midServer, Log::lvlMsg, s, Config::data.vrb); }

  [[noreturn]] void Fatal(const char* s) {
    Log::Write(Cfg::midServer, Log::lvlFat, s, true);
    Lib3::Stop();
  }

  void IncErrCnt(TErr e) {
    ++ers[e];
    ++ers[eNull];
  }

  // The whole endpoint: family, address, zone and port.
  bool SameDst(const UDP0::TDstDesc& a, const UDP0::TDstDesc& b) { return a == b; }

  void WrDst(SO::TBuffer& b, const UDP0::TDstDesc& d) { Utils::WrDst(b, d); }

  // The largest fragment a session with the client d may use: an IPv6
  // client gets one whose data reply fits a 1500-byte link (WISP::lenMaxFgm6).
  uint16_t FglMax(const UDP0::TDstDesc& d) { return CliIO::FglMax(d); }

  Files::TFile FileOf(const TSesDesc& s) { return s.x.w ? s.x.r.f : s.x.s.f; }
  const DT::TDateTime& DateOf(const TSesDesc& s) { return s.x.w ? s.x.r.d : s.x.s.d; }

  // Length and digest equal: the 20 bytes of two targets.
  bool SameTgt(const WISP::TPosDesc& a, const WISP::TPosDesc& b) {
    return a.l == b.l && std::memcmp(a.d, b.d, sizeof a.d) == 0;
  }

  // ---- slots ----------------------------------------------------------------

  uint8_t Find(const UDP0::TDstDesc& d) {
    for (uint8_t i = 1; i <= sesMax; ++i) {
      if (Ses(i).i > 0 && SameDst(Ses(i).d, d) && Ses(i).k == CliIO::Cur()) return i;
    }
    return 0;
  }

  // Whether the client address a holds as many sessions as one may (-s).
  bool AtLimit(const UDP0::TAdrDesc& a) {
    uint32_t n = 0;
    for (const TSesDesc& s : ses.a)
      if (s.i != 0 && s.d.a == a) ++n;
    return n >= Config::data.spa;
  }

  // While a session moves more than the default 10 fragments per update,
  // datagrams leave and arrive in runs (Link::Runs); at the default rates
  // each one is its own, also to a capture on this host.
  void SetRuns() {
    uint32_t fpu = 0;
    for (const TSesDesc& s : ses.a)
      if (s.i != 0 && s.p.fpu > fpu) fpu = s.p.fpu;
    CliIO::Runs(fpu);
  }

  uint8_t Alloc(const UDP0::TDstDesc& d, const TExtDesc& x, const TParDesc& p) {
    TSesDesc* e = ses.Take();
    if (e == nullptr) return 0;
    TSesDesc& s = *e;
    const uint8_t i = s.i;
    s.d = d;
    s.x = x;
    s.p = p;
    s.k = CliIO::Take();
    s.c.n = true;
    if (ses.n == 1) Tmrs::Set(tmr, 1, 1);   // the first session starts the steps
    SetRuns();

    Files::TResID rid;
    Files::GetRID(FileOf(s), rid);
    TTxt t;
    SO::TBuffer b;
    InitTxt(b, t);
    SO::WrStr(b, "Alloc idx ");
    SO::WrLngCard(b, i, 1);
    SO::WrStr(b, " dst ");
    WrDst(b, d);
    CliIO::WrClient(b, s.k);
    SO::WrStr(b, " wrt ");
    SO::WrLngCard(b, x.w ? 1 : 0, 1);
    SO::WrStr(b, " rid '");
    SO::WrStrN(b, rid, sizeof rid);
    SO::WrStr(b, "' tos ");
    SO::WrLngCard(b, p.tos, 1);
    SO::WrStr(b, " dtu ");
    SO::WrLngCard(b, p.dtu, 1);
    SO::WrStr(b, " fpu ");
    SO::WrLngCard(b, p.fpu, 1);
    Message(EndTxt(b, t));
    return i;
  }

  // Ends session i. A write session's file stays only if it was committed
  // after a passed check; otherwise closing the entry removes it.
  void Free(uint8_t i, bool ok) {
    if (i == 0) return;
    if (i > sesMax || Ses(i).i != i) Fatal("Free inconsistency");
    TSesDesc& s = Ses(i);

    Files::TResID rid;
    Files::GetRID(FileOf(s), rid);
    const DT::TDateTime& dt = DateOf(s);
    TTxt t;
    SO::TBuffer b;
    InitTxt(b, t);
    SO::WrStr(b, "Free idx ");
    SO::WrLngCard(b, i, 1);
    SO::WrStr(b, " ok ");
    SO::WrLngCard(b, ok ? 1 : 0, 1);
    SO::WrStr(b, " err ");
    SO::WrLngCard(b, s.x.w ? s.x.r.e : s.x.s.e, 1);
    SO::WrStr(b, " dst ");
    WrDst(b, s.d);
    CliIO::WrClient(b, s.k);
    SO::WrStr(b, " wrt ");
    SO::WrLngCard(b, s.x.w ? 1 : 0, 1);
    SO::WrStr(b, " rid '");
    SO::WrStrN(b, rid, sizeof rid);
    SO::WrStr(b, "' dt ");
    Utils::WrDateTime(b, dt.d, dt.t);
    Message(EndTxt(b, t));

    if (s.x.w) {
      Rcvrs::Free(s.x.r.r);
      // An upload that ends before its check keeps what has reached its
      // partial file (a file whose writes failed: what its last record says).
      if (s.x.r.kp != nullptr) {
        Files::Flush(s.x.r.f);
        Parts::Leave(s.x.r.kp, Now(), !Files::Failed(s.x.r.f));
      }
      Files::Close(s.x.r.f);
    } else {
      if (s.x.s.s != nullptr) Sndrs::Free(s.x.s.s);
      else Jobs::Cancel(s.x.s.j);
      Ext::Drop(s.x.s.h);
      Files::Close(s.x.s.f);
    }
    CliIO::Drop(s.k);
    ses.Give(&s);
    if (ses.n == 0) Tmrs::Set(tmr, 0, 0);   // the last one stops them
    SetRuns();
  }

  // The update period is the larger of the two wishes, 1..1000 steps; the
  // fragments per update the smaller, at least 1.
  void SetPar(TParDesc& p, uint32_t dtu, uint32_t fpu) {
    p.tos = tos;
    p.dtu = Config::data.dtu == 0 ? 1 : Config::data.dtu;
    if (dtu > p.dtu) p.dtu = dtu;
    if (p.dtu > dtuMax) p.dtu = dtuMax;
    p.fpu = Config::data.fpu;
    if (fpu < p.fpu) p.fpu = fpu;
    if (p.fpu == 0) p.fpu = 1;
  }

  // ---- telegrams to a session's client ----------------------------------------
  // The reference field is 0 in everything the server sends on its own.

  void DatRq(uint32_t r, uint32_t i, uint32_t s) {
    uint8_t x[WISP::TelDatRq::len];
    WISP::TDatRqDesc q{{0, i}, s};
    uint32_t l = WISP::Encode(x, q);
    CliIO::Send(Ses(r).d, x, l, Ses(r).k);
  }

  void DatRp(uint32_t r, uint32_t i, const uint8_t* d, uint32_t l) {
    uint8_t x[WISP::lenMaxTel];
    if (l > WISP::lenMaxFgm) l = WISP::lenMaxFgm;
    uint32_t n = WISP::EncodeDatRp(x, WISP::TDatHdrDesc{0, i}, d, l);
    CliIO::Send(Ses(r).d, x, n, Ses(r).k);
  }

  void Close(uint8_t i, WISP::TError e) {
    uint8_t x[WISP::TelClose::len];
    WISP::TCloseDesc c{0, e};
    uint32_t l = WISP::Encode(x, c);
    CliIO::Send(Ses(i).d, x, l, Ses(i).k);
  }

  // The digest of session i's file, and the request for the client's.
  void Dgst(uint8_t i) {
    uint8_t x[WISP::TelDgst::len];
    WISP::TDgstDesc d{};
    Ext::Record(Ses(i).x.s.f, 0, d);
    CliIO::Send(Ses(i).d, x, WISP::Encode(x, d), Ses(i).k);
  }

  void DgRq(uint8_t i) {
    uint8_t x[WISP::TelDgRq::len];
    CliIO::Send(Ses(i).d, x, WISP::Encode(x, WISP::TDgRqDesc{0}), Ses(i).k);
  }

  // A read session whose file cannot arrive whole (it changed, shrank, or
  // could not be read through): the close with a failure result is repeated
  // until the client answers it or the session times out.
  void Failing(uint8_t i, TSesDesc& s) {
    s.x.s.c = true;
    Close(i, WISP::errChk);
    s.c.u = dtc;
  }

  // "RdRq rid 'name' len 4294967296 refused: a file of 4 GiB or more needs
  // the extended exchange (-x) on both sides"
  void TooLong(const char* rid, uint64_t l) {
    if (!Config::data.xtd) return;
    TTxt t;
    SO::TBuffer b;
    InitTxt(b, t);
    SO::WrStr(b, "RdRq rid '");
    SO::WrStrN(b, rid, WISP::lenResID);
    SO::WrStr(b, "' len ");
    SO::WrHugeCard(b, l, 1);
    SO::WrStr(b, " refused: a file of 4 GiB or more needs the extended exchange (-x) on both sides");
    Message(EndTxt(b, t));
  }

  // ---- receive handler --------------------------------------------------------

  // Read reply to d; only errNull carries the session's values.
  // k: the door entry (0: the one of the request being handled).
  void OnRx_RdRq_Reply(const UDP0::TDstDesc& d, WISP::TError e, uint8_t i, uint32_t k = 0) {
    WISP::TRdRpDesc p{};
    p.e = e;
    if (e == WISP::errNull) {
      const TSesDesc& s = Ses(i);
      Sndrs::GetFgl(s.x.s.s, p.f);
      Files::GetTgt(s.x.s.f, p.p);
      p.d = s.x.s.d;
      p.t = static_cast<uint16_t>(s.p.dtu);
      p.n = static_cast<uint8_t>(s.p.fpu);
      p.r = i;
      p.x = s.x.s.x;
      p.k = s.x.s.x == 0 || s.x.s.h.k;
    }
    uint8_t x[WISP::TelXRdRp::len];
    uint32_t l = WISP::Encode(x, p);
    CliIO::Send(d, x, l, k);
  }

  // Refusals of a read request: the reply carries the extensions accepted,
  // so that a client that offered them learns that the server has them.
  void OnRx_RdRq_Refuse(const UDP0::TDstDesc& d, WISP::TError e, uint32_t ax) {
    WISP::TRdRpDesc p{};
    p.e = e;
    p.x = ax;
    uint8_t x[WISP::TelXRdRp::len];
    CliIO::Send(d, x, WISP::Encode(x, p));
  }

  // A read session's record for the file f in fragments of l bytes.
  void OnRx_RdRq_Rec(TExtDesc& ext, Files::TFile f, uint16_t l) {
    ext.w = false;
    ext.s.f = f;
    Files::GetDateTime(f, ext.s.d);
    ext.s.e = WISP::errNull;
    ext.s.c = false;
    ext.s.l = l;
  }

  // The read session of d with the record ext takes its slot, its time-out
  // running from now; the read reply goes out once it has its sender (the
  // digest of a classic session may still be on its way).
  void OnRx_RdRq_Ses(const UDP0::TDstDesc& d, const WISP::TRdRqDesc& q, const TExtDesc& ext) {
    TParDesc p;
    SetPar(p, q.t, q.n);
    const uint8_t i = Alloc(d, ext, p);
    if (i == 0) Fatal("RdRq ses");
    Ses(i).c.t = p.tos;
    if (ext.s.s != nullptr) OnRx_RdRq_Reply(d, WISP::errNull, i);
  }

  // The extended read session: the sender starts at once and the worker
  // digests the file meanwhile (a kept digest is known at once).
  void OnRx_RdRq_Ext(const UDP0::TDstDesc& d, const WISP::TRdRqDesc& q, uint16_t l, uint32_t ax) {
    Files::TFile f = Files::OpenRd(q.r, true);
    TExtDesc ext{};
    const Jobs::TState st = f == nullptr ? Jobs::stFailed : Ext::Hold(ext.s.h, f);
    Files::TPosDesc t{};
    if (f != nullptr) Files::GetTgt(f, t);
    if (st == Jobs::stFull) {
      Files::Close(f);
      IncErrCnt(eRdRqBsy);
      return OnRx_RdRq_Refuse(d, WISP::errBsy, ax);
    }
    if (st == Jobs::stFailed || WISP::FgmCnt(t.l, l) > WISP::fgmCntMax) {
      Ext::Drop(ext.s.h);
      if (f != nullptr) Files::Close(f);
      IncErrCnt(eRdRqRID);
      return OnRx_RdRq_Refuse(d, WISP::errRID, ax);
    }
    OnRx_RdRq_Rec(ext, f, l);
    ext.s.x = ax;
    ext.s.s = Sndrs::Alloc(l, f);
    if (ext.s.s == nullptr) Fatal("RdRq snd");
    OnRx_RdRq_Ses(d, q, ext);
  }

  void OnRx_RdRq(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t bl) {
    if (bl != WISP::TelRdRq::body) return IncErrCnt(eRdRqLen);
    WISP::TRdRqDesc q;
    WISP::Decode(x, q);
    const uint32_t ax = WISP::Grant(q.x, Config::data.xtd ? WISP::extKnown : 0);
    uint16_t l = q.f;
    if (l == 0) return IncErrCnt(eRdRqFgl);
    if (l > FglMax(d)) l = FglMax(d);

    uint8_t i = Find(d);
    if (i > 0) {
      TSesDesc& s = Ses(i);
      if (s.x.w) return IncErrCnt(eRdRqTyp);
      Files::TResID rid;
      Files::GetRID(s.x.s.f, rid);
      uint16_t fgl = s.x.s.l;
      if (s.x.s.s != nullptr) Sndrs::GetFgl(s.x.s.s, fgl);
      if (std::strncmp(rid, q.r, sizeof rid) != 0 || fgl != l) return IncErrCnt(eRdRqPar);
      // Still waiting for the digest: the reply goes out when it is known.
      // The client that still asks keeps its place; one that stopped asking
      // loses it by the time-out.
      if (s.x.s.s == nullptr) {
        s.c.t = s.p.tos;
        return;
      }
      // A repetition: the same reply again; the time-out runs on.
      return OnRx_RdRq_Reply(d, WISP::errNull, i);
    }

    if (ses.Full() || AtLimit(d.a)) {
      IncErrCnt(eRdRqBsy);
      return OnRx_RdRq_Refuse(d, WISP::errBsy, ax);
    }
    if (ax != 0) return OnRx_RdRq_Ext(d, q, l, ax);
    // The digest is made off the loop: the session waits for it in its
    // opening state while the other sessions go on. A recently served
    // unchanged file has its digest at once. Nothing is hashed here, not even
    // when no job is free (the request is then refused as busy).
    Files::TFile f = Files::OpenRd(q.r, true);
    Files::TPosDesc t{};
    Jobs::TJob j = 0;
    if (f != nullptr) {
      // The classic telegrams carry a length below 4 GiB.
      Files::GetTgt(f, t);
      if (t.l > WISP::lenMaxClassic) {
        TooLong(q.r, t.l);
        Files::Close(f);
      }
    }
    const Jobs::TState st = f == nullptr ? Jobs::stFailed : Jobs::Digest(f->b, j, t);
    if (st == Jobs::stFull) {
      Files::Close(f);
      IncErrCnt(eRdRqBsy);
      return OnRx_RdRq_Reply(d, WISP::errBsy, 0);
    }
    if (st == Jobs::stFailed) {
      if (f != nullptr) Files::Close(f);
      IncErrCnt(eRdRqRID);
      return OnRx_RdRq_Reply(d, WISP::errRID, 0);
    }
    TExtDesc ext{};
    OnRx_RdRq_Rec(ext, f, l);
    ext.s.j = j;
    if (st == Jobs::stDone) {
      Files::SetRdTgt(f, t);
      ext.s.s = Sndrs::Alloc(l, f);
      if (ext.s.s == nullptr) Fatal("RdRq snd");
    }
    OnRx_RdRq_Ses(d, q, ext);
  }

  // Write reply to d; only errNull carries the session's values, ax the
  // extensions accepted (0: the classic reply).
  void OnRx_WrRq_Reply(const UDP0::TDstDesc& d, WISP::TError e, uint8_t i, uint16_t l, uint32_t ax = 0) {
    WISP::TWrRpDesc p{};
    p.e = e;
    p.x = ax;
    if (e == WISP::errNull) {
      const TSesDesc& s = Ses(i);
      p.f = l;
      p.t = static_cast<uint16_t>(s.p.dtu);
      p.n = static_cast<uint8_t>(s.p.fpu);
      p.r = i;
    }
    uint8_t x[WISP::TelXWrRp::len];
    uint32_t n = WISP::Encode(x, p);
    CliIO::Send(d, x, n);
  }

  // A write request of the endpoint's write session again: the same name,
  // length and fragment length, and in a classic session the same digest (a
  // client with -x sends its request with and without the digest; its end
  // check waits for the digest the client gives at the end).
  bool OnRx_WrRq_Same(TSesDesc& s, const WISP::TWrRqDesc& q, uint16_t l, uint32_t ax) {
    Files::TResID rid;
    Files::GetRID(s.x.r.f, rid);
    Files::TPosDesc t;
    Files::GetTgt(s.x.r.f, t);
    uint16_t fgl = 0;
    Rcvrs::GetFgl(s.x.r.r, fgl);
    if (std::strncmp(rid, q.r, sizeof rid) != 0 || fgl != l || ax != s.x.r.x) return false;
    if (ax == 0) return SameTgt(t, q.p);
    if (t.l != q.p.l) return false;
    return true;
  }

  // With -k: the partial upload of the name is being left by a session
  // that ended a moment ago.
  bool OnRx_WrRq_Leaving(const char* r) {
    Types::TPthStr n{};
    Files::MkWrPth(r, n);
    Parts::Reap();
    return Parts::Leaving(n);
  }

  // With -k the upload goes into its partial file: a kept one of the same
  // source (name, length, date and time, digest when both know it) goes on
  // with what it holds, another starts over. A name of the partial files'
  // own pattern is never received into; nullptr as Files::OpenWr (kp then
  // stays nullptr).
  Files::TFile OnRx_WrRq_Part(const WISP::TWrRqDesc& q, uint16_t l, Parts::TPart& kp) {
    Types::TPthStr n{};
    Files::MkWrPth(q.r, n);
    struct stat st;
    if (Parts::IsPartName(n) || (!Config::data.ovr && lstat(n, &st) == 0)) return nullptr;
    const Parts::TOpen o = Parts::Open(n, kp);
    if (o == Parts::oBusy || o == Parts::oFail) return nullptr;
    Parts::TSrcDesc s{};
    std::memcpy(s.r, q.r, sizeof s.r);
    s.l = q.p.l;
    s.d = q.d;
    s.f = l;
    s.k = q.k;
    if (q.k) std::memcpy(s.g, q.p.d, sizeof s.g);
    Files::TFile f = nullptr;
    if (Parts::Begin(kp, s) != Parts::mFail) f = Files::OpenWrPart(q.r, Parts::Reopen(kp), kp->pn);
    if (f == nullptr) Parts::Keep(kp);
    return f;
  }

  void OnRx_WrRq(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t bl) {
    const bool xl = WISP::GetU8(x, WISP::TelHdr::c) == WISP::cmdXWrRq;
    if (bl != (xl ? WISP::TelXWrRq::body : WISP::TelWrRq::body)) return IncErrCnt(eWrRqLen);
    if (!WISP::Sound(x)) return IncErrCnt(eXVal);
    WISP::TWrRqDesc q;
    WISP::Decode(x, q);
    const uint32_t ax = WISP::Grant(q.x, Config::data.xtd ? WISP::extKnown : 0);
    // An extended request without the extension it stands for is not one.
    if (xl && ax == 0) return IncErrCnt(eXVal);
    uint16_t l = q.f;
    if (l == 0) return IncErrCnt(eWrRqFgl);
    if (l > FglMax(d)) l = FglMax(d);

    uint8_t i = Find(d);
    if (i > 0) {
      TSesDesc& s = Ses(i);
      if (!s.x.w) return IncErrCnt(eWrRqTyp);
      if (!OnRx_WrRq_Same(s, q, l, ax)) return IncErrCnt(eWrRqPar);
      return OnRx_WrRq_Reply(d, WISP::errNull, i, l, ax);
    }

    // Gets only: refused as a file that cannot be created, before anything
    // is touched on the disk.
    if (Config::data.get) {
      IncErrCnt(eWrRqRID);
      return OnRx_WrRq_Reply(d, WISP::errRID, 0, 0, ax);
    }
    if (ses.Full() || AtLimit(d.a)) {
      IncErrCnt(eWrRqBsy);
      return OnRx_WrRq_Reply(d, WISP::errBsy, 0, 0, ax);
    }
    // With -k a partial upload still being left is not answered yet: the
    // client repeats its request, and by then it can go on.
    Parts::TPart kp = nullptr;
    if (Config::data.kpt && OnRx_WrRq_Leaving(q.r)) return IncErrCnt(eWrRqBsy);
    Files::TFile f = WISP::FgmCnt(q.p.l, l) > WISP::fgmCntMax ? nullptr
                     : Config::data.kpt                        ? OnRx_WrRq_Part(q, l, kp)
                                                               : Files::OpenWr(q.r);
    if (f != nullptr) {
      Files::SetTgt(f, q.p);
      // The disk must hold the whole file: a full disk refuses the upload
      // now, not after the client has sent all of it.
      if (!Files::Reserve(f)) {
        if (kp != nullptr) Parts::Keep(kp);
        Files::Close(f);
      }
    }
    if (f == nullptr) {
      IncErrCnt(eWrRqRID);
      return OnRx_WrRq_Reply(d, WISP::errRID, 0, 0, ax);
    }
    TParDesc p;
    SetPar(p, q.t, q.n);
    Rcvrs::TRcvr rv = Rcvrs::Alloc(l, f, p.fpu * 25 / p.dtu, p.dtu, p.fpu, kp);
    if (rv == nullptr) Fatal("WrRq rcv");
    TExtDesc ext{};
    ext.w = true;
    ext.r.f = f;
    ext.r.d = q.d;
    ext.r.r = rv;
    ext.r.c = false;
    ext.r.e = WISP::errNull;
    ext.r.x = ax;
    ext.r.kp = kp;
    i = Alloc(d, ext, p);
    if (i == 0) Fatal("WrRq ses");
    Ses(i).c.t = p.tos;
    OnRx_WrRq_Reply(d, WISP::errNull, i, l, ax);
  }

  // Whether slot ref (1..16) is in use by the endpoint d (in the secure
  // mode also under the keys the telegram was opened with: a telegram
  // forged from the client's address does nothing).
  bool Owns(uint16_t ref, const UDP0::TDstDesc& d) {
    const TSesDesc& s = Ses(ref);
    return s.i == ref && SameDst(s.d, d) && s.k == CliIO::Cur();
  }

  void OnRx_DatRq(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t bl) {
    if (bl != WISP::TelDatRq::body) return IncErrCnt(eDatRqLen);
    WISP::TDatRqDesc q;
    WISP::Decode(x, q);
    if (q.h.r == 0 || q.h.r > sesMax) return IncErrCnt(eDatRqRef);
    if (!Owns(q.h.r, d) || Ses(q.h.r).x.w) return IncErrCnt(eDatRqSes);
    TSesDesc& s = Ses(q.h.r);
    // No sender yet (the digest is still being computed, the reply has not
    // gone out): nothing to queue. A failed session lives on its time-out
    // only: a client that never reads our close must not keep the slot by
    // asking on.
    if (s.x.s.s == nullptr || s.x.s.c) return;
    s.c.t = s.p.tos;
    Sndrs::Receive(s.x.s.s, q.h.i, q.s);
  }

  void OnRx_DatRp(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t bl) {
    if (bl < WISP::TelDatRp::bodyMin || bl > WISP::TelDatRp::bodyMax) return IncErrCnt(eDatRpLen);
    WISP::TDatHdrDesc h;
    WISP::Decode(x, h);
    if (h.r == 0 || h.r > sesMax) return IncErrCnt(eDatRpRef);
    if (!Owns(h.r, d) || !Ses(h.r).x.w) return IncErrCnt(eDatRpSes);
    TSesDesc& s = Ses(h.r);
    // Once every fragment is there, only the digest keeps the session alive.
    if (!s.x.r.g.on) s.c.t = s.p.tos;
    Rcvrs::Receive(s.x.r.r, h.i, x + WISP::TelDatRp::d, bl - (WISP::TelDatRp::d - WISP::lenHdr));
  }

  // The client's digest of the file it puts, in answer to our request once
  // every fragment is there: the end check can run.
  void OnRx_Dgst(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t bl) {
    if (bl != WISP::TelDgst::body) return IncErrCnt(eXLen);
    WISP::TDgstDesc g;
    WISP::Decode(x, g);
    if (g.r == 0 || g.r > sesMax || !Owns(g.r, d)) return IncErrCnt(eXSes);
    TSesDesc& s = Ses(g.r);
    if (!s.x.w || s.x.r.x == 0 || s.x.r.c) return IncErrCnt(eXSes);
    if (!s.x.r.g.on) return IncErrCnt(eXSes);
    const bool had = s.x.r.g.k;
    if (!Ext::Take(s.x.r.g, s.x.r.f, g)) return IncErrCnt(eXVal);
    if (had) return;
    // Held data of another content fail the check, and go with it.
    if (s.x.r.kp != nullptr) Parts::Learn(s.x.r.kp, g.d);
    // The session goes on to the check at its next step.
    s.c.t = s.p.tos;
    s.c.u = 0;
  }

  // The client holds every fragment and asks for the digest of the file it
  // gets: it goes out once known, as long as the file is still as it was
  // at open.
  void OnRx_DgRq(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t bl) {
    if (bl != WISP::TelDgRq::body) return IncErrCnt(eXLen);
    WISP::TDgRqDesc g;
    WISP::Decode(x, g);
    if (g.r == 0 || g.r > sesMax || !Owns(g.r, d)) return IncErrCnt(eXSes);
    TSesDesc& s = Ses(g.r);
    if (s.x.w || s.x.s.x == 0) return IncErrCnt(eXSes);
    if (s.x.s.c) return;
    s.c.t = s.p.tos;
    if (!Ext::Asked(s.x.s.h)) return;
    if (!Ext::Same(s.x.s.h, s.x.s.f)) return Failing(static_cast<uint8_t>(g.r), s);
    Dgst(static_cast<uint8_t>(g.r));
  }

  void OnRx_Close(const UDP0::TDstDesc& d, const uint8_t* x, uint32_t bl) {
    if (bl != WISP::TelClose::body) return IncErrCnt(eCloseLen);
    WISP::TCloseDesc c;
    WISP::Decode(x, c);
    if (c.r == 0 || c.r > sesMax) return IncErrCnt(eCloseRef);
    if (!Owns(c.r, d)) return IncErrCnt(eCloseSes);
    TSesDesc& s = Ses(c.r);
    if (!s.x.w) {
      s.x.s.e = c.e;
      // The client's check failed: the digest it was given may be a kept
      // one that no longer holds; the next request digests the file anew.
      if (c.e == WISP::errChk) Jobs::Forget(s.x.s.f->b);
    } else if (!s.x.r.c) {
      // An upload the client gives up before our check (quit, signal, its
      // file changed): its result goes into the log line; no file is kept.
      s.x.r.e = c.e;
    }
    Free(static_cast<uint8_t>(c.r), true);
  }

  // Every datagram: the common checks in their fixed order, then the
  // command's own. l is the datagram's true length and may exceed the
  // 1472 bytes at x; the length check comes before any byte is read.
  void OnRx(const CliIO::TRxInfDesc& r, const uint8_t* x, uint32_t l) {
    switch (WISP::Accept(x, l, true, Config::data.xtd)) {
      case WISP::accOk: break;
      case WISP::accLen: return IncErrCnt(eLen);
      case WISP::accCrc: return IncErrCnt(eCrc);
      case WISP::accMag: return IncErrCnt(eMag);
      case WISP::accVer: return IncErrCnt(eVer);
      case WISP::accCmd: return IncErrCnt(eCmd);
    }
    uint32_t bl = WISP::BodyLen(l);
    switch (WISP::GetU8(x, WISP::TelHdr::c)) {
      case WISP::cmdRdRq: return OnRx_RdRq(r.d, x, bl);
      case WISP::cmdWrRq:
      case WISP::cmdXWrRq: return OnRx_WrRq(r.d, x, bl);
      case WISP::cmdDgst: return OnRx_Dgst(r.d, x, bl);
      case WISP::cmdDgRq: return OnRx_DgRq(r.d, x, bl);
      case WISP::cmdDatRq: return OnRx_DatRq(r.d, x, bl);
      case WISP::cmdDatRp: return OnRx_DatRp(r.d, x, bl);
      case WISP::cmdClose: return OnRx_Close(r.d, x, bl);
      default: return IncErrCnt(eCmd);
    }
  }

  // A datagram the link dropped for its source (-n).
  void OnRefused() { IncErrCnt(eNet); }

  // ---- timer --------------------------------------------------------------

  // The end-of-write check, once per session: a file whose length and digest
  // match the announced ones gets the client's date and time and is committed
  // under its name now. A mismatch, or a file operation that failed on the
  // way, is cut to length 0 at once, so a large failed upload does not hold
  // its disk space while the close is repeated; the entry removes it when
  // the session ends. The digest and the syncs of the commit are the work
  // of the file's job: false while the check waits for it (call again).
  bool OnTmr_Chk(TRcvDesc& rcv) {
    if (rcv.c) return true;
    // A save of the partial upload's record under way finishes first: its
    // end (Finish, Discard) would wait for it on the loop.
    if (rcv.kp != nullptr && !Parts::Idle(rcv.kp)) return false;
    if (!rcv.k) {
      if (!Files::Ready(rcv.f)) return false;
      Files::TPosDesc t, p;
      Files::GetTgt(rcv.f, t);
      Files::GetPos(rcv.f, 0, p);
      if (!SameTgt(t, p) || !Files::SetDateTime(rcv.f, rcv.d)) {
        Files::Trunc(rcv.f, 0);
        // A partial upload that fails its check goes with its record.
        if (rcv.kp != nullptr) Parts::Discard(rcv.kp);
        rcv.e = WISP::errChk;
        rcv.c = true;
        return true;
      }
      rcv.k = true;
    }
    // The name may not be taken after all (a file of that name appeared
    // while overwriting is off): the client is told the resource is taken.
    // A commit that failed on the disk is a failed transfer.
    switch (Files::Place(rcv.f)) {
      case Files::cmBusy: return false;
      case Files::cmDone: rcv.e = WISP::errNull; break;
      case Files::cmTaken: rcv.e = WISP::errRID; break;
      case Files::cmFailed:
        rcv.e = WISP::errChk;
        Files::Trunc(rcv.f, 0);
        break;
    }
    // In place under its name, the record goes; a partial upload that could
    // not be put in place goes with it.
    if (rcv.kp != nullptr) {
      if (rcv.e == WISP::errNull) Parts::Finish(rcv.kp);
      else Parts::Discard(rcv.kp);
    }
    rcv.c = true;
    return true;
  }

  // A read session waiting for its file's digest: once it is known the
  // sender starts and the read reply goes out; a file that could not be read
  // through is refused as if it did not exist. Meanwhile its time-out runs
  // as for any session, restarted by the client's repeated request (once a
  // second), so a client that has gone gives its place and its job up.
  void OnTmr_Open(uint8_t i, TSesDesc& s) {
    Files::TPosDesc t{};
    switch (Jobs::Poll(s.x.s.j, t)) {
      case Jobs::stBusy:
        return;
      case Jobs::stFull:
      case Jobs::stFailed: {
        const UDP0::TDstDesc d = s.d;
        s.x.s.j = 0;
        IncErrCnt(eRdRqRID);
        OnRx_RdRq_Reply(d, WISP::errRID, 0, s.k);   // while the session still holds its door entry
        return Free(i, false);
      }
      case Jobs::stDone:
        s.x.s.j = 0;
        if (t.l > WISP::lenMaxClassic) {
          // It grew to 4 GiB or more while it was digested.
          const UDP0::TDstDesc d = s.d;
          Files::TResID rid;
          Files::GetRID(s.x.s.f, rid);
          TooLong(rid, t.l);
          IncErrCnt(eRdRqRID);
          OnRx_RdRq_Reply(d, WISP::errRID, 0, s.k);   // while the session still holds its door entry
          return Free(i, false);
        }
        Files::SetRdTgt(s.x.s.f, t);
        s.x.s.s = Sndrs::Alloc(s.x.s.l, s.x.s.f);
        if (s.x.s.s == nullptr) Fatal("RdRq snd");
        s.c.t = s.p.tos;
        return OnRx_RdRq_Reply(s.d, WISP::errNull, i, s.k);
    }
  }

  // The updates due within the next k steps of a session whose update
  // countdown is u (0: due at the first step) and whose period is m; u is
  // left as the countdown after the k steps.
  uint32_t DueUpdates(uint32_t& u, uint32_t m, uint32_t k) {
    const uint32_t f = u == 0 ? 1 : u;   // the step of the first one
    if (f > k) {
      u -= k;
      return 0;
    }
    const uint32_t r = k - f;            // steps after it
    u = m - r % m;
    return 1 + r / m;
  }

  // A complete upload whose check waits for its file's job (the digest of
  // what is not digested yet, a sync): the check goes on at each step that
  // finds the job done. The wait does not count against the time-out, and
  // every dtc steps the client gets a data request with an empty set (it
  // asks for nothing), so that a client does not take the silence of a long
  // wait (several large uploads on a slow disk) for a server that has gone.
  void OnTmr_Wait(uint8_t i, TSesDesc& s, uint32_t ks) {
    if (!OnTmr_Chk(s.x.r)) {
      if (DueUpdates(s.c.u, dtc, ks) > 0) DatRq(i, 0, 0);
      return;
    }
    s.x.r.w = false;
    s.c.u = dtc;
    Close(i, s.x.r.e);
  }

  // k steps (milliseconds) elapsed since the previous call. A late pass
  // makes them up: every session's time-out and update countdown go down by
  // k, and the n updates that fell due do their work at once, n x fpu
  // fragments asked for or n x 2 x fpu sent. The receiver's re-request
  // countdowns go down once per pass: the fragments of a pass that came late
  // because this process was held up mostly wait in our own socket, and
  // asking for them again would only fill it with copies (at 255 fragments
  // per update that brought transfers down to a tenth of their rate).
  //
  // At most stepsMax steps count: after a longer stall of the loop the peers
  // get a burst they can take, and our own stall is not taken for their
  // silence (their telegrams of that time wait in the socket).
  void OnTmr(uint32_t k, uint32_t) {
    if (k == 0) k = 1;
    if (k > stepsMax) k = stepsMax;
    for (uint8_t i = 1; i <= sesMax; ++i) {
      TSesDesc& s = Ses(i);
      if (s.i == 0) continue;
      const uint32_t ks = s.c.n ? 1 : k;
      s.c.n = false;
      if (s.x.w && s.x.r.w) {
        OnTmr_Wait(i, s, ks);
        continue;
      }
      // Step by step the session would end at the step after its
      // countdown reached 0.
      if (s.c.t < ks) {
        Free(i, false);
        continue;
      }
      s.c.t -= ks;
      if (!s.x.w && s.x.s.s == nullptr) {
        OnTmr_Open(i, s);
        continue;
      }
      // An upload asks for its first fragments once its requests can go:
      // asked for before, they would wait for their time-out.
      if (s.x.w && !s.x.r.c && !CliIO::Ready(s.k)) continue;
      // A finished upload only repeats its close, every dtc steps.
      const bool done = s.x.w && s.x.r.c;
      const uint32_t n = DueUpdates(s.c.u, done ? dtc : s.p.dtu, ks);
      if (n == 0) continue;
      if (s.x.w) {
        // A write that failed (a full disk the reservation could not see)
        // ends the upload at once instead of after all of its data.
        Files::Flush(s.x.r.f);   // what arrived since the last update goes to the file
        if (s.x.r.kp != nullptr && !Files::Failed(s.x.r.f)) Parts::Tick(s.x.r.kp, Now());
        if (Files::Failed(s.x.r.f) || !Rcvrs::Update(s.x.r.r, n * s.p.fpu, dtc / s.p.dtu, DatRq, i)) {
          // Every fragment is there, the client's digest not yet: asked
          // for every Ext::askMs; a session whose digest never comes ends
          // by its time-out, which nothing else restarts now.
          if (!done && !Files::Failed(s.x.r.f) && s.x.r.x != 0 && !s.x.r.g.k) {
            s.x.r.g.on = true;
            DgRq(i);
            s.c.u = Ext::askMs;
            continue;
          }
          if (!done) s.c.u = dtc;
          // The upload's digest and syncs are made off the loop: the check
          // waits for them step by step (OnTmr_Wait) while other sessions
          // go on.
          if (!OnTmr_Chk(s.x.r)) {
            s.x.r.w = true;
            continue;
          }
          Close(i, s.x.r.e);
        }
      } else if (s.x.s.c) {
        // Closing as failed: the close is repeated like a write session's
        // until the client answers it or the session times out.
        Close(i, WISP::errChk);
        s.c.u = dtc;
      } else {
        // The digest made meanwhile is taken once it is there (and given
        // when asked for); a file that changed since it was opened cannot
        // arrive whole.
        if (s.x.s.x != 0) {
          const Ext::THoldSt h = Ext::Poll(s.x.s.h, s.x.s.f);
          if (h == Ext::hsFailed) {
            Failing(i, s);
            continue;
          }
          if (h == Ext::hsDue) Dgst(i);
        }
        const bool whole = Sndrs::Update(s.x.s.s, n * 2 * s.p.fpu, DatRp, i);
        // A served file that cannot be read ends its session: one close
        // with errChk, and the slot is free for others. The log line of
        // the release shows errChk in place of the client's result.
        if (Files::Failed(s.x.s.f)) {
          Close(i, WISP::errChk);
          s.x.s.e = WISP::errChk;
          Free(i, false);
        } else if (!whole) {
          // The file no longer holds what the read reply announced (it
          // shrank while being sent): the transfer cannot succeed.
          Failing(i, s);
        }
      }
    }
  }
}

namespace {
  // With -k, every second: the partial uploads left by ended sessions get
  // their last record; every sweep period the kept ones are swept.
  void OnPtm(uint32_t, uint32_t) {
    Parts::Reap();
    const uint64_t now = Now();
    if (now - swept < sweepSec) return;
    swept = now;
    Parts::Sweep(now);
  }

  // With -k a stop (quit key, signal) keeps the uploads under way: a last
  // record each, as for a client that went silent.
  void DoneModule() {
    for (TSesDesc& s : ses.a) {
      if (s.i == 0 || !s.x.w || s.x.r.kp == nullptr) continue;
      Files::Flush(s.x.r.f);
      if (!Files::Failed(s.x.r.f)) Parts::Settle(s.x.r.kp, Now());
      Parts::Keep(s.x.r.kp);
    }
    oldTerm();
  }
}

void InitModule(uint64_t sweep) {
  if (initialised) return;
  initialised = true;
  Log::Register(Cfg::midServer, "Server");
  ses.Reset(sesMax);
  Lib2::Fill(ers, 0);
  tmr = Tmrs::New();   // stopped until a session opens
  Tmrs::SetHnd(tmr, OnTmr, 0);
  CliIO::Install(OnRx, OnRefused);
  if (Config::data.kpt) {
    sweepSec = sweep;
    swept = Now();   // Parts swept at its start
    ptm = Tmrs::New();
    Tmrs::SetHnd(ptm, OnPtm, 0);
    Tmrs::Set(ptm, 1000, 1000);
    Lib3::Terminate(DoneModule, oldTerm);
  }

  TTxt t;
  SO::TBuffer b;
  InitTxt(b, t);
  SO::WrStr(b, "InitModule ");
  WISP::WrConsts(b);
  Message(EndTxt(b, t));

  InitTxt(b, t);
  SO::WrStr(b, "InitModule cnt ");
  SO::WrLngCard(b, sesMax, 1);
  SO::WrStr(b, " sys '");
  SO::WrStrN(b, SysVer::str, sizeof SysVer::str);
  SO::WrStr(b, "'");
  Message(EndTxt(b, t));
}

void Run() { CliIO::Execute(); }

void GetErrCnts(TErrCnts& e) { std::memcpy(e, ers, sizeof ers); }

uint32_t ErrCntShown() {
  if (Config::data.xtd) return errCntExt;
  return Config::data.nnt != 0 ? errCnt : uint32_t{eNet};
}

}
