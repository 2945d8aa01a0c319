// ConfigLib.cpp — command-line values, errors and print-out lines for both
// programs' Config modules.
#include "ConfigLib.h"

#include <unistd.h>

#include <cstring>

#include "Args.h"
#include "Lib3.h"
#include "Log.h"
#include "Utils.h"

namespace ConfigLib {
  namespace {
    TSettings set;
    bool vrb = false;
  }

  void InitModule(const TSettings& s) { set = s; }
  void SetVerbose(bool v) { vrb = v; }

  void InitLine(SO::TBuffer& b, TLine& s) {
    s[lineMax] = '\0';
    SO::Init(b, s, lineMax);
  }

  void SetStr(char* d, size_t n, const char* t) {
    size_t i = 0;
    while (i + 1 < n && t[i] != '\0') {
      d[i] = t[i];
      ++i;
    }
    d[i] = '\0';
  }

  void InitDir(char* d, size_t n) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      d[0] = '\0';
      return;
    }
    SetStr(d, n, cwd);
  }

  bool StrToCard(const char* s, uint32_t& x, bool plus) {
    if (plus && s[0] == '+') ++s;
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

  void Error(const char* t) {
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
    SO::WrStr(b, set.prg);
    SO::WrStr(b, " -h' for help.");
    Lib3::FatalError(s);
  }

  bool Is(const char* t) { return std::strcmp(Args::str, t) == 0; }

  void GetAddress(uint32_t& x) {
    Args::Read();
    if (Args::sym != Args::symArg || !Utils::MkIP(x, Args::str)) Error("Invalid IP address");
  }

  uint32_t GetCard(const char* eNum, const char* eRng, uint32_t lo, uint32_t hi, bool plus) {
    Args::Read();
    uint32_t x = 0;
    if (Args::sym != Args::symArg || !StrToCard(Args::str, x, plus)) Error(eNum);
    if (x < lo || x > hi) Error(eRng);
    return x;
  }

  void ShowOut(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, vrb); }

  namespace {
    void ShowBegin(SO::TBuffer& b, TLine& s, const char* n) {
      InitLine(b, s);
      SO::WrStr(b, "  ");
      SO::WrStrAdj(b, n, -3);
      SO::WrChar(b, ' ');
    }
  }

  void ShowStr(const char* n, const char* v, size_t m) {
    TLine s;
    SO::TBuffer b;
    ShowBegin(b, s, n);
    SO::WrChar(b, '\'');
    SO::WrStrN(b, v, m);
    SO::WrChar(b, '\'');
    ShowOut(s);
  }

  void ShowCard(const char* n, uint32_t v) {
    TLine s;
    SO::TBuffer b;
    ShowBegin(b, s, n);
    SO::WrLngCard(b, v, 1);
    ShowOut(s);
  }

  void ShowIP(const char* n, uint32_t x) {
    TLine s;
    SO::TBuffer b;
    ShowBegin(b, s, n);
    Utils::WrIP(b, x);
    ShowOut(s);
  }
}
