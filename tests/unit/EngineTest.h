// EngineTest.h — common ground of the transfer engine's unit tests: a scratch
// directory as the current directory, the modules started once, small file
// helpers.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include "DT.h"
#include "Files.h"
#include "Jobs.h"
#include "Lib3.h"
#include "Log.h"
#include "MD5.h"
#include "Mtxs.h"
#include "Rcvrs.h"
#include "Sndrs.h"
#include "Tmr.h"

namespace EngineTest {

// The engine runs here with the server's table size and module ids.
constexpr uint32_t cnt = 16;
constexpr Log::TModId midFiles = 3, midRcvrs = 4, midSndrs = 5, midServer = 7;

// The switches the modules take from the command line in the programs.
inline void Settings(bool ovr, bool dbg, bool vrb, bool srv = false) {
  Files::InitModule({.cnt = cnt, .mid = midFiles, .ovr = ovr, .vrb = vrb, .srv = srv});
  Sndrs::InitModule({.cnt = cnt, .mid = midSndrs, .dbg = dbg, .vrb = vrb});
  Rcvrs::InitModule({.cnt = cnt, .mid = midRcvrs, .dbg = dbg, .vrb = vrb});
}
inline void SetOvr(bool ovr) { Settings(ovr, false, false); }
inline void SetDbg(bool dbg) { Settings(false, dbg, false); }
// -r: receivers ask again after the learnt round trip, timed by clk.
inline void SetRtt(uint32_t (*clk)(), bool dbg = false) {
  Rcvrs::InitModule({.cnt = cnt, .mid = midRcvrs, .dbg = dbg, .vrb = false, .rtt = true, .clk = clk});
}
// -c: receivers adapt their rate and window to the path, timed by clk.
inline void SetCc(uint32_t (*clk)(), bool dbg = false) {
  Rcvrs::InitModule({.cnt = cnt, .mid = midRcvrs, .dbg = dbg, .vrb = false, .cc = true, .clk = clk});
}
// The file table of a served directory (the server's).
inline void SetSrv(bool srv, bool ovr = false) { Settings(ovr, false, false, srv); }

inline std::string& ScratchDir() {
  static std::string d;
  return d;
}

// Creates the scratch directory (removed at process end unless
// WISP_KEEP_SCRATCH is set), makes it the
// current directory and starts the modules the engine needs.
inline void Init() {
  static bool done = false;
  if (!done) {
    done = true;
    char t[] = "/tmp/wisp-engine-XXXXXX";
    if (mkdtemp(t) == nullptr) std::abort();
    ScratchDir() = t;
    if (chdir(t) != 0) std::abort();
    // The frame as the programs have it, so that a fatal error in a death
    // test's child runs the termination chain (Files closes its entries).
    Lib3::InitModule();
    // At the end of the test program the chain must not decide the exit
    // code: this handler runs before the frame's and ends the process with
    // the tests' verdict.
    static const pid_t owner = getpid();
    std::atexit([] {
      if (getpid() != owner) return;   // a death test's child: not ours to decide
      std::error_code ec;
      if (getenv("WISP_KEEP_SCRATCH") == nullptr) std::filesystem::remove_all(ScratchDir(), ec);
      _exit(::testing::UnitTest::GetInstance()->Passed() ? 0 : 1);
    });
    Mtxs::InitModule();
    Tmr::InitModule();
    Log::InitModule({.prg = "WISPSrv"});
    DT::InitModule();
    MD5::InitModule();
    Jobs::InitModule();
  }
  if (chdir(ScratchDir().c_str()) != 0) std::abort();
  Settings(false, false, false);
}

// A fresh, empty subdirectory of the scratch directory as current directory.
inline std::string FreshDir(const std::string& name) {
  const std::string d = ScratchDir() + "/" + name;
  std::error_code ec;
  std::filesystem::remove_all(d, ec);
  std::filesystem::create_directory(d);
  if (chdir(d.c_str()) != 0) std::abort();
  return d;
}

inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  std::vector<uint8_t> v(n);
  for (auto& x : v) x = static_cast<uint8_t>(g());
  return v;
}

inline void PutFile(const std::string& n, const std::vector<uint8_t>& v) {
  std::ofstream o(n, std::ios::binary | std::ios::trunc);
  o.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
}

inline std::vector<uint8_t> GetFile(const std::string& n) {
  std::ifstream i(n, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(i), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& n) {
  std::error_code ec;
  return std::filesystem::symlink_status(n, ec).type() != std::filesystem::file_type::not_found;
}

// Names in the current directory.
inline std::vector<std::string> Listing() {
  std::vector<std::string> r;
  for (const auto& e : std::filesystem::directory_iterator(".")) r.push_back(e.path().filename().string());
  std::sort(r.begin(), r.end());
  return r;
}

inline std::string Hex(const MD5::TDgstDesc& d) {
  MD5::TDgstStr s;
  MD5::MkStr(s, d);
  return std::string(s, sizeof s);
}

// The digest of v as text.
inline std::string Digest(const std::vector<uint8_t>& v) {
  MD5::TCtxDesc c;
  MD5::Init(c);
  MD5::Update(c, v.data(), static_cast<uint32_t>(v.size()));
  MD5::TDgstDesc d;
  MD5::Final(c, d);
  return Hex(d);
}

// The text of the program's log file (in the scratch directory).
inline std::string LogText() {
  std::ifstream i(ScratchDir() + "/WISPSrv.log", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(i), std::istreambuf_iterator<char>());
}

}  // namespace EngineTest
