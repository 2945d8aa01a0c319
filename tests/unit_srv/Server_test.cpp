// Server sessions driven directly: the session module is compiled into this
// file (as in the fuzz target) so that a case can reach a session's file and
// state and drive the receive handler and the timer itself. A served file
// that can no longer be read and an upload whose writes fail each end their
// own session at once, with a close that carries errChk, while the other
// sessions and new ones go on. A timer pass that comes late makes up the
// steps it missed, up to Server::stepsMax (a new session's first pass counts
// one): time-outs, update countdowns and repeated closes follow the clock,
// and the updates that fell due ask for or send their fragments at once. Each case runs the server's start-up in a
// child process of its own, in a scratch directory.
#include "../../srv/src/Server.cpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../ChildCase.h"
#include "Args.h"
#include "FOps.h"
#include "Jobs.h"
#include "Link.h"
#include "MD5.h"
#include "Startup.h"

namespace {
  using ChildCase::End;
  using ChildCase::Sent;
  using ChildCase::Want;

  // A client endpoint on loopback that hears the server's answers.
  struct TPeer {
    int s;
    uint16_t port;
    // gro: the endpoint takes runs of datagrams whole (UDP_GRO), so a run
    // the server sent as one comes as one.
    explicit TPeer(bool gro = false) {
      s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      const int on = 1;
      if (gro && setsockopt(s, SOL_UDP, UDP_GRO, &on, sizeof on) != 0) _exit(91);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t l = sizeof a;
      timeval tv{1, 0};
      setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
          getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) != 0)
        _exit(90);
      port = ntohs(a.sin_port);
    }
    // A telegram from this endpoint, straight into the receive handler.
    void Send(const uint8_t* x, uint32_t l) const {
      uint8_t buf[WISP::lenMaxTel];
      std::memcpy(buf, x, l);
      CliIO::TRxInfDesc r{{htonl(INADDR_LOOPBACK), port}};
      Server::OnRx(r, buf, l);
    }
    // The command of the next telegram from the server (0: none within 1 s).
    uint8_t Recv(std::vector<uint8_t>& x) const {
      Link::Flush();   // what the handlers sent (the loop would before it waits)
      x.resize(65536);
      const ssize_t n = recv(s, x.data(), x.size(), 0);
      x.resize(n > 0 ? static_cast<size_t>(n) : 0);
      return n >= 11 ? x[WISP::TelHdr::c] : 0;
    }
    // The command of the next telegram from the server if one is there now (0: none).
    uint8_t Next(std::vector<uint8_t>& x) const {
      Link::Flush();
      x.resize(65536);
      const ssize_t n = recv(s, x.data(), x.size(), MSG_DONTWAIT);
      x.resize(n > 0 ? static_cast<size_t>(n) : 0);
      return n >= 11 ? x[WISP::TelHdr::c] : 0;
    }
    // Skips data requests and data replies up to the next close: its result,
    // or 255 when none comes.
    uint8_t CloseResult() const {
      std::vector<uint8_t> x;
      for (int k = 0; k < 64; ++k) {
        const uint8_t c = Recv(x);
        if (c == WISP::cmdClose) return x[WISP::TelClose::e];
        if (c != WISP::cmdDatRq && c != WISP::cmdDatRp) return 255;
      }
      return 255;
    }
  };

  void RdRq(const TPeer& p, const char* name, uint8_t n = 10) {
    WISP::TRdRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = n;
    std::strcpy(q.r, name);
    uint8_t x[WISP::lenMaxTel];
    p.Send(x, WISP::Encode(x, q));
  }

  void Steps(uint32_t n) {
    for (uint32_t k = 0; k < n; ++k) Server::OnTmr(1, 0);
  }

  // Steps until session i has its read reply out (its digest known), at most
  // 10 s; whether it has.
  bool StepsUntilOpen(uint8_t i) {
    for (int k = 0; k < 100000 && Server::Ses(i).i == i && Server::Ses(i).x.s.s == nullptr; ++k) {
      usleep(100);
      Steps(1);
    }
    return Server::Ses(i).i == i && Server::Ses(i).x.s.s != nullptr;
  }

  // The digest of the file n (of a settled content) is kept: a session asks
  // for it, gets its reply and ends.
  void KeepDigest(const char* n) {
    usleep(20000);
    TPeer p;
    RdRq(p, n);
    const CliIO::TRxInfDesc r{{htonl(INADDR_LOOPBACK), p.port}};
    const uint8_t i = Server::Find(r.d);
    Want(i != 0 && StepsUntilOpen(i), 80, "the digest made");
    uint8_t t[WISP::lenMaxTel];
    p.Send(t, WISP::Encode(t, WISP::TCloseDesc{i, WISP::errNull}));
    Want(Server::Ses(i).i == 0, 81, "the session ended");
  }

  // The server started in a fresh scratch directory with files a.bin (5000
  // bytes) and b.bin (3000 bytes); fast: with -f 255; ext: with -x.
  void StartServer(bool fast = false, bool ext = false) {
    ChildCase::EnterScratch();
    for (auto [n, l] : {std::pair{"a.bin", 5000}, std::pair{"b.bin", 3000}}) {
      std::ofstream f(n, std::ios::binary);
      for (int k = 0; k < l; ++k) f.put(static_cast<char>(k * 7));
    }
    static char a0[] = "WISPSrv", a1[] = "-a", a2[] = "127.0.0.1", a3[] = "-p", a4[] = "0", a5[] = "-f",
                a6[] = "255", a7[] = "-x";
    static char* argv[8];
    int n = 0;
    for (char* a : {a0, a1, a2, a3, a4}) argv[n++] = a;
    if (fast) argv[n++] = a5, argv[n++] = a6;
    if (ext) argv[n++] = a7;
    argv[n] = nullptr;
    Args::SetArgs(n, argv);
    Startup::InitModules(false);
    // Their digests kept, so that a read request is answered at once.
    KeepDigest("a.bin");
    KeepDigest("b.bin");
  }

  std::string LogText() {
    std::ifstream i("WISPSrv.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(i), std::istreambuf_iterator<char>());
  }

  void UnreadableServedFile() {
    StartServer();
    TPeer p1, p2;
    std::vector<uint8_t> x;
    RdRq(p1, "a.bin");
    RdRq(p2, "b.bin");
    Want(p1.Recv(x) == WISP::cmdRdRp && p2.Recv(x) == WISP::cmdRdRp, 1, "two read sessions");
    // The served file's descriptor now refers to a directory: reads fail.
    const int dir = open(".", O_RDONLY | O_DIRECTORY);
    Want(dir >= 0 && dup2(dir, Server::Ses(1).x.s.f->b) >= 0, 2, "descriptor replaced");
    close(dir);
    uint8_t t[WISP::lenMaxTel];
    p1.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{1, 0}, 1}));
    Steps(3);
    Want(p1.CloseResult() == WISP::errChk, 3, "a close with errChk");
    Want(Server::Ses(1).i == 0 && Server::Ses(2).i == 2, 4, "only session 1 ended");
    // The other session still serves, and a new one starts.
    p2.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{2, 0}, 3}));
    Steps(3);
    const uint8_t c1 = p2.Recv(x);
    const size_t l1 = x.size();
    Want(c1 == WISP::cmdDatRp && l1 == 1472 && p2.Recv(x) == WISP::cmdDatRp && x.size() == 1472, 5,
         "the two fragments asked for");
    RdRq(p1, "a.bin");
    Want(p1.Recv(x) == WISP::cmdRdRp && x[WISP::TelRdRp::e] == WISP::errNull, 6, "a new session");
    const std::string log = LogText();
    Want(log.find("Read failed idx 1 rid 'a.bin' err 21") != std::string::npos, 7, "the failure logged");
    Want(log.find("Free idx 1 ok 0 err 3") != std::string::npos, 8, "the release logged");
    End(0);
  }

  // A client whose check failed closes with errChk: the kept digest it was
  // given may no longer hold, and the next request digests the file anew.
  void FailedCheckDropsTheKeptDigest() {
    StartServer();
    TPeer p;
    std::vector<uint8_t> x;
    uint8_t t[WISP::lenMaxTel];
    RdRq(p, "a.bin");
    Want(p.Recv(x) == WISP::cmdRdRp && x[WISP::TelRdRp::e] == WISP::errNull, 1, "answered from the kept digest");
    p.Send(t, WISP::Encode(t, WISP::TCloseDesc{1, WISP::errChk}));
    const uint32_t n = Jobs::Hashed();
    RdRq(p, "a.bin");
    Want(Server::Ses(1).i == 1 && Server::Ses(1).x.s.s == nullptr, 2, "waits for a digest");
    Want(StepsUntilOpen(1) && Jobs::Hashed() == n + 1, 3, "hashed anew");
    End(0);
  }

  void FailedWrite() {
    StartServer();
    TPeer p;
    std::vector<uint8_t> x;
    WISP::TWrRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = 10;
    q.p.l = 20000;   // 14 fragments
    std::strcpy(q.r, "w.bin");
    uint8_t t[WISP::lenMaxTel];
    p.Send(t, WISP::Encode(t, q));
    Want(p.Recv(x) == WISP::cmdWrRp && x[WISP::TelWrRp::e] == WISP::errNull, 1, "a write session");
    // The temporary file's descriptor now is read-only: writes fail.
    const int ro = open("a.bin", O_RDONLY);
    Want(ro >= 0 && dup2(ro, Server::Ses(1).x.r.f->b) >= 0, 2, "descriptor replaced");
    close(ro);
    Steps(1);
    Want(p.Recv(x) == WISP::cmdDatRq, 3, "fragments asked for");
    uint8_t frag[WISP::lenMaxFgm] = {};
    p.Send(t, WISP::EncodeDatRp(t, {1, 0}, frag, sizeof frag));
    Steps(1);
    // Thirteen fragments are missing, yet the upload ends now.
    Want(p.CloseResult() == WISP::errChk, 4, "a close with errChk");
    p.Send(t, WISP::Encode(t, WISP::TCloseDesc{1, WISP::errChk}));
    Want(Server::Ses(1).i == 0, 5, "the session ended");
    Want(access("w.bin", F_OK) != 0, 6, "no file");
    Want(LogText().find("Write failed idx 1 rid 'w.bin' err 9") != std::string::npos, 7, "the failure logged");
    End(0);
  }

  // ---- late timer passes ------------------------------------------------------

  void WrRq(const TPeer& p, const char* name, uint32_t len, uint16_t t, uint8_t n) {
    WISP::TWrRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = t;
    q.n = n;
    q.p.l = len;
    std::strcpy(q.r, name);
    uint8_t x[WISP::lenMaxTel];
    p.Send(x, WISP::Encode(x, q));
  }

  void LatePassMakesUpItsSteps() {
    using namespace Server;
    StartServer();
    {
      std::ofstream f("c.bin", std::ios::binary);
      for (int k = 0; k < 150 * 1455; ++k) f.put(static_cast<char>(k));
    }
    // Its digest kept: the read session starts with its reply.
    KeepDigest("c.bin");
    TPeer rd, wr;
    uint8_t x[WISP::lenMaxTel];
    // A read session (1 ms, 10 per update) with all 150 fragments asked for,
    // and a write session granted 3 ms and 4 per update: window 33.
    RdRq(rd, "c.bin");
    for (uint32_t b = 0; b < 150; b += 32) rd.Send(x, WISP::Encode(x, WISP::TDatRqDesc{{1, b}, 0xFFFFFFFF}));
    WrRq(wr, "w.bin", 100 * 1455, 3, 4);
    TSesDesc& r = Ses(1);
    TSesDesc& w = Ses(2);
    Want(r.i == 1 && r.x.s.s != nullptr && r.x.s.s->r.n == 150, 1, "a read session with 150 queued");
    Want(w.i == 2 && w.x.w && w.x.r.r->w.w == 33, 2, "a write session with window 33");

    // The first pass of new sessions counts one step however late it is:
    // the time it reports began before they did.
    uint32_t s0 = Sent();
    const uint32_t to = dtc / 3;
    Tmrs::Trigger(5);
    Want(r.x.s.s->r.n == 130 && w.x.r.r->w.j == 4 && Sent() - s0 == 20 + 1, 3, "one step's work");
    Want(r.c.t == tos - 1 && w.c.t == tos - 1 && w.c.u == 3, 4, "countdowns one step on");

    // 6 ms in one pass: six steps. The read session sends 6 x 2 x 10; the
    // write session's updates at steps 3 and 6 ask for 2 x 4 fragments at
    // once, in one data request, and the re-request countdowns go down once.
    s0 = Sent();
    Tmrs::Trigger(6);
    Want(r.x.s.s->r.n == 10, 5, "120 fragments sent");
    Want(w.x.r.r->w.j == 12 && w.x.r.r->w.t[0] == to - 1 && w.x.r.r->w.t[4] == to, 6, "8 more asked for");
    Want(Sent() - s0 == 120 + 1, 7, "120 data replies and one data request");
    Want(r.c.t == tos - 7 && w.c.t == tos - 7 && w.c.u == 3, 8, "countdowns six steps on");

    // A stall of a second counts as stepsMax steps: the read session empties
    // its queue, the write session's 8 updates (steps 3, 6, .. 24) fill its
    // window, and the re-request countdowns go down once.
    Tmrs::Trigger(1000);
    Want(r.x.s.s->r.n == 0, 9, "the queue sent");
    Want(w.x.r.r->w.j == 33, 10, "the window full");
    Want(w.x.r.r->w.t[0] == to - 2 && w.x.r.r->w.t[12] == to, 11, "countdowns once per pass");
    Want(w.x.r.r->e[Rcvrs::eTO] == 0, 12, "no time-out");
    Want(r.c.t == tos - 7 - stepsMax && w.c.t == tos - 7 - stepsMax, 13, "time-outs stepsMax steps on");
    Want(w.c.u == 2, 14, "update countdown stepsMax steps on");

    // The time-out follows the elapsed steps too: 5 left, then 6 ms in one
    // pass end the session at its sixth step.
    r.c.t = 5;
    Tmrs::Trigger(5);
    Want(r.i == 1 && r.c.t == 0, 15, "5 steps: still there");
    Tmrs::Trigger(1);
    Want(r.i == 0 && w.i == 2 && ses.n == 1, 16, "the sixth: timed out alone");
    End(0);
  }

  // Runs: while a session moves more than 10 fragments per update, its
  // fragments leave as one run the kernel cuts into datagrams (a peer that
  // takes runs whole gets them as one, cut at 1472 bytes, the short last one
  // included); at the default rate, and again once the fast session has
  // ended, every datagram leaves on its own.
  void RunsAboveTheDefaultRate() {
    StartServer(true);
    TPeer p1(true), p2(true);
    std::vector<uint8_t> x;
    uint8_t t[WISP::lenMaxTel];
    RdRq(p1, "a.bin");
    Want(p1.Recv(x) == WISP::cmdRdRp && x[WISP::TelRdRp::n] == 10, 1, "a session at the default rate");
    p1.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{1, 0}, 0xF}));
    Steps(1);
    for (size_t l : {1472u, 1472u, 1472u, 5000u - 3 * 1455 + 17}) {
      Want(p1.Recv(x) == WISP::cmdDatRp && x.size() == l, 2, "single datagrams");
    }
    RdRq(p2, "b.bin", 255);
    Want(p2.Recv(x) == WISP::cmdRdRp && x[WISP::TelRdRp::n] == 255, 3, "a session at 255");
    p2.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{2, 0}, 0x7}));
    Steps(1);
    Want(p2.Recv(x) == WISP::cmdDatRp && x.size() == 2 * 1472 + 3000 - 2 * 1455 + 17, 4, "one run of three");
    Want(WISP::Accept(x.data(), 1472, false) == WISP::accOk &&
             WISP::Accept(x.data() + 2 * 1472, 3000 - 2 * 1455 + 17, false) == WISP::accOk, 5, "cut at 1472");
    p2.Send(t, WISP::Encode(t, WISP::TCloseDesc{2, WISP::errNull}));
    Want(Server::Ses(2).i == 0, 6, "the fast session ended");
    p1.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{1, 0}, 0x3}));
    Steps(1);
    Want(p1.Recv(x) == WISP::cmdDatRp && x.size() == 1472 && p1.Recv(x) == WISP::cmdDatRp && x.size() == 1472, 7,
         "single again");
    End(0);
  }

  // An empty upload is complete at its first update; its close goes out then
  // and again every dtc steps, however the steps come in passes.
  void FinishedUploadRepeatsItsClose() {
    using namespace Server;
    StartServer();
    TPeer p;
    WrRq(p, "e.bin", 0, 1, 10);
    TSesDesc& e = Ses(1);
    Want(e.i == 1 && e.x.w, 1, "a write session");
    const uint32_t s0 = Sent();
    Tmrs::Trigger(1);
    Want(e.x.r.c && Sent() - s0 == 1 && e.c.u == dtc, 2, "checked and closed at once");
    Tmrs::Trigger(1000);   // counts as stepsMax steps
    Want(e.c.u == dtc - stepsMax, 3, "stepsMax steps of the close countdown");
    for (uint32_t k = 0; k < 3; ++k) Tmrs::Trigger(stepsMax);
    Want(e.c.u == stepsMax && Sent() - s0 == 1, 4, "no close before its time");
    Tmrs::Trigger(stepsMax + 2);   // due at the 25th step, the last that counts
    Want(Sent() - s0 == 2 && e.c.u == dtc, 5, "the close repeated");
    Tmrs::Trigger(dtc - 10);       // counts as stepsMax steps
    Tmrs::Trigger(10);
    Want(e.c.u == dtc - stepsMax - 10 && Sent() - s0 == 2, 6, "the next one counting down");
    End(0);
  }
}

