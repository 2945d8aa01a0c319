// Log file layout, registration errors and rotation. Each scenario runs the
// log in a child process (the module opens its file once per process) inside
// a scratch directory; the parent then checks the files the child left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Lib3.h"
#include "Log.h"
#include "Tmr.h"


// Module ids as the server numbers them.
constexpr Log::TModId midFiles = 3, midServer = 7;

namespace fs = std::filesystem;

namespace {
  struct ScratchDir {
    fs::path old, dir;
    ScratchDir() {
      old = fs::current_path();
      char t[] = "/tmp/wisp-log-XXXXXX";
      dir = mkdtemp(t);
    }
    ~ScratchDir() {
      fs::current_path(old);
      fs::remove_all(dir);
    }
    std::string Read(const std::string& n) const {
      std::ifstream f(dir / n, std::ios::binary);
      std::stringstream s;
      s << f.rdbuf();
      return s.str();
    }
  };

  std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> v;
    size_t p = 0;
    for (size_t q; (q = s.find("\r\n", p)) != std::string::npos; p = q + 2) v.push_back(s.substr(p, q - p));
    return v;
  }

  // Text of a file line after the 40-character prefix.
  std::string Text(const std::string& l) { return l.size() >= 40 ? l.substr(40) : ""; }
  std::string Mod(const std::string& l) { return l.size() >= 37 ? l.substr(29, 8) : ""; }

  // Runs f in a child in dir; the child ends through Stop (the termination
  // chain), so the log's closing line is written as in the programs. What
  // the child writes on the console lands in console.txt.
  template <typename F> void InChild(const ScratchDir& d, F f, int code = 255) {
    EXPECT_EXIT(
        {
          fs::current_path(d.dir);
          const int c = open("console.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
          if (c < 0 || dup2(c, 1) != 1) _exit(2);
          Lib3::InitModule();
          Tmr::InitModule();
          Log::InitModule({.prg = "WISPSrv"});
          f();
          Lib3::Stop();
        },
        ::testing::ExitedWithCode(code), "");
  }
}

TEST(Log, FileLinesHaveTheirColumnsAndTheRunIsFramed) {
  ScratchDir d;
  InChild(d, [] {
    Log::Register(midFiles, "Files");
    Log::Write(midFiles, Log::lvlMsg, "hello", false);
    Log::Write(midFiles, Log::lvlWrn, "warn", false);
    Log::Write(midServer, Log::lvlErr, "never registered", false);
    Lib3::SetReturnCode(7);
  }, 7);
  auto l = Lines(d.Read("WISPSrv.log"));
  ASSERT_EQ(l.size(), 8u);
  std::regex re(R"(^\d{8} \d{6}\.\d{3} [0-9A-F]{8} .{8} [MWEF] .*$)");
  for (auto& x : l) EXPECT_TRUE(std::regex_match(x, re)) << x;
  EXPECT_EQ(Text(l[0]), std::string(40, '='));
  EXPECT_EQ(Mod(l[0]), "00000000");
  EXPECT_EQ(Text(l[1]), "Register  1 \"Log\"");
  EXPECT_EQ(Mod(l[1]), "Log     ");
  EXPECT_EQ(Text(l[2]).substr(0, 6), "ticks ");
  EXPECT_EQ(Text(l[2]).size(), 14u);
  EXPECT_EQ(Text(l[3]), "Register  3 \"Files\"");
  EXPECT_EQ(l[5].substr(29, 11), "Files    W ");
  EXPECT_EQ(l[6].substr(29, 11), "00000007 E ");
  EXPECT_EQ(Text(l[7]), "DoneModule rc 7");
}

TEST(Log, SecondRunAppendsAfterASeparator) {
  ScratchDir d;
  InChild(d, [] {});
  InChild(d, [] {});
  auto l = Lines(d.Read("WISPSrv.log"));
  ASSERT_EQ(l.size(), 8u);
  EXPECT_EQ(Text(l[4]), std::string(40, '='));
  EXPECT_EQ(Text(l[7]), "DoneModule rc 255");
}

