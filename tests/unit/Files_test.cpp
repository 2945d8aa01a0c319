// Files_test.cpp — the file table: names, what can and cannot be opened,
// temporary files and Commit, fragments in any order, digests of prefixes,
// file times in the packed form, and the caller mistakes that stop the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <numeric>
#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineTest.h"
#include "FOps.h"
#include "Lib3.h"
#include "SO.h"

namespace {

using namespace EngineTest;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { Init(); }
};

std::string BaseName(const char* r) {
  Types::TPthStr n;
  Files::MkBaseName(r, n);
  return n;
}

TEST_F(FilesTest, BaseNameSplitsAtBothSeparators) {
  EXPECT_EQ(BaseName("dir\\sub\\name.txt"), "name.txt");
  EXPECT_EQ(BaseName("name.txt"), "name.txt");
  EXPECT_EQ(BaseName("a/b"), "b");
  EXPECT_EQ(BaseName("../x"), "x");
  EXPECT_EQ(BaseName("/etc/passwd"), "passwd");
  EXPECT_EQ(BaseName("a\\b\\c"), "c");
  EXPECT_EQ(BaseName("a/b\\c/d:e.f"), "d:e.f");
  EXPECT_EQ(BaseName("x/"), "");
  EXPECT_EQ(BaseName(".."), "..");
  // A resource id of 128 characters without terminator ends at its end.
  char r[200];
  std::memset(r, 'q', sizeof r);
  r[5] = '/';
  EXPECT_EQ(BaseName(r), std::string(128 - 6, 'q'));
}

// Names never leave the current directory, and the names that are no file
// (empty, ".", "..") are missing for reading and cannot be created.
TEST_F(FilesTest, NamesStayInTheCurrentDirectory) {
  const std::string top = FreshDir("names");
  PutFile("x", {1, 2, 3});
  std::filesystem::create_directory("sub");
  ASSERT_EQ(chdir("sub"), 0);
  EXPECT_EQ(Files::OpenRd("../x"), nullptr);
  EXPECT_EQ(Files::OpenRd("/etc/passwd"), nullptr);
  PutFile("passwd", {9});
  Files::TFile f = Files::OpenRd("/etc/passwd");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->t.l, 1u);   // the local one, not the system's
  Files::Close(f);
  PutFile("c", {4, 4});
  f = Files::OpenRd("a\\b\\c");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->t.l, 2u);
  Files::Close(f);

  EngineTest::SetOvr(true);
  for (const char* r : {"", ".", "..", "a\\..", "a/.", "x/", "../"}) {
    EXPECT_EQ(Files::OpenRd(r), nullptr) << r;
    EXPECT_EQ(Files::OpenWr(r), nullptr) << r;
  }
  f = Files::OpenWr("../y");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(Files::Commit(f));
  Files::Close(f);
  EXPECT_TRUE(Exists("y"));
  EXPECT_FALSE(Exists(top + "/y"));

  // A control character anywhere in the id (below 0x20, and 0x7F) names no
  // file, even one that exists: such names would forge log lines.
  PutFile("a\rb", {1});
  PutFile("x", {2});
  for (const char* r : {"a\rb", "a\r\nb", "tab\there", "\x7f", "bell\x07", "fwd\x1f/x", "a\r\n\\x"}) {
    EXPECT_EQ(Files::OpenRd(r), nullptr) << r;
    EXPECT_EQ(Files::OpenWr(r), nullptr) << r;
  }
  f = Files::OpenRd("\xc3\xa4/x");   // bytes above 0x7F are ordinary characters
  EXPECT_NE(f, nullptr);
  Files::Close(f);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"a\rb", "c", "passwd", "x", "y"}));
}

// A served directory (the server's) keeps its clients inside: a symbolic
// link that leads out of it is missing, one that stays beneath it is read.
// The log's own files are neither served nor replaced, under any path. The
// client's table (srv off) follows the user's links as the system does.
TEST_F(FilesTest, ServedDirectoryKeepsLinksAndTheLogToItself) {
  const std::string top = FreshDir("served");
  PutFile("outside.txt", {6, 6, 6});
  std::filesystem::create_directory("d");
  ASSERT_EQ(chdir("d"), 0);
  PutFile("in.txt", {1});
  std::filesystem::create_directory("sub");
  PutFile("sub/deep.txt", {1, 2});
  ASSERT_EQ(symlink("../outside.txt", "up"), 0);
  ASSERT_EQ(symlink((top + "/outside.txt").c_str(), "abs"), 0);
  ASSERT_EQ(symlink("sub/../../d/in.txt", "detour"), 0);
  ASSERT_EQ(symlink("in.txt", "inner"), 0);
  ASSERT_EQ(symlink("sub/deep.txt", "deeper"), 0);
  for (const char* n : {"WISPSrv.log", "WISPSrv001.log", "WISPSrv016.log", "WISPSrv017.log", "WISPSrv.log.1"})
    PutFile(n, {7});

  EngineTest::SetSrv(true, true);
  for (const char* r : {"up", "abs", "detour", "WISPSrv.log", "WISPSrv001.log", "WISPSrv016.log", "x\\WISPSrv.log"})
    EXPECT_EQ(Files::OpenRd(r), nullptr) << r;
  for (const char* r : {"inner", "deeper", "WISPSrv017.log", "WISPSrv.log.1", "in.txt"}) {
    Files::TFile f = Files::OpenRd(r);
    EXPECT_NE(f, nullptr) << r;
    if (f != nullptr) Files::Close(f);
  }
  // Never replaced, not even with overwriting on; generations that do not
  // exist yet cannot be created either.
  for (const char* r : {"WISPSrv.log", "WISPSrv003.log", "a/WISPSrv016.log"}) EXPECT_EQ(Files::OpenWr(r), nullptr) << r;
  EXPECT_FALSE(Exists("WISPSrv003.log"));

  EngineTest::SetSrv(false);
  for (const char* r : {"up", "abs", "WISPSrv.log"}) {
    Files::TFile f = Files::OpenRd(r);
    ASSERT_NE(f, nullptr) << r;
    EXPECT_EQ(f->t.l, std::string(r) == "WISPSrv.log" ? 1u : 3u) << r;
    Files::Close(f);
  }
}

