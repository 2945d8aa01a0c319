// Config.h — the server's configuration, settled from the command line at
// start-up and read-only afterwards.
#pragma once
#include <climits>
#include <cstdint>
#include "SO.h"
#include "UDP0.h"

namespace Config {
  constexpr uint32_t netMax = 32;   // -n given at most this often

  struct TDataDesc {
    char prg[16];    // program name
    uint32_t ver;    // program version
    char ext[32];    // version date
    char dir[128];   // working directory at start (shown only)
    bool dbg;        // -d: per-fragment traces
    bool vrb;        // -v: log messages on the console too
    bool ovr;        // -o: a write request may replace an existing file
    UDP0::TAdrDesc adr;   // -a: local address, IPv4 or IPv6 ("::": both)
    uint16_t prt;    // -p: local port
    uint32_t dtu;    // -u: lower bound of the negotiated update period, ms
    uint8_t fpu;     // -f: upper bound of the negotiated fragments per update
    bool rtt;        // -r: uploads ask again for lost fragments after the learnt round trip
    bool cgc;        // -c: uploads ask at the rate the path delivers
    // Whom the server serves and what (-n, -g, -s).
    UDP0::TNetDesc net[netMax];   // -n: the client networks served, net[0 .. nnt - 1]
    uint8_t nnt;     // networks given; 0: every address is served
    bool get;        // -g: gets only, every write request is refused
    uint8_t spa;     // -s: most sessions one client address holds at once, 1..16
    bool xtd;        // -x: the extended exchange (files of any size, the digest after the data)
    char kdr[PATH_MAX];   // -e: the key directory of the secure mode; empty: plain mode
    bool kpt;        // -k: a put that ends without success keeps what arrived, the next one resumes;
  };
  extern TDataDesc data;
  void WrInfo(SO::TBuffer& b);
  void InitModule();

  // The steps of InitModule, open to the tests so they can run them on a
  // command line of their own (Args::SetArgs first): the defaults, the
  // command line, and the print-out to the log.
  void InitData();
  void ParseArgs();
  void Show();
}
