// Keys_test.cpp — the key files (made, read, refused) and the trust lists,
// with the error lines the programs stop with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Keys.h"
#include "SecureTest.h"

namespace {

using SecureTest::ErrorText;
using SecureTest::Scratch;
using SecureTest::Text;

mode_t Mode(const std::string& p) {
  struct stat st {};
  EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(Keys, MadeWhenMissingThenReadBack) {
  Keys::InitModule({.prg = "WISPSrv"});
  Scratch s;
  const std::string dir = s.Path("keys");   // not there yet
  bool wrote = false;
  ASSERT_EQ(Keys::LoadOwn(dir.c_str(), wrote), Keys::errOk) << ErrorText();
  EXPECT_TRUE(wrote);
  EXPECT_EQ(Mode(dir), 0700u);
  EXPECT_EQ(Mode(dir + "/key"), 0600u);
  const Keys::TPair made = Keys::Own();
  // The private key file: its text, one line; the public key belongs to it.
  EXPECT_EQ(s.Read("keys/key"), Text(made.prv) + "\n");
  uint8_t pub[Keys::lenKey];
  crypto_scalarmult_base(pub, made.prv);
  EXPECT_EQ(std::memcmp(pub, made.pub, Keys::lenKey), 0);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(s.Read("keys/key.pub"), Text(made.pub) + " WISPSrv@" + host + "\n");

  // Read back: the same pair, nothing written.
  ASSERT_EQ(Keys::LoadOwn(dir.c_str(), wrote), Keys::errOk) << ErrorText();
  EXPECT_FALSE(wrote);
  EXPECT_EQ(std::memcmp(&Keys::Own(), &made, sizeof made), 0);

  // A lost key.pub is written again from the private key.
  std::filesystem::remove(dir + "/key.pub");
  ASSERT_EQ(Keys::LoadOwn(dir.c_str(), wrote), Keys::errOk) << ErrorText();
  EXPECT_TRUE(wrote);
  EXPECT_EQ(s.Read("keys/key.pub").substr(0, Keys::lenKeyTxt + 1), Text(made.pub) + " ");
}

TEST(Keys, RefusedKeyFiles) {
  Keys::InitModule();
  const Keys::TPair p = SecureTest::NewPair();
  const Keys::TPair q = SecureTest::NewPair();
  struct Case {
    const char* what;
    std::string key;      // "" = no file
    mode_t mode;
    std::string pub;      // "" = no file
    Keys::TErr err;
    std::string text;     // the error line after the directory
  };
  const Case cases[] = {
      {"group may read", Text(p.prv) + "\n", 0640, Text(p.pub) + "\n", Keys::errMode,
       "Private key open to others: '<dir>/key'"},
      {"others may write", Text(p.prv) + "\n", 0602, Text(p.pub) + "\n", Keys::errMode,
       "Private key open to others: '<dir>/key'"},
      {"only key.pub", "", 0, Text(p.pub) + "\n", Keys::errRead, "Cannot read key file: '<dir>/key'"},
      {"key of 43 characters", Text(p.prv).substr(1) + "\n", 0600, "", Keys::errKey,
       "Invalid private key: '<dir>/key'"},
      {"two words", Text(p.prv) + " x\n", 0600, "", Keys::errKey, "Invalid private key: '<dir>/key'"},
      {"key.pub of another key", Text(p.prv) + "\n", 0600, Text(q.pub) + " c\n", Keys::errPair,
       "Public key does not match private key: '<dir>/key.pub'"},
      {"key.pub no key", Text(p.prv) + "\n", 0600, "not-a-key\n", Keys::errLine,
       "Malformed key line: '<dir>/key.pub' line 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch s;
    if (!c.key.empty()) s.Write("key", c.key, c.mode);
    if (!c.pub.empty()) s.Write("key.pub", c.pub);
    bool wrote = true;
    EXPECT_EQ(Keys::LoadOwn(s.dir.c_str(), wrote), c.err);
    EXPECT_FALSE(wrote);
    std::string want = "Error: " + c.text;
    want.replace(want.find("<dir>"), 5, s.dir);
    EXPECT_EQ(ErrorText(), want);
    // Nothing was made in place of what is refused.
    EXPECT_EQ(std::filesystem::exists(s.Path("key")), !c.key.empty());
  }
}

TEST(Keys, KeyText) {
  const Keys::TPair p = SecureTest::NewPair();
  const std::string t = Text(p.pub);
  Keys::TKey k;
  ASSERT_TRUE(Keys::RdKey(t.c_str(), Keys::lenKeyTxt, k));
  EXPECT_EQ(std::memcmp(k, p.pub, Keys::lenKey), 0);
  char out[Keys::lenKeyTxt + 1];
  SO::TBuffer b;
  SO::Init(b, out, Keys::lenKeyTxt);
  Keys::WrKey(b, k);
  out[b.l] = '\0';
  EXPECT_EQ(std::string(out), t);
  // The last character before "=" carries 4 bits of the key and 2 unused
  // ones: a text with an unused bit set names the same bytes, and is
  // refused so that each key has one text.
  std::string odd = t;
  const char* const abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  odd[42] = abc[(std::strchr(abc, odd[42]) - abc) | 1];
  EXPECT_FALSE(Keys::RdKey(odd.c_str(), Keys::lenKeyTxt, k));
  EXPECT_FALSE(Keys::RdKey(t.c_str(), Keys::lenKeyTxt - 1, k));
  EXPECT_FALSE(Keys::RdKey(("=" + t.substr(1)).c_str(), Keys::lenKeyTxt, k));
}

TEST(Keys, TrustLists) {
  Keys::InitModule();
  const Keys::TPair a = SecureTest::NewPair();
  const Keys::TPair b = SecureTest::NewPair();
  Scratch s;
  s.Write("clients", "# the team\n\n" + Text(a.pub) + " alice   # laptop\n\t" + Text(b.pub) + "\tbob\r\n");
  s.Write("servers", Text(a.pub) + " 127.0.0.1\n" + Text(b.pub) + " files.example.org\n");
  ASSERT_EQ(Keys::LoadClients(s.dir.c_str()), Keys::errOk) << ErrorText();
  ASSERT_EQ(Keys::LoadServers(s.dir.c_str()), Keys::errOk) << ErrorText();
  EXPECT_EQ(Keys::Clients(), 2u);
  EXPECT_EQ(Keys::FindClient(a.pub), 1u);
  EXPECT_EQ(Keys::FindClient(b.pub), 2u);
  EXPECT_STREQ(Keys::ClientName(1), "alice");
  EXPECT_STREQ(Keys::ClientName(2), "bob");
  EXPECT_EQ(Keys::FindClient(Keys::Own().pub), 0u);
  ASSERT_NE(Keys::FindServer("files.example.org"), nullptr);
  EXPECT_EQ(std::memcmp(Keys::FindServer("files.example.org"), b.pub, Keys::lenKey), 0);
  EXPECT_EQ(Keys::FindServer("127.0.0.2"), nullptr);
  EXPECT_EQ(Keys::FindServer("files.example"), nullptr);

  // Each bad list: its error line, and an empty list after it.
  const std::string ka = Text(a.pub), kb = Text(b.pub);
  struct Case {
    std::string text;
    Keys::TErr err;
    std::string line;
  };
  const Case cases[] = {
      {ka + " alice\n" + kb + "\n", Keys::errLine, "Malformed key line: '<f>' line 2"},
      {"\n" + ka + " alice smith\n", Keys::errLine, "Malformed key line: '<f>' line 2"},
      {ka.substr(0, 40) + " alice\n", Keys::errLine, "Malformed key line: '<f>' line 1"},
      {ka + " " + std::string(Keys::lenName + 1, 'n') + "\n", Keys::errLine, "Malformed key line: '<f>' line 1"},
      {ka + " " + std::string(600, 'n') + "\n", Keys::errLine, "Malformed key line: '<f>' line 1"},
      {ka + " alice\n#\n" + ka + " again\n", Keys::errDup, "Duplicate key line: '<f>' line 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    s.Write("clients", c.text);
    EXPECT_EQ(Keys::LoadClients(s.dir.c_str()), c.err);
    std::string want = "Error: " + c.line;
    want.replace(want.find("<f>"), 3, s.Path("clients"));
    EXPECT_EQ(ErrorText(), want);
    EXPECT_EQ(Keys::Clients(), 0u);
  }
  s.Write("servers", ka + " 127.0.0.1\n" + kb + " 127.0.0.1\n");
  EXPECT_EQ(Keys::LoadServers(s.dir.c_str()), Keys::errDup);
  EXPECT_EQ(Keys::FindServer("127.0.0.1"), nullptr);
  std::string many;
  for (uint32_t k = 0; k <= Keys::srvMax; ++k) many += Text(SecureTest::NewPair().pub) + " h" + std::to_string(k) + "\n";
  s.Write("servers", many);
  EXPECT_EQ(Keys::LoadServers(s.dir.c_str()), Keys::errMany);
  EXPECT_EQ(ErrorText(), "Error: Too many key lines: '" + s.Path("servers") + "' line " + std::to_string(Keys::srvMax + 1));
  std::filesystem::remove(s.Path("servers"));
  EXPECT_EQ(Keys::LoadServers(s.dir.c_str()), Keys::errRead);
  EXPECT_EQ(ErrorText(), "Error: Cannot read key file: '" + s.Path("servers") + "'");
}

}  // namespace