TEST_F(FilesTest, OnlyRegularFilesAreRead) {
  FreshDir("kinds");
  std::filesystem::create_directory("d");
  ASSERT_EQ(mkfifo("p", 0644), 0);
  EXPECT_EQ(Files::OpenRd("d"), nullptr);
  EXPECT_EQ(Files::OpenRd("p"), nullptr);   // must not wait for a writer
  EXPECT_EQ(Files::OpenRd("missing"), nullptr);
  EngineTest::SetOvr(true);   // even overwriting does not replace these
  EXPECT_EQ(Files::OpenWr("d"), nullptr);
  EXPECT_EQ(Files::OpenWr("p"), nullptr);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"d", "p"}));
}

TEST_F(FilesTest, UnreadableFileIsMissing) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  FreshDir("unreadable");
  PutFile("secret", {1});
  ASSERT_EQ(chmod("secret", 0), 0);
  EXPECT_EQ(Files::OpenRd("secret"), nullptr);
}

// Around 4 GiB (sparse files of 4 GiB - 1, 4 GiB and 4 GiB + 1 bytes, and
// one whose last two fragments start beyond 4 GiB; a marker in their last
// bytes): the read entry has the 64-bit length, the sender's fragment count
// and the last fragment's place and length come from it, and a receiver
// writes its last fragments where they belong.
TEST_F(FilesTest, FilesAround4GiBKeepTheirLengthToTheLastFragment) {
  FreshDir("big");
  constexpr uint16_t fgl = 1455;
  for (uint64_t len : {(uint64_t(1) << 32) - 1, uint64_t(1) << 32, (uint64_t(1) << 32) + 1,
                       (uint64_t(1) << 32) + 3000}) {
    SCOPED_TRACE(len);
    const int h = open("sparse", O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(h, 0);
    ASSERT_EQ(ftruncate(h, static_cast<off_t>(len)), 0);
    const uint8_t mark[3] = {0xA1, 0xB2, 0xC3};
    ASSERT_EQ(pwrite(h, mark, 3, static_cast<off_t>(len - 3)), 3);
    close(h);
    Files::TFile f = Files::OpenRd("sparse", true);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->t.l, len);
    const uint64_t m = WISP::FgmCnt(len, fgl);
    EXPECT_EQ(m, (len + fgl - 1) / fgl);
    const uint32_t last = static_cast<uint32_t>(m - 1);
    const uint32_t z = WISP::FgmLen(len, last, fgl);
    EXPECT_EQ(WISP::FgmAt(last, fgl) + z, len);
    EXPECT_EQ(z, len % fgl == 0 ? fgl : len % fgl);

    Sndrs::TSndr s = Sndrs::Alloc(fgl, f);
    ASSERT_NE(s, nullptr);
    uint32_t n = 0;
    Sndrs::GetCnt(s, n);
    EXPECT_EQ(n, m);
    Sndrs::Receive(s, last - 1, 0xF);   // the last two, and two beyond the file
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
    static auto* sink = &out;
    sink = &out;
    ASSERT_TRUE(Sndrs::Update(s, 10, [](uint32_t, uint32_t i, const uint8_t* b, uint32_t l) {
      sink->push_back({i, {b, b + l}});
    }, 0));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].first, last);
    ASSERT_EQ(out[1].second.size(), z);
    EXPECT_EQ(out[1].second[z - 1], 0xC3);
    EXPECT_EQ(out[0].second.size(), fgl);
    if (z < 3) EXPECT_EQ(out[0].second[fgl - 3 + z], 0xA1);
    else EXPECT_EQ(out[1].second[z - 3], 0xA1);

    // The receiving side: its window moved to the end of the file.
    Files::TFile w = Files::OpenWr("copy");
    ASSERT_NE(w, nullptr);
    Files::SetTgt(w, f->t);
    Rcvrs::TRcvr r = Rcvrs::Alloc(fgl, w, 8);
    ASSERT_NE(r, nullptr);
    Rcvrs::GetCnt(r, n);
    EXPECT_EQ(n, m);
    r->w.i = last - 1;
    r->w.j = last + 1;
    Rcvrs::Receive(r, last, out[1].second.data(), z);
    Rcvrs::Receive(r, last - 1, out[0].second.data(), fgl);
    EXPECT_EQ(r->e[Rcvrs::eNull], 0u);
    Files::Flush(w);
    uint8_t back[3] = {};
    EXPECT_EQ(pread(w->b, back, 3, static_cast<off_t>(len - 3)), 3);
    EXPECT_EQ(0, std::memcmp(back, mark, 3));
    struct stat st{};
    EXPECT_EQ(fstat(w->b, &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), len);
    Rcvrs::Free(r);
    Files::Close(w);
    Sndrs::Free(s);
    Files::Close(f);
  }
  // A file with more fragments than an index names has neither a sender
  // nor a receiver (the limit is WISP::fgmCntMax fragments).
  const int h = open("sparse", O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(ftruncate(h, static_cast<off_t>(WISP::fgmCntMax * 100 + 1)), 0);
  close(h);
  Files::TFile f = Files::OpenRd("sparse", true);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(Sndrs::Alloc(100, f), nullptr);
  Sndrs::TSndr s = Sndrs::Alloc(101, f);
  EXPECT_NE(s, nullptr);
  if (s != nullptr) Sndrs::Free(s);
  Files::Close(f);
  unlink("sparse");
}

