// Tokenizer: options and arguments, the prefix characters, the end of the
// arguments, and parameters longer than the text field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Args.h"

namespace {
  // Owns a command line for as long as the tokenizer reads it.
  struct CmdLine {
    std::vector<std::string> s;
    std::vector<char*> p;
    explicit CmdLine(std::vector<std::string> a) : s(std::move(a)) {
      for (auto& x : s) p.push_back(x.data());
      p.push_back(nullptr);
      Args::SetArgs(static_cast<int>(s.size()), p.data());
      Args::Reset();
    }
  };

  void ExpectTok(Args::TSym sym, const std::string& str) {
    Args::Read();
    EXPECT_EQ(Args::sym, sym) << "at parameter " << Args::idx << " '" << str << "'";
    EXPECT_EQ(std::string(Args::str), str);
    EXPECT_EQ(Args::len, str.size());
  }
}

TEST(Args, ResetGoesBackToTheProgramPath) {
  CmdLine c({"/usr/bin/WISPSrv", "-v", "x"});
  Args::Read();
  Args::Read();
  Args::Reset();
  EXPECT_EQ(Args::cnt, 2u);
  EXPECT_EQ(Args::idx, 0u);
  EXPECT_EQ(Args::sym, Args::symNull);
  EXPECT_STREQ(Args::str, "/usr/bin/WISPSrv");
  EXPECT_EQ(Args::len, 16u);
  ExpectTok(Args::symOpt, "v");
  EXPECT_EQ(Args::idx, 1u);
}

// "-" makes any text an option; "/" only the option words, since anything
// else after it is an absolute path.
TEST(Args, OptionsLoseTheirPrefixLoneSignsAreArguments) {
  CmdLine c({"p", "-x", "/h", "-", "/", "get", "--v", "//", "-p667", "", "a-b", "-?", "/tmp/x.bin", "/x",
             "/hv", "/H", "-/", "/?", "/a", "/p", "/u", "/f", "/d", "/o", "/v", "/r", "/c", "/n", "/g", "/s"});
  ExpectTok(Args::symOpt, "x");
  ExpectTok(Args::symOpt, "h");
  ExpectTok(Args::symArg, "-");
  ExpectTok(Args::symArg, "/");
  ExpectTok(Args::symArg, "get");
  ExpectTok(Args::symOpt, "-v");
  ExpectTok(Args::symArg, "//");
  ExpectTok(Args::symOpt, "p667");
  ExpectTok(Args::symArg, "");
  ExpectTok(Args::symArg, "a-b");
  ExpectTok(Args::symOpt, "?");
  ExpectTok(Args::symArg, "/tmp/x.bin");
  ExpectTok(Args::symArg, "/x");
  ExpectTok(Args::symArg, "/hv");
  ExpectTok(Args::symArg, "/H");
  ExpectTok(Args::symOpt, "/");
  for (const char* w : {"?", "a", "p", "u", "f", "d", "o", "v", "r", "c", "n", "g", "s"}) ExpectTok(Args::symOpt, w);
  EXPECT_EQ(Args::idx, Args::cnt);
}

TEST(Args, EndOfArgumentsStaysThere) {
  CmdLine c({"p", "x"});
  ExpectTok(Args::symArg, "x");
  for (int i = 0; i < 3; ++i) ExpectTok(Args::symEOA, "");

  CmdLine none({"p"});
  EXPECT_EQ(Args::cnt, 0u);
  ExpectTok(Args::symEOA, "");
}

TEST(Args, NoProgramPathAtAll) {
  Args::SetArgs(0, nullptr);
  Args::Reset();
  EXPECT_EQ(Args::cnt, 0u);
  EXPECT_EQ(Args::len, 0u);
  ExpectTok(Args::symEOA, "");
}

// The text field holds 255 characters; Whole gives the parameter uncut.
TEST(Args, LongParameterIsCutAt255) {
  std::string longArg(300, 'a');
  CmdLine c({"p", longArg, "-" + longArg, "-" + std::string(255, 'b')});
  ExpectTok(Args::symArg, std::string(255, 'a'));
  EXPECT_EQ(std::string(Args::Whole()), longArg);
  ExpectTok(Args::symOpt, std::string(255, 'a'));
  EXPECT_EQ(std::string(Args::Whole()), "-" + longArg);
  ExpectTok(Args::symOpt, std::string(255, 'b'));
  ExpectTok(Args::symEOA, "");
  EXPECT_STREQ(Args::Whole(), "");
}
