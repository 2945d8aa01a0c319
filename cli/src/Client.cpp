// Client.cpp — the client's single transfer.
//
// The session runs through three states driven by one timer: Opening (the
// read or write request is sent at once and again every second until the
// server answers), Transferring (every granted update period the receiver asks
// for missing fragments, or the sender answers queued requests) and Closing
// (the received file is checked, one close telegram is sent, the result is
// reported and the program stops). Every arriving telegram passes the common
// acceptance steps and the checks of its handler; what fails is counted and
// dropped, never answered.
//
// Opening waits for the server as long as the user lets it (a client may be
// started before its server; the quit key ends it). Once the data phase has
// begun, a server that sends nothing for the session time-out has forgotten
// the session, and the client stops. Whenever the client stops in the data
// phase before its close went out (quit key, signal, silent server, a local
// file that changed while it was sent), it sends one close with a failure
// result first, so the server ends the session at once and drops a partial
// upload.
//
// With -x the client offers the extended exchange (Ext): a get takes the
// data before the server's digest and asks for it once it holds every
// fragment; a put asks at once and sends its digest when the worker has it.
// An old server answers the classic request: a get is then classic, and a
// put of a file below 4 GiB sends the classic request beside the extended
// one as soon as its digest is known, so that it costs no more than without
// -x. A file of 4 GiB or more needs the server's -x.
//
// A get writes into the file table's temporary file. The server's date and
// time are applied and the file is put in place under its name only after
// length and digest have been checked, so a failed, refused or interrupted
// get leaves neither a partial file nor a damaged local copy behind.
//
// With -k a get writes into its partial file instead (Parts: "<name>.wisp-
// part" and its record), which a get that ends without success keeps as its
// last record says: the record is saved by the worker every Parts::saveLen
// bytes, and once more when the get stops (quit key, signal, silent server).
// The next -k get of the same source asks only for what is missing; a
// source that changed starts over, and a file that fails its final check
// after all is removed with its record, so the next get starts clean.
#include "Client.h"

#include <cstring>
#include <ctime>
#include <sys/stat.h>

#include "Cfg.h"
#include "Config.h"
#include "Ext.h"
#include "FIOStd.h"
#include "Files.h"
#include "Jobs.h"
#include "Lib3.h"
#include "Log.h"
#include "Parts.h"
#include "Rcvrs.h"
#include "SO.h"
#include "Sndrs.h"
#include "SrvIO.h"
#include "SysVer.h"
#include "Tmr.h"
#include "Tmr0.h"
#include "Tmrs.h"
#include "Utils.h"
#include "WISP.h"

namespace {
  enum TState : uint8_t { stOpen = 0, stData = 1, stClose = 2 };
  const char* const stName[] = {"Opening", "Transferring", "Closing"};

  struct TParDesc {
    uint16_t dtu;   // update period, ms
    uint8_t fpu;    // fragment requests per update
  };

  struct TSesDesc {
    TState st;
    uint32_t t;           // set-up tick, then the tick the reply was accepted
    TParDesc p;           // requested, then granted parameters
    Files::TFile f;       // the local file
    bool w;               // put mode
    Rcvrs::TRcvr r;       // get: the receiver
    Sndrs::TSndr s;       // put: the sender
    DT::TDateTime d;      // put: the local file's; get: the server's
    uint16_t rf;          // session reference granted by the server
    WISP::TError e;       // result carried in the client's close
    bool n;               // data phase new: its first timer pass does one
                          // period, since the time that pass reports began
                          // before the reply came
    uint32_t rx;          // data phase: tick of the last telegram from the server
    bool cl;              // the client's close has been sent
    uint32_t x;           // the extensions offered, then accepted (0: classic)
    Ext::THoldDesc h;     // put with -x: the digest the worker makes meanwhile
    Ext::TWaitDesc g;     // get with -x: the server's digest
    uint32_t o;           // put with -x, opening: tick of the last request
    Parts::TPart k;       // get with -k: the partial file
    uint64_t kb;          // get with -k: the bytes it held when the get began
  };

  struct TProDesc {
    uint32_t n;   // fragments done (highest index handled + 1, at most m)
    uint32_t m;   // the file's fragment count
    uint32_t t;   // tick of the last progress output
  };

  constexpr uint32_t periodOpen = 1000;   // request repeated every second
  // A late timer pass makes up the update periods it missed, but no more than
  // fit in this many milliseconds: after a long stall (a stopped process, a
  // machine swapping) the peer gets a burst it can still take, not the
  // backlog of the whole stall.
  constexpr uint32_t catchUpMs = 25;
  constexpr uint32_t progressMs = 500;    // progress line at most this often
  constexpr uint64_t sizeMaxFile = WISP::lenMaxClassic;   // lengths travel as u32
  // A put with -x looks at its digest this often while it opens, so that the
  // classic request goes out as soon as the digest is known.
  constexpr uint32_t pollOpenMs = 5;
  // A put of 4 GiB or more gives up on a server that has not answered by
  // then: it lacks -x (an old server drops the extended request) or is down.
  constexpr uint32_t waitBigMs = 3000;

