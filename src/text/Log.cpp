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
  uint32_t dropped = 0;     // lines dropped since start
  uint32_t lost = 0;        // lines dropped since the log last wrote
  bool told = false;        // the console knows that lines are being dropped
  bool torn = false;        // the last write stopped inside a line
  bool started = false;     // InitModule has run: lines go to the file
  bool rotFailed = false;   // the last rotation failed, at tick rotTick
  bool rotTold = false;
  uint32_t rotTick = 0;
  Mtxs::TMtx mtx = nullptr;
  Lib3::TProc oldTerm = nullptr;

  void Enter() { Mtxs::Req(mtx); }
  void Leave() { Mtxs::Rel(mtx); }

  // A file name as a C string (the 14-character names carry no terminator).
  void CName(const TFileName& n, char (&out)[16]) {
    std::memset(out, 0, sizeof out);
    std::memcpy(out, n, sizeof n);
  }

  // Whether a directory entry of that name exists (a symbolic link counts as
  // itself, not as what it points at).
  bool Exists(const TFileName& n) {
    char c[16];
    CName(n, c);
    struct stat st{};
    return ::lstat(c, &st) == 0;
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

  // One console line about the log file: 'Log: <op> "<file>" failed:
  // <reason> (errno <n>)' and the consequence.
  void Tell(const char* op, const TFileName& n, int err, const char* then) {
    char c[16];
    CName(n, c);
    char line[256];
    std::snprintf(line, sizeof line, "Log: %s \"%s\" failed: %s (errno %d), %s", op, c, std::strerror(err), err,
                  then);
    FIOStd::WrStrLn(FIOStd::chOut, line);
  }

  // Opens the current file for appending, creating it when missing; 0 or the
  // reason. Never through a symbolic link and only a regular file: the log
  // must not write into whatever a link of its name points at, nor wait for
  // the reader of a FIFO.
  int Open() {
    char c[16];
    CName(fnms[0], c);
    int x = ::open(c, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (x < 0) return errno;
    struct stat st{};
    if (::fstat(x, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(x);
      return EINVAL;
    }
    f = x;
    return 0;
  }

  void Close() {
    if (f != FIOStd::chInvalid) {
      ::close(f);   // nothing is left to report it to
      f = FIOStd::chInvalid;
    }
  }

  uint32_t Size() {
    if (f == FIOStd::chInvalid) return 0;
    struct stat st{};
    if (::fstat(f, &st) != 0) return 0;
    return st.st_size > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(st.st_size);
  }

  // Lines that could not be written: counted, and the console told once
  // until the log writes again.
  void Drop(const char* op, int err) {
    ++dropped;
    ++lost;
    if (!told) Tell(op, fnms[0], err, "lines are dropped until it works again.");
    told = true;
  }

  // A rotation that cannot move the files leaves the lines in the current
  // file, past its limit, and is tried again a second later rather than at
  // every line.
  void RotateFailed(const char* op, const TFileName& n, int err) {
    rotFailed = true;
    rotTick = Tmr::Ticks();
    if (!rotTold) Tell(op, n, err, "the log grows past its limit.");
    rotTold = true;
  }

  // The renames run while the current file is still open, so that a failure
  // on the way loses no line: the file being written keeps its place until
  // it has moved to name 1. Returns the reason when the new file cannot be
  // created (the log is then without a file), otherwise 0.
  int Rotate() {
    if (rotFailed && Tmr::Ticks() - rotTick < 1000) return 0;
    char c[16], d[16];
    CName(fnms[Log::genMax], c);
    if (::unlink(c) != 0 && errno != ENOENT) {
      RotateFailed("delete", fnms[Log::genMax], errno);
      return 0;
    }
    for (int i = static_cast<int>(Log::genMax) - 1; i >= 0; --i) {
      if (Exists(fnms[i])) {
        CName(fnms[i], c);
        CName(fnms[i + 1], d);
        if (::rename(c, d) != 0) {
          RotateFailed("rename", fnms[i], errno);
          return 0;
        }
      }
    }
    rotFailed = false;
    rotTold = false;
    Close();
    return Open();
  }

  // Writes n bytes at p; false (errno set) when the system refuses. A line
  // cut short by the refusal leaves torn set, and the next line that gets
  // through begins on a line of its own.
  bool Put(const char* p, size_t n) {
    size_t done = 0;
    while (done < n) {
      ssize_t k = ::write(f, p + done, n - done);
      if (k < 0) {
        if (errno == EINTR) continue;
        if (done > 0) torn = true;
        return false;
      }
      done += static_cast<size_t>(k);
    }
    return true;
  }

  bool PutLine(const char* p, size_t n) {
    if (torn) {
      if (!Put("\r\n", 2)) return false;
      torn = false;
    }
    return Put(p, n);
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

  // The file line of a report: time, ticks, module, mark, text, CR LF.
  void MkLine(SO::TBuffer& b, Log::TModId m, Log::TLvl l, const char* x) {
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
  }

  // Puts the line of a report into the file, or counts it as dropped. A log
  // without a file (it could not be opened, or rotation could not create a
  // new one) tries to open it again first. The first line that gets through
  // after drops is preceded by a line that says how many were lost.
  void ToFile(Log::TModId m, Log::TLvl l, const char* x) {
    char s[512];
    SO::TBuffer b;
    SO::Init(b, s);
    MkLine(b, m, l, x);
    if (f == FIOStd::chInvalid) {
      const int e = Open();
      if (e != 0) return Drop("open", e);
    }
    if (static_cast<uint64_t>(Size()) + b.l > Log::sizeMax) {
      const int e = Rotate();
      if (e != 0) return Drop("create", e);
    }
    if (lost > 0) {
      char t[64], u[512];
      SO::TBuffer c;
      SO::Init(c, t);
      SO::WrStr(c, "Write dropped ");
      SO::WrLngCard(c, lost, 1);
      SO::WrStr(c, " lines");
      SO::TBuffer d;
      SO::Init(d, u);
      MkLine(d, Log::midLog, Log::lvlWrn, t);
      if (!PutLine(u, d.l)) return Drop("write", errno);
      char n[16], line[128];
      CName(fnms[0], n);
      std::snprintf(line, sizeof line, "Log: \"%s\" is written again, %lu lines were dropped.", n,
                    static_cast<unsigned long>(lost));
      FIOStd::WrStrLn(FIOStd::chOut, line);
      lost = 0;
      told = false;
    }
    if (!PutLine(s, b.l)) Drop("write", errno);
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
    started = false;
    if (lost > 0) {
      char line[64];
      std::snprintf(line, sizeof line, "Log: %lu lines were dropped.", static_cast<unsigned long>(lost));
      FIOStd::WrStrLn(FIOStd::chOut, line);
    }
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
    // A log that cannot be opened at all (a read-only directory, a link of
    // its name) does not keep the program from running: it says so once and
    // every line tries again.
    Enter();
    dropped = lost = 0;
    torn = rotFailed = rotTold = false;
    const int e = Open();
    told = e != 0;
    if (told) Tell("open", fnms[0], e, "running without a log.");
    started = true;
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
    if (started) ToFile(m, l, x);
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

  bool IsOwnName(const char* n) {
    for (const TFileName& x : fnms) {
      char c[16];
      CName(x, c);
      if (c[0] != 0 && std::strcmp(c, n) == 0) return true;
    }
    return false;
  }

  uint32_t Dropped() { return dropped; }
}
