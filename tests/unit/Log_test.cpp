// Log file layout, registration errors and rotation. Each scenario runs the
// log in a child process (the module opens its file once per process) inside
// a scratch directory; the parent then checks the files the child left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  // chain), so the log's closing line is written as in the programs.
  template <typename F> void InChild(const ScratchDir& d, F f, int code = 255) {
    EXPECT_EXIT(
        {
          fs::current_path(d.dir);
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