TEST_F(FilesTest, EmptyFileAndPrefixDigests) {
  FreshDir("prefix");
  PutFile("empty", {});
  Files::TFile f = Files::OpenRd("empty");
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->w);
  EXPECT_EQ(f->t.l, 0u);
  EXPECT_EQ(Hex(f->t.d), "D41D8CD98F00B204E9800998ECF8427E");
  Files::Close(f);
  EXPECT_EQ(f, nullptr);

  const auto data = RandomBytes(10000, 5);
  PutFile("data", data);
  f = Files::OpenRd("data");
  ASSERT_NE(f, nullptr);
  Files::TPosDesc x;
  Files::GetPos(f, 0, x);
  EXPECT_EQ(x.l, 0u);
  EXPECT_EQ(Hex(x.d), "D41D8CD98F00B204E9800998ECF8427E");
  Files::GetPos(f, 4097, x);
  EXPECT_EQ(x.l, 4097u);
  EXPECT_EQ(Hex(x.d), Digest({data.begin(), data.begin() + 4097}));
  for (uint32_t p : {10000u, 20000u}) {
    Files::GetPos(f, p, x);
    EXPECT_EQ(x.l, 10000u);
    EXPECT_EQ(Hex(x.d), Digest(data));
  }
  // Reading past the end is no error.
  uint8_t buf[100];
  EXPECT_EQ(Files::Read(f, 9950, buf, 100), 50u);
  EXPECT_EQ(std::memcmp(buf, data.data() + 9950, 50), 0);
  EXPECT_EQ(Files::Read(f, 10000, buf, 100), 0u);
  EXPECT_EQ(Files::Read(f, 4000000000u, buf, 100), 0u);
  Files::Close(f);
}

// Each length is written in fragments of l bytes in a random order into the
// temporary file, checked, committed and read back in fragments.
TEST_F(FilesTest, FragmentsInRandomOrderReadBackIdentical) {
  FreshDir("fragments");
  constexpr uint32_t l = 1455;
  std::mt19937 g(42);
  // From 8 MiB on, a file with its target set is digested by the module's
  // thread; it also gets consecutive fragments (collected into one write)
  // and its prefix in larger steps.
  for (uint32_t len : {0u, 1u, l - 1, l, l + 1, 2 * l, 3u * 1024 * 1024 + 7, 9u * 1024 * 1024 + 5}) {
    const auto data = RandomBytes(len, len);
    const std::string name = "f" + std::to_string(len);
    Files::TFile w = Files::OpenWr(name.c_str());
    ASSERT_NE(w, nullptr);
    const bool large = len > 8u * 1024 * 1024;
    if (large) Files::SetTgt(w, Files::TPosDesc{len, {}});
    EXPECT_NE(w->j, 0);
    const uint32_t cnt = len / l + (len % l > 0);
    std::vector<uint32_t> order(cnt);
    std::iota(order.begin(), order.end(), 0);
    // Mostly in order with some fragments late, as over a lossy link.
    if (large) {
      for (uint32_t k = 0; k + 40 < cnt; k += 97) std::swap(order[k], order[k + 40]);
    } else {
      std::shuffle(order.begin(), order.end(), g);
    }
    // As the receiver does: the running digest follows the in-order prefix.
    std::vector<bool> got(cnt);
    uint32_t prefix = 0;
    for (uint32_t n = 0; n < cnt; ++n) {
      const uint32_t i = order[n];
      const uint32_t k = std::min(l, len - i * l);
      Files::Write(w, i * l, data.data() + i * l, k, k);
      got[i] = true;
      while (prefix < cnt && got[prefix]) ++prefix;
      if (!large || n % 64 == 63) Files::Extend(w, std::min(prefix * l, len));
    }
    EXPECT_FALSE(Exists(name)) << "the target appears only at Commit";
    // A caller that must not wait asks until the thread has caught up.
    for (int k = 0; k < 2000 && !Files::Ready(w); ++k) usleep(1000);
    EXPECT_TRUE(Files::Ready(w));
    Files::TPosDesc p;
    Files::GetPos(w, 0, p);
    EXPECT_EQ(p.l, len);
    EXPECT_EQ(Hex(p.d), Digest(data));
    ASSERT_TRUE(Files::Commit(w));
    Files::Close(w);

    Files::TFile r = Files::OpenRd(name.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->t.l, len);
    EXPECT_EQ(std::memcmp(&r->t, &p, sizeof p), 0);
    std::vector<uint8_t> back;
    uint8_t buf[l];
    for (uint32_t i = 0;; ++i) {
      const uint32_t c = Files::Read(r, i * l, buf, l);
      back.insert(back.end(), buf, buf + c);
      if (c < l) break;
    }
    Files::Close(r);
    EXPECT_TRUE(back == data) << "length " << len;
    std::filesystem::remove(name);
  }
}

