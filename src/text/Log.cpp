// Log.cpp — the program's log file.
//
// File line: "YYYYMMDD HHMMSS.FFF TTTTTTTT Module__ M text" + CR LF, with the
// UTC system time, the program's tick count in hexadecimal and the module
// name cut or padded to 8 columns. Each line goes to the file with one
// write(), so a killed process loses nothing already logged.
#include "Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FIOStd.h"
#include "Lib3.h"
#include "Mtxs.h"
#include "SO.h"
#include "Tmr.h"

namespace {
  using TModName = char[16];
  using TFileName = char[14];

  struct TModDesc {
    TModName n;
    bool r;
  };

  constexpr char marks[] = "MWEF";
  constexpr uint32_t modCnt = Log::modMax;

  TModDesc mods[modCnt];
  char prgName[16] = "WISP";
  TFileName fnms[Log::genMax + 1];
  int f = FIOStd::chInvalid;
  Mtxs::TMtx mtx = nullptr;
  Lib3::TProc oldTerm = nullptr;

  void Enter() { Mtxs::Req(mtx); }
  void Leave() { Mtxs::Rel(mtx); }

  // A file name as a C string (the 14-character names carry no terminator).
  void CName(const TFileName& n, char (&out)[16]) {
    std::memset(out, 0, sizeof out);
    std::memcpy(out, n, sizeof n);
  }

  bool Exists(const TFileName& n) {
    char c[16];
    CName(n, c);
    struct stat st{};
    return ::stat(c, &st) == 0;
  }

  void MkFileName(TFileName& n, uint8_t i) {
    SO::TBuffer b;
    SO::Init(b, n);
    SO::WrStr(b, prgName);
    if (i > 0) {
      char p = b.c.p;
      b.c.p = '0';
      SO::WrShtCard(b, i, 3);
      b.c.p = p;
    }
    SO::WrStr(b, ".log");
  }

  void Open() {
    char c[16];
    CName(fnms[0], c);
    int x = ::open(c, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (x < 0) Lib3::FileError(Exists(fnms[0]) ? "open for appending" : "create", c, errno);
    f = x;
  }

  void Close() {
    if (f != FIOStd::chInvalid) {
      int x = f;
      f = FIOStd::chInvalid;
      if (::close(x) != 0) {
        char c[16];
        CName(fnms[0], c);
        Lib3::FileError("close", c, errno);
      }
    }
  }

  uint32_t Size() {
    if (f == FIOStd::chInvalid) return 0;
    struct stat st{};
    if (::fstat(f, &st) != 0) {
      char c[16];
      CName(fnms[0], c);
      Lib3::FileError("size", c, errno);
    }
    return st.st_size > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(st.st_size);
  }

  void Rotate() {
    Close();
    char c[16], d[16];
    if (Exists(fnms[Log::genMax])) {
      CName(fnms[Log::genMax], c);
      if (::unlink(c) != 0) Lib3::FileError("delete", c, errno);
    }
    for (int i = static_cast<int>(Log::genMax) - 1; i >= 0; --i) {
      if (Exists(fnms[i])) {
        CName(fnms[i], c);
        CName(fnms[i + 1], d);
        if (::rename(c, d) != 0) Lib3::FileError("rename", c, errno);
      }
    }
    Open();
  }

  void WrTime(SO::TBuffer& b) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm u{};
    gmtime_r(&ts.tv_sec, &u);
    char p = b.c.p;
    b.c.p = '0';
    SO::WrLngInt(b, u.tm_year + 1900, 4);
    SO::WrShtCard(b, static_cast<uint8_t>(u.tm_mon + 1), 2);
    SO::WrShtCard(b, static_cast<uint8_t>(u.tm_mday), 2);
    SO::WrChar(b, ' ');
    SO::WrShtCard(b, static_cast<uint8_t>(u.tm_hour), 2);
    SO::WrShtCard(b, static_cast<uint8_t>(u.tm_min), 2);
    SO::WrShtCard(b, static_cast<uint8_t>(u.tm_sec), 2);
    SO::WrChar(b, '.');
    SO::WrCard(b, static_cast<uint16_t>(ts.tv_nsec / 1000000), 3);
    b.c.p = p;
  }

  void WrTicks(SO::TBuffer& b) {
    char p = b.c.p;
    b.c.p = '0';
    SO::WrLngHex(b, Tmr::Ticks(), 8);
    b.c.p = p;
  }

  void WrModName(SO::TBuffer& b, Log::TModId m) {
    char n[9] = {};
    std::memcpy(n, mods[m].n, 8);
    char s = b.c.s;
    b.c.s = ' ';
    SO::WrStrAdj(b, n, -8);
    b.c.s = s;
  }

  [[noreturn]] void RegFatal(const char* t) {
    Log::Write(Log::midLog, Log::lvlFat, t, true);
    Lib3::Stop();
  }

