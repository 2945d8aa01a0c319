// Server command line: defaults, option values at their limits, and the
// error and help stops (run in a child process; the exit code and the text
// on standard error are checked).
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
  void Parse(std::vector<std::string> a) { ConfigTest::Parse("WISPSrv", std::move(a)); }
  std::string ErrorText(const std::string& msg, const char* quoted) { return ConfigTest::ErrorText("WISPSrv", msg, quoted); }
  class SrvConfig : public ConfigTest::Fixture {};
}

TEST_F(SrvConfig, Defaults) {
  Parse({});
  const auto& d = Config::data;
  EXPECT_STREQ(d.prg, "WISPSrv");
  EXPECT_EQ(d.ver, 19u);
  EXPECT_STREQ(d.ext, "2026-06-21");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(std::string(d.dir), std::string(cwd).substr(0, 127));
  EXPECT_FALSE(d.dbg);
  EXPECT_FALSE(d.vrb);
  EXPECT_FALSE(d.ovr);
  EXPECT_EQ(d.adr, 0u);
  EXPECT_EQ(d.prt, 667);
  EXPECT_EQ(d.dtu, 1u);
  EXPECT_EQ(d.fpu, 10);
  EXPECT_FALSE(d.rtt);
  EXPECT_EQ(d.nnt, 0);   // every address served
  EXPECT_FALSE(d.get);
  EXPECT_EQ(d.spa, 16);
  EXPECT_FALSE(d.xtd);
}

TEST_F(SrvConfig, FenceOptions) {
  Parse({"-n", "10.1.2.3/8", "-g", "-s", "1", "-n", "::1", "/n", "::ffff:192.168.0.0/112", "-s", "+16"});
  const auto& d = Config::data;
  ASSERT_EQ(d.nnt, 3);
  EXPECT_TRUE(d.net[0] == UDP0::Net(Utils::IP(10, 0, 0, 0), 8));   // in the order given
  EXPECT_EQ(d.net[1].a.f, UDP0::famV6);
  EXPECT_EQ(d.net[1].l, 128);
  EXPECT_TRUE(d.net[2] == UDP0::Net(Utils::IP(192, 168, 0, 0), 16));
  EXPECT_TRUE(d.get);
  EXPECT_EQ(d.spa, 16);
  // As many networks as the table holds.
  std::vector<std::string> a;
  for (uint32_t k = 0; k < Config::netMax; ++k) {
    a.push_back("-n");
    a.push_back("10.0." + std::to_string(k) + ".0/24");
  }
  Parse(a);
  ASSERT_EQ(d.nnt, Config::netMax);
  EXPECT_TRUE(d.net[Config::netMax - 1] == UDP0::Net(Utils::IP(10, 0, Config::netMax - 1, 0), 24));
  a.push_back("-n");
  a.push_back("10.1.0.0/16");
  EXPECT_EXIT(Parse(a), ::testing::ExitedWithCode(255), ErrorText("Too many networks", "10.1.0.0/16"));
}

TEST_F(SrvConfig, OptionsRepeatLastWins) {
  Parse({"-a", "10.0.0.1", "-p", "1", "-d", "/o", "/v", "-a", "127.0.0.1", "-p", "+65535"});
  EXPECT_EQ(Config::data.adr, Utils::IP(127, 0, 0, 1));
  EXPECT_EQ(Config::data.prt, 65535);
  EXPECT_TRUE(Config::data.dbg);
  EXPECT_TRUE(Config::data.ovr);
  EXPECT_TRUE(Config::data.vrb);
  EXPECT_FALSE(Config::data.rtt);
  Parse({"/r", "-p", "0", "-r", "-x"});
  EXPECT_TRUE(Config::data.rtt);
  EXPECT_TRUE(Config::data.xtd);
  Parse({"-p", "0"});
  EXPECT_EQ(Config::data.prt, 0);
  Parse({"-p", "000667"});
  EXPECT_EQ(Config::data.prt, 667);
  EXPECT_FALSE(Config::data.vrb);   // every parse starts from the defaults
  // The grant's bounds at their limits.
  Parse({"-u", "7", "-f", "3", "-u", "1000", "/f", "+255"});
  EXPECT_EQ(Config::data.dtu, 1000u);
  EXPECT_EQ(Config::data.fpu, 255);
  Parse({"-u", "+1", "-f", "1"});
  EXPECT_EQ(Config::data.dtu, 1u);
  EXPECT_EQ(Config::data.fpu, 1);
}

