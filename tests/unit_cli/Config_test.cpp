// Client command line: defaults, mode words, options in the three places
// the grammar allows, values at their limits, and the error and help stops
// (run in a child process; exit code and standard error are checked).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../ConfigTest.h"
#include "Args.h"
#include "Config.h"
#include "Lib3.h"
#include "Utils.h"

namespace {
  using ConfigTest::FromStart;
  void Parse(std::vector<std::string> a) { ConfigTest::Parse("WISPCli", std::move(a)); }
  std::string ErrorText(const std::string& msg, const char* quoted) { return ConfigTest::ErrorText("WISPCli", msg, quoted); }
  class CliConfig : public ConfigTest::Fixture {};
}

TEST_F(CliConfig, DefaultsWithGetAlone) {
  Parse({"get"});
  const auto& d = Config::data;
  EXPECT_STREQ(d.prg, "WISPCli");
  EXPECT_EQ(d.ver, 19u);
  EXPECT_STREQ(d.ext, "2026-06-21");
  EXPECT_FALSE(d.dbg);
  EXPECT_FALSE(d.vrb);
  EXPECT_FALSE(d.ovr);
  EXPECT_FALSE(d.wrt);
  EXPECT_TRUE(d.pro);
  EXPECT_EQ(d.adr, Utils::IP(127, 0, 0, 1));
  EXPECT_EQ(d.prt, 667);
  EXPECT_EQ(d.dtu, 1u);
  EXPECT_EQ(d.fpu, 10);
  EXPECT_STREQ(d.rnm, "WISPSrv.exe");
  EXPECT_FALSE(d.rtt);
  EXPECT_FALSE(d.xtd);
}

TEST_F(CliConfig, ModeWordsByFirstLetter) {
  for (const char* m : {"get", "Get", "GET", "g", "go", "gxyz"}) {
    Parse({"put", "x"});
    Parse({m});
    EXPECT_FALSE(Config::data.wrt) << m;
  }
  for (const char* m : {"put", "P", "pUT", "plain"}) {
    Parse({m});
    EXPECT_TRUE(Config::data.wrt) << m;
  }
}

TEST_F(CliConfig, OptionsInAllThreePlacesAndLimits) {
  Parse({"-u", "10000", "-a", "10.0.0.1", "put", "-f", "255", "-", "-p", "0", "-v", "/d", "-o"});
  const auto& d = Config::data;
  EXPECT_EQ(d.dtu, 10000u);
  EXPECT_EQ(d.adr, Utils::IP(10, 0, 0, 1));
  EXPECT_TRUE(d.wrt);
  EXPECT_EQ(d.fpu, 255);
  EXPECT_STREQ(d.rnm, "-");
  EXPECT_EQ(d.prt, 0);
  EXPECT_TRUE(d.vrb);
  EXPECT_TRUE(d.dbg);
  EXPECT_TRUE(d.ovr);
  EXPECT_FALSE(d.rtt);
  for (const auto& a : std::vector<std::vector<std::string>>{{"-r", "get"}, {"get", "/r"}, {"get", "a", "-r"}}) {
    Parse(a);
    EXPECT_TRUE(Config::data.rtt) << a[0] << " " << a[1];
  }
  for (const auto& a : std::vector<std::vector<std::string>>{{"-x", "get"}, {"put", "-x"}, {"get", "a", "-x"}}) {
    Parse(a);
    EXPECT_TRUE(Config::data.xtd) << a[0] << " " << a[1];
  }
  Parse({"-u", "1", "-f", "1", "-p", "65535", "get", "a", "-v"});
  EXPECT_EQ(Config::data.dtu, 1u);
  EXPECT_EQ(Config::data.fpu, 1);
  EXPECT_EQ(Config::data.prt, 65535);
  EXPECT_STREQ(Config::data.rnm, "a");
  EXPECT_TRUE(Config::data.vrb);
}

