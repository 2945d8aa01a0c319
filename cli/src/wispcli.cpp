// wispcli.cpp — WISPCli, the client: starts the modules in their fixed order,
// installs the key handler and runs the session's event loop.
#include "Args.h"
#include "FIOStd.h"
#include "Input.h"
#include "Lib3.h"
#include "SO.h"
#include "Client.h"
#include "Startup.h"

namespace {
  // The session's error counters on one console line: each counter's low 12
  // bits in upper-case hexadecimal, right-aligned in 3 columns, and a blank.
  void ShowErrCnts() {
    Client::TErrCnts e;
    Client::GetErrCnts(e);
    char t[128];
    SO::TBuffer b;
    SO::Init(b, t);
    for (uint32_t i = 0; i < Client::ErrCntShown(); ++i) {
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
  Startup::InitModules(true);

  Input::Install(OnKey);
  Client::Run();
}
