// Startup.cpp — the client's start-up list. Each shared module gets the
// client's settings here: one slot in each table, its own module ids, and
// the switches of the command line (so Config comes before them).
#include "Startup.h"

#include "Args.h"
#include "Cfg.h"
#include "Client.h"
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
#include "Secure.h"
#include "Sndrs.h"
#include "SrvIO.h"
#include "SysVer.h"
#include "Tmr.h"
#include "Tmrs.h"
#include "Utils.h"
#include "WISP.h"

namespace Startup {
  void InitModules(bool console) {
    // Types, SO, Tmr0, Lib2, Ver, Cfg and UDP0 have nothing to run.
    DT::InitModule();
    Lib3::InitModule();
    Utils::InitModule();
    SysVer::InitModule();
    Heap::InitModule();
    Mtxs::InitModule();
    MMSys::InitModule();
    Tmr::InitModule();
    FIOStd::InitModule();
    Log::InitModule({.prg = Cfg::prgName});
    if (console) ConSigs::InitModule();
    Args::InitModule();
    Config::InitModule();
    MD5::InitModule();
    Crc::InitModule();
    WISP::InitModule();
    const Config::TDataDesc& c = Config::data;
    // The keys before anything is opened: a fault with them stops here.
    Secure::InitModule({.dir = c.kdr, .prg = Cfg::prgName, .server = false, .adr = c.atx, .cnt = 1});
    Jobs::InitModule();   // before Files: its end runs after the file table's
    Files::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midFiles, .ovr = c.ovr, .vrb = c.vrb});
    Sndrs::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midSndrs, .dbg = c.dbg, .vrb = c.vrb});
    Rcvrs::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midRcvrs, .dbg = c.dbg, .vrb = c.vrb, .rtt = c.rtt, .cc = c.cgc});
    // -k: the partial file of a get, in the current directory.
    if (c.kpt) Parts::InitModule({.cnt = Cfg::cntMax, .mid = Cfg::midParts, .vrb = c.vrb});
    Tmrs::InitModule();
    if (console) Input::InitModule();
    SrvIO::InitModule();
    Client::InitModule();
  }
}
