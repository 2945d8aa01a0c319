// wispsrv.cpp — WISPSrv, the server: starts the modules in their fixed order,
// installs the key handler and runs the session's event loop.
#include "Args.h"
#include "Config.h"
#include "FIOStd.h"
#include "Input.h"
#include "Lib3.h"
#include "SO.h"
#include "Seal.h"
#include "Secure.h"
#include "Server.h"
#include "Startup.h"

namespace {
  // The error counters on one console line: for each counter in the order of
  // Server::TErr its low 12 bits in hexadecimal, right-aligned in 3 columns,
  // and a blank (Server::ErrCntShown says how many). In the secure mode the
  // door's drop counters follow, in the order of Seal::TDrop.
  void ShowErrCnts() {
    Server::TErrCnts e;
    Server::GetErrCnts(e);
    const uint32_t n = Server::ErrCntShown();
    char s[(Server::errCntExt + Seal::drpCnt) * 4 + 1];
    SO::TBuffer b;
    SO::Init(b, s);
    b.c.p = ' ';
    for (uint32_t k = 0; k < n; ++k) {
      SO::WrLngHex(b, e[k] & 0xFFFu, 3);
      SO::WrChar(b, ' ');
    }
    for (uint32_t k = Seal::drpNone + 1; Secure::On() && k < Seal::drpCnt; ++k) {
      SO::WrLngHex(b, Seal::Dropped(static_cast<Seal::TDrop>(k)) & 0xFFFu, 3);
      SO::WrChar(b, ' ');
    }
    s[b.l] = '\0';
    FIOStd::WrStrLn(FIOStd::chOut, s);
  }

  // Keys: E shows the error counters, Q quits with exit code 1.
  void OnKey(char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'E') {
      ShowErrCnts();
    } else if (c == 'Q') {
      Lib3::SetReturnCode(1);
      Lib3::Stop();
    }
  }
}

int main(int argc, char** argv) {
  Args::SetArgs(argc, argv);
  Startup::InitModules(true);

  Input::Install(OnKey);
  Server::Run();
}