TEST_F(SrvConfig, IPv6AddressesAndDualStack) {
  Parse({"-a", "::"});
  EXPECT_TRUE(Config::data.adr == UDP0::Any(UDP0::famV6));
  Parse({"-a", "::ffff:127.0.0.1"});
  EXPECT_EQ(Config::data.adr, Utils::IP(127, 0, 0, 1));
}

TEST_F(SrvConfig, ErrorsStopWith255) {
  struct Case {
    std::vector<std::string> a;
    const char* msg;
    const char* quoted;
  };
  // The number conversion at its edges; the end-to-end tests go through every message.
  const Case cases[] = {
      {{"-p", "+"}, "Invalid port number", "+"},
      {{"-p", "++1"}, "Invalid port number", "++1"},
      {{"-p", " 1"}, "Invalid port number", " 1"},
      {{"-p", "1 "}, "Invalid port number", "1 "},
      {{"-p", ""}, "Invalid port number", nullptr},
      {{"-p", "-1"}, "Invalid port number", "1"},
      {{"-p", "4294967296"}, "Invalid port number", "4294967296"},
      {{"-p", "99999999999999999999"}, "Invalid port number", "99999999999999999999"},
      {{"-p", "65536"}, "Port number out of range", "65536"},
      {{"-p", "4294967295"}, "Port number out of range", "4294967295"},
      {{"-a", "1.2.3", "-p", "x"}, "Invalid IP address", "1.2.3"},
      {{"-a", "::1::"}, "Invalid IP address", "::1::"},
      {{"-a", "localhost"}, "Invalid IP address", "localhost"},   // the server takes no names
      {{"-u", "x"}, "Invalid update period", "x"},
      {{"-u"}, "Invalid update period", nullptr},
      {{"-u", "0"}, "Update period out of range", "0"},
      {{"-u", "1001"}, "Update period out of range", "1001"},
      {{"-f", "-1"}, "Invalid fragment count", "1"},
      {{"-f"}, "Invalid fragment count", nullptr},
      {{"-f", "0"}, "Fragment count out of range", "0"},
      {{"-f", "256"}, "Fragment count out of range", "256"},
      {{"-n"}, "Invalid network", nullptr},
      {{"-n", "-g"}, "Invalid network", "g"},
      {{"-n", "10.0.0.0/8x"}, "Invalid network", "10.0.0.0/8x"},
      {{"-n", "10.0.0.0/33"}, "Prefix length out of range", "10.0.0.0/33"},
      {{"-n", "2001:db8::/129"}, "Prefix length out of range", "2001:db8::/129"},
      {{"-s", "0"}, "Session count out of range", "0"},
      {{"-s", "17"}, "Session count out of range", "17"},
      {{"-s", "x"}, "Invalid session count", "x"},
      {{"-s"}, "Invalid session count", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.empty() ? std::string() : c.a[0]);
    EXPECT_EXIT(Parse(c.a), ::testing::ExitedWithCode(255), ErrorText(c.msg, c.quoted));
  }
}

TEST_F(SrvConfig, HelpStopsWith0BeforeLaterErrors) {
  // Standard output goes to standard error in the child, so its text can be matched.
  const std::vector<std::vector<std::string>> lines = {{"-h"}, {"/?"}, {"-v", "-h", "-x"}, {"-?", "-p", "70000"}};
  for (const auto& a : lines) {
    EXPECT_EXIT((dup2(2, 1), Parse(a)), ::testing::ExitedWithCode(0),
                FromStart("(* WISPSrv v19 (2026-06-21): WISP Server. *)\nsyntax = 'WISPSrv' { option } .\n"));
  }
}
