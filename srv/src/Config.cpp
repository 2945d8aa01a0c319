// Config.cpp — the server's configuration: defaults, the command line
// (WISPSrv { option }) and the print-out of the result.
//
// Everything here runs once during start-up, before the socket is bound, so
// a bad command line stops the program with nothing else touched: help
// exits with 0, an error with 255.
#include "Config.h"


#include "Args.h"
#include "ConfigLib.h"
#include "Cfg.h"
#include "FIOStd.h"
#include "Lib3.h"
#include "Log.h"
#include "Utils.h"
#include "Ver.h"

namespace Config {
  TDataDesc data;

  using namespace ConfigLib;

  namespace {
    bool initialised = false;

    // The help leaves out the option "?", which works like "h".
    [[noreturn]] void ParseArgs_Help() {
      TLine s;
      SO::TBuffer b;
      InitLine(b, s);
      SO::WrStr(b, "(* ");
      WrInfo(b);
      SO::WrStr(b, " *)");
      FIOStd::WrStrLn(FIOStd::chOut, s);
      SO::Clear(b);
      SO::WrStr(b, "syntax = '");
      SO::WrStr(b, Cfg::prgName);
      SO::WrStr(b, "' { option } .");
      FIOStd::WrStrLn(FIOStd::chOut, s);
      FIOStd::WrStrLn(FIOStd::chOut, "option = '-h'      (* show this info and exit *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-a' adr  (* set local IP address *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-p' prt  (* set local UDP port *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-u' dtu  (* set shortest update period granted in ms *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-f' fpu  (* set most fragment requests granted per update *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-d'      (* switch on debug mode *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-o'      (* switch on local overwriting *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-r'      (* switch on re-requests after the round trip in uploads *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-c'      (* switch on a request rate that adapts to the path in uploads *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-n' net  (* serve only the client networks given *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-g'      (* switch on gets only *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-s' cnt  (* set most sessions per client address *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-x'      (* switch on the extended exchange: files of any size *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-e' dir  (* switch on secure mode with the keys in dir *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-k'      (* switch on keeping interrupted puts to resume them *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-v'      (* switch on verbose mode *) .");
      Lib3::SetReturnCode(0);
      Lib3::Stop();
    }

    // The options that fence the server in: -n, -g and -s. True when the
    // current option is one of them.
    bool ParseArgs_Fence() {
      if (Is("n")) {
        UDP0::TNetDesc n;
        GetNet(n);
        if (data.nnt >= netMax) Error("Too many networks");
        data.net[data.nnt++] = n;
      } else if (Is("g")) {
        data.get = true;
      } else if (Is("s")) {
        data.spa = static_cast<uint8_t>(GetCard("Invalid session count", "Session count out of range", 1,
                                                Cfg::cntMax, true));
      } else {
        return false;
      }
      return true;
    }

    void ParseArgs_Options() {
      while (Args::sym == Args::symOpt) {
        if (Is("?") || Is("h")) {
          ParseArgs_Help();
        } else if (Is("d")) {
          data.dbg = true;
        } else if (Is("o")) {
          data.ovr = true;
        } else if (Is("v")) {
          data.vrb = true;
        } else if (Is("r")) {
          data.rtt = true;
        } else if (Is("c")) {
          data.cgc = true;
        } else if (Is("x")) {
          data.xtd = true;
        } else if (Is("k")) {
          data.kpt = true;
        } else if (Is("a")) {
          GetAddress(data.adr);
        } else if (Is("e")) {
          GetPath(data.kdr, sizeof data.kdr, "Invalid key directory");
        } else if (Is("p")) {
          data.prt = static_cast<uint16_t>(GetCard("Invalid port number", "Port number out of range", 0, 65535, true));
        } else if (Is("u")) {
          // The longest period a session can have is 1000 ms (Server::dtuMax).
          data.dtu = GetCard("Invalid update period", "Update period out of range", 1, 1000, true);
        } else if (Is("f")) {
          data.fpu = static_cast<uint8_t>(GetCard("Invalid fragment count", "Fragment count out of range", 1, 255, true));
        } else if (!ParseArgs_Fence()) {
          Error("Invalid option");
        }
        Args::Read();
      }
    }
  }

  namespace {
    // One line per network served ("net any" without -n), gets only, and
    // the sessions per client address.
    void Show_Fence() {
      if (data.nnt == 0) ShowOut("  net any");
      for (uint32_t k = 0; k < data.nnt; ++k) ShowNet("net", data.net[k]);
      ShowCard("get", data.get);
      ShowCard("spa", data.spa);
    }
  }

  void WrInfo(SO::TBuffer& b) {
    SO::WrStrN(b, data.prg, sizeof data.prg);
    SO::WrStr(b, " v");
    SO::WrLngCard(b, data.ver, 1);
    SO::WrStr(b, " (");
    SO::WrStrN(b, data.ext, sizeof data.ext);
    SO::WrStr(b, "): WISP Server.");
  }

  void InitData() {
    ConfigLib::InitModule({.prg = Cfg::prgName, .mid = Cfg::midConfig});
    data = TDataDesc{};
    SetStr(data.prg, sizeof data.prg, Cfg::prgName);
    data.ver = Ver::ver;
    SetStr(data.ext, sizeof data.ext, Ver::ext);
    InitDir(data.dir, sizeof data.dir);
    data.adr = Utils::IP(0, 0, 0, 0);
    data.prt = 667;
    data.dtu = 1;
    data.fpu = 10;
    data.spa = Cfg::cntMax;
  }

  void ParseArgs() {
    Args::Reset();
    Args::Read();
    ParseArgs_Options();
    if (Args::sym != Args::symEOA) Error("Unexpected argument");
  }

  void Show() {
    SetVerbose(data.vrb);
    TLine s;
    SO::TBuffer b;
    InitLine(b, s);
    WrInfo(b);
    ShowOut(s);
    ShowOut("data");
    ShowStr("prg", data.prg, sizeof data.prg);
    ShowCard("ver", data.ver);
    ShowStr("ext", data.ext, sizeof data.ext);
    ShowStr("dir", data.dir, sizeof data.dir);
    ShowCard("dbg", data.dbg);
    ShowCard("vrb", data.vrb);
    ShowCard("ovr", data.ovr);
    ShowIP("adr", data.adr);
    ShowCard("prt", data.prt);
    ShowCard("dtu", data.dtu);
    ShowCard("fpu", data.fpu);
    ShowCard("rtt", data.rtt);
    ShowCard("cgc", data.cgc);
    Show_Fence();
    if (data.xtd) ShowCard("xtd", data.xtd);
    if (data.kdr[0] != '\0') ShowStr("kdr", data.kdr, sizeof data.kdr);
    if (data.kpt) ShowCard("kpt", data.kpt);
  }

  void InitModule() {
    if (initialised) return;
    initialised = true;
    Log::Register(Cfg::midConfig, "Config");
    InitData();
    ParseArgs();
    Show();
  }
}
