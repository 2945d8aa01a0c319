// Config.cpp — the client's configuration: defaults, the command line
// (WISPCli { option } mode [ name ]) and the print-out of the result.
//
// Everything here runs once during start-up, before the socket or the file
// to transfer is opened, so a bad command line stops the program with
// nothing else touched: help exits with 0, an error with 255.
#include "Config.h"

#include <unistd.h>

#include <cstring>

#include "Args.h"
#include "Cfg.h"
#include "FIOStd.h"
#include "Lib3.h"
#include "Log.h"
#include "SO.h"
#include "Utils.h"
#include "Ver.h"

namespace Config {
  TDataDesc data;

  namespace {
    bool initialised = false;

    // Texts are built in 128 characters; the extra element keeps a full
    // buffer terminated for the callers that take a plain C string.
    constexpr uint32_t lineMax = 128;
    using TLine = char[lineMax + 1];

    void InitLine(SO::TBuffer& b, TLine& s) {
      s[lineMax] = '\0';
      SO::Init(b, s, lineMax);
    }

    // Copies t into the fixed array d of n characters, always terminated.
    void SetStr(char* d, size_t n, const char* t) {
      size_t i = 0;
      while (i + 1 < n && t[i] != '\0') {
        d[i] = t[i];
        ++i;
      }
      d[i] = '\0';
    }

    void WrInfo(SO::TBuffer& b) {
      SO::WrStrN(b, data.prg, sizeof data.prg);
      SO::WrStr(b, " v");
      SO::WrLngCard(b, data.ver, 1);
      SO::WrStr(b, " (");
      SO::WrStrN(b, data.ext, sizeof data.ext);
      SO::WrStr(b, "): WISP Client.");
    }

    // The working directory at start, shown in the print-out only; files are
    // opened relative to it anyway. A path longer than the field is cut; one
    // the system cannot tell (removed, or too long even for this array)
    // leaves the field empty.
    void InitDir() {
      char cwd[4096];
      if (getcwd(cwd, sizeof cwd) == nullptr) {
        data.dir[0] = '\0';
        return;
      }
      SetStr(data.dir, sizeof data.dir, cwd);
    }

    // Unsigned decimal conversion of an option's value: a non-empty run of
    // digits whose value fits 32 bits. Anything else (a sign, blanks, an
    // empty text, a larger value) is not a number.
    bool StrToCard(const char* s, uint32_t& x) {
      if (s[0] == '\0') return false;
      uint64_t v = 0;
      for (const char* p = s; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFu) return false;
      }
      x = static_cast<uint32_t>(v);
      return true;
    }

    // "Error: <t>", the current parameter in quotes when there is one, and
    // the hint line; the return code is still at its initial 255.
    [[noreturn]] void ParseArgs_Error(const char* t) {
      TLine s;
      SO::TBuffer b;
      InitLine(b, s);
      SO::WrStr(b, "Error: ");
      SO::WrStr(b, t);
      if (Args::len > 0) {
        SO::WrStr(b, ": '");
        SO::WrStr(b, Args::str);
        SO::WrChar(b, '\'');
      }
      SO::WrChar(b, '\n');
      SO::WrStr(b, "Try '");
      SO::WrStr(b, Cfg::prgName);
      SO::WrStr(b, " -h' for help.");
      Lib3::FatalError(s);
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
      FIOStd::WrStrLn(FIOStd::chOut, "       | '-v'      (* switch on verbose mode *) .");
      Lib3::SetReturnCode(0);
      Lib3::Stop();
    }

    void ParseArgs_GetAddress(uint32_t& x) {
      Args::Read();
      if (Args::sym != Args::symArg || !Utils::MkIP(x, Args::str)) ParseArgs_Error("Invalid IP address");
    }

    // Reads the value of an option that takes a number in lo..hi: not an
    // argument or not a number gives eNum, a number outside the range eRng.
    uint32_t ParseArgs_GetCard(const char* eNum, const char* eRng, uint32_t lo, uint32_t hi) {
      Args::Read();
      uint32_t x = 0;
      if (Args::sym != Args::symArg || !StrToCard(Args::str, x)) ParseArgs_Error(eNum);
      if (x < lo || x > hi) ParseArgs_Error(eRng);
      return x;
    }

