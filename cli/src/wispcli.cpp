// wispcli.cpp — WISPCli, the client: starts the modules in their fixed order,
// installs the key handler and runs the session's event loop.
#include "Args.h"
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
#include "SrvIO.h"
#include "SysVer.h"
#include "Tmr.h"
#include "Tmrs.h"
#include "Utils.h"

namespace {
  // Keys: Q quits with exit code 1.
  void OnKey(char c) {
    if (c == 'q' || c == 'Q') {
      Lib3::SetReturnCode(1);
      Lib3::Stop();
    }
  }
}

int main(int argc, char** argv) {
  Args::SetArgs(argc, argv);
  // Module start-up, in this order (Types, Tmr0, Lib2, Ver, Cfg and UDP0 are
  // constants only and have nothing to run):
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
  Tmrs::InitModule();
  Input::InitModule();
  SrvIO::InitModule();

  Input::Install(OnKey);
  SrvIO::Execute();
}
