// Startup.cpp — the server's start-up list. Each shared module gets the
// server's settings here: sixteen slots in each table, its own module ids,
// the switches of the command line (so Config comes before them), and the
// file table's rules for a directory that is served to the network.
#include "Startup.h"

#include <cstdlib>
#include <ctime>

#include "Args.h"
#include "Cfg.h"
#include "CliIO.h"
#include "ConSigs.h"
#include "Config.h"
#include "Crc.h"
#include "DT.h"
#include "FIOStd.h"
#include "Files.h"
#include "Jobs.h"
#include "Heap.h"
#include "Input.h"
#include "Lib3.h"
#include "Log.h"
#include "MD5.h"
#include "MMSys.h"
#include "Mtxs.h"
#include "Parts.h"
#include "Rcvrs.h"
#include "SO.h"
#include "Secure.h"
#include "Server.h"
#include "Sndrs.h"
#include "SysVer.h"
#include "Tmr.h"
#include "Tmrs.h"
#include "Utils.h"
#include "WISP.h"

namespace Startup {
  namespace {
    // A number of seconds from the environment variable v (1 .. 10^9), or d.
    uint64_t EnvSec(const char* v, uint64_t d) {
      const char* x = std::getenv(v);
      if (x == nullptr || *x == '\0') return d;
      char* e = nullptr;
      const unsigned long long n = std::strtoull(x, &e, 10);
      return *e == '\0' && n >= 1 && n <= 1000000000ull ? n : d;
    }
  }

  void InitModules(bool console) {
    // Types, Tmr0, Lib2, Ver, Cfg and UDP0 are constants or plain helpers
    // and have nothing to run.
    Lib3::InitModule();
    SO::InitModule();
    SysVer::InitModule();
    Heap::InitModule();
    Mtxs::InitModule();
    MMSys::InitModule();
    Tmr::InitModule();
    FIOStd::InitModule();
    Log::InitModule({.prg = Cfg::prgName});
    DT::InitModule();
    Utils::InitModule();
    if (console) ConSigs::InitModule();
    Args::InitModule();
    Config::InitModule();
    MD5::InitModule();
    Crc::InitModule();
    WISP::InitModule();
    const Config::TDataDesc& c = Config::data;
    // The keys before anything is opened: a fault with them stops here. One
    // door entry more than sessions, so that a full server can still answer.
    Secure::InitModule({.dir = c.kdr, .prg = Cfg::prgName, .server = true, .cnt = Cfg::cntMax + 1});
    Jobs::InitModule();   // before Files: its end runs after the file table's
    // The directory is served: reads stay beneath it, the log is off limits.
    Files::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midFiles, .ovr = c.ovr, .vrb = c.vrb, .srv = true});
    Rcvrs::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midRcvrs, .dbg = c.dbg, .vrb = c.vrb, .rtt = c.rtt, .cc = c.cgc});
    Sndrs::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midSndrs, .dbg = c.dbg, .vrb = c.vrb});
    // -k: the partial uploads in their hidden directory, swept now. Their
    // life and the sweep period can be shortened for tests through the
    // environment (WISP_PART_LIFE, WISP_PART_SWEEP, seconds), read only here.
    uint64_t sweep = Parts::sweepSec;
    if (c.kpt) {
      const uint64_t life = EnvSec("WISP_PART_LIFE", Parts::lifeSec);
      sweep = EnvSec("WISP_PART_SWEEP", Parts::sweepSec);
      const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
      if (!Parts::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midParts, .vrb = c.vrb, .srv = true, .now = now,
                              .life = life})) {
        Lib3::FatalError("InitModule: Directory of partial uploads cannot be created.");
      }
    }
    Tmrs::InitModule();
    if (console) Input::InitModule();
    CliIO::InitModule();
    Server::InitModule(sweep);
  }
}
