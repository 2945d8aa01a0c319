// ConfigTest.h — what the client's and the server's command-line tests share:
// parsing a command line from the defaults on, the expected text of an error
// stop, and a fixture whose death tests end through the termination chain.
// Included by one test program per side; Config is that side's module.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Args.h"
#include "Config.h"
#include "Lib3.h"

namespace ConfigTest {
  // Parses prg followed by a, from the defaults on.
  inline void Parse(const char* prg, std::vector<std::string> a) {
    static std::vector<std::string> words;
    static std::vector<char*> ptrs;
    words = std::move(a);
    words.insert(words.begin(), prg);
    ptrs.clear();
    for (auto& w : words) ptrs.push_back(w.data());
    ptrs.push_back(nullptr);
    Args::SetArgs(static_cast<int>(words.size()), ptrs.data());
    Config::InitData();
    Config::ParseArgs();
  }

  // A pattern that matches s literally from the start of the text. The "^"
  // goes in first and the rest is appended: "^" + a temporary string makes
  // GCC 12 at -O3 report a false -Wrestrict inside std::string.
  inline std::string FromStart(const std::string& s) {
    std::string r = "^";
    for (char c : s) {
      if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) r += '\\';
      r += c;
    }
    return r;
  }

  // The whole of standard error for a failed command line, as a pattern.
  inline std::string ErrorText(const char* prg, const std::string& msg, const char* quoted) {
    std::string first = "Error: " + msg;
    if (quoted != nullptr) first += std::string(": '") + quoted + "'";
    return FromStart(first + "\nTry '" + prg + " -h' for help.\n") + "$";
  }

  // Once Lib3 is up, the process ends through its termination chain with
  // Lib3's return code; make that code the test program's own result.
  class ExitCode : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest& u) override { Lib3::SetReturnCode(u.Passed() ? 0 : 1); }
  };
  inline const bool exitCodeSet = (::testing::UnitTest::GetInstance()->listeners().Append(new ExitCode), true);

  class Fixture : public ::testing::Test {
   protected:
    void SetUp() override {
      GTEST_FLAG_SET(death_test_style, "threadsafe");
      Lib3::InitModule();
    }
  };
}
