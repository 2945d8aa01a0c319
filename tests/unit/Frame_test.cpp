// The termination chain, return codes and key handlers.
#include <gtest/gtest.h>

#include <string>

#include "FIOStd.h"
#include "Input.h"
#include "Lib3.h"
#include "SysVer.h"

namespace {
  Lib3::TProc oldA = nullptr, oldB = nullptr;
  void DoneA() { FIOStd::WrStr(FIOStd::chErr, "A;"); oldA(); }
  void DoneB() { FIOStd::WrStr(FIOStd::chErr, "B;"); oldB(); }
  // A stop requested while the chain runs ends the process at once.
  void DoneStopAgain() { Lib3::SetReturnCode(42); Lib3::Stop(); }
  Lib3::TProc oldC = nullptr;

  std::string keys;
  void H1(char c) { keys += "1"; keys += c; }
  void H2(char c) { keys += "2"; keys += c; }
}

TEST(Lib3, ChainRunsNewestFirstOnceAndExitsWithTheReturnCode) {
  EXPECT_EXIT({
    Lib3::InitModule();
    Lib3::Terminate(DoneA, oldA);
    Lib3::Terminate(DoneB, oldB);
    Lib3::SetReturnCode(3);
    Lib3::FatalError("boom");
  }, ::testing::ExitedWithCode(3), "^boom\nB;A;$");
  // Returning from main runs the chain too (through the exit machinery).
  EXPECT_EXIT({
    Lib3::InitModule();
    Lib3::Terminate(DoneA, oldA);
    exit(0);
  }, ::testing::ExitedWithCode(255), "^A;$");
  EXPECT_EXIT({
    Lib3::InitModule();
    Lib3::Terminate(DoneA, oldA);
    Lib3::Terminate(DoneStopAgain, oldC);
    Lib3::Stop();
  }, ::testing::ExitedWithCode(42), "^$");
}

TEST(Lib3, StopBeforeInitialisationExitsWithNine) {
  EXPECT_EXIT(Lib3::Stop(), ::testing::ExitedWithCode(9), "");
}

TEST(Input, EveryKeyReachesAllHandlersNewestFirst) {
  Input::InitModule();
  keys.clear();
  Input::Install(H1);
  Input::Install(H2);
  Input::Handle('x');
  EXPECT_EQ(keys, "2x1x");
  keys.clear();
  for (int i = 2; i < 16; ++i) Input::Install(H1);
  Input::Handle('y');
  EXPECT_EQ(keys.size(), 32u);
  EXPECT_EQ(keys.substr(0, 2), "1y");
  EXPECT_EQ(keys.substr(28, 4), "2y1y");   // slot 2 then slot 1
  EXPECT_EXIT(Input::Install(H1), ::testing::ExitedWithCode(9), "");
  Input::InitModule();
}

TEST(SysVer, TextIsLinAndEightHexDigitsOfTheRelease) {
  SysVer::InitModule();
  std::string s = SysVer::str;
  ASSERT_EQ(s.size(), 11u);
  EXPECT_EQ(s.substr(0, 3), "lin");
  EXPECT_EQ(SysVer::bin, SysVer::bld * 65536u + SysVer::min * 256u + SysVer::maj);
  char hex[16];
  snprintf(hex, sizeof hex, "%08X", SysVer::bin);
  EXPECT_EQ(s.substr(3), hex);
  EXPECT_GE(SysVer::maj, 3);
}