  void DoneModule() {
    char t[64];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "DoneModule rc ");
    SO::WrShtCard(b, Lib3::ReturnCode(), 1);
    Log::Write(Log::midLog, Log::lvlMsg, t, false);
    Enter();
    Close();
    Leave();
    oldTerm();
  }
}

namespace Log {
  void InitModule(const TSettings& s) {
    std::memset(prgName, 0, sizeof prgName);
    std::strncpy(prgName, s.prg, sizeof prgName - 1);
    f = FIOStd::chInvalid;
    std::memset(mods, 0, sizeof mods);
    std::memset(fnms, 0, sizeof fnms);
    mtx = Mtxs::New();
    // InitMods: every id shows as its number until it registers.
    for (uint32_t i = 0; i < modCnt; ++i) {
      SO::TBuffer b;
      SO::Init(b, mods[i].n);
      b.c.p = '0';
      SO::WrLngHex(b, i, 8);
      mods[i].r = false;
    }
    // InitNames
    for (uint8_t i = 0; i <= genMax; ++i) MkFileName(fnms[i], i);
    Enter();
    Open();
    Leave();
    Write(Log::midNull, lvlMsg, "========================================", false);
    Register(Log::midLog, "Log");
    char t[32];
    SO::TBuffer b;
    SO::Init(b, t);
    SO::WrStr(b, "ticks ");
    SO::WrLngHex(b, Tmr::Ticks(), 8);
    Write(Log::midLog, lvlMsg, t, false);
    Lib3::Terminate(DoneModule, oldTerm);
  }

  void Register(Log::TModId m, const char* t) {
    Enter();
    char x[512];
    SO::TBuffer b;
    SO::Init(b, x);
    size_t len = std::strlen(t);
    if (len == 0 || len > 16) {
      SO::WrStr(b, "Register Invalid name \"");
      SO::WrStr(b, t);
      SO::WrChar(b, '"');
      RegFatal(x);
    }
    if (m >= modCnt) {
      SO::WrStr(b, "Register Invalid id ");
      SO::WrLngCard(b, m, 2);
      RegFatal(x);
    }
    TModName n = {};
    std::memcpy(n, t, len);
    if (mods[m].r) {
      SO::WrStr(b, "Register Id known ");
      SO::WrShtCard(b, m, 2);
      SO::WrStr(b, " \"");
      SO::WrStrN(b, mods[m].n, sizeof mods[m].n);
      SO::WrChar(b, '"');
      RegFatal(x);
    }
    for (uint32_t i = 0; i < modCnt; ++i) {
      if (mods[i].r && std::memcmp(mods[i].n, n, sizeof n) == 0) {
        SO::WrStr(b, "Register Name known ");
        SO::WrLngCard(b, i, 2);
        SO::WrStr(b, " \"");
        SO::WrStrN(b, n, sizeof n);
        SO::WrChar(b, '"');
        RegFatal(x);
      }
    }
    std::memcpy(mods[m].n, n, sizeof n);
    mods[m].r = true;
    SO::WrStr(b, "Register ");
    SO::WrShtCard(b, m, 2);
    SO::WrStr(b, " \"");
    SO::WrStrN(b, n, sizeof n);
    SO::WrChar(b, '"');
    Write(Log::midLog, lvlMsg, x, false);
    Leave();
  }

  void Write(Log::TModId m, TLvl l, const char* x, bool screen) {
    if (m >= modCnt) m = Log::midNull;
    if (l > lvlFat) l = lvlFat;
    Enter();
    if (f != FIOStd::chInvalid) {
      char s[512];
      SO::TBuffer b;
      SO::Init(b, s);
      WrTime(b);
      SO::WrChar(b, ' ');
      WrTicks(b);
      SO::WrChar(b, ' ');
      WrModName(b, m);
      SO::WrChar(b, ' ');
      SO::WrChar(b, marks[l]);
      SO::WrChar(b, ' ');
      SO::WrStr(b, x);
      SO::WrLn(b);
      if (static_cast<uint64_t>(Size()) + b.l > sizeMax) Rotate();
      const char* p = s;
      size_t n = b.l;
      while (n > 0) {
        ssize_t k = ::write(f, p, n);
        if (k < 0) {
          if (errno == EINTR) continue;
          char c[16];
          CName(fnms[0], c);
          Lib3::FileError("write", c, errno);
        }
        p += k;
        n -= static_cast<size_t>(k);
      }
    }
    if (screen) {
      // Built in 512 characters; the line end goes in the same write so
      // a console line is never split by another process's output.
      char s[513];
      SO::TBuffer b;
      SO::Init(b, s, 512);
      SO::WrChar(b, marks[l]);
      SO::WrChar(b, ' ');
      SO::WrStrN(b, mods[m].n, sizeof mods[m].n);
      SO::WrChar(b, ' ');
      SO::WrStr(b, x);
      s[b.l] = '\n';
      FIOStd::Write(FIOStd::chOut, s, b.l + 1);
    }
    Leave();
  }
}
