// fuzz_server.cpp — libFuzzer target: the server's receive handler and timer
// with live sessions in the table.
//
// The session module is compiled into this file so that the target reaches
// its receive handler and timer step directly and can check the table after
// every input. Each input starts from the same table: a read session, a
// write session, a read session of an empty file and a second read session
// of the first file, opened by requests of their own from four of 32 peers.
// Peers 0 to 15 are IPv4 loopback sockets; peers 16 to 31 are the IPv6
// endpoints [::1] on the same ports, so that two endpoints of one port but
// of different families must stay apart (the fourth session is peer 16's).
// The input is then a list of records:
//   1ttttttt            run the 1 ms timer step t + 1 times (300 at most
//                       per input); 11111111 fast-forwards to the time-out
//   0hckkkkk  len(u16)  a datagram of len bytes (mod 1601) from peer k;
//                       h: force magic and version, c: fix the CRC trailer
// Any stop of the program, sanitizer report or broken table invariant is a
// finding.
#include "../../srv/src/Server.cpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "Args.h"
#include "ConSigs.h"
#include "FIOStd.h"
#include "FuzzFrame.h"
#include "Startup.h"
#include "Heap.h"
#include "MD5.h"
#include "MMSys.h"
#include "Mtxs.h"
#include "Tmr.h"

namespace {
  constexpr int peerCnt = 32;
  uint16_t peer[peerCnt];   // the ports of the IPv4 peers; the rest unused
  constexpr uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

