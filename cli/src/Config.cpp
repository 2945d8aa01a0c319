// Config.cpp — the client's configuration: defaults, the command line
// (WISPCli { option } mode [ name ]) and the print-out of the result.
//
// Everything here runs once during start-up, before the socket or the file
// to transfer is opened, so a bad command line stops the program with
// nothing else touched: help exits with 0, an error with 255.
#include "Config.h"


#include "Args.h"
#include "ConfigLib.h"
#include "Cfg.h"
#include "FIOStd.h"
#include "Lib3.h"
#include "Log.h"
#include "SO.h"
#include "Utils.h"
#include "Ver.h"
#include "WISP.h"

namespace Config {
  TDataDesc data;

  using namespace ConfigLib;

  namespace {
    bool initialised = false;
    bool fpuSet = false;   // -f given: -c keeps it

    void WrInfo(SO::TBuffer& b) {
      SO::WrStrN(b, data.prg, sizeof data.prg);
      SO::WrStr(b, " v");
      SO::WrLngCard(b, data.ver, 1);
      SO::WrStr(b, " (");
      SO::WrStrN(b, data.ext, sizeof data.ext);
      SO::WrStr(b, "): WISP Client.");
    }

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
      SO::WrStr(b, "' { option } mode [ name ] .");
      FIOStd::WrStrLn(FIOStd::chOut, s);
      FIOStd::WrStrLn(FIOStd::chOut, "mode = 'get' | 'put' .");
      FIOStd::WrLn(FIOStd::chOut);
      FIOStd::WrStrLn(FIOStd::chOut, "option = '-h'      (* show this info and exit *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-a' adr  (* set remote IP address *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-p' prt  (* set remote UDP port *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-u' dtu  (* set update period in ms *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-f' fpu  (* set fragment requests per update *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-d'      (* switch on debug mode *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-o'      (* switch on local overwriting *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-r'      (* switch on re-requests after the round trip in a get *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-c'      (* switch on a request rate that adapts to the path in a get *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-x'      (* switch on the extended exchange: files of any size *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-e' dir  (* switch on secure mode with the keys in dir *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-k'      (* switch on keeping an interrupted get to resume it *)");
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-v'      (* switch on verbose mode *) .");
      FIOStd::WrStrLn(FIOStd::chOut, "(* the request is repeated until the server answers; key 'q' quits *)");
      Lib3::SetReturnCode(0);
      Lib3::Stop();
    }

    // The last component of a path: what follows its last "/".
    const char* LastPart(const char* p) {
      const char* s = std::strrchr(p, '/');
      return s == nullptr ? p : s + 1;
    }

    // The name parameter, taken whole: a put reads the local path as given,
    // so it is never cut; what does not fit a path or a resource id is an
    // error, never a different, shorter name.
    void ParseArgs_Name() {
      const char* t = Args::Whole();
      if (std::strlen(t) >= sizeof data.rnm) Error("Name too long");
      if (std::strlen(data.wrt ? LastPart(t) : t) > WISP::lenResID) Error("Name too long");
      SetStr(data.rnm, sizeof data.rnm, t);
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
          GetHost(data.adr, data.hst, sizeof data.hst);
          SetStr(data.atx, sizeof data.atx, Args::str);
        } else if (Is("e")) {
          GetPath(data.kdr, sizeof data.kdr, "Invalid key directory");
        } else if (Is("p")) {
          data.prt = static_cast<uint16_t>(GetCard("Invalid port number", "Port number out of range", 0, 65535, false));
        } else if (Is("u")) {
          data.dtu = GetCard("Invalid update period", "Update period out of range", 1, 10000, false);
        } else if (Is("f")) {
          data.fpu = static_cast<uint8_t>(GetCard("Invalid fragment count", "Fragment count out of range", 1, 255, false));
          fpuSet = true;
        } else {
          Error("Invalid option");
        }
        Args::Read();
      }
    }
  }

  void InitData() {
    ConfigLib::InitModule({.prg = Cfg::prgName, .mid = Cfg::midConfig});
    data = TDataDesc{};
    SetStr(data.prg, sizeof data.prg, Cfg::prgName);
    data.ver = Ver::ver;
    SetStr(data.ext, sizeof data.ext, Ver::ext);
    InitDir(data.dir, sizeof data.dir);
    data.pro = true;
    data.adr = Utils::IP(127, 0, 0, 1);
    SetStr(data.atx, sizeof data.atx, "127.0.0.1");
    data.prt = 667;
    data.dtu = 1;
    data.fpu = 10;
    fpuSet = false;
    SetStr(data.rnm, sizeof data.rnm, "WISPSrv.exe");
  }

  void ParseArgs() {
    Args::Reset();
    Args::Read();
    ParseArgs_Options();
    // The mode: only the first letter counts, in either case.
    if (Args::sym != Args::symArg) Error("Invalid mode");
    switch (Args::str[0]) {
      case 'g': case 'G': data.wrt = false; break;
      case 'p': case 'P': data.wrt = true; break;
      default: Error("Invalid mode");
    }
    Args::Read();
    ParseArgs_Options();
    if (Args::sym == Args::symArg) {
      ParseArgs_Name();
      Args::Read();
    }
    ParseArgs_Options();
    if (Args::sym != Args::symEOA) Error("Unexpected argument");
    // With -c the request rate follows the path: ask for the most, so that
    // the ceiling is what the server grants.
    if (data.cgc && !fpuSet) data.fpu = 255;
  }

  const char* Rid() { return data.wrt ? LastPart(data.rnm) : data.rnm; }

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
    ShowCard("wrt", data.wrt);
    ShowCard("pro", data.pro);
    ShowIP("adr", data.adr);
    ShowCard("prt", data.prt);
    ShowCard("dtu", data.dtu);
    ShowCard("fpu", data.fpu);
    ShowStr("rnm", data.rnm, sizeof data.rnm);
    if (data.hst[0] != '\0') ShowStr("hst", data.hst, sizeof data.hst);
    ShowCard("rtt", data.rtt);
    ShowCard("cgc", data.cgc);
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
