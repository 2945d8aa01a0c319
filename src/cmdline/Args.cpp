// Args.cpp — the command-line tokenizer.
#include "Args.h"

#include <cstring>

namespace Args {
  uint32_t cnt = 0;
  uint32_t idx = 0;
  TSym sym = symNull;
  TStr str = {};
  uint32_t len = 0;

  namespace {
    int argCnt = 0;
    char** argVec = nullptr;
    bool initialised = false;

    // Parameter i as the process gave it; an empty text when there is none
    // (a process started with no program path at all).
    const char* Param(uint32_t i) {
      if (argVec == nullptr || i >= static_cast<uint32_t>(argCnt) || argVec[i] == nullptr) return "";
      return argVec[i];
    }

    // Copies t into str, keeping the terminating NUL: a parameter longer
    // than 255 characters is cut there.
    void Take(const char* t) {
      uint32_t n = 0;
      while (n + 1 < strSize && t[n] != '\0') {
        str[n] = t[n];
        ++n;
      }
      str[n] = '\0';
      len = n;
    }
  }

  bool IsOptWord(const char* t) {
    for (const char* w : optWords)
      if (std::strcmp(t, w) == 0) return true;
    return false;
  }

  const char* Whole() { return idx <= cnt ? Param(idx) : ""; }

  void SetArgs(int argc, char** argv) {
    argCnt = argc > 0 ? argc : 0;
    argVec = argv;
  }

  void Reset() {
    cnt = argCnt > 0 ? static_cast<uint32_t>(argCnt - 1) : 0;
    idx = 0;
    sym = symNull;
    Take(Param(0));
  }

  void Read() {
    if (idx <= cnt) ++idx;   // stays one past the last parameter once there
    if (idx > cnt) {
      str[0] = '\0';
      len = 0;
      sym = symEOA;
      return;
    }
    const char* p = Param(idx);
    if ((p[0] == '-' && p[1] != '\0') || (p[0] == '/' && IsOptWord(p + 1))) {
      Take(p + 1);
      sym = symOpt;
    } else {
      Take(p);
      sym = symArg;
    }
  }

  void InitModule() {
    if (initialised) return;
    initialised = true;
    Reset();
  }
}
