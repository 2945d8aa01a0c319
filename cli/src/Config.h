// Config.h — the client's configuration, settled from the command line at
// start-up and read-only afterwards.
#pragma once
#include <climits>
#include <cstdint>

#include "UDP0.h"

namespace Config {
  struct TDataDesc {
    char prg[16];    // program name
    uint32_t ver;    // program version
    char ext[32];    // version date
    char dir[128];   // working directory at start (shown only)
    bool dbg;        // -d: per-fragment traces
    bool vrb;        // -v: log messages on the console too
    bool ovr;        // -o: an existing local file may be replaced
    bool wrt;        // true for put, false for get
    bool pro;        // progress display
    UDP0::TAdrDesc adr;   // -a: server address, IPv4 or IPv6
    uint16_t prt;    // -p: server port
    uint32_t dtu;    // -u: update period, ms, 1..10000
    uint8_t fpu;     // -f: fragment requests per update, 1..255
    char rnm[PATH_MAX];   // get: the name to fetch; put: the local path to send
    char hst[128];   // -a given as a host name: the name (adr its address), else empty
    bool rtt;        // -r: a get asks again for lost fragments after the learnt round trip
    bool cgc;        // -c: a get asks at the rate the path delivers (fpu 255 unless -f)
    bool xtd;        // -x: the extended exchange (files of any size, the digest after the data)
    char kdr[PATH_MAX];   // -e: the key directory of the secure mode; empty: plain mode
    bool kpt;        // -k: a get that ends without success keeps what it received, the next resumes;
    char atx[128];   // the -a text as given ("127.0.0.1" without -a): names the server in dir/servers
  };
  extern TDataDesc data;
  void InitModule();

  // The resource id the request carries: for a get the name as given, for a
  // put the last component of the local path. At most 128 characters (the
  // command line refuses longer ones).
  const char* Rid();

  // The steps of InitModule, open to the tests so they can run them on a
  // command line of their own (Args::SetArgs first): the defaults, the
  // command line, and the print-out to the log.
  void InitData();
  void ParseArgs();
  void Show();
}
