// fuzz_client.cpp — libFuzzer target: the client's receive handler in each
// state of the session, get and put.
//
// The session module is compiled into this file so that the target reaches
// its receive handler and timer directly and can start every input from a
// fresh session. The first input byte chooses the mode and the state the
// session is driven into with well-formed telegrams of the target's own:
//   bit 0      0 get, 1 put
//   bits 1..2  0 Opening, 1 Transferring, 2 Closing (3 counts as 1)
//   bit 3      request update period 5 and 3 fragments instead of 1 and 10
// The second byte chooses the granted fragment length, update period and
// fragment count. The rest is a list of records:
//   1ttttttt            run the timer t + 1 times (never in Closing: there
//                       the timer checks the file, reports and ends the run)
//   0hc00000  len(u16)  a datagram of len bytes (mod 1601); h: force magic
//                       and version, c: fix the CRC trailer
// A server's refusal ends the client by design ("RdRp: Server full." etc.),
// and so does a close with a failure result in a get (the server's file
// changed): such telegrams are left out.
// Any other stop, sanitizer report or broken invariant is a finding.
#include "../../cli/src/Client.cpp"

#include <cstdio>
#include <cstdlib>

#include "Args.h"
#include "ConSigs.h"
#include "Crc.h"
#include "DT.h"
#include "FuzzFrame.h"
#include "Startup.h"
#include "Heap.h"
#include "MD5.h"
#include "MMSys.h"
#include "Mtxs.h"

namespace {
  uint16_t serverPort;

