// fuzz_server.cpp — libFuzzer target: the server's receive handler and timer
// with live sessions in the table.
//
// The session module is compiled into this file so that the target reaches
// its receive handler and timer step directly and can check the table after
// every input. Each input starts from the same table: a read session, a
// write session and a read session of an empty file, opened by requests of
// their own from three of 32 loopback peers. The input is then a list of
// records:
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
  uint16_t peer[peerCnt];

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
    Server::OnRx(r, buf, l);
  }

  void WriteFile(const char* n, size_t len) {
    FILE* f = std::fopen(n, "wb");
    for (size_t i = 0; i < len; ++i) std::fputc(static_cast<int>((i * 7 + 3) & 0xFF), f);
    std::fclose(f);
  }

  // Frees every session and opens the three fixed ones again.
  void ResetTable() {
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
    Check(Server::ses.n == 3, "three sessions after the reset");
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
      if (s.x.w) {
        Check(s.x.r.f != nullptr && s.x.r.r != nullptr, "write session resources");
      } else {
        Check(s.x.s.f != nullptr && s.x.s.s != nullptr, "read session resources");
      }
    }
    Check(used == Server::ses.n, "slot count");
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
  for (int k = 0; k < peerCnt; ++k) peer[k] = FuzzFrame::OpenPeer();
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