  TSesDesc ses{};
  Client::TErrCnts err{};
  TProDesc pro{};
  Tmrs::TTmr tmr = nullptr;
  Lib3::TProc oldTerm = nullptr;

  void Message(const char* s, bool scr) { Log::Write(Cfg::midClient, Log::lvlMsg, s, scr); }

  [[noreturn]] void Fatal(const char* s) {
    Log::Write(Cfg::midClient, Log::lvlFat, s, true);
    Lib3::Stop();
  }

  // The wall clock of the partial file's records, Unix seconds.
  uint64_t Now() { return static_cast<uint64_t>(std::time(nullptr)); }

  // The server as the partial file's record names it: "<-a text>:<port>".
  void SrvText(char* x, uint32_t n) {
    SO::TBuffer b;
    SO::Init(b, x, n);
    SO::WrStr(b, Config::data.atx);
    SO::WrChar(b, ':');
    SO::WrCard(b, Config::data.prt, 1);
  }

  void IncErrCnt(Client::TErr e) {
    ++err[e];
    ++err[Client::eNull];
  }

  void SetState(TState st) {
    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "SetState: ");
    SO::WrStr(b, stName[st]);
    SO::WrChar(b, '.');
    Message(t, true);
    ses.st = st;
  }

  // ---- progress ---------------------------------------------------------------

  // A stray index in a data reply must not push the count past the file.
  void UpdCnt(uint64_t n) {
    if (n > pro.m) n = pro.m;
    if (n > pro.n) pro.n = static_cast<uint32_t>(n);
  }

  void WrProgress(bool end) {
    char t[32];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrChar(b, '\r');
    SO::WrLngCard(b, pro.n, 1);
    SO::WrChar(b, '/');
    SO::WrLngCard(b, pro.m, 1);
    if (end) {
      FIOStd::WrStrLn(FIOStd::chOut, t);
    } else {
      FIOStd::WrStr(FIOStd::chOut, t);
    }
  }

  void UpdPro() {
    if (!Config::data.pro) return;
    uint32_t now = Tmr::Ticks();
    if (Tmr0::Diff(pro.t, now) >= progressMs) {
      pro.t = now;
      WrProgress(false);
    }
  }

  void EndPro() {
    if (Config::data.pro) WrProgress(true);
  }

  // ---- telegrams the client sends -------------------------------------------

  void DoOpen_RdRq() {
    WISP::TRdRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = ses.p.dtu;
    q.n = ses.p.fpu;
    Files::GetRID(ses.f, q.r);
    q.x = ses.x;
    uint8_t x[WISP::TelRdRq::len];
    uint32_t l = WISP::Encode(x, q);
    SrvIO::Send(x, l);

    char t[256];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "RdRq fgl ");
    SO::WrCard(b, q.f, 1);
    SO::WrStr(b, " dtu ");
    SO::WrCard(b, q.t, 1);
    SO::WrStr(b, " fpu ");
    SO::WrShtCard(b, q.n, 1);
    SO::WrStr(b, " rid '");
    SO::WrStrN(b, q.r, sizeof q.r);
    SO::WrChar(b, '\'');
    Message(t, Config::data.vrb);
  }

  // xl: the extended request (with -x), which carries the digest only once
  // it is known; otherwise the classic one (with the offer with -x).
  void DoOpen_WrRq(bool xl) {
    Files::TPosDesc tgt{};
    Files::GetTgt(ses.f, tgt);
    WISP::TWrRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = ses.p.dtu;
    q.n = ses.p.fpu;
    q.p = tgt;
    q.d = ses.d;
    Files::GetRID(ses.f, q.r);
    q.x = ses.x;
    q.xl = xl;
    q.k = !xl || ses.h.k;
    uint8_t x[WISP::TelXWrRq::len];
    uint32_t l = WISP::Encode(x, q);
    SrvIO::Send(x, l);

    char t[512];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, xl ? "XWrRq fgl " : "WrRq fgl ");
    SO::WrCard(b, q.f, 1);
    SO::WrStr(b, " dtu ");
    SO::WrCard(b, q.t, 1);
    SO::WrStr(b, " fpu ");
    SO::WrShtCard(b, q.n, 1);
    SO::WrStr(b, " tgt ");
    Files::WrTgt(b, tgt, q.k);
    SO::WrStr(b, " rid '");
    SO::WrStrN(b, q.r, sizeof q.r);
    SO::WrStr(b, "' dt ");
    Utils::WrDateTime(b, q.d.d, q.d.t);
    Message(t, Config::data.vrb);
  }

  // Data request callback of the receiver (get).
  void DatRq(uint32_t, uint32_t i, uint32_t s) {
    WISP::TDatRqDesc q{};
    q.h.r = ses.rf;
    q.h.i = i;
    q.s = s;
    uint8_t x[WISP::TelDatRq::len];
    uint32_t l = WISP::Encode(x, q);
    SrvIO::Send(x, l);
  }

  // Data reply callback of the sender (put): one fragment.
  void DatRp(uint32_t, uint32_t i, const uint8_t* d, uint32_t l) {
    uint8_t x[WISP::lenMaxTel];
    WISP::TDatHdrDesc h{ses.rf, i};
    uint32_t n = WISP::EncodeDatRp(x, h, d, l);
    SrvIO::Send(x, n);
    UpdCnt(static_cast<uint64_t>(i) + 1);
  }

  // The digest of the file put, and the request for the server's in a get
  // (the server ignores the reference of a session that is not its own).
  void Dgst() {
    WISP::TDgstDesc d{};
    Ext::Record(ses.f, ses.rf, d);
    uint8_t x[WISP::TelDgst::len];
    SrvIO::Send(x, WISP::Encode(x, d));
  }

  void DgRq() {
    uint8_t x[WISP::TelDgRq::len];
    SrvIO::Send(x, WISP::Encode(x, WISP::TDgRqDesc{ses.rf}));
  }

  void Close() {
    ses.cl = true;
    WISP::TCloseDesc c{ses.rf, ses.e};
    uint8_t x[WISP::TelClose::len];
    uint32_t l = WISP::Encode(x, c);
    SrvIO::Send(x, l);

    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "Close tx ref ");
    SO::WrCard(b, ses.rf, 1);
    SO::WrStr(b, " err ");
    SO::WrShtCard(b, ses.e, 1);
    Message(t, Config::data.vrb);
  }

  // ---- timer: the three states -------------------------------------------------

  // A put whose digest the worker made meanwhile, or a file that changed or
  // could not be read through on the way: the transfer cannot succeed, and
  // a close says so if the data phase began.
  [[noreturn]] void Unsendable() {
    ses.e = WISP::errChk;
    if (ses.st == stData) {
      EndPro();
      Close();
    }
    Fatal(Ext::Same(ses.h, ses.f) ? "DoData: Resource cannot be read." : "DoData: Resource changed while being sent.");
  }

  // A put with -x: the extended request every second, and beside it the
  // classic one once the digest is known (at once when it becomes known)
  // for a file that the classic telegrams can carry.
  void DoOpen_Ext() {
    const uint32_t now = Tmr::Ticks();
    const Ext::THoldSt h = Ext::Poll(ses.h, ses.f);
    if (h == Ext::hsFailed) Unsendable();
    Files::TPosDesc t{};
    Files::GetTgt(ses.f, t);
    const bool due = Tmr0::Diff(ses.o, now) >= periodOpen;
    if (due) {
      ses.o = now;
      DoOpen_WrRq(true);
    }
    if ((due || h == Ext::hsNew) && ses.h.k && t.l <= WISP::lenMaxClassic) DoOpen_WrRq(false);
    if (t.l > WISP::lenMaxClassic && Tmr0::Diff(ses.t, now) >= waitBigMs) {
      Fatal("WrRq: No answer from the server; a file of 4 GiB or more needs -x on the server.");
    }
  }

  void DoOpen() {
    if (!ses.w) return DoOpen_RdRq();
    if (ses.x != 0) return DoOpen_Ext();
    DoOpen_WrRq(false);
  }

  // The update periods a timer pass that reports k expired periods works
  // off: all of them up to catchUpMs, at least one.
  uint32_t DuePeriods(uint32_t k) {
    uint32_t m = catchUpMs / ses.p.dtu;
    if (m == 0) m = 1;
    return k < m ? (k == 0 ? 1 : k) : m;
  }

  // The work of n update periods at once, so that the requested rate holds
  // when the loop comes late on a busy machine: n x fpu fragments asked for,
  // or n x 2 x fpu sent. The receiver's re-request countdowns go down once
  // per pass, not n times: what a late pass has not yet taken from the socket
  // has mostly arrived, and asking for it again would only bring copies.
  void DoData(uint32_t n) {
    if (Tmr0::Diff(ses.rx, Tmr::Ticks()) >= WISP::tosSes) {
      EndPro();
      Fatal("DoData: No answer from the server.");
    }
    if (ses.w) {
      if (ses.x != 0) {
        const Ext::THoldSt h = Ext::Poll(ses.h, ses.f);
        if (h == Ext::hsFailed) Unsendable();
        if (h == Ext::hsDue) Dgst();
      }
      if (!Sndrs::Update(ses.s, n * 2u * ses.p.fpu, DatRp, 0)) {
        // The local file no longer holds what was announced, or cannot be
        // read at all.
        ses.e = WISP::errChk;
        EndPro();
        Close();
        Fatal(Files::Failed(ses.f) ? "DoData: Resource cannot be read." : "DoData: Resource changed while being sent.");
      }
      UpdPro();
    } else {
      Files::Flush(ses.f);   // what arrived since the last update goes to the file
      if (ses.k != nullptr && !Files::Failed(ses.f)) Parts::Tick(ses.k, Now());
      if (Rcvrs::Update(ses.r, n * ses.p.fpu, 125u / ses.p.dtu, DatRq, 0)) {
        UpdPro();
        return;
      }
      EndPro();
      SetState(stClose);
    }
  }

  void DoClose() {
    uint32_t dt = Tmr0::Diff(ses.t, Tmr::Ticks());
    Files::TPosDesc tgt{};
    Files::GetTgt(ses.f, tgt);
    if (ses.w) {
      Sndrs::Free(ses.s);
      Files::Close(ses.f);
      Close();
      // The server's reason: its check failed, or the name was taken while
      // the file arrived (a server without -o never replaces a file).
      if (ses.e == WISP::errRID) Fatal("DoClose: Resource already exists.");
      if (ses.e != WISP::errNull) Fatal("DoClose: Checksum mismatch.");
    } else {
      // With -x the server's digest may still be on its way: asked for
      // every Ext::askMs, and only the digest counts as an answer (a
      // server that failed the transfer closes instead).
      if (ses.x != 0 && ses.e == WISP::errNull) {
        switch (Ext::Wait(ses.g, Tmr::Ticks())) {
          case Ext::wsKnown:
            // Held data of another content than the digest says fail the
            // check below, and go.
            Files::GetTgt(ses.f, tgt);
            if (ses.k != nullptr) Parts::Learn(ses.k, tgt.d);
            break;
          case Ext::wsAsk: DgRq(); return;
          case Ext::wsIdle: return;
          case Ext::wsExpired: Fatal("DoData: No answer from the server.");
        }
      }
      // The file's digest is made off the loop: the check waits for it
      // step by step (the timer keeps the period of the data phase).
      if (!Files::Ready(ses.f)) return;
      Rcvrs::Free(ses.r);
      Files::TPosDesc p{};
      Files::GetPos(ses.f, 0, p);
      if (std::memcmp(&p, &tgt, sizeof p) != 0) ses.e = WISP::errChk;
      Close();
      // The file table removes the uncommitted temporary file when the
      // termination chain closes it; a partial file that fails its check
      // goes with its record, so that the next get starts clean.
      if (ses.e != WISP::errNull) {
        if (ses.k != nullptr) Parts::Discard(ses.k);
        Fatal("DoClose: Checksum mismatch.");
      }
      // A file that the disk refuses (time, sync or link) is not written;
      // only a name that is taken means the resource exists.
      if (!Files::SetDateTime(ses.f, ses.d)) Fatal("DoClose: Resource cannot be written.");
      if (!Files::Commit(ses.f)) {
        Fatal(Files::Failed(ses.f) ? "DoClose: Resource cannot be written." : "DoClose: Resource already exists.");
      }
      // In place under its name: the partial file's record goes.
      if (ses.k != nullptr) Parts::Finish(ses.k);
      Files::Close(ses.f);
    }
    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "DoClose: Transmission successful. ");
    SO::WrHugeCard(b, tgt.l, 1);
    SO::WrStr(b, " B, ");
    SO::WrLngCard(b, dt, 1);
    SO::WrStr(b, " ms, ");
    // What moved in this run: a resume counts only what was missing.
    SO::WrFixLngReal(b, Client::Speed(tgt.l - ses.kb, dt), 3, 1);
    SO::WrStr(b, " MB/s.");
    Message(t, true);
    Lib3::SetReturnCode(0);
    Lib3::Stop();
  }

  // k: the periods expired since the previous call. Only the data phase
  // makes up missed periods; a late request or close goes out once.
  void OnTmr(uint32_t k, uint32_t) {
    switch (ses.st) {
      case stOpen: DoOpen(); break;
      case stData:
        DoData(ses.n ? 1 : DuePeriods(k));
        ses.n = false;
        break;
      case stClose: DoClose(); break;
      default: Fatal("OnTmr Invalid state");
    }
  }

  // ---- receiving -------------------------------------------------------------

  // Restarts the timer at the granted period for the data phase.
  void StartData(uint32_t m) {
    pro.m = m;
    ses.rx = Tmr::Ticks();
    SetState(stData);
    ses.n = true;
    Tmrs::Set(tmr, 1, ses.p.dtu);
  }

  // The rate the request line announced, and the one the server granted:
  // n fragments of f bytes every t ms.
  double Rate(uint32_t f, uint32_t n, uint32_t t) { return Client::Speed(f * n, t); }

  // Tells the user once when the server granted less than was asked for, so
  // a slower transfer than requested has its reason on the console.
  void ShowGrant(const char* tel, uint16_t f, uint16_t t, uint8_t n, uint16_t dtu, uint8_t fpu) {
    // f * n / t < 1455 * fpu / dtu, compared without rounding.
    if (uint64_t(f) * n * dtu >= uint64_t(WISP::lenMaxFgm) * fpu * t) return;
    char m[64];
    SO::TBuffer b;
    SO::Init(b, m);
    SO::WrStr(b, tel);
    SO::WrStr(b, "Server granted ");
    SO::WrFixLngReal(b, Rate(f, n, t), 3, 1);
    SO::WrStr(b, " MB/s.");
    Message(m, true);
  }

  // What a read reply and a write reply share: the server's refusal ends the
  // program with its message (tel names the reply, unk is the whole text for
  // an unknown refusal), granted parameters outside what was asked for end
  // it too; otherwise the grant becomes the session's and the data phase's
  // clock starts.
  void OnRx_Grant(const char* tel, uint8_t e, const char* rid, const char* unk, uint16_t f, uint16_t t, uint8_t n) {
    char m[128];
    SO::TBuffer b;
    SO::Init(b, m);
    SO::WrStr(b, tel);
    switch (e) {
      case WISP::errNull: break;
      case WISP::errBsy: SO::WrStr(b, "Server full."); Fatal(m);
      case WISP::errRID: SO::WrStr(b, rid); Fatal(m);
      default: Fatal(unk);
    }
    if (f == 0 || f > WISP::lenMaxFgm) SO::WrStr(b, "Server sent invalid fragment length.");
    else if (t == 0 || t < ses.p.dtu) SO::WrStr(b, "Server sent invalid update period.");
    else if (n == 0 || n > ses.p.fpu) SO::WrStr(b, "Server sent invalid fragment count.");
    else {
      ShowGrant(tel, f, t, n, ses.p.dtu, ses.p.fpu);
      ses.t = Tmr::Ticks();
      ses.p.dtu = t;
      ses.p.fpu = n;
      SrvIO::Runs(n);   // above the default rate datagrams go in runs
      return;
    }
    Fatal(m);
  }

  // A get with -k: the source of this get against the partial file's. The
  // same source resumes ("RdRp: Resuming, 157286400 B already received."),
  // another starts over ("RdRp: Source changed, starting over.").
  void OnRx_RdRp_Part(const WISP::TRdRpDesc& q) {
    Parts::TSrcDesc s{};
    std::memcpy(s.r, Config::Rid(), std::strlen(Config::Rid()));
    SrvText(s.s, sizeof s.s);
    s.l = q.p.l;
    s.d = q.d;
    s.f = q.f;
    s.k = q.k;
    if (q.k) std::memcpy(s.g, q.p.d, sizeof s.g);
    const Parts::TMatch m = Parts::Begin(ses.k, s);
    if (m == Parts::mFail) Fatal("RdRp: Resource cannot be written.");
    if (m != Parts::mOk && m != Parts::mNone) Message("RdRp: Source changed, starting over.", true);
    ses.kb = m == Parts::mOk ? Parts::HeldBytes(ses.k) : 0;
    if (ses.kb == 0) return;
    char t[96];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "RdRp: Resuming, ");
    SO::WrHugeCard(b, ses.kb, 1);
    SO::WrStr(b, " B already received.");
    Message(t, true);
  }

  void OnRx_RdRp(const uint8_t* x, uint32_t bl) {
    if (ses.st != stOpen) return IncErrCnt(Client::eRdRpSt);
    if (ses.w) return IncErrCnt(Client::eRdRpWr);
    const bool xl = x[WISP::TelHdr::c] == WISP::cmdXRdRp;
    if (bl != (xl ? WISP::TelXRdRp::body : WISP::TelRdRp::body)) return IncErrCnt(Client::eRdRpLen);
    if (!WISP::Sound(x)) return IncErrCnt(Client::eXVal);
    WISP::TRdRpDesc q{};
    WISP::Decode(x, q);
    // A server that answers an offer with the classic reply lacks -x: it
    // cannot serve a file of 4 GiB or more, and refuses it as not found.
    const char* rid = ses.x != 0 && !xl ? "Resource not found (a file of 4 GiB or more needs -x on the server)."
                                        : "Resource not found.";
    if (xl && (ses.x & q.x) == 0) return IncErrCnt(Client::eXVal);
    ses.x &= q.x;
    OnRx_Grant("RdRp: ", q.e, rid, "RdRp: Unknown error.", q.f, q.t, q.n);
    Files::SetTgt(ses.f, q.p);
    ses.d = q.d;
    if (ses.k != nullptr) OnRx_RdRp_Part(q);
    ses.r = Rcvrs::Alloc(q.f, ses.f, (static_cast<uint32_t>(q.n) * 25u) / q.t, q.t, q.n, ses.k);
    if (ses.r == nullptr) Fatal("RdRp Alloc inconsistency");
    ses.rf = q.r;

    char t[256];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, xl ? "XRdRp fgl " : "RdRp fgl ");
    SO::WrCard(b, q.f, 1);
    SO::WrStr(b, " dtu ");
    SO::WrCard(b, q.t, 1);
    SO::WrStr(b, " fpu ");
    SO::WrShtCard(b, q.n, 1);
    SO::WrStr(b, " tgt ");
    Files::WrTgt(b, q.p, q.k);
    SO::WrStr(b, " dt ");
    Utils::WrDateTime(b, q.d.d, q.d.t);
    SO::WrStr(b, " ref ");
    SO::WrCard(b, q.r, 1);
    Message(t, Config::data.vrb);

    uint32_t m = 0;
    Rcvrs::GetCnt(ses.r, m);
    StartData(m);
    // The progress line starts at what is there already.
    if (ses.k != nullptr) UpdCnt(Parts::Count(ses.k));
  }

  void OnRx_WrRp(const uint8_t* x, uint32_t bl) {
    if (ses.st != stOpen) return IncErrCnt(Client::eWrRpSt);
    if (!ses.w) return IncErrCnt(Client::eWrRpWr);
    const bool xl = x[WISP::TelHdr::c] == WISP::cmdXWrRp;
    if (bl != (xl ? WISP::TelXWrRp::body : WISP::TelWrRp::body)) return IncErrCnt(Client::eWrRpLen);
    WISP::TWrRpDesc q{};
    WISP::Decode(x, q);
    if (xl && (ses.x & q.x) == 0) return IncErrCnt(Client::eXVal);
    // An old server answered the classic request, which went out with the
    // digest: the transfer is classic.
    ses.x &= q.x;
    if (ses.x == 0) Ext::Drop(ses.h);
    // The server refuses an upload alike whether the name exists or its
    // directory cannot take the file (not writable, disk full).
    OnRx_Grant("WrRp: ", q.e, "Resource exists or cannot be created.", "Unknown error.", q.f, q.t, q.n);
    ses.s = Sndrs::Alloc(q.f, ses.f);
    if (ses.s == nullptr) Fatal("WrRp Alloc inconsistency");
    ses.rf = q.r;

    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, xl ? "XWrRp fgl " : "WrRp fgl ");
    SO::WrCard(b, q.f, 1);
    SO::WrStr(b, " dtu ");
    SO::WrCard(b, q.t, 1);
    SO::WrStr(b, " fpu ");
    SO::WrShtCard(b, q.n, 1);
    SO::WrStr(b, " ref ");
    SO::WrCard(b, q.r, 1);
    Message(t, Config::data.vrb);

    uint32_t m = 0;
    Sndrs::GetCnt(ses.s, m);
    StartData(m);
  }

  void OnRx_DatRp(const uint8_t* x, uint32_t bl) {
    if (ses.st != stData) return IncErrCnt(Client::eDatRpSt);
    if (ses.w) return IncErrCnt(Client::eDatRpWr);
    if (bl < WISP::TelDatRp::bodyMin || bl > WISP::TelDatRp::bodyMax) return IncErrCnt(Client::eDatRpLen);
    WISP::TDatHdrDesc h{};
    WISP::Decode(x, h);
    Rcvrs::Receive(ses.r, h.i, x + WISP::TelDatRp::d, bl - 6);
    UpdCnt(static_cast<uint64_t>(h.i) + 1);
  }

  void OnRx_DatRq(const uint8_t* x, uint32_t bl) {
    if (ses.st != stData) return IncErrCnt(Client::eDatRqSt);
    if (!ses.w) return IncErrCnt(Client::eDatRqWr);
    if (bl != WISP::TelDatRq::body) return IncErrCnt(Client::eDatRqLen);
    WISP::TDatRqDesc q{};
    WISP::Decode(x, q);
    Sndrs::Receive(ses.s, q.h.i, q.s);
  }

  // The server's digest of the file a get receives (-x), in answer to our
  // request once every fragment is there.
  void OnRx_Dgst(const uint8_t* x, uint32_t bl) {
    if (bl != WISP::TelDgst::body) return IncErrCnt(Client::eXLen);
    if (ses.w || ses.x == 0 || !ses.g.on) return IncErrCnt(Client::eXSes);
    WISP::TDgstDesc g{};
    WISP::Decode(x, g);
    if (!Ext::Take(ses.g, ses.f, g)) return IncErrCnt(Client::eXVal);
  }

  // The server holds every fragment and asks for the digest of the file a
  // put sends (-x): it goes out once known, as long as the file is as it
  // was at open.
  void OnRx_DgRq(const uint8_t*, uint32_t bl) {
    if (bl != WISP::TelDgRq::body) return IncErrCnt(Client::eXLen);
    if (!ses.w || ses.x == 0 || ses.st != stData) return IncErrCnt(Client::eXSes);
    if (!Ext::Asked(ses.h)) return;
    if (!Ext::Same(ses.h, ses.f)) Unsendable();
    Dgst();
  }

  // A get with -x that holds every fragment and waits for the server's
  // digest is closing already; the server may still end it.
  bool Waiting() { return ses.st == stClose && !ses.w && ses.x != 0 && !ses.g.k && ses.e == WISP::errNull; }

  // In a put the server closes when its check has run; in a get only to end
  // a transfer that cannot succeed (its file changed while being sent), with
  // a failure result: the get then ends as a failed check.
  void OnRx_Close(const uint8_t* x, uint32_t bl) {
    if (ses.st != stData && !Waiting()) return IncErrCnt(Client::eCloseSt);
    if (!ses.w && (bl != WISP::TelClose::body || x[WISP::TelClose::e] == WISP::errNull)) {
      return IncErrCnt(Client::eCloseWr);
    }
    if (bl != WISP::TelClose::body) return IncErrCnt(Client::eCloseLen);
    WISP::TCloseDesc q{};
    WISP::Decode(x, q);
    ses.e = q.e;
    if (ses.st == stData) {
      EndPro();
      SetState(stClose);
    }

    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "Close rx ref ");
    SO::WrCard(b, q.r, 1);
    SO::WrStr(b, " err ");
    SO::WrShtCard(b, q.e, 1);
    Message(t, Config::data.vrb);
  }

  // x holds the datagram (at least its first 1472 bytes), l is its true
  // length: the length test comes first, so nothing beyond it is read.
  void OnRx(const uint8_t* x, uint32_t l) {
    switch (WISP::Accept(x, l, false, Config::data.xtd)) {
      case WISP::accOk: break;
      case WISP::accLen: return IncErrCnt(Client::eLen);
      case WISP::accCrc: return IncErrCnt(Client::eCrc);
      case WISP::accMag: return IncErrCnt(Client::eMag);
      case WISP::accVer: return IncErrCnt(Client::eVer);
      default: return IncErrCnt(Client::eCmd);
    }
    ses.rx = Tmr::Ticks();   // the server is there
    uint32_t bl = WISP::BodyLen(l);
    switch (x[WISP::TelHdr::c]) {
      case WISP::cmdRdRp:
      case WISP::cmdXRdRp: return OnRx_RdRp(x, bl);
      case WISP::cmdWrRp:
      case WISP::cmdXWrRp: return OnRx_WrRp(x, bl);
      case WISP::cmdDgst: return OnRx_Dgst(x, bl);
      case WISP::cmdDgRq: return OnRx_DgRq(x, bl);
      case WISP::cmdDatRq: return OnRx_DatRq(x, bl);
      case WISP::cmdDatRp: return OnRx_DatRp(x, bl);
      case WISP::cmdClose: return OnRx_Close(x, bl);
      default: return IncErrCnt(Client::eCmd);
    }
  }

  // ---- set-up and end ----------------------------------------------------------

  // True when the path leads to a regular file whose length does not fit the
  // 32-bit length of the telegrams.
  bool TooLarge(const char* pth) {
    struct stat st{};
    if (::stat(pth, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return static_cast<uint64_t>(st.st_size) > sizeMaxFile;
  }

  // Whether the name that a get writes to is taken in the current directory.
  bool Exists(const char* rnm) {
    Types::TPthStr n{};
    Files::MkWrPth(rnm, n);
    struct stat st{};
    return ::lstat(n, &st) == 0;
  }

  // A get with -k: the file table's entry writes into the partial file of
  // the name, which is opened (made when new) and locked. A name of the
  // partial files' own pattern is never received into; nullptr when the
  // entry cannot be made (the partial file stays as it was).
  Files::TFile OpenPart() {
    Types::TPthStr n{};
    Files::MkWrPth(Config::Rid(), n);
    if (Parts::IsPartName(n)) Fatal("InitSes: Resource cannot be created.");
    if (!Config::data.ovr && Exists(Config::Rid())) return nullptr;
    switch (Parts::Open(n, ses.k)) {
      case Parts::oBusy: Fatal("InitSes: Partial file in use by another client.");
      case Parts::oFail: return nullptr;
      default: break;
    }
    Files::TFile f = Files::OpenWrPart(Config::Rid(), Parts::Reopen(ses.k), ses.k->pn);
    if (f == nullptr) Parts::Keep(ses.k);
    return f;
  }

  void InitSes() {
    ses = TSesDesc{};
    ses.w = Config::data.wrt;
    ses.t = Tmr::Ticks();
    ses.p.dtu = static_cast<uint16_t>(Config::data.dtu);
    ses.p.fpu = Config::data.fpu;
    ses.x = Config::data.xtd ? WISP::extKnown : 0;
    if (ses.w) {
      // Checked before anything is sent: the length would be cut to 32 bits
      // and the transfer would fail only at its very end.
      // The local path as given; the request names the file by its last
      // component.
      if (ses.x == 0 && TooLarge(Config::data.rnm)) Fatal("InitSes: Resource too large.");
      // With -x the worker digests the file while the request goes out.
      ses.f = Files::OpenRdPth(Config::data.rnm, Config::Rid(), ses.x != 0);
      if (ses.f == nullptr) Fatal("InitSes: Resource does not exist.");
      if (ses.x != 0) {
        Files::TPosDesc t{};
        Files::GetTgt(ses.f, t);
        if (WISP::FgmCnt(t.l, WISP::lenMaxFgm) > WISP::fgmCntMax) Fatal("InitSes: Resource too large.");
        const Jobs::TState st = Ext::Hold(ses.h, ses.f);
        if (st == Jobs::stFailed || st == Jobs::stFull) Fatal("InitSes: Resource does not exist.");
        ses.o = ses.t - periodOpen;   // the first request goes out at once
      }
      Files::GetDateTime(ses.f, ses.d);
    } else {
      ses.f = Config::data.kpt ? OpenPart() : Files::OpenWr(Config::Rid());
      if (ses.f == nullptr) {
        Fatal(Exists(Config::Rid()) ? "InitSes: Resource already exists." : "InitSes: Resource cannot be created.");
      }
    }
    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "InitSes: Requesting ");
    SO::WrFixLngReal(b, Rate(WISP::lenMaxFgm, ses.p.fpu, ses.p.dtu), 3, 1);
    SO::WrStr(b, " MB/s.");
    Message(t, true);
    SetState(stOpen);
  }

  // Closes the local file if it is still open; an uncommitted received file
  // is removed by the file table.
  void DoneSes() {
    Ext::Drop(ses.h);
    // A get with -k that did not succeed keeps what has reached the file: a
    // last record, then the partial file stays.
    if (ses.k != nullptr) {
      if (ses.f != nullptr) Files::Flush(ses.f);
      if (ses.f != nullptr && !Files::Failed(ses.f)) Parts::Settle(ses.k, Now());
      Parts::Keep(ses.k);
    }
    if (ses.f != nullptr) Files::Close(ses.f);
  }

  void ShowErrCnts() {
    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "ShowErrCnts");
    for (uint32_t i = 0; i < Client::ErrCntShown(); ++i) {
      SO::WrChar(b, ' ');
      SO::WrLngHex(b, err[i] & 0xFFFu, 3);
    }
    Message(t, Config::data.vrb);
  }

  void DoneModule() {
    // Stopped in the data phase before the close went out: one close with a
    // failure result, so the server ends the session now.
    if (ses.st != stOpen && !ses.cl) {
      if (ses.e == WISP::errNull) ses.e = WISP::errChk;
      Close();
    }
    DoneSes();
    ShowErrCnts();
    Message("DoneModule", Config::data.vrb);
    oldTerm();
  }
}