TEST(Log, RegistrationErrorsStopTheProgram) {
  ScratchDir d;
  fs::current_path(d.dir);
  EXPECT_EXIT({ Lib3::InitModule(); Tmr::InitModule(); Log::InitModule({.prg = "WISPSrv"}); Log::Register(midFiles, ""); },
              ::testing::ExitedWithCode(255), "");
  EXPECT_EXIT({ Lib3::InitModule(); Tmr::InitModule(); Log::InitModule({.prg = "WISPSrv"}); Log::Register(midFiles, "ABCDEFGHIJKLMNOPQ"); },
              ::testing::ExitedWithCode(255), "");
  EXPECT_EXIT({ Lib3::InitModule(); Tmr::InitModule(); Log::InitModule({.prg = "WISPSrv"}); Log::Register(midFiles, "Files"); Log::Register(midFiles, "Files"); },
              ::testing::ExitedWithCode(255), "");
  EXPECT_EXIT({ Lib3::InitModule(); Tmr::InitModule(); Log::InitModule({.prg = "WISPSrv"}); Log::Register(midFiles, "Files"); Log::Register(midServer, "Files"); },
              ::testing::ExitedWithCode(255), "");
  EXPECT_EXIT({ Lib3::InitModule(); Tmr::InitModule(); Log::InitModule({.prg = "WISPSrv"}); Log::Register(midFiles, "ABCDEFGHIJKLMNOP"); Lib3::SetReturnCode(0); Lib3::Stop(); },
              ::testing::ExitedWithCode(0), "");
  std::string all = d.Read("WISPSrv.log");
  for (const char* t : {"F Register Invalid name \"\"", "F Register Invalid name \"ABCDEFGHIJKLMNOPQ\"",
                        "F Register Id known  3 \"Files\"", "F Register Name known  3 \"Files\"",
                        "M Register  3 \"ABCDEFGHIJKLMNOP\""})
    EXPECT_NE(all.find(t), std::string::npos) << t;
}

TEST(Log, RotatesAtExactly128MiBWithSixteenGenerations) {
  ScratchDir d;
  // All 17 files present; the current one is sparse, just short of the limit.
  for (int i = 1; i <= 16; ++i) {
    char n[32];
    snprintf(n, sizeof n, "WISPSrv%03d.log", i);
    std::ofstream(d.dir / n) << "gen " << i;
  }
  InChild(d, [] {
    // Each file line is the 40-character prefix, the text and CR LF.
    const std::string text(58, 'x');   // a 100-byte line
    struct stat st{};
    stat("WISPSrv.log", &st);
    off_t fill = static_cast<off_t>(Log::sizeMax) - 100 - st.st_size;
    int fd = open("WISPSrv.log", O_WRONLY);
    if (fd < 0 || ftruncate(fd, st.st_size + fill) != 0) _exit(3);
    close(fd);
    Log::Write(Log::midLog, Log::lvlMsg, text.c_str(), false);   // reaches exactly 128 MiB
    stat("WISPSrv.log", &st);
    if (st.st_size != static_cast<off_t>(Log::sizeMax)) _exit(4);
    Log::Write(Log::midLog, Log::lvlMsg, "after", false);   // goes into a fresh file
  });
  EXPECT_EQ(fs::file_size(d.dir / "WISPSrv001.log"), Log::sizeMax);
  EXPECT_EQ(d.Read("WISPSrv002.log"), "gen 1");
  EXPECT_EQ(d.Read("WISPSrv016.log"), "gen 15");
  auto l = Lines(d.Read("WISPSrv.log"));
  ASSERT_EQ(l.size(), 2u);   // no separator in the fresh file
  EXPECT_EQ(Text(l[0]), "after");
  EXPECT_EQ(Text(l[1]), "DoneModule rc 255");
}

// The log never writes through a link of its name (it would write wherever
// the link points): it says so on the console, runs without a file and
// counts what it cannot write. Its 17 names are its own.
TEST(Log, ALinkOfItsNameIsNeverOpened) {
  ScratchDir d;
  std::ofstream(d.dir / "target") << "keep";
  fs::create_symlink(d.dir / "target", d.dir / "WISPSrv.log");
  InChild(d, [] {
    Log::Register(midFiles, "Files");
    Log::Write(midFiles, Log::lvlMsg, "hello", true);
    if (Log::Dropped() < 4) _exit(3);   // separator, registrations, ticks, hello
    for (const char* n : {"WISPSrv.log", "WISPSrv001.log", "WISPSrv016.log"})
      if (!Log::IsOwnName(n)) _exit(4);
    for (const char* n : {"WISPSrv017.log", "WISPSrv000.log", "wispsrv.log", "WISPSrv.log ", "WISPSrv", ""})
      if (Log::IsOwnName(n)) _exit(5);
  });
  EXPECT_EQ(d.Read("target"), "keep");
  EXPECT_TRUE(fs::is_symlink(d.dir / "WISPSrv.log"));
  EXPECT_EQ(d.Read("console.txt"),
            "Log: open \"WISPSrv.log\" failed: Too many levels of symbolic links (errno 40), running without a log.\n"
            "M Files hello\n"
            "Log: 6 lines were dropped.\n");   // ... and the closing line
}