  void Check(bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "fuzz_client: invariant broken: %s\n", what);
      std::abort();
    }
  }

  void Deliver(const uint8_t* x, uint32_t l) {
    uint8_t buf[WISP::lenMaxTel];
    std::memcpy(buf, x, l < sizeof buf ? l : sizeof buf);
    OnRx(buf, l);
  }

  void WriteFile(const char* n, size_t len) {
    FILE* f = std::fopen(n, "wb");
    for (size_t i = 0; i < len; ++i) std::fputc(static_cast<int>((i * 13 + 1) & 0xFF), f);
    std::fclose(f);
  }

  // A telegram that ends the client: a reply with an error code or
  // parameters it did not allow, in the mode and state where it reads
  // replies; a failure close in a get's data phase.
  bool Refused(const uint8_t* x, uint32_t l) {
    if (WISP::Accept(x, l, false) != WISP::accOk) return false;
    uint32_t bl = WISP::BodyLen(l);
    if (ses.st == stData && !ses.w && x[WISP::TelHdr::c] == WISP::cmdClose && bl == WISP::TelClose::body) {
      return x[WISP::TelClose::e] != WISP::errNull;
    }
    if (ses.st != stOpen) return false;
    uint8_t e, n;
    uint16_t f, t;
    if (x[WISP::TelHdr::c] == WISP::cmdRdRp && !ses.w && bl == WISP::TelRdRp::body) {
      e = x[WISP::TelRdRp::e];
      f = WISP::GetU16(x, WISP::TelRdRp::f);
      t = WISP::GetU16(x, WISP::TelRdRp::t);
      n = x[WISP::TelRdRp::n];
    } else if (x[WISP::TelHdr::c] == WISP::cmdWrRp && ses.w && bl == WISP::TelWrRp::body) {
      e = x[WISP::TelWrRp::e];
      f = WISP::GetU16(x, WISP::TelWrRp::f);
      t = WISP::GetU16(x, WISP::TelWrRp::t);
      n = x[WISP::TelWrRp::n];
    } else {
      return false;
    }
    return e != WISP::errNull || f == 0 || f > WISP::lenMaxFgm || t == 0 || t < ses.p.dtu || n == 0 ||
           n > ses.p.fpu;
  }

  // Ends the previous input's session and starts a new one in mode put.
  void NewSession(bool put, bool slow) {
    if (ses.r != nullptr) Rcvrs::Free(ses.r);
    if (ses.s != nullptr) Sndrs::Free(ses.s);
    if (ses.f != nullptr) Files::Close(ses.f);
    pro = TProDesc{};
    Config::data.wrt = put;
    Config::data.ovr = true;
    Config::data.dtu = slow ? 5 : 1;
    Config::data.fpu = slow ? 3 : 10;
    std::strcpy(Config::data.rnm, put ? "put.bin" : "get.bin");
    InitSes();
  }

  // Drives the new session into state st with the granted parameters g.
  void Drive(uint8_t st, uint8_t g) {
    if (st == stOpen) return;
    uint8_t x[WISP::lenMaxTel];
    static const uint16_t fgl[] = {WISP::lenMaxFgm, 100, 1, 1000};
    uint16_t f = fgl[g & 3];
    uint16_t t = static_cast<uint16_t>(ses.p.dtu + ((g >> 2) & 3));
    uint8_t n = static_cast<uint8_t>(1 + (g >> 4) % ses.p.fpu);
    if (ses.w) {
      WISP::TWrRpDesc p{WISP::errNull, f, t, n, 1, 0};
      Deliver(x, WISP::Encode(x, p));
      Check(ses.st == stData, "write reply accepted");
      if (st == stClose) {
        WISP::TCloseDesc c{0, WISP::errNull};
        Deliver(x, WISP::Encode(x, c));
      }
    } else {
      WISP::TRdRpDesc p{};
      p.f = f;
      p.t = t;
      p.n = n;
      p.r = 1;
      // An empty file is complete at the first update; otherwise 101
      // fragments, more than an input is likely to deliver in order.
      p.p.l = st == stClose ? 0 : 100u * f + 7u;
      Deliver(x, WISP::Encode(x, p));
      Check(ses.st == stData, "read reply accepted");
      if (st == stClose) OnTmr(1, 0);
    }
    Check(ses.st == st, "session driven into the chosen state");
  }

  void CheckSession() {
    Check(ses.st <= stClose, "state value");
    if (ses.st == stData) Check(ses.w ? ses.s != nullptr : ses.r != nullptr, "sender or receiver in the data phase");
    Check(ses.f != nullptr, "local file open");
    Check(pro.n <= pro.m, "progress within the fragment count");
    uint32_t sum = 0;
    for (uint32_t k = 1; k < Client::errCnt; ++k) sum += err[k];
    Check(sum == err[Client::eNull], "eNull is the sum of the others");
    Check(err[Client::eCloseRef] == 0 && err[Client::eTimeOut] == 0, "counters that nothing raises");
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzFrame::EnterScratchDir("WISPCli.log");
  WriteFile("put.bin", 30000);
  serverPort = FuzzFrame::OpenPeer();
  static char port[8];
  std::snprintf(port, sizeof port, "%u", serverPort);
  static char a0[] = "WISPCli", a1[] = "-p", a3[] = "put", a4[] = "put.bin";
  static char* argv[] = {a0, a1, port, a3, a4, nullptr};
  Args::SetArgs(5, argv);
  // The client's start-up list, without the console's signals and keys.
  Startup::InitModules(false);
  FuzzFrame::TrapStops();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzFrame::inInput = true;
  FuzzFrame::TReader r{data, size};
  uint8_t sel = 0, g = 0, op = 0;
  r.Byte(sel);
  r.Byte(g);
  uint8_t st = (sel >> 1) & 3;
  if (st == 3) st = stData;
  NewSession((sel & 1) != 0, (sel & 8) != 0);
  Drive(st, g);
  uint32_t ticks = 0;
  while (r.Byte(op)) {
    if (op & 0x80) {
      for (uint32_t k = (op & 0x7Fu) + 1; k > 0 && ticks < 300 && ses.st != stClose; --k, ++ticks) OnTmr(1, 0);
      continue;
    }
    uint32_t len = r.U16() % 1601u;
    FuzzFrame::TDatagram d;
    FuzzFrame::ReadDatagram(r, len, (op & 0x40) != 0, (op & 0x20) != 0, d);
    if (!Refused(d.x, d.l)) Deliver(d.x, d.l);
    CheckSession();
  }
  CheckSession();
  FuzzFrame::inInput = false;
  return 0;
}
