// wispcli.cpp — WISPCli, the client: starts the modules in their fixed order,
// installs the key handler and runs the session's event loop.
#include "Args.h"
#include "Client.h"
#include "ConSigs.h"
#include "Config.h"
#include "Crc.h"
#include "DT.h"
#include "FIOStd.h"
#include "Files.h"
#include "Heap.h"
#include "Input.h"
#include "Lib3.h"
#include "Log.h"
#include "MD5.h"
#include "MMSys.h"
#include "Mtxs.h"
#include "Rcvrs.h"
#include "SO.h"
#include "Sndrs.h"
#include "SrvIO.h"
#include "SysVer.h"
#include "Tmr.h"
#include "Tmrs.h"
#include "Utils.h"
#include "WISP.h"

namespace {
  // The session's error counters on one console line: each counter's low 12
  // bits in upper-case hexadecimal, right-aligned in 3 columns, and a blank.
  void ShowErrCnts() {
    Client::TErrCnts e;
    Client::GetErrCnts(e);
    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    for (uint32_t i = 0; i < Client::errCnt; ++i) {
      SO::WrLngHex(b, e[i] & 0xFFFu, 3);
      SO::WrChar(b, ' ');
    }
    FIOStd::WrStrLn(FIOStd::chOut, t);
  }

  // Keys: E shows the error counters, Q shows them and quits with exit code 1.
  void OnKey(char c) {
    if (c == 'e' || c == 'E') {
      ShowErrCnts();
    } else if (c == 'q' || c == 'Q') {
      ShowErrCnts();
      Lib3::SetReturnCode(1);
      Lib3::Stop();
    }
  }
}

int main(int argc, char** argv) {
  Args::SetArgs(argc, argv);
  // Module start-up, in this order: DT, Types, Lib3, SO, Utils, SysVer, Heap,
  // Mtxs, MMSys, Tmr0, Tmr, Lib2, FIOStd, Ver, Cfg, Log, ConSigs, Args,
  // Config, MD5, UDP0, Crc, WISP, Files, Sndrs, Rcvrs, Tmrs, Input, SrvIO,
  // Client (Types, SO, Tmr0, Lib2, Ver, Cfg and UDP0 have nothing to run).
  DT::InitModule();
  Lib3::InitModule();
  Utils::InitModule();
  SysVer::InitModule();
  Heap::InitModule();
  Mtxs::InitModule();
  MMSys::InitModule();
  Tmr::InitModule();
  FIOStd::InitModule();
  Log::InitModule();
  ConSigs::InitModule();
  Args::InitModule();
  Config::InitModule();
  MD5::InitModule();
  Crc::InitModule();
  WISP::InitModule();
  Files::InitModule();
  Sndrs::InitModule();
  Rcvrs::InitModule();
  Tmrs::InitModule();
  Input::InitModule();
  SrvIO::InitModule();
  Client::InitModule();

  Input::Install(OnKey);
  Client::Run();
}