  void Check(bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "fuzz_server: invariant broken: %s\n", what);
      std::abort();
    }
  }

  void Deliver(int k, const uint8_t* x, uint32_t l) {
    uint8_t buf[WISP::lenMaxTel];   // what the link hands over: at most its buffer
    std::memcpy(buf, x, l < sizeof buf ? l : sizeof buf);
    CliIO::TRxInfDesc r{{FuzzFrame::Loopback(), peer[k]}};
    if (k >= peerCnt / 2) r.d = {UDP0::V6(loopback6, 0), peer[k - peerCnt / 2]};
    Server::OnRx(r, buf, l);
  }

  void WriteFile(const char* n, size_t len) {
    FILE* f = std::fopen(n, "wb");
    for (size_t i = 0; i < len; ++i) std::fputc(static_cast<int>((i * 7 + 3) & 0xFF), f);
    std::fclose(f);
  }

  // Whether every read session has its digest (its sender started).
  bool Opened() {
    for (uint8_t i = 1; i <= Server::sesMax; ++i)
      if (Server::Ses(i).i != 0 && !Server::Ses(i).x.w && Server::Ses(i).x.s.s == nullptr) return false;
    return true;
  }

  // Steps until every read session has its digest (10 s at most).
  void StepUntilOpened() {
    for (int k = 0; k < 100000 && !Opened(); ++k) {
      usleep(100);
      Server::OnTmr(1, 0);
    }
  }

  // Frees every session and opens the four fixed ones again; kept: the read
  // sessions have their digests at once.
  void ResetTable(bool kept = true) {
    for (uint8_t i = 1; i <= Server::sesMax; ++i) {
      if (Server::Ses(i).i != 0) Server::Free(i, false);
    }
    uint8_t x[WISP::lenMaxTel];
    WISP::TRdRqDesc rq{};
    rq.f = WISP::lenMaxFgm;
    rq.t = 1;
    rq.n = 10;
    WISP::PutResID(reinterpret_cast<uint8_t*>(rq.r), 0, "a.bin");
    Deliver(0, x, WISP::Encode(x, rq));
    WISP::TWrRqDesc wq{};
    wq.f = 1000;
    wq.t = 2;
    wq.n = 4;
    wq.p.l = 40000;
    std::memset(wq.p.d, 0x5A, sizeof wq.p.d);
    WISP::PutResID(reinterpret_cast<uint8_t*>(wq.r), 0, "w.bin");
    Deliver(1, x, WISP::Encode(x, wq));
    rq.f = 100;
    rq.t = 3;
    rq.n = 2;
    WISP::PutResID(reinterpret_cast<uint8_t*>(rq.r), 0, "e.bin");
    Deliver(2, x, WISP::Encode(x, rq));
    // The first request again from the IPv6 endpoint of peer 0's port: a
    // session of its own, granted the IPv6 fragment length.
    rq.f = WISP::lenMaxFgm;
    WISP::PutResID(reinterpret_cast<uint8_t*>(rq.r), 0, "a.bin");
    Deliver(peerCnt / 2, x, WISP::Encode(x, rq));
    Check(Server::ses.n == 4, "four sessions after the reset");
    // An input whose client reported a failed check of a get dropped the
    // file's kept digest: it is made anew, and the table opened from it.
    if (kept && !Opened()) {
      StepUntilOpened();
      ResetTable(false);
      Check(Opened(), "digests kept");
    }
  }

  void CheckTable() {
    uint32_t used = 0;
    for (uint8_t i = 1; i <= Server::sesMax; ++i) {
      const Server::TSesDesc& s = Server::Ses(i);
      if (s.i == 0) continue;
      ++used;
      Check(s.i == i, "slot index");
      Check(s.p.dtu >= 1 && s.p.dtu <= Server::dtuMax, "update period in 1..1000");
      Check(s.p.fpu >= 1 && s.p.fpu <= Config::data.fpu, "fragments per update");
      Check(s.c.t <= s.p.tos, "time-out countdown");
      uint16_t fgl = 0;
      if (s.x.w) {
        Check(s.x.r.f != nullptr && s.x.r.r != nullptr, "write session resources");
        Rcvrs::GetFgl(s.x.r.r, fgl);
      } else {
        // A sender, or (waiting for its file's digest) a job of Jobs.
        Check(s.x.s.f != nullptr && (s.x.s.s != nullptr) != (s.x.s.j != 0), "read session resources");
        fgl = s.x.s.l;
        if (s.x.s.s != nullptr) Sndrs::GetFgl(s.x.s.s, fgl);
      }
      const uint32_t fglMax = s.d.a.f == UDP0::famV6 ? WISP::lenMaxFgm6 : WISP::lenMaxFgm;
      Check(fgl >= 1 && fgl <= fglMax, "fragment length within the family's largest");
      for (uint8_t j = 1; j < i; ++j) {
        Check(Server::Ses(j).i == 0 || !(Server::Ses(j).d == s.d), "one slot per endpoint");
      }
    }
    Check(used == Server::ses.n, "slot count");
    // The 1 ms steps run exactly while a session is open: a stopped timer
    // would freeze open sessions, a running one would wake an idle server.
    Check((Server::tmr->n != 0) == (Server::ses.n > 0), "timer runs while a session is open");
    uint32_t sum = 0;
    for (uint32_t k = 1; k < Server::errCnt; ++k) sum += Server::ers[k];
    Check(sum == Server::ers[Server::eNull], "eNull is the sum of the others");
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzFrame::EnterScratchDir("WISPSrv.log");
  WriteFile("a.bin", 5000);
  WriteFile("e.bin", 0);
  static char a0[] = "WISPSrv", a1[] = "-a", a2[] = "127.0.0.1", a3[] = "-p", a4[] = "0";
  static char* argv[] = {a0, a1, a2, a3, a4, nullptr};
  Args::SetArgs(5, argv);
  // The server's start-up list, without the console's signals and keys.
  Startup::InitModules(false);
  for (int k = 0; k < peerCnt / 2; ++k) peer[k] = FuzzFrame::OpenPeer();
  // The served files' digests kept (their contents settled first), so that
  // every input starts with the same sessions, whatever the worker's timing.
  usleep(20000);
  ResetTable(false);
  StepUntilOpened();
  FuzzFrame::TrapStops();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzFrame::inInput = true;
  ResetTable();
  FuzzFrame::TReader r{data, size};
  uint8_t op = 0;
  uint32_t steps = 0;
  while (r.Byte(op)) {
    if (op == 0xFF) {
      // Fast forward to the time-out: as if every session had been silent
      // for 29 999 steps, then two steps.
      for (uint8_t i = 1; i <= Server::sesMax; ++i) {
        if (Server::Ses(i).i != 0) Server::Ses(i).c.t = 1;
      }
      Server::OnTmr(1, 0);
      Server::OnTmr(1, 0);
      continue;
    }
    if (op & 0x80) {
      // At most 300 steps per input keeps inputs fast.
      for (uint32_t k = (op & 0x7Fu) + 1; k > 0 && steps < 300; --k, ++steps) Server::OnTmr(1, 0);
      continue;
    }
    uint32_t len = r.U16() % 1601u;
    FuzzFrame::TDatagram d;
    FuzzFrame::ReadDatagram(r, len, (op & 0x40) != 0, (op & 0x20) != 0, d);
    Deliver(op & 0x1F, d.x, d.l);
    CheckTable();
  }
  CheckTable();
  FuzzFrame::inInput = false;
  return 0;
}