TEST_F(FilesTest, GapFromAnEarlyFragmentCountsInTheLength) {
  FreshDir("gap");
  Files::TFile w = Files::OpenWr("g");
  ASSERT_NE(w, nullptr);
  const uint8_t frag[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Files::Write(w, 20, frag, 10);
  Files::TPosDesc p;
  Files::GetPos(w, 0, p);
  EXPECT_EQ(p.l, 30u);
  std::vector<uint8_t> expect(20, 0);
  expect.insert(expect.end(), frag, frag + 10);
  EXPECT_EQ(Hex(p.d), Digest(expect));
  Files::Trunc(w, 5);
  Files::GetPos(w, 0, p);
  EXPECT_EQ(p.l, 5u);
  Files::Close(w);
  // Data written again below the digested prefix: the check sees the file as
  // it now is, not the first bytes that went by.
  w = Files::OpenWr("h");
  ASSERT_NE(w, nullptr);
  Files::Write(w, 0, frag, 10);
  const uint8_t other[4] = {9, 9, 9, 9};
  Files::Write(w, 2, other, 4);
  Files::GetPos(w, 0, p);
  std::vector<uint8_t> now(frag, frag + 10);
  std::copy(other, other + 4, now.begin() + 2);
  EXPECT_EQ(p.l, 10u);
  EXPECT_EQ(Hex(p.d), Digest(now));
  Files::Close(w);
}

// Every sync of an upload is the work of its job, never of the caller's
// thread: the write-back started and the data synced while the file arrives,
// the sync before its name appears and that of the directory after. Each of
// the first three that fails (EIO at write-back, as on NFS or thin
// provisioning) fails the commit and leaves no file: a sync that failed
// while the file arrived took the error from the file's open description,
// so the last one would find none, and the data read back from the page
// cache still match. A directory that cannot be synced is only logged.
TEST_F(FilesTest, EverySyncOnTheJobAndEachFailureFailsTheCommit) {
  FreshDir("syncfail");
  if (!FOps::FailAt(FOps::opSync, 0, 0)) GTEST_SKIP() << "built without the fault seam (WISP_FAULTS)";
  constexpr uint32_t large = (32u << 20) + 4096, l = 65536;
  const auto data = RandomBytes(large, 3);
  // The sync that fails (n): of a file of 8 MiB the write-back while it
  // arrives (1), of one of 32 MiB the sync while it arrives (2, after the
  // write-back), of a small one the sync before the name (1) or the
  // directory's (2).
  for (const auto& [len, n] : {std::pair{(8u << 20) + 4096, 1u}, {large, 2u}, {3000u, 1u}, {3000u, 2u}}) {
    SCOPED_TRACE(len + n);
    const uint32_t arriving = len == large ? 2 : len > 3000 ? 1 : 0;
    const bool dir = arriving + 2 == n;
    FOps::FailAt(FOps::opSync, n, EIO);
    const size_t logged = LogText().size();
    Files::TFile w = Files::OpenWr("s.bin");
    ASSERT_NE(w, nullptr);
    Files::SetTgt(w, Files::TPosDesc{len, {}});
    // What the job is asked while held joins: one write-back, one sync (32 MiB).
    Jobs::Hold(true);
    for (uint32_t p = 0; p < len; p += l) {
      const uint32_t k = std::min(l, len - p);
      Files::Write(w, p, data.data() + p, k, k);
      Files::Extend(w, p + k);
    }
    Jobs::Hold(false);
    for (int k = 0; k < 10000 && !Files::Ready(w); ++k) usleep(1000);
    ASSERT_TRUE(Files::Ready(w));
    EXPECT_EQ(FOps::Calls(FOps::opSync), arriving) << "write-backs and syncs while the file arrived";
    Files::TPosDesc p;
    Files::GetPos(w, 0, p);
    EXPECT_EQ(p.l, len);
    EXPECT_EQ(Hex(p.d), Digest(std::vector<uint8_t>(data.begin(), data.begin() + len)));
    EXPECT_EQ(Files::Commit(w), dir);
    EXPECT_EQ(Files::Failed(w), !dir);
    EXPECT_EQ(FOps::Calls(FOps::opSync), arriving + (dir ? 2 : 1));
    EXPECT_EQ(FOps::CallsHere(FOps::opSync), 0u) << "a sync on the caller's thread";
    Files::Close(w);
    EXPECT_EQ(Listing(), dir ? std::vector<std::string>{"s.bin"} : std::vector<std::string>{});
    const std::string log = LogText().substr(logged);
    const size_t at = log.find(dir ? "Sync dir failed idx " : "Sync failed idx ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.substr(log.find(" rid ", at), 19), " rid 's.bin' err 5\r");
    unlink("s.bin");
  }
  FOps::FailAt(FOps::opSync, 0, 0);
}

// A transfer that is never committed leaves nothing behind, and an existing
// file of that name stays as it was, with and without overwriting.
TEST_F(FilesTest, FailedTransferLeavesNoTrace) {
  FreshDir("failed");
  const auto old = RandomBytes(3000, 1);
  PutFile("old", old);
  const auto junk = RandomBytes(5000, 2);

  Files::TFile w = Files::OpenWr("new");
  ASSERT_NE(w, nullptr);
  Files::Write(w, 0, junk.data(), junk.size(), 5000);
  EXPECT_EQ(Listing(), std::vector<std::string>{"old"}) << "the temporary file has no name";
  Files::Close(w);
  EXPECT_EQ(Listing(), std::vector<std::string>{"old"});

  EXPECT_EQ(Files::OpenWr("old"), nullptr) << "exists, overwriting off";
  EngineTest::SetOvr(true);
  w = Files::OpenWr("old");
  ASSERT_NE(w, nullptr);
  Files::Write(w, 0, junk.data(), junk.size(), 5000);
  Files::Trunc(w, 0);   // what the server does with a failed upload
  Files::Close(w);
  EXPECT_EQ(Listing(), std::vector<std::string>{"old"});
  EXPECT_TRUE(GetFile("old") == old);

  // CloseAll (the termination chain) removes what was not committed.
  Files::TFile a = Files::OpenWr("a");
  Files::TFile b = Files::OpenWr("old");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  Files::Write(b, 0, junk.data(), junk.size(), 100);
  Files::CloseAll();
  EXPECT_EQ(Listing(), std::vector<std::string>{"old"});
  EXPECT_TRUE(GetFile("old") == old);

  // With overwriting on, a committed transfer replaces the file.
  w = Files::OpenWr("old");
  ASSERT_NE(w, nullptr);
  Files::Write(w, 0, junk.data(), junk.size(), 5000);
  EXPECT_TRUE(Files::Commit(w));
  EXPECT_TRUE(Files::Commit(w)) << "a second Commit changes nothing";
  Files::Close(w);
  EXPECT_EQ(Listing(), std::vector<std::string>{"old"});
  EXPECT_TRUE(GetFile("old") == junk);
}

// An upload holds the disk only for what has arrived and 64 MiB reserved
// beyond it, wherever in the file the data lie: a peer that sends only
// fragments far ahead (the top of a window of 131072) reserves no more than
// one that sends in order, which moves the reservation along.
TEST_F(FilesTest, ReservationFollowsWhatHasArrivedWhereverItLies) {
  FreshDir("rsv");
  constexpr uint32_t len = 256u << 20, l = 1455, mib = 1u << 20;
  Files::TFile w = Files::OpenWr("r.bin");
  ASSERT_NE(w, nullptr);
  Files::SetTgt(w, Files::TPosDesc{len, {}});
  ASSERT_TRUE(Files::Reserve(w));
  auto held = [&] {
    Files::Flush(w);
    struct stat st{};
    EXPECT_EQ(fstat(w->b, &st), 0);
    return uint64_t(st.st_blocks) * 512;
  };
  if (held() < 64 * mib) GTEST_SKIP() << "the file system reserves nothing";
  EXPECT_LT(held(), 65 * mib);
  const std::vector<uint8_t> frag(l, 7);
  for (uint32_t k = 0; k < 1000; ++k) Files::Write(w, (130000 - k) * l, frag.data(), l, l);
  EXPECT_LT(held(), 64 * mib + 2 * 1000 * l + mib) << "reserved beyond the furthest fragment";
  // In order from the start: the reservation keeps 64 MiB beyond.
  const std::vector<uint8_t> run(mib, 9);
  for (uint32_t p = 0; p < 40 * mib; p += mib) Files::Write(w, p, run.data(), mib, mib);
  EXPECT_GE(held(), 104 * mib - 16 * mib);
  EXPECT_LT(held(), 104 * mib + 2 * 1000 * l + mib);
  Files::Close(w);
}

// A write the system refuses (here: beyond the file-size limit, as on a full
// disk) does not stop the program; the entry can no longer pass its check,
// and closing it leaves no file.
TEST_F(FilesTest, RefusedWriteFailsTheCheckInsteadOfStopping) {
  FreshDir("full");
  const auto data = RandomBytes(8192, 3);
  auto run = [&] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim;
    lim.rlim_cur = lim.rlim_max = 4096;
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(2);
    Files::TFile w = Files::OpenWr("big");
    if (w == nullptr) _exit(3);
    Files::TPosDesc t;
    std::memset(&t, 0, sizeof t);
    t.l = 8192;
    Files::SetTgt(w, t);
    Files::Write(w, 0, data.data(), data.size(), 4096);
    Files::Write(w, 4096, data.data() + 4096, 4096, 4096);   // refused
    Files::Write(w, 0, data.data(), data.size(), 10);        // skipped
    Files::TPosDesc x{};
    Files::GetPos(w, 0, x);
    if (x.l == t.l) _exit(4);
    if (!Files::Failed(w)) _exit(5);
    if (Files::Commit(w)) _exit(6);   // a failed entry never gets its name
    Files::Close(w);
    _exit(0);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(Listing().empty());
}

TEST_F(FilesTest, OneWriterPerName) {
  FreshDir("writers");
  for (bool ovr : {false, true}) {
    EngineTest::SetOvr(ovr);
    Files::TFile a = Files::OpenWr("dir\\same");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Files::OpenWr("same"), nullptr) << "ovr " << ovr;
    EXPECT_EQ(Files::OpenWr("other/same"), nullptr) << "ovr " << ovr;
    Files::Close(a);
    a = Files::OpenWr("same");   // free again once the first has gone
    ASSERT_NE(a, nullptr);
    Files::Close(a);
  }
  EXPECT_TRUE(Listing().empty());
}

// Without overwriting, Commit never replaces a file that appeared while the
// transfer ran; the temporary file goes at Close.
TEST_F(FilesTest, CommitDoesNotReplaceALateArrival) {
  FreshDir("late");
  Files::TFile w = Files::OpenWr("t");
  ASSERT_NE(w, nullptr);
  const uint8_t x[3] = {7, 7, 7};
  Files::Write(w, 0, x, 3);
  PutFile("t", {1});
  EXPECT_FALSE(Files::Commit(w));
  Files::Close(w);
  EXPECT_EQ(Listing(), std::vector<std::string>{"t"});
  EXPECT_TRUE(GetFile("t") == std::vector<uint8_t>{1});
}

// Names of the temporary files' pattern are never read or written from
// outside, whoever's they are.
TEST_F(FilesTest, TemporaryFilesCannotBeRequested) {
  FreshDir("tmpnames");
  const std::string tmp = ".t.wisp-1-3.tmp";   // PID 1 runs: no sweep takes it
  PutFile(tmp, {1});
  EXPECT_EQ(Files::OpenRd(tmp.c_str()), nullptr);
  EXPECT_EQ(Files::OpenRd(("x\\" + tmp).c_str()), nullptr);
  EngineTest::SetOvr(true);
  EXPECT_EQ(Files::OpenWr(tmp.c_str()), nullptr);
  EXPECT_EQ(Files::OpenWr(".new.wisp-77-1.tmp"), nullptr);
  // Ordinary dot files are fine.
  PutFile(".hidden", {1});
  Files::TFile r = Files::OpenRd(".hidden");
  EXPECT_NE(r, nullptr);
  Files::Close(r);
}

// A process that dies without its termination chain (kill -9, a crash)
// leaves no temporary file: it has no name until Commit.
TEST_F(FilesTest, TemporaryFilesDieWithTheProcess) {
  FreshDir("killed");
  PutFile("keep", {5});
  EngineTest::SetOvr(true);
  const auto data = RandomBytes(70000, 9);
  for (const char* name : {"new", "keep"}) {
    EXPECT_EXIT(
        {
          Files::TFile w = Files::OpenWr(name);
          if (w == nullptr || !w->a) _exit(2);
          Files::Write(w, 0, data.data(), data.size(), 70000);
          _exit(0);   // no chain: as if killed
        },
        ::testing::ExitedWithCode(0), "")
        << name;
  }
  EXPECT_EQ(Listing(), std::vector<std::string>{"keep"});
  EXPECT_TRUE(GetFile("keep") == std::vector<uint8_t>{5});
}

// Where anonymous files cannot be linked (here: /proc hidden in a mount
// namespace of the child), the temporary file has a name; the sweep of the
// next start removes those of processes that are gone and of our own PID
// that no entry holds, and nothing else.
TEST_F(FilesTest, SweepRemovesWhatDeadProcessesLeft) {
  if (geteuid() != 0) GTEST_SKIP() << "hiding /proc needs a mount namespace of our own (root)";
  FreshDir("sweep");
  const auto data = RandomBytes(3000, 4);
  EXPECT_EXIT(
      {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") != 0)
          _exit(2);
        Files::TFile live = Files::OpenWr("live");
        Files::TFile left = Files::OpenWr("left");
        if (live == nullptr || left == nullptr || live->a || left->a) _exit(3);
        Files::Write(left, 0, data.data(), data.size(), 3000);
        if (Files::Sweep() != 0 || Listing().size() != 2) _exit(4);   // both are ours
        // A named one is committed like an anonymous one.
        Files::Write(live, 0, data.data(), data.size(), 3000);
        if (!Files::Commit(live)) _exit(5);
        Files::Close(live);
        _exit(0);   // left behind by a killed process
      },
      ::testing::ExitedWithCode(0), "");
  std::vector<std::string> l = Listing();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[1], "live");
  EXPECT_TRUE(GetFile("live") == data);
  EXPECT_EQ(l[0].rfind(".left.wisp-", 0), 0u) << l[0];

  const std::string me = std::to_string(getpid());
  const std::vector<std::string> kept = {".alive.wisp-1-3.tmp", ".x.wisp-9-not.tmp", ".y.wisp-abc-1.tmp",
                                         "z.wisp-999999999-1.tmp", ".dir.wisp-999999999-1.tmp"};
  for (const std::string& n : {".mine.wisp-" + me + "-77.tmp", std::string(".gone.wisp-4194305-1.tmp"),
                               std::string(".a.wisp-b.wisp-4194305-2.tmp")})
    PutFile(n, {1});
  for (size_t k = 0; k + 1 < kept.size(); ++k) PutFile(kept[k], {1});
  std::filesystem::create_directory(kept.back());
  EXPECT_EQ(Files::Sweep(), 4u);
  std::vector<std::string> want = kept;
  want.push_back("live");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(Listing(), want);
  EXPECT_NE(LogText().find("Sweep removed 4 temporary files"), std::string::npos);
}

