// wispsrv.cpp — WISPSrv, the server: starts the modules in their fixed order,
// installs the key handler and runs the session's event loop.
#include "Args.h"
#include "CliIO.h"
#include "ConSigs.h"
#include "Config.h"
#include "DT.h"
#include "FIOStd.h"
#include "Heap.h"
#include "Input.h"
#include "Lib3.h"
#include "Log.h"
#include "MMSys.h"
#include "Mtxs.h"
#include "SysVer.h"
#include "Tmr.h"
#include "Tmrs.h"
#include "Utils.h"

namespace {
  // Keys: E shows the error counters, Q quits with exit code 1.
  void OnKey(char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'Q') {
      Lib3::SetReturnCode(1);
      Lib3::Stop();
    }
  }
}

int main(int argc, char** argv) {
  Args::SetArgs(argc, argv);
  // Module start-up, in this order (Types, Tmr0, Lib2, Ver, Cfg and UDP0 are
  // constants only and have nothing to run):
  Lib3::InitModule();
  SysVer::InitModule();
  Heap::InitModule();
  Mtxs::InitModule();
  MMSys::InitModule();
  Tmr::InitModule();
  FIOStd::InitModule();
  Log::InitModule();
  DT::InitModule();
  Utils::InitModule();
  ConSigs::InitModule();
  Args::InitModule();
  Config::InitModule();
  Tmrs::InitModule();
  Input::InitModule();
  CliIO::InitModule();

  Input::Install(OnKey);
  CliIO::Execute();
}