// A full disk (here the file-size limit) costs the lines that do not fit:
// they are counted, the console is told once, and the first line that fits
// again says how many were lost. A line cut in the middle does not glue
// itself to the next one.
TEST(Log, LinesThatCannotBeWrittenAreCountedAndDropped) {
  ScratchDir d;
  InChild(d, [] {
    signal(SIGXFSZ, SIG_IGN);
    struct stat st{};
    stat("WISPSrv.log", &st);
    rlimit lim{}, was{};
    if (getrlimit(RLIMIT_FSIZE, &was) != 0) _exit(3);
    lim.rlim_cur = static_cast<rlim_t>(st.st_size) + 150;   // the soft limit only: it can go back
    lim.rlim_max = was.rlim_max;
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(3);
    const std::string text(58, 'x');   // 100-byte lines: one fits, the next is cut
    for (int k = 0; k < 5; ++k) Log::Write(Log::midLog, Log::lvlMsg, text.c_str(), false);
    if (Log::Dropped() != 4) _exit(4);
    if (setrlimit(RLIMIT_FSIZE, &was) != 0) _exit(5);
    Log::Write(Log::midLog, Log::lvlMsg, "after", false);
    if (Log::Dropped() != 4) _exit(6);
  });
  auto l = Lines(d.Read("WISPSrv.log"));
  ASSERT_EQ(l.size(), 8u);
  EXPECT_EQ(Text(l[3]), std::string(58, 'x'));
  EXPECT_EQ(l[4].size(), 50u);   // the cut line, on a line of its own
  EXPECT_EQ(l[5].substr(29), "Log      W Write dropped 4 lines");
  EXPECT_EQ(Text(l[6]), "after");
  EXPECT_EQ(Text(l[7]), "DoneModule rc 255");
  EXPECT_EQ(d.Read("console.txt"),
            "Log: write \"WISPSrv.log\" failed: File too large (errno 27), lines are dropped until it works again.\n"
            "Log: \"WISPSrv.log\" is written again, 4 lines were dropped.\n");
}

// A rotation that cannot move the generations (here the oldest name is a
// directory) keeps the lines in the current file, says so once, and is
// tried again a second later.
TEST(Log, FailedRotationKeepsTheLinesAndTriesAgain) {
  ScratchDir d;
  fs::create_directories(d.dir / "WISPSrv016.log" / "x");
  InChild(d, [] {
    struct stat st{};
    stat("WISPSrv.log", &st);
    int fd = open("WISPSrv.log", O_WRONLY);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(Log::sizeMax) - 60) != 0) _exit(3);
    close(fd);
    Log::Write(Log::midLog, Log::lvlMsg, "kept 1", false);
    Log::Write(Log::midLog, Log::lvlMsg, "kept 2", false);
    fs::remove_all("WISPSrv016.log");
    Log::Write(Log::midLog, Log::lvlMsg, "kept 3", false);   // within the second
    usleep(1100000);
    Log::Write(Log::midLog, Log::lvlMsg, "rotated", false);
    if (Log::Dropped() != 0) _exit(4);
  });
  EXPECT_GT(fs::file_size(d.dir / "WISPSrv001.log"), Log::sizeMax);
  std::ifstream f(d.dir / "WISPSrv001.log", std::ios::binary);
  f.seekg(Log::sizeMax - 60);
  auto o = Lines(std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()));
  ASSERT_EQ(o.size(), 3u);
  EXPECT_EQ(Text(o[0]), "kept 1");
  EXPECT_EQ(Text(o[2]), "kept 3");
  auto l = Lines(d.Read("WISPSrv.log"));
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(Text(l[0]), "rotated");
  EXPECT_EQ(d.Read("console.txt"),
            "Log: delete \"WISPSrv016.log\" failed: Is a directory (errno 21), the log grows past its limit.\n");
}