    bool Is(const char* t) { return std::strcmp(Args::str, t) == 0; }

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
        } else if (Is("a")) {
          ParseArgs_GetAddress(data.adr);
        } else if (Is("p")) {
          data.prt = static_cast<uint16_t>(ParseArgs_GetCard("Invalid port number", "Port number out of range", 0, 65535));
        } else if (Is("u")) {
          data.dtu = ParseArgs_GetCard("Invalid update period", "Update period out of range", 1, 10000);
        } else if (Is("f")) {
          data.fpu = static_cast<uint8_t>(ParseArgs_GetCard("Invalid fragment count", "Fragment count out of range", 1, 255));
        } else {
          ParseArgs_Error("Invalid option");
        }
        Args::Read();
      }
    }

    void Show_Out(const char* s) { Log::Write(Cfg::midConfig, Log::lvlMsg, s, data.vrb); }

    void Show_Begin(SO::TBuffer& b, const char* n) {
      SO::Clear(b);
      SO::WrStr(b, "  ");
      SO::WrStrAdj(b, n, -3);
      SO::WrChar(b, ' ');
    }

    void Show_ShowStr(const char* n, const char* v, size_t m) {
      TLine s;
      SO::TBuffer b;
      InitLine(b, s);
      Show_Begin(b, n);
      SO::WrChar(b, '\'');
      SO::WrStrN(b, v, m);
      SO::WrChar(b, '\'');
      Show_Out(s);
    }

    void Show_ShowCard(const char* n, uint32_t v) {
      TLine s;
      SO::TBuffer b;
      InitLine(b, s);
      Show_Begin(b, n);
      SO::WrLngCard(b, v, 1);
      Show_Out(s);
    }

    void Show_ShowIP(const char* n, uint32_t x) {
      TLine s;
      SO::TBuffer b;
      InitLine(b, s);
      Show_Begin(b, n);
      Utils::WrIP(b, x);
      Show_Out(s);
    }
  }

  void InitData() {
    std::memset(&data, 0, sizeof data);
    SetStr(data.prg, sizeof data.prg, Cfg::prgName);
    data.ver = Ver::ver;
    SetStr(data.ext, sizeof data.ext, Ver::ext);
    InitDir();
    data.pro = true;
    data.adr = Utils::IP(127, 0, 0, 1);
    data.prt = 667;
    data.dtu = 1;
    data.fpu = 10;
    SetStr(data.rnm, sizeof data.rnm, "WISPSrv.exe");
  }

  void ParseArgs() {
    Args::Reset();
    Args::Read();
    ParseArgs_Options();
    // The mode: only the first letter counts, in either case.
    if (Args::sym != Args::symArg) ParseArgs_Error("Invalid mode");
    switch (Args::str[0]) {
      case 'g': case 'G': data.wrt = false; break;
      case 'p': case 'P': data.wrt = true; break;
      default: ParseArgs_Error("Invalid mode");
    }
    Args::Read();
    ParseArgs_Options();
    if (Args::sym == Args::symArg) {
      SetStr(data.rnm, sizeof data.rnm, Args::str);
      Args::Read();
    }
    ParseArgs_Options();
    if (Args::sym != Args::symEOA) ParseArgs_Error("Unexpected argument");
  }

  void Show() {
    TLine s;
    SO::TBuffer b;
    InitLine(b, s);
    WrInfo(b);
    Show_Out(s);
    Show_Out("data");
    Show_ShowStr("prg", data.prg, sizeof data.prg);
    Show_ShowCard("ver", data.ver);
    Show_ShowStr("ext", data.ext, sizeof data.ext);
    Show_ShowStr("dir", data.dir, sizeof data.dir);
    Show_ShowCard("dbg", data.dbg);
    Show_ShowCard("vrb", data.vrb);
    Show_ShowCard("ovr", data.ovr);
    Show_ShowCard("wrt", data.wrt);
    Show_ShowCard("pro", data.pro);
    Show_ShowIP("adr", data.adr);
    Show_ShowCard("prt", data.prt);
    Show_ShowCard("dtu", data.dtu);
    Show_ShowCard("fpu", data.fpu);
    Show_ShowStr("rnm", data.rnm, sizeof data.rnm);
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