TEST_F(CliConfig, ServerAsIPv6OrHostName) {
  uint8_t one[16] = {};
  one[15] = 1;
  Parse({"-a", "::1", "get"});
  EXPECT_TRUE(Config::data.adr == UDP0::V6(one, 0));
  EXPECT_STREQ(Config::data.hst, "");
  // A name is resolved at once to an address this host reaches.
  Parse({"-a", "localhost", "get"});
  EXPECT_STREQ(Config::data.hst, "localhost");
  EXPECT_TRUE(Config::data.adr == Utils::IP(127, 0, 0, 1) || Config::data.adr == UDP0::V6(one, 0));
  // The last -a counts, with or without a name.
  Parse({"-a", "localhost", "-a", "10.0.0.1", "get"});
  EXPECT_EQ(Config::data.adr, Utils::IP(10, 0, 0, 1));
  EXPECT_STREQ(Config::data.hst, "");
}

// Names are never cut: a get's name is its resource id, 128 characters at
// most; a put's path is taken whole and sends its last component.
TEST_F(CliConfig, NameIsTakenWhole) {
  const std::string name(128, 'n');
  Parse({"get", name});
  EXPECT_EQ(std::string(Config::data.rnm), name);
  EXPECT_EQ(std::string(Config::Rid()), name);
  const std::string path = "/" + std::string(300, 'd') + "/sub/" + name;
  Parse({"put", path});
  EXPECT_EQ(std::string(Config::data.rnm), path);
  EXPECT_EQ(std::string(Config::Rid()), name);
  Parse({"put", "plain.bin"});
  EXPECT_EQ(std::string(Config::Rid()), "plain.bin");
  EXPECT_EXIT(Parse({"get", "/x/" + name}), ::testing::ExitedWithCode(255), "^Error: Name too long: '");
}

TEST_F(CliConfig, ErrorsStopWith255) {
  struct Case {
    std::vector<std::string> a;
    const char* msg;
    const char* quoted;
  };
  // The number conversion and the ranges at their edges; the end-to-end
  // tests go through every message.
  const Case cases[] = {
      {{}, "Invalid mode", nullptr},
      {{"-u", "0", "get"}, "Update period out of range", "0"},
      {{"-u", "10001", "get"}, "Update period out of range", "10001"},
      {{"-u", "get"}, "Invalid update period", "get"},
      {{"-f", "256", "put", "x"}, "Fragment count out of range", "256"},
      {{"-f", "0", "put", "x"}, "Fragment count out of range", "0"},
      {{"-f", "1e2", "put", "x"}, "Invalid fragment count", "1e2"},
      {{"-p", "65536", "get"}, "Port number out of range", "65536"},
      {{"-p", "4294967295", "get"}, "Port number out of range", "4294967295"},
      {{"-p", "4294967296", "get"}, "Invalid port number", "4294967296"},
      {{"-p", "+1", "get"}, "Invalid port number", "+1"},
      {{"-p", "", "get"}, "Invalid port number", nullptr},
      // Neither address nor name; a name that does not resolve.
      {{"-a", "1::2::3", "get"}, "Invalid IP address", "1::2::3"},
      {{"-a", "fe80::1%nosuchif0", "get"}, "Invalid IP address", "fe80::1%nosuchif0"},
      {{"-a", "host name", "get"}, "Invalid IP address", "host name"},
      {{"-a", "nosuch.invalid", "get"}, "Unknown host name", "nosuch.invalid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.empty() ? std::string("(none)") : c.a[0]);
    EXPECT_EXIT(Parse(c.a), ::testing::ExitedWithCode(255), ErrorText(c.msg, c.quoted));
  }
}

TEST_F(CliConfig, LongParameterCutsTheErrorText) {
  // 128 characters in all: the quoted text fills the rest and the hint is lost.
  std::string opt(300, 'y');
  std::string full = "Error: Invalid option: '" + opt + "'";
  EXPECT_EXIT(Parse({"-" + opt, "get"}), ::testing::ExitedWithCode(255), FromStart(full.substr(0, 128)) + "\n$");
}

TEST_F(CliConfig, HelpStopsWith0BeforeLaterErrors) {
  const std::vector<std::vector<std::string>> lines = {{"-h"}, {"/?"}, {"get", "-h", "a", "b"}, {"-?", "xget"}};
  for (const auto& a : lines) {
    EXPECT_EXIT((dup2(2, 1), Parse(a)), ::testing::ExitedWithCode(0),
                FromStart("(* WISPCli v19 (2026-06-21): WISP Client. *)\n"
                          "syntax = 'WISPCli' { option } mode [ name ] .\n"
                          "mode = 'get' | 'put' .\n\noption = '-h'"));
  }
}