namespace Client {
  double Speed(uint64_t n, uint32_t dt) {
    if (dt == 0) return 999.999;
    return static_cast<double>(n) * 1000.0 / 1048576.0 / static_cast<double>(dt);
  }

  void GetErrCnts(TErrCnts& e) { std::memcpy(e, err, sizeof err); }

  uint32_t ErrCntShown() { return Config::data.xtd ? errCntExt : errCnt; }

  void Run() { SrvIO::Execute(); }

  void InitModule() {
    static bool done = false;
    if (done) return;
    done = true;
    Log::Register(Cfg::midClient, "Client");
    ses = TSesDesc{};
    std::memset(err, 0, sizeof err);
    pro = TProDesc{};
    tmr = Tmrs::New();
    InitSes();
    SrvIO::Install(OnRx);
    Lib3::Terminate(DoneModule, oldTerm);

    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "InitModule ");
    WISP::WrConsts(b);
    Message(t, Config::data.vrb);
    SO::Init(b, t);
    SO::WrStr(b, "InitModule sys '");
    SO::WrStr(b, SysVer::str);
    SO::WrChar(b, '\'');
    Message(t, Config::data.vrb);

    Tmrs::SetHnd(tmr, OnTmr, 0);
    Tmrs::Set(tmr, 1, ses.w && ses.x != 0 ? pollOpenMs : periodOpen);
  }
}