// A served file that cannot be read any more (here its descriptor now
// refers to a directory) marks the entry; the program goes on.
TEST_F(FilesTest, FailedReadMarksTheEntry) {
  FreshDir("readfail");
  const auto data = RandomBytes(5000, 6);
  PutFile("r", data);
  std::filesystem::create_directory("d");
  Files::TFile f = Files::OpenRd("r");
  ASSERT_NE(f, nullptr);
  uint8_t buf[1455];
  Files::Flush(f);
  EXPECT_EQ(Files::Read(f, 0, buf, sizeof buf), 1455u);
  EXPECT_EQ(Files::Read(f, 1455, buf, sizeof buf), 1455u);   // in order: reads two ahead
  EXPECT_FALSE(Files::Failed(f));
  const int d = open("d", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(d, 0);
  ASSERT_EQ(dup2(d, f->b), f->b);
  close(d);
  EXPECT_EQ(Files::Read(f, 2910, buf, sizeof buf), 1455u) << "read ahead with the second";
  EXPECT_FALSE(Files::Failed(f));
  Files::Flush(f);   // another file now: what was read ahead goes
  EXPECT_EQ(Files::Read(f, 2910, buf, sizeof buf), 0u);
  EXPECT_TRUE(Files::Failed(f));
  Files::TPosDesc x;
  Files::GetPos(f, 100, x);   // the digest of a prefix cannot be had either
  EXPECT_TRUE(Files::Close(f));
  // Logged once, not once per failed read.
  const std::string log = LogText();
  const std::string line = "Read failed idx 1 rid 'r' err 21";
  const size_t at = log.find(line);
  EXPECT_NE(at, std::string::npos);
  EXPECT_EQ(log.find(line, at + 1), std::string::npos);
}

TEST_F(FilesTest, TableHoldsCntMaxEntries) {
  FreshDir("table");
  PutFile("r", {1});
  Files::TFile f[EngineTest::cnt];
  for (uint32_t k = 0; k < EngineTest::cnt; ++k) {
    f[k] = Files::OpenRd("r");
    ASSERT_NE(f[k], nullptr);
    EXPECT_EQ(f[k]->i, k + 1);
  }
  EXPECT_EQ(Files::OpenRd("r"), nullptr);
  EXPECT_EQ(Files::OpenWr("w"), nullptr);
  Files::Close(f[4]);
  Files::TFile g = Files::OpenWr("w");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->i, 5u);
  EXPECT_TRUE(g->w);
  Files::TResID rid;
  Files::GetRID(g, rid);
  EXPECT_STREQ(rid, "w");
  f[4] = g;
  for (auto& x : f) Files::Close(x);
  EXPECT_EQ(Listing(), std::vector<std::string>{"r"});
}