namespace {
  // ---- work off the loop, and faults under the file calls ------------------------

  void Md5(const std::vector<uint8_t>& v, MD5::TDgstDesc& d) {
    MD5::TCtxDesc c;
    MD5::Init(c);
    MD5::Update(c, v.data(), static_cast<uint32_t>(v.size()));
    MD5::Final(c, d);
  }

  std::vector<uint8_t> Content(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t k = 0; k < n; ++k) v[k] = static_cast<uint8_t>((k * 131 + seed * 7919) >> 3 ^ seed);
    return v;
  }

  void PutFile(const char* n, const std::vector<uint8_t>& v) {
    std::ofstream f(n, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
  }

  std::vector<uint8_t> GetFile(const char* n) {
    std::ifstream i(n, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(i), std::istreambuf_iterator<char>());
  }

  // A name of the temporary files' pattern in the current directory.
  bool TmpLeft() {
    for (const auto& e : std::filesystem::directory_iterator("."))
      if (e.path().filename().string().find(".wisp-") != std::string::npos) return true;
    return false;
  }

  // How a whole transfer ended: refused or closed with a failure ('f'), or
  // with a file verified by its digest ('v'); 0 for anything else (no answer,
  // a damaged file taken for good).
  using TEnd = char;

  // A whole get of the file n, whose content is v, by peer p, step by step.
  TEnd Get(const TPeer& p, const char* n, const std::vector<uint8_t>& v) {
    RdRq(p, n);
    std::vector<uint8_t> x;
    uint8_t c = 0;
    for (int k = 0; k < 20000 && (c = p.Next(x)) == 0; ++k) {
      usleep(100);
      Steps(1);
    }
    if (c != WISP::cmdRdRp) return 0;
    WISP::TRdRpDesc rp;
    WISP::Decode(x.data(), rp);
    if (rp.e != WISP::errNull) return 'f';
    const uint32_t cnt = (rp.p.l + rp.f - 1) / rp.f;
    std::vector<uint8_t> got(rp.p.l);
    std::vector<bool> have(cnt);
    uint32_t left = cnt;
    uint8_t t[WISP::lenMaxTel];
    for (int round = 0; round < 200 && left > 0; ++round) {
      for (uint32_t b = 0; b < cnt; b += 32) p.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{rp.r, b}, 0xFFFFFFFF}));
      Steps(3);
      while ((c = p.Next(x)) != 0) {
        if (c == WISP::cmdClose) {
          if (x[WISP::TelClose::e] == WISP::errNull) return 0;
          p.Send(t, WISP::Encode(t, WISP::TCloseDesc{rp.r, WISP::errChk}));
          return 'f';
        }
        if (c != WISP::cmdDatRp) continue;
        WISP::TDatHdrDesc h;
        WISP::Decode(x.data(), h);
        const size_t l = x.size() - WISP::TelDatRp::d - 4;
        if (h.i >= cnt || size_t(h.i) * rp.f + l > got.size()) return 0;
        std::memcpy(got.data() + size_t(h.i) * rp.f, x.data() + WISP::TelDatRp::d, l);
        if (!have[h.i]) --left;
        have[h.i] = true;
      }
    }
    MD5::TDgstDesc d;
    Md5(got, d);
    const bool ok = left == 0 && std::memcmp(d, rp.p.d, sizeof d) == 0;
    p.Send(t, WISP::Encode(t, WISP::TCloseDesc{rp.r, ok ? WISP::errNull : WISP::errChk}));
    return ok && got == v ? 'v' : 0;
  }

  // A whole put of v under the new name n by peer p, step by step; the file
  // must be there as sent after a successful close and missing otherwise.
  TEnd Put(const TPeer& p, const char* n, const std::vector<uint8_t>& v) {
    WISP::TWrRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = 10;
    q.p.l = static_cast<uint32_t>(v.size());
    Md5(v, q.p.d);
    std::strcpy(q.r, n);
    uint8_t t[WISP::lenMaxTel];
    p.Send(t, WISP::Encode(t, q));
    std::vector<uint8_t> x;
    if (p.Next(x) != WISP::cmdWrRp) return 0;
    WISP::TWrRpDesc rp;
    WISP::Decode(x.data(), rp);
    const bool there = access(n, F_OK) == 0;
    if (rp.e != WISP::errNull) return there ? 0 : 'f';
    for (int k = 0; k < 200000; ++k) {
      Steps(1);
      uint8_t c;
      while ((c = p.Next(x)) != 0) {
        if (c == WISP::cmdClose) {
          const uint8_t e = x[WISP::TelClose::e];
          p.Send(t, WISP::Encode(t, WISP::TCloseDesc{rp.r, static_cast<WISP::TError>(e)}));
          if (Server::Ses(rp.r).i != 0) return 0;
          if (e == WISP::errNull) return GetFile(n) == v ? 'v' : 0;
          return access(n, F_OK) != 0 ? 'f' : 0;
        }
        if (c != WISP::cmdDatRq) continue;
        WISP::TDatRqDesc r;
        WISP::Decode(x.data(), r);
        for (uint32_t j = 0; j < 32; ++j) {
          const uint64_t at = (uint64_t(r.h.i) + j) * rp.f;
          if ((r.s >> j & 1) == 0 || at >= v.size()) continue;
          const uint32_t l = static_cast<uint32_t>(std::min<uint64_t>(rp.f, v.size() - at));
          p.Send(t, WISP::EncodeDatRp(t, {rp.r, static_cast<uint32_t>(r.h.i + j)}, v.data() + at, l));
        }
      }
      usleep(20);
    }
    return 0;
  }

  // Every file call of a whole get and a whole put, failed in turn: the Nth
  // call of each kind for every N that a transfer without faults makes. Each
  // case ends with a refusal or a failure close, or with a verified file;
  // never with a committed damaged one; no temporary file is left, and the
  // server then serves the next transfer. No sync runs on the loop.
  void FaultWalk() {
    StartServer();
    TPeer p;
    const std::vector<uint8_t> b = GetFile("b.bin");
    uint32_t seed = 1, reached = 0;
    // Then again the put with -o: its commit renames.
    for (const bool ovr : {false, true}) {
      Files::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midFiles, .ovr = ovr, .vrb = false, .srv = true});
      for (uint8_t op = 0; op < FOps::opCnt; ++op) {
        for (const bool put : {false, true}) {
          if (ovr && !put) continue;
          // Without a fault first: how many calls of the kind a transfer makes.
          uint32_t n = 0;
          for (uint32_t k = 0; k <= n; ++k) {
            const auto v = Content(put ? 100000 : 50000, ++seed);
            char name[32];   // formatted, not concatenated: GCC 12 at -O3 warns (-Wrestrict) on the latter
            std::snprintf(name, sizeof name, "p%u.bin", static_cast<unsigned>(seed));
            if (!put) PutFile("g.bin", v);   // a new content each time: digested anew
            FOps::FailAt(static_cast<FOps::TOp>(op), k, EIO);
            const TEnd e = put ? Put(p, name, v) : Get(p, "g.bin", v);
            if (k == 0) n = FOps::Calls(static_cast<FOps::TOp>(op));
            Want(FOps::CallsHere(FOps::opSync) == 0, 32, "every sync on the worker, none on the loop");
            FOps::FailAt(FOps::opOpen, 0, 0);
            if (e == 0 || (k == 0 && e != 'v') || TmpLeft()) {
              std::fprintf(stderr, "op %u put %d ovr %d call %u of %u: end %c\n", op, put, ovr, k, n, e == 0 ? '0' : e);
              End(10 + op);
            }
            Want(Get(p, "b.bin", b) == 'v', 30, "the server still serves");
          }
          if (n > 0) reached |= 1u << op;
        }
      }
    }
    Want(reached == (1u << FOps::opCnt) - 1, 31, "every kind of call reached");
    End(0);
  }

  // While a complete upload's check waits for its job, the wait does not
  // count against the session's time-out, and every dtc steps the client gets
  // a data request with an empty set, so that it never takes the silence for
  // a server that has gone; the check runs once the job is done.
  void CheckWaitKeepsTheClient() {
    using namespace Server;
    StartServer();
    TPeer p;
    const auto v = Content(3000, 5);
    Jobs::Hold(true);
    WISP::TWrRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = 10;
    q.p.l = 3000;
    Md5(v, q.p.d);
    std::strcpy(q.r, "k.bin");
    uint8_t t[WISP::lenMaxTel];
    p.Send(t, WISP::Encode(t, q));
    std::vector<uint8_t> x;
    Want(p.Next(x) == WISP::cmdWrRp, 1, "a write session");
    Steps(1);
    Want(p.Next(x) == WISP::cmdDatRq && x == std::vector<uint8_t>(t, t + WISP::Encode(t, WISP::TDatRqDesc{{0, 0}, 7})),
         2, "the three fragments asked for");
    p.Send(t, WISP::EncodeDatRp(t, {1, 0}, v.data(), 1455));
    p.Send(t, WISP::EncodeDatRp(t, {1, 1}, v.data() + 1455, 1455));
    p.Send(t, WISP::EncodeDatRp(t, {1, 2}, v.data() + 2910, 90));
    // Longer than the time-out, in steps of 1 ms.
    uint32_t keep = 0, other = 0;
    const std::vector<uint8_t> empty(t, t + WISP::Encode(t, WISP::TDatRqDesc{{0, 0}, 0}));
    for (uint32_t k = 0; k < tos + 2 * dtc; ++k) {
      Steps(1);
      while (p.Next(x) != 0) (x == empty ? keep : other)++;
    }
    Want(Ses(1).i == 1 && Ses(1).x.r.w && !Ses(1).x.r.c, 3, "still waiting for the check");
    Want(other == 0, 4, "nothing but empty data requests");
    Want(keep >= (tos + 2 * dtc) / dtc - 1 && keep <= (tos + 2 * dtc) / dtc + 1, 5, "one every dtc steps");
    Jobs::Hold(false);
    uint8_t c = 0;
    for (int k = 0; k < 20000 && c != WISP::cmdClose; ++k) {
      usleep(100);
      Steps(1);
      c = p.Next(x);
    }
    Want(c == WISP::cmdClose && x[WISP::TelClose::e] == WISP::errNull, 6, "checked: a close with errNull");
    Want(GetFile("k.bin") == v, 7, "the file in place");
    End(0);
  }

  // ---- the extended exchange (-x) ------------------------------------------

  uint8_t NextNot(const TPeer& p, std::vector<uint8_t>& x, uint8_t skip) {
    uint8_t c;
    while ((c = p.Recv(x)) == skip) {}
    return c;
  }

  void XRdRq(const TPeer& p, const char* name) {
    WISP::TRdRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = 10;
    q.x = WISP::extBig;
    std::strcpy(q.r, name);
    uint8_t x[WISP::lenMaxTel];
    p.Send(x, WISP::Encode(x, q));
  }

  void XWrRq(const TPeer& p, const char* name, uint64_t len) {
    WISP::TWrRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = 10;
    q.p.l = len;
    q.x = WISP::extBig;
    q.xl = true;
    std::strcpy(q.r, name);
    uint8_t x[WISP::lenMaxTel];
    p.Send(x, WISP::Encode(x, q));
  }

  // A read session with -x answers at once, before its worker has the
  // digest (held here), gives the digest once it is there to a request that
  // came before, and again when asked for, and fails once its file changes. A classic request for a file
  // of 4 GiB or more is refused as not found, with the reason in the log;
  // an extended one is served.
  void ExtRead() {
    StartServer(false, true);
    const std::vector<uint8_t> v = Content(3000000, 3);
    PutFile("e.bin", v);
    MD5::TDgstDesc md;
    Md5(v, md);
    Jobs::Hold(true);
    TPeer p;
    std::vector<uint8_t> x;
    uint8_t t[WISP::lenMaxTel];
    XRdRq(p, "e.bin");
    Want(p.Recv(x) == WISP::cmdXRdRp, 1, "an extended reply at once");
    WISP::TRdRpDesc r{};
    WISP::Decode(x.data(), r);
    Want(r.e == WISP::errNull && !r.k && r.p.l == v.size() && r.x == WISP::extBig && r.r == 1, 2,
         "length known, digest not");
    p.Send(t, WISP::Encode(t, WISP::TDatRqDesc{{1, 2060}, 0x3}));
    Steps(1);
    Want(p.Recv(x) == WISP::cmdDatRp && p.Recv(x) == WISP::cmdDatRp && x.size() == 3000000 - 2061 * 1455 + 17, 3,
         "the data before the digest");
    p.Send(t, WISP::Encode(t, WISP::TDgRqDesc{1}));
    Steps(2);
    Want(p.Next(x) == 0, 4, "no digest to give yet");
    Jobs::Hold(false);
    uint8_t c = 0;
    WISP::TDgstDesc g{};
    for (int k = 0; k < 2000 && c == 0; ++k) {
      usleep(100);
      Steps(1);
      c = p.Next(x);
    }
    if (c == WISP::cmdDgst) WISP::Decode(x.data(), g);
    Want(c == WISP::cmdDgst && g.l == v.size() && std::memcmp(g.d, md, 16) == 0, 5,
         "the digest as soon as it is known, for the request that came before it");
    Steps(2);
    Want(p.Next(x) == 0, 5, "given once");
    p.Send(t, WISP::Encode(t, WISP::TDgRqDesc{1}));
    c = p.Recv(x);
    if (c == WISP::cmdDgst) WISP::Decode(x.data(), g);
    Want(c == WISP::cmdDgst && g.l == v.size() && std::memcmp(g.d, md, 16) == 0, 6, "the digest when asked for");
    // Written in place (its times put back would not hide it): failed.
    const int h = open("e.bin", O_WRONLY);
    Want(h >= 0 && pwrite(h, "x", 1, 100) == 1, 7, "the file changed");
    close(h);
    p.Send(t, WISP::Encode(t, WISP::TDgRqDesc{1}));
    Want(p.Recv(x) == WISP::cmdClose && x[WISP::TelClose::e] == WISP::errChk, 8, "a close with errChk");

    const int b = open("big.bin", O_RDWR | O_CREAT | O_TRUNC, 0644);
    Want(b >= 0 && ftruncate(b, (off_t(1) << 32) + 1) == 0, 9, "a sparse file of 4 GiB + 1");
    close(b);
    TPeer q;
    RdRq(q, "big.bin");
    Want(q.Recv(x) == WISP::cmdRdRp && x[WISP::TelRdRp::e] == WISP::errRID, 10, "classic: not found");
    Want(LogText().find("RdRq rid 'big.bin' len 4294967297 refused: a file of 4 GiB or more needs the extended "
                        "exchange (-x) on both sides") != std::string::npos, 11, "the reason logged");
    XRdRq(q, "big.bin");
    Want(q.Recv(x) == WISP::cmdXRdRp, 12, "extended: served");
    WISP::Decode(x.data(), r);
    Want(r.e == WISP::errNull && r.p.l == (uint64_t(1) << 32) + 1, 13, "with its 64-bit length");
    End(0);
  }

  // An upload with -x holds every fragment before the client's digest: it
  // asks for it every Ext::askMs steps, takes only one of the announced
  // length, and then checks and commits. Without it the session's time-out
  // runs out (no fragment restarts it any more) and nothing is left.
  void ExtWrite(bool digest) {
    StartServer(false, true);
    const std::vector<uint8_t> v = Content(20000, 4);   // 14 fragments
    MD5::TDgstDesc md;
    Md5(v, md);
    TPeer p;
    std::vector<uint8_t> x;
    uint8_t t[WISP::lenMaxTel];
    XWrRq(p, "w.bin", v.size());
    Want(p.Recv(x) == WISP::cmdXWrRp && x[WISP::TelXWrRp::e] == WISP::errNull, 1, "an extended write reply");
    Steps(2);   // all 14 asked for
    for (uint32_t i = 0; i < 14; ++i) {
      const uint32_t l = i == 13 ? 20000 - 13 * 1455 : 1455;
      p.Send(t, WISP::EncodeDatRp(t, {1, i}, v.data() + i * 1455, l));
    }
    Steps(2);
    Want(NextNot(p, x, WISP::cmdDatRq) == WISP::cmdDgRq, 2, "the digest asked for");
    Server::TSesDesc& s = Server::Ses(1);
    const uint32_t left = s.c.t;
    p.Send(t, WISP::EncodeDatRp(t, {1, 0}, v.data(), 1455));
    Want(s.c.t == left, 3, "a fragment no longer restarts the time-out");
    if (!digest) {
      uint32_t asks = 0;
      for (uint32_t k = 0; k < Server::tos / 1000 + 1; ++k) {
        Steps(1000);
        while (p.Next(x) == WISP::cmdDgRq) ++asks;
      }
      Want(Server::Ses(1).i == 0 && access("w.bin", F_OK) != 0, 4, "timed out, no file");
      Want(asks >= Server::tos / Ext::askMs - 1 && asks <= Server::tos / Ext::askMs + 1, 5, "asked every askMs");
      End(0);
    }
    WISP::TDgstDesc g{1, v.size() + 1, {}};
    std::memcpy(g.d, md, 16);
    p.Send(t, WISP::Encode(t, g));
    Want(Server::ers[Server::eXVal] == 1 && !s.x.r.g.k, 6, "a digest of another length is bad");
    g.l = v.size();
    p.Send(t, WISP::Encode(t, g));
    uint8_t c = 0;
    for (int k = 0; k < 20000 && c != WISP::cmdClose; ++k) {
      usleep(100);
      Steps(1);
      c = p.Next(x);
    }
    Want(c == WISP::cmdClose && x[WISP::TelClose::e] == WISP::errNull, 7, "checked: a close with errNull");
    Want(GetFile("w.bin") == v, 8, "the file in place");
    End(0);
  }

  // Extended records that cannot be are counted and dropped without an
  // answer; to a server without -x every extended command is a bad command.
  void ExtMalformed(bool ext) {
    StartServer(false, ext);
    TPeer p;
    std::vector<uint8_t> x;
    uint8_t t[WISP::lenMaxTel];
    WISP::TWrRqDesc q{};
    q.f = WISP::lenMaxFgm;
    q.t = 1;
    q.n = 10;
    q.p.l = 100;
    q.x = WISP::extBig;
    q.xl = true;
    std::strcpy(q.r, "m.bin");
    // Each changes a fresh extended request: at byte k to v, or cuts it.
    struct { uint32_t k; uint8_t v; uint32_t len; Server::TErr e; } bad[] = {
        {0, 0, WISP::TelXWrRq::len - 1, Server::eWrRqLen},
        {WISP::TelXWrRq::k, 2, WISP::TelXWrRq::len, Server::eXVal},
        {WISP::TelXWrRq::g + 3, 1, WISP::TelXWrRq::len, Server::eXVal},
        {WISP::TelXWrRq::x, 0x80, WISP::TelXWrRq::len, Server::eXVal},   // only unknown bits
    };
    for (const auto& b : bad) {
      WISP::Encode(t, q);
      if (b.k != 0) t[b.k] = b.v;
      Crc::AppendCrc(t, b.len - WISP::lenTrl);
      p.Send(t, b.len);
      const Server::TErr e = ext ? b.e : Server::eCmd;
      Want(Server::ers[e] >= 1 && p.Next(x) == 0 && Server::ses.n == 0, 1, "counted, unanswered");
      Server::ers[e] = 0;
    }
    WISP::TDgstDesc g{1, 100, {}};
    p.Send(t, WISP::Encode(t, g));
    Want(Server::ers[ext ? Server::eXSes : Server::eCmd] == 1, 2, "a digest for a free slot");
    WISP::Encode(t, g);
    Crc::AppendCrc(t, WISP::TelDgst::len - 1 - WISP::lenTrl);
    p.Send(t, WISP::TelDgst::len - 1);
    Want(Server::ers[ext ? Server::eXLen : Server::eCmd] == (ext ? 1u : 2u), 3, "a short digest");
    p.Send(t, WISP::Encode(t, WISP::TDgRqDesc{0}));
    Want(Server::ers[ext ? Server::eXSes : Server::eCmd] == (ext ? 2u : 3u), 4, "a request for reference 0");
    if (ext) {
      // A digest request of a write session, a digest for a read session.
      XWrRq(p, "m.bin", 100);
      Want(p.Recv(x) == WISP::cmdXWrRp, 5, "a write session");
      p.Send(t, WISP::Encode(t, WISP::TDgRqDesc{1}));
      TPeer r;
      XRdRq(r, "a.bin");
      Want(r.Recv(x) == WISP::cmdXRdRp, 6, "a read session");
      r.Send(t, WISP::Encode(t, WISP::TDgstDesc{2, 5000, {}}));
      Want(Server::ers[Server::eXSes] == 4 && p.Next(x) == 0 && r.Next(x) == 0, 7, "both counted, unanswered");
    }
    Want(p.Next(x) == 0, 8, "nothing answered");
    End(0);
  }
}