TEST_F(FilesTest, TargetText) {
  Files::TPosDesc t;
  t.l = 0x1D4C0;
  for (uint32_t k = 0; k < 16; ++k) t.d[k] = static_cast<uint8_t>(0xA0 + k);
  char s[64];
  SO::TBuffer b;
  SO::Init(b, s);
  Files::WrTgt(b, t);
  SO::WrLngCard(b, 5, 3);   // the fill is back to blank afterwards
  EXPECT_STREQ(s, "0001D4C0 A0A1A2A3A4A5A6A7A8A9AAABACADAEAF  5");
}

// File times travel as DOS values in local time: even seconds 1980..2107.
class FilesTimeTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    const char* tz = getenv("TZ");
    oldTZ = tz != nullptr ? tz : "";
    hadTZ = tz != nullptr;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    FreshDir("times");
    f = Files::OpenWr("t");
    ASSERT_NE(f, nullptr);
  }
  void TearDown() override {
    if (f != nullptr) Files::Close(f);
    if (hadTZ) setenv("TZ", oldTZ.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  // The modification time as local calendar fields.
  std::tm Mtime() {
    struct stat st;
    EXPECT_EQ(fstat(f->b, &st), 0);
    std::tm tm;
    localtime_r(&st.st_mtim.tv_sec, &tm);
    return tm;
  }
  DT::TDateTime Set(int32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s, uint32_t ms) {
    DT::TDateTime x{DT::PackDate(y, mo, d), DT::PackTime(h, mi, s, ms)};
    Files::SetDateTime(f, x);
    DT::TDateTime back;
    Files::GetDateTime(f, back);
    return back;
  }
  Files::TFile f = nullptr;
  std::string oldTZ;
  bool hadTZ = false;
};

TEST_F(FilesTimeTest, RoundTripOfEvenSeconds) {
  std::mt19937 g(1980);
  const int32_t d0 = DT::PackDate(1980, 1, 1), d1 = DT::PackDate(2107, 12, 31);
  for (uint32_t k = 0; k < 400; ++k) {
    DT::TDateTime x;
    x.d = d0 + static_cast<int32_t>(g() % static_cast<uint32_t>(d1 - d0 + 1));
    uint32_t h = g() % 24;
    if (h == 2) h = 4;   // the hour that spring skips has no file time
    x.t = DT::PackTime(h, g() % 60, (g() % 30) * 2, 0);
    if (k == 0) x = {d0, 0};
    if (k == 1) x = {d1, DT::PackTime(23, 59, 58, 0)};
    Files::SetDateTime(f, x);
    DT::TDateTime back;
    Files::GetDateTime(f, back);
    ASSERT_EQ(back.d, x.d) << k;
    ASSERT_EQ(back.t, x.t) << k;
  }
  // A summer date: the zone's daylight saving time holds.
  Set(2026, 6, 21, 14, 30, 4, 0);
  const std::tm tm = Mtime();
  EXPECT_EQ(tm.tm_hour, 14);
  EXPECT_EQ(tm.tm_isdst, 1);
}

TEST_F(FilesTimeTest, RoundingAndClamping) {
  DT::TDateTime b = Set(2020, 5, 6, 12, 0, 1, 600);
  EXPECT_EQ(b.t, DT::PackTime(12, 0, 2, 0));
  b = Set(2020, 5, 6, 12, 0, 0, 400);
  EXPECT_EQ(b.t, DT::PackTime(12, 0, 0, 0));
  b = Set(2020, 5, 6, 12, 0, 13, 0);   // odd seconds go down
  EXPECT_EQ(b.t, DT::PackTime(12, 0, 12, 0));
  b = Set(1970, 7, 8, 13, 14, 16, 0);
  EXPECT_EQ(b.d, DT::PackDate(1980, 1, 1));
  EXPECT_EQ(b.t, DT::PackTime(13, 14, 16, 0));
  b = Set(-5, 7, 8, 1, 2, 4, 0);
  EXPECT_EQ(b.d, DT::PackDate(1980, 1, 1));
  b = Set(2200, 3, 4, 5, 6, 8, 0);
  EXPECT_EQ(b.d, DT::PackDate(2107, 12, 31));
  EXPECT_EQ(b.t, DT::PackTime(5, 6, 8, 0));
}

TEST_F(FilesTimeTest, AccessTimeIsLeftAlone) {
  struct timespec ts[2];
  ts[0].tv_sec = 1000000000;   // 2001
  ts[0].tv_nsec = 0;
  ts[1].tv_sec = 0;
  ts[1].tv_nsec = UTIME_OMIT;
  ASSERT_EQ(futimens(f->b, ts), 0);
  Set(2020, 1, 2, 3, 4, 6, 0);
  struct stat st;
  ASSERT_EQ(fstat(f->b, &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
}

TEST_F(FilesTimeTest, TimeOutsideTheDosRangeReadsAsZero) {
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = 100000000;   // 1973
  ts[1].tv_nsec = 0;
  ASSERT_EQ(futimens(f->b, ts), 0);
  DT::TDateTime x{1, 1};
  Files::GetDateTime(f, x);
  EXPECT_EQ(x.d, 0);
  EXPECT_EQ(x.t, 0u);
}

// Caller mistakes are fatal: the log gets the text, the program stops with 255.
TEST_F(FilesTest, MisuseStopsTheProgram) {
  FreshDir("misuse");
  PutFile("r", {1, 2});
  const struct {
    const char* text;
    void (*run)();
  } cases[] = {
      {"Read mode", [] { uint8_t b[4]; Files::Read(Files::OpenWr("w"), 0, b, 4); }},
      {"Read len", [] { uint8_t b[4]; Files::Read(Files::OpenRd("r"), 0, b, sizeof b, 5); }},
      {"Write mode", [] { uint8_t b[4] = {}; Files::Write(Files::OpenRd("r"), 0, b, 4); }},
      {"Write len", [] { uint8_t b[4] = {}; Files::Write(Files::OpenWr("w"), 0, b, sizeof b, 5); }},
      {"Trunc mode", [] { Files::Trunc(Files::OpenRd("r"), 0); }},
      {"SetTgt mode", [] { Files::SetTgt(Files::OpenRd("r"), Files::TPosDesc{}); }},
      {"Commit mode", [] { Files::Commit(Files::OpenRd("r")); }},
      {"Reserve mode", [] { Files::Reserve(Files::OpenRd("r")); }},
      {"Free invalid file", [] { Files::TFile f = nullptr; Files::Free(f); }},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        c.run(),
        ::testing::ExitedWithCode(255), "")
        << c.text;
    EXPECT_NE(LogText().find(std::string("Files    F ") + c.text), std::string::npos) << c.text;
  }
  // The stop ran the termination chain: the write entries' temporary files
  // are gone again.
  EXPECT_EQ(Listing(), std::vector<std::string>{"r"});
}

}  // namespace

// ---- work off the event loop -------------------------------------------------

namespace {
  // Polls job j until it leaves the busy state (bounded: 10 s).
  Jobs::TState Await(Jobs::TJob j, WISP::TPosDesc& t) {
    for (int k = 0; k < 10000; ++k) {
      const Jobs::TState s = Jobs::Poll(j, t);
      if (s != Jobs::stBusy) return s;
      usleep(1000);
    }
    return Jobs::stBusy;
  }

  // Length and digest of the file n, through the worker (or the kept digest).
  std::string WorkerDigest(const std::string& n, uint32_t& len) {
    const int h = open(n.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(h, 0);
    Jobs::TJob j = 0;
    WISP::TPosDesc t{};
    Jobs::TState s = Jobs::Digest(h, j, t);
    close(h);   // the worker reads its own duplicate
    if (s == Jobs::stBusy) s = Await(j, t);
    EXPECT_EQ(s, Jobs::stDone);
    len = t.l;
    return EngineTest::Hex(t.d);
  }
}

TEST(JobsTest, UnchangedFileIsHashedOnceChangedFileAgain) {
  EngineTest::Init();
  EngineTest::FreshDir("dgsts");
  const auto v = EngineTest::RandomBytes(300000, 7);
  EngineTest::PutFile("a.bin", v);
  usleep(20000);   // a content that settled before its digest began is kept
  const uint32_t before = Jobs::Hashed();
  uint32_t l = 0;
  EXPECT_EQ(WorkerDigest("a.bin", l), EngineTest::Digest(v));
  EXPECT_EQ(l, v.size());
  EXPECT_EQ(Jobs::Hashed(), before + 1);
  // The same content again: from the kept digest, the worker reads nothing.
  EXPECT_EQ(WorkerDigest("a.bin", l), EngineTest::Digest(v));
  EXPECT_EQ(Jobs::Hashed(), before + 1);
  // Appended to: a new size, hashed anew.
  auto w = v;
  w.push_back(0x5A);
  EngineTest::PutFile("a.bin", w);
  usleep(20000);
  EXPECT_EQ(WorkerDigest("a.bin", l), EngineTest::Digest(w));
  EXPECT_EQ(l, w.size());
  EXPECT_EQ(Jobs::Hashed(), before + 2);
  // Rewritten in place with the same size and a new modification time.
  w.back() = 0xA5;
  EngineTest::PutFile("a.bin", w);
  timespec ts[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, "a.bin", ts, 0), 0);
  usleep(20000);
  EXPECT_EQ(WorkerDigest("a.bin", l), EngineTest::Digest(w));
  EXPECT_EQ(Jobs::Hashed(), before + 3);
  // Rewritten in place again with the same size and its modification time
  // put back (cp -p, rsync -t --inplace, touch -d): only the status-change
  // time tells, and the kept digest must not be served.
  w.front() ^= 0xFF;
  EngineTest::PutFile("a.bin", w);
  ASSERT_EQ(utimensat(AT_FDCWD, "a.bin", ts, 0), 0);
  EXPECT_EQ(WorkerDigest("a.bin", l), EngineTest::Digest(w));
  EXPECT_EQ(Jobs::Hashed(), before + 4);
  // Kept once settled (a digest that began late enough is kept already),
  // until a client's failed check drops it: then hashed anew.
  usleep(20000);
  EXPECT_EQ(WorkerDigest("a.bin", l), EngineTest::Digest(w));
  const uint32_t kept = Jobs::Hashed();
  EXPECT_EQ(WorkerDigest("a.bin", l), EngineTest::Digest(w));
  EXPECT_EQ(Jobs::Hashed(), kept);
  const int h = open("a.bin", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(h, 0);
  Jobs::Forget(h);
  close(h);
  EXPECT_EQ(WorkerDigest("a.bin", l), EngineTest::Digest(w));
  EXPECT_EQ(Jobs::Hashed(), kept + 1);
}

// Sixteen sessions asking at once for one file not hashed before share one
// digest: the file is read once, and each gets the same result.
TEST(JobsTest, RequestsForOneContentShareOneDigest) {
  EngineTest::Init();
  EngineTest::FreshDir("dgsts-share");
  const auto v = EngineTest::RandomBytes(8u << 20, 9);
  EngineTest::PutFile("big.bin", v);
  const uint32_t before = Jobs::Hashed();
  Jobs::TJob j[16];
  for (Jobs::TJob& x : j) {
    const int h = open("big.bin", O_RDONLY | O_CLOEXEC);
    WISP::TPosDesc t{};
    ASSERT_EQ(Jobs::Digest(h, x, t), Jobs::stBusy);
    close(h);
  }
  // One of them gives up; the others still get the digest.
  Jobs::Cancel(j[0]);
  for (int k = 1; k < 16; ++k) {
    WISP::TPosDesc t{};
    EXPECT_EQ(Await(j[k], t), Jobs::stDone);
    EXPECT_EQ(t.l, v.size());
    EXPECT_EQ(EngineTest::Hex(t.d), EngineTest::Digest(v));
  }
  EXPECT_EQ(Jobs::Hashed(), before + 1);
}

TEST(JobsTest, EveryJobSlotServesAndCancelledJobsFreeTheirSlots) {
  EngineTest::Init();
  EngineTest::FreshDir("dgsts-slots");
  Jobs::TJob j[Jobs::jobMax];
  for (uint32_t k = 0; k < Jobs::jobMax; ++k) {
    const auto v = EngineTest::RandomBytes(300000 + k, 100 + k);
    // Appended, not "f" + std::to_string(k): GCC 12 at -O3 reports a false
    // -Wrestrict for that here.
    std::string n = "f";
    n += std::to_string(k);
    EngineTest::PutFile(n, v);
    const int h = open(n.c_str(), O_RDONLY | O_CLOEXEC);
    WISP::TPosDesc t{};
    EXPECT_EQ(Jobs::Digest(h, j[k], t), Jobs::stBusy);
    close(h);
    ASSERT_NE(j[k], 0);
  }
  const auto v = EngineTest::RandomBytes(1000, 99);
  EngineTest::PutFile("g", v);
  const int h = open("g", O_RDONLY | O_CLOEXEC);
  Jobs::TJob none = 0;
  WISP::TPosDesc t{};
  EXPECT_EQ(Jobs::Digest(h, none, t), Jobs::stFull);   // all slots busy: refused, not hashed here
  EXPECT_EQ(none, 0);
  for (uint32_t k = 0; k < Jobs::jobMax; ++k) Jobs::Cancel(j[k]);
  // Cancelled jobs free their slots (a busy one once its slice ends).
  Jobs::TJob again = 0;
  Jobs::TState s = Jobs::stFull;
  for (int k = 0; k < 10000 && s == Jobs::stFull; ++k) {
    s = Jobs::Digest(h, again, t);
    if (s == Jobs::stFull) usleep(1000);
  }
  close(h);
  ASSERT_EQ(s, Jobs::stBusy);
  EXPECT_EQ(Await(again, t), Jobs::stDone);
  EXPECT_EQ(t.l, 1000u);
  EXPECT_EQ(EngineTest::Hex(t.d), EngineTest::Digest(v));
}