TEST(ServerExt, ReadStartsBeforeItsDigestAndFailsOnceItsFileChanges) {
  if (!Jobs::Hold(false)) GTEST_SKIP() << "built without the test seams (WISP_FAULTS)";
  EXPECT_EXIT(ExtRead(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerExt, UploadAsksForTheDigestAndCommitsOnceItComes) {
  EXPECT_EXIT(ExtWrite(true), ::testing::ExitedWithCode(0), "");
}

TEST(ServerExt, UploadWhoseDigestNeverComesTimesOut) {
  EXPECT_EXIT(ExtWrite(false), ::testing::ExitedWithCode(0), "");
}

TEST(ServerExt, MalformedRecordsAreCountedAndDropped) {
  EXPECT_EXIT(ExtMalformed(true), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(ExtMalformed(false), ::testing::ExitedWithCode(0), "");
}

TEST(ServerFiles, EveryFailedFileCallEndsInAFailureOrAVerifiedFile) {
  if (!FOps::FailAt(FOps::opOpen, 0, 0)) GTEST_SKIP() << "built without the test seams (WISP_FAULTS)";
  EXPECT_EXIT(FaultWalk(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerTmr, CheckThatWaitsForItsJobKeepsTheClient) {
  if (!FOps::FailAt(FOps::opOpen, 0, 0)) GTEST_SKIP() << "built without the test seams (WISP_FAULTS)";
  EXPECT_EXIT(CheckWaitKeepsTheClient(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerTmr, LatePassMakesUpItsStepsUpToTheBound) {
  EXPECT_EXIT(LatePassMakesUpItsSteps(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerTmr, FinishedUploadRepeatsItsCloseByTheClock) {
  EXPECT_EXIT(FinishedUploadRepeatsItsClose(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerFiles, UnreadableServedFileEndsItsSessionOnly) {
  EXPECT_EXIT(UnreadableServedFile(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerLink, RunsOnlyAboveTheDefaultRate) {
  EXPECT_EXIT(RunsAboveTheDefaultRate(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerFiles, FailedCheckOfAGetDropsTheKeptDigest) {
  EXPECT_EXIT(FailedCheckDropsTheKeptDigest(), ::testing::ExitedWithCode(0), "");
}

TEST(ServerFiles, FailedWriteEndsTheUploadAtOnce) {
  EXPECT_EXIT(FailedWrite(), ::testing::ExitedWithCode(0), "");
}
