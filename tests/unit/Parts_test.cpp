// Parts_test.cpp — partial files and their records: the record's bytes and
// every way it can be damaged, resuming and starting over, the held
// fragments a receiver asks about, the write order under failing file calls,
// the names, and the server's bounds on a clock the test sets.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineTest.h"
#include "Crc.h"
#include "FOps.h"
#include "Parts.h"
#include "Tmps.h"

namespace {

using namespace EngineTest;

constexpr uint64_t t0 = 1800000000;   // the test's clock, Unix seconds

class PartsTest : public ::testing::Test {
 protected:
  void SetUp() override { Init(); }
  void TearDown() override { FOps::FailAt(FOps::opSync, 0, 0); }
};

Parts::TSrcDesc Src(const char* r, uint64_t l, uint16_t f = 1000, bool k = true) {
  Parts::TSrcDesc s{};
  std::snprintf(s.r, sizeof s.r, "%s", r);
  std::snprintf(s.s, sizeof s.s, "%s", "127.0.0.1:6969");
  s.l = l;
  s.d = {739000, 43200123};
  s.f = f;
  s.k = k;
  if (k)
    for (uint32_t j = 0; j < sizeof s.g; ++j) s.g[j] = static_cast<uint8_t>(0xA0 + j);
  return s;
}

// Writes fragment i of the source's content into the partial file, as a
// receiver does, and marks it.
void Put(Parts::TPart p, uint32_t i) {
  const uint64_t at = uint64_t(i) * p->s.f;
  const uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(p->s.f, p->s.l - at));
  const std::vector<uint8_t> v = RandomBytes(k, i);
  const int h = Parts::Reopen(p);
  ASSERT_GE(h, 0);
  ASSERT_EQ(pwrite(h, v.data(), k, static_cast<off_t>(at)), static_cast<ssize_t>(k));
  close(h);
  ASSERT_TRUE(Parts::Mark(p, i));
}

// Snap and Save: what is marked becomes the record on the disk.
int Record(Parts::TPart p, uint64_t now = t0) {
  EXPECT_TRUE(Parts::Snap(p, now));
  return Parts::Save(p);
}

// Opens n again (the next run) with source s: the match, and the entry.
Parts::TMatch Resume(const char* n, const Parts::TSrcDesc& s, Parts::TPart& p, Parts::TOpen want = Parts::oKept) {
  EXPECT_EQ(int(Parts::Open(n, p)), int(want)) << n;
  if (p == nullptr) return Parts::mFail;
  return Parts::Begin(p, s);
}

std::vector<uint8_t> Encoded(const Parts::TSrcDesc& s, uint32_t q, const std::vector<uint8_t>& map, uint32_t b) {
  std::vector<uint8_t> x(Parts::Rec::lenMax);
  x.resize(Parts::Encode(x.data(), s, t0, q, map.data(), b));
  return x;
}

Parts::TBad Decoded(const std::vector<uint8_t>& x, Parts::TSrcDesc& s, uint32_t& q, uint32_t& b,
                    std::vector<uint8_t>& map) {
  map.assign(Parts::wndMax / 8, 0);
  uint64_t t = 0;
  return Parts::Decode(x.data(), static_cast<uint32_t>(x.size()), s, t, q, map.data(), b);
}

// The record's bytes: fields at their offsets, little-endian, a 64-bit
// length; what Encode writes Decode gives back, up to the widest bitmap.
TEST_F(PartsTest, RecordRoundTrips) {
  Parts::TSrcDesc s = Src("dir/big.iso", 5ull << 30, 1455);
  std::memset(s.r, 'r', 128);   // a full name field has no terminator
  std::memset(s.s, 's', Parts::lenSrv);
  std::vector<uint8_t> map(Parts::wndMax / 8, 0);
  for (uint32_t b : {0u, 2u, 9u, 4096u, Parts::wndMax}) {
    SCOPED_TRACE(b);
    std::fill(map.begin(), map.end(), 0);
    if (b > 0) map[(b - 1) / 8] = static_cast<uint8_t>(1u << ((b - 1) % 8));
    if (b > 2) map[0] = 0x0A;
    const std::vector<uint8_t> x = Encoded(s, 3000000, map, b);
    ASSERT_EQ(x.size(), Parts::Rec::Len(b));
    EXPECT_EQ(std::string(x.begin(), x.begin() + 4), "WPRC");
    EXPECT_EQ(x[Parts::Rec::v], 1);
    EXPECT_EQ(x[Parts::Rec::l + 4], 1);   // 5 << 30: bits 32 and 30
    EXPECT_EQ(x[Parts::Rec::l + 3], 0x40);
    Parts::TSrcDesc d;
    uint32_t q = 0, c = 0;
    std::vector<uint8_t> m;
    ASSERT_EQ(Decoded(x, d, q, c, m), Parts::bOk);
    EXPECT_EQ(Parts::Match(s, d), Parts::mOk);
    EXPECT_EQ(d.f, 1455);
    EXPECT_EQ(q, 3000000u);
    EXPECT_EQ(c, b);
    EXPECT_TRUE(std::equal(map.begin(), map.begin() + (b + 7) / 8, m.begin()));
  }
  // Digest unknown: zeros on the wire, and the match ignores it.
  s = Src("a", 10, 4, false);
  Parts::TSrcDesc d;
  uint32_t q, b;
  std::vector<uint8_t> m;
  ASSERT_EQ(Decoded(Encoded(s, 0, map, 0), d, q, b, m), Parts::bOk);
  EXPECT_FALSE(d.k);
  EXPECT_EQ(Parts::Match(d, Src("a", 10)), Parts::mOk);
}

// Every damage is found: any flipped byte, any truncation, another version,
// a field out of range, held flags the encoder never writes.
TEST_F(PartsTest, DamagedTruncatedAndForeignRecordsAreRefused) {
  std::vector<uint8_t> map(Parts::wndMax / 8, 0);
  map[0] = 0x06;   // fragments q+1, q+2
  const Parts::TSrcDesc s = Src("f", 100000, 1000);
  const std::vector<uint8_t> good = Encoded(s, 10, map, 3);
  Parts::TSrcDesc d;
  uint32_t q, b;
  std::vector<uint8_t> m;
  for (size_t k = 0; k < good.size(); ++k) {
    std::vector<uint8_t> x = good;
    x[k] ^= 0x20;
    EXPECT_NE(Decoded(x, d, q, b, m), Parts::bOk) << k;
  }
  for (size_t l = 0; l < good.size(); ++l) {
    const std::vector<uint8_t> x(good.begin(), good.begin() + static_cast<long>(l));
    EXPECT_NE(Decoded(x, d, q, b, m), Parts::bOk) << l;
  }
  // Valid CRCs over wrong contents: re-sealed after the change.
  auto bad = [&](uint32_t off, uint8_t v, Parts::TBad want) {
    std::vector<uint8_t> x = good;
    x[off] = v;
    Crc::AppendCrc(x.data(), static_cast<uint32_t>(x.size()) - 4);
    EXPECT_EQ(Decoded(x, d, q, b, m), want) << off;
  };
  bad(Parts::Rec::v, 2, Parts::bVer);
  bad(Parts::Rec::m, 'X', Parts::bMagic);
  bad(Parts::Rec::k, 2, Parts::bField);
  bad(Parts::Rec::x, 1, Parts::bField);
  bad(Parts::Rec::y, 1, Parts::bField);
  bad(Parts::Rec::f + 1, 6, Parts::bField);    // fragment length 1768 > 1455
  bad(Parts::Rec::r, 0, Parts::bField);        // no name
  bad(Parts::Rec::b, 9, Parts::bLen);          // more flags than bytes
  bad(Parts::Rec::p, 98, Parts::bHeld);        // 98 + 3 > 100 fragments
  bad(Parts::Rec::map, 0x07, Parts::bHeld);    // the prefix's next one set
  bad(Parts::Rec::map, 0x02, Parts::bHeld);    // the last flag clear
  bad(Parts::Rec::map, 0x0E, Parts::bHeld);    // a flag past the last
  std::vector<uint8_t> x = Encoded(Src("f", 100000, 1000, false), 10, map, 3);
  x[Parts::Rec::g] = 1;                        // a digest that is not known
  Crc::AppendCrc(x.data(), static_cast<uint32_t>(x.size()) - 4);
  EXPECT_EQ(Decoded(x, d, q, b, m), Parts::bField);
  EXPECT_EQ(Decoded(Encoded(Src("f", 100000, 0), 0, map, 0), d, q, b, m), Parts::bField);
}

// The held fragments as a receiver asks for them: the prefix grows as gaps
// fill, ranges of 32, the next missing one, bytes with a short last
// fragment, and nothing beyond the count or the bitmap's reach.
TEST_F(PartsTest, HeldFragmentsAndWhatIsMissing) {
  FreshDir("held");
  ASSERT_TRUE(Parts::InitModule({.cnt = 1}));
  Parts::TPart p;
  ASSERT_EQ(Parts::Open("h", p), Parts::oNew);
  const uint32_t n = Parts::wndMax + 100;
  EXPECT_EQ(Parts::Begin(p, Src("h", uint64_t(n) * 10 - 3, 10)), Parts::mNone);
  for (uint32_t i : {1u, 2u, 5u, 40u}) EXPECT_TRUE(Parts::Mark(p, i));
  EXPECT_EQ(Parts::Prefix(p), 0u);
  EXPECT_EQ(Parts::Held32(p, 0), 0x26u);
  EXPECT_EQ(Parts::Held32(p, 9), 1u << 31);
  EXPECT_EQ(Parts::NextMissing(p, 1), 3u);
  EXPECT_TRUE(Parts::Mark(p, 0));
  EXPECT_EQ(Parts::Prefix(p), 3u);
  EXPECT_EQ(Parts::Count(p), 5u);
  EXPECT_EQ(Parts::NextMissing(p, 0), 3u);
  EXPECT_EQ(Parts::NextMissing(p, 5), 6u);
  EXPECT_FALSE(Parts::Mark(p, 3 + Parts::wndMax));   // beyond the bitmap
  EXPECT_FALSE(Parts::Mark(p, n));                    // beyond the count
  EXPECT_TRUE(Parts::Mark(p, 2 + Parts::wndMax));    // the slot fragment 2 had
  EXPECT_FALSE(Parts::Held(p, 2 + Parts::wndMax - 1));
  // The prefix runs through the whole ring (it wraps) as the gaps fill.
  for (uint32_t i = 0; i < n; ++i) Parts::Mark(p, i);
  EXPECT_EQ(Parts::Prefix(p), n);
  EXPECT_EQ(Parts::NextMissing(p, 0), n);
  EXPECT_EQ(Parts::HeldBytes(p), uint64_t(n) * 10 - 3);
  EXPECT_EQ(Parts::Held32(p, n - 1), 1u);
  Parts::Discard(p);
  EXPECT_TRUE(Listing().empty());
}

// A second run of the same source resumes with what the first recorded; a
// changed source (each field of the rule), another server or fragment
// length: what the rule says, the record gone before anything new.
TEST_F(PartsTest, ResumeOnlyTheSameSource) {
  FreshDir("resume");
  ASSERT_TRUE(Parts::InitModule({.cnt = 2}));
  const Parts::TSrcDesc s = Src("data.bin", 10500, 1000);
  Parts::TPart p;
  ASSERT_EQ(Parts::Open("data.bin", p), Parts::oNew);
  EXPECT_EQ(Parts::Begin(p, s), Parts::mNone);
  for (uint32_t i : {0u, 1u, 2u, 6u, 10u}) Put(p, i);
  // A second receiver of the same name (another process, another session).
  Parts::TPart other;
  EXPECT_EQ(Parts::Open("data.bin", other), Parts::oBusy);
  EXPECT_EQ(Record(p), 0);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"data.bin.wisp-part", "data.bin.wisp-part.rec"}));
  Parts::Keep(p);

  ASSERT_EQ(Resume("data.bin", Src("data.bin", 10500, 1000, false), p), Parts::mOk);
  EXPECT_EQ(Parts::Prefix(p), 3u);
  EXPECT_EQ(Parts::Held32(p, 0), 0x447u);
  EXPECT_EQ(Parts::HeldBytes(p), 4500u);
  EXPECT_TRUE(p->s.k);   // the kept digest stays known
  Parts::Keep(p);

  // The fragment length changed: the prefix in whole new fragments.
  ASSERT_EQ(Resume("data.bin", Src("data.bin", 10500, 1455), p), Parts::mOk);
  EXPECT_EQ(Parts::Count(p), 2u);   // 3000 bytes: 2 of 1455
  EXPECT_EQ(Parts::Held32(p, 0), 3u);
  EXPECT_EQ(Record(p), 0);
  Parts::Keep(p);

  struct {
    Parts::TSrcDesc s;
    Parts::TMatch m;
  } changed[] = {{Src("data.bin", 10501, 1455), Parts::mLen}, {Src("data.bin", 10500, 1455), Parts::mDate},
                 {Src("data.bin", 10500, 1455), Parts::mDgst}, {Src("data.bin", 10500, 1455), Parts::mSrv},
                 {Src("other", 10500, 1455), Parts::mName}};
  changed[1].s.d.t += 1;
  changed[2].s.g[15] ^= 1;
  std::snprintf(changed[3].s.s, sizeof changed[3].s.s, "%s", "[::1]:6969");
  for (auto& c : changed) {
    SCOPED_TRACE(c.m);
    ASSERT_EQ(Resume("data.bin", c.s, p), c.m);
    EXPECT_FALSE(Exists("data.bin.wisp-part.rec"));
    struct stat st;
    ASSERT_EQ(stat("data.bin.wisp-part", &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(Parts::Count(p), 0u);
    // What it held then is kept again for the next case.
    EXPECT_EQ(Parts::Begin(p, Src("data.bin", 10500, 1455)), Parts::mNone);
    Put(p, 0);
    Put(p, 1);
    EXPECT_EQ(Record(p), 0);
    Parts::Keep(p);
  }
  // The digest sent after the data: another content than the kept one.
  ASSERT_EQ(Resume("data.bin", Src("data.bin", 10500, 1455, false), p), Parts::mOk);
  uint8_t g[16];
  std::memcpy(g, Src("x", 1).g, sizeof g);
  EXPECT_EQ(Parts::Learn(p, g), Parts::mOk);
  g[0] ^= 1;
  EXPECT_EQ(Parts::Learn(p, g), Parts::mDgst);
  Parts::Discard(p);
  EXPECT_TRUE(Listing().empty());
}

// A record that disagrees with its partial file, or is damaged on the disk,
// starts over: removed, the partial file emptied, nothing held.
TEST_F(PartsTest, RecordThatDisagreesWithItsFileStartsOver) {
  FreshDir("disagree");
  ASSERT_TRUE(Parts::InitModule({.cnt = 1}));
  const Parts::TSrcDesc s = Src("z", 5000, 1000);
  auto kept = [&] {
    Parts::TPart p;
    ASSERT_EQ(Parts::Open("z", p), Parts::oNew);
    Parts::Begin(p, s);
    for (uint32_t i : {0u, 1u, 3u}) Put(p, i);
    ASSERT_EQ(Record(p), 0);
    Parts::Keep(p);
  };
  auto startsOver = [&](const char* why) {
    SCOPED_TRACE(why);
    Parts::TPart p;
    EXPECT_EQ(Resume("z", s, p, Parts::oBad), Parts::mNone);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Parts::Count(p), 0u);
    EXPECT_FALSE(Exists("z.wisp-part.rec"));
    EXPECT_EQ(GetFile("z.wisp-part").size(), 0u);
    Parts::Discard(p);
  };
  kept();
  ASSERT_EQ(truncate("z.wisp-part", 3999), 0);   // fragment 3 ends at 4000
  startsOver("partial file shorter");
  kept();
  ASSERT_EQ(truncate("z.wisp-part", 5001), 0);
  startsOver("partial file longer than the source");
  kept();
  ASSERT_EQ(unlink("z.wisp-part"), 0);
  startsOver("partial file missing");
  kept();
  ASSERT_EQ(truncate("z.wisp-part.rec", 100), 0);
  startsOver("record truncated");
  kept();
  std::vector<uint8_t> r = GetFile("z.wisp-part.rec");
  r[Parts::Rec::p] ^= 1;
  PutFile("z.wisp-part.rec", r);
  startsOver("record damaged");
  // A partial file without a record claims nothing.
  PutFile("z.wisp-part", {1, 2, 3});
  Parts::TPart p;
  EXPECT_EQ(Parts::Open("z", p), Parts::oNew);
  EXPECT_EQ(GetFile("z.wisp-part").size(), 0u);
  Parts::Keep(p);
  EXPECT_TRUE(Listing().empty());
}

// The write order: whichever file call of a Save fails, the record on the
// disk is the old one or the new one, never a damaged one, no temporary
// file stays, and a record is never written when the data's sync failed.
TEST_F(PartsTest, SaveNeverClaimsUnsyncedData) {
  if (!FOps::FailAt(FOps::opSync, 0, 0)) GTEST_SKIP() << "built without the fault seam (WISP_FAULTS)";
  FreshDir("order");
  ASSERT_TRUE(Parts::InitModule({.cnt = 1}));
  const Parts::TSrcDesc s = Src("w", 20000, 1000);
  uint32_t walked = 0;
  for (FOps::TOp op : {FOps::opSync, FOps::opOpen, FOps::opWrite, FOps::opRename, FOps::opClose}) {
    for (uint32_t n = 1; n <= 3; ++n) {
      SCOPED_TRACE(testing::Message() << "op " << int(op) << " n " << n);
      Parts::TPart p;
      Parts::Open("w", p);
      ASSERT_NE(p, nullptr);
      Parts::Begin(p, s);
      for (uint32_t i = 0; i < 5; ++i) Put(p, i);
      ASSERT_EQ(Record(p), 0);
      for (uint32_t i = 5; i < 10; ++i) Put(p, i);
      ASSERT_TRUE(Parts::Snap(p, t0));
      FOps::FailAt(op, n, EIO);
      const int r = Parts::Save(p);
      const bool hit = FOps::Calls(op) >= n;
      const uint32_t opens = FOps::Calls(FOps::opOpen);
      FOps::FailAt(op, 0, 0);
      EXPECT_EQ(r != 0, hit && !(op == FOps::opClose && n == 2));   // the directory's close only
      walked += hit ? 1 : 0;
      EXPECT_FALSE(p->sv);   // the save is done either way
      Parts::Keep(p);
      EXPECT_EQ(Listing(), (std::vector<std::string>{"w.wisp-part", "w.wisp-part.rec"}));
      ASSERT_EQ(Resume("w", s, p), Parts::mOk);
      const uint32_t c = Parts::Count(p);
      // Old or new; after a failed sync of the data, the old.
      const bool dataSync = op == FOps::opSync && n == 1;
      EXPECT_EQ(c, r == 0 ? 10u : (dataSync ? 5u : c)) << c;
      EXPECT_TRUE(c == 5 || c == 10) << c;
      // The data's sync is the first call: nothing of the record is touched before it.
      if (dataSync) {
        EXPECT_EQ(opens, 0u);
      }
      Parts::Discard(p);
    }
  }
  // Data sync, record's open, write, sync, close, rename, directory's open,
  // sync and close: each was made to fail.
  EXPECT_EQ(walked, 9u);
  // A crash between a record's write and its rename leaves a temporary file
  // of Tmps' pattern, which the next start's sweep removes.
  Parts::TPart p;
  Parts::Open("w", p);
  EXPECT_TRUE(Tmps::IsTmpName(p->tn));
  Parts::Discard(p);
}

// The loop's schedule: Tick hands a Save to the worker once saveLen bytes
// have been marked (not before), and collects it; Leave gives the partial
// file to the module, which saves what is marked then (unless told not to)
// and keeps it once the worker is done, without the caller waiting.
TEST_F(PartsTest, TheLoopSavesThroughTheWorkerAndLeavesWithoutWaiting) {
  FreshDir("sched");
  ASSERT_TRUE(Parts::InitModule({.cnt = 1, .srv = true, .now = t0}));
  const Parts::TSrcDesc s = Src("s", 10u << 20, 1000);
  const uint32_t due = static_cast<uint32_t>((Parts::saveLen + 999) / 1000);
  Parts::TPart p;
  ASSERT_EQ(Parts::Open("s", p), Parts::oNew);
  Parts::Begin(p, s);
  for (uint32_t i = 0; i + 1 < due; ++i) Put(p, i);
  Parts::Tick(p, t0);
  EXPECT_EQ(p->j, 0);
  EXPECT_FALSE(Exists(".wisp-part.tmp/s.wisp-part.rec"));
  Put(p, due - 1);
  Parts::Tick(p, t0);
  EXPECT_NE(p->j, 0);
  for (uint32_t k = 0; k < 5000 && p->j != 0; ++k) {
    usleep(1000);
    Parts::Tick(p, t0);
  }
  ASSERT_EQ(p->j, 0);
  const std::vector<uint8_t> x = GetFile(".wisp-part.tmp/s.wisp-part.rec");
  EXPECT_EQ(WISP::GetU32(x.data(), Parts::Rec::p), due);
  // Left with five more marked, and then with five the last record never sees.
  for (bool snap : {true, false}) {
    SCOPED_TRACE(snap);
    const uint32_t from = Parts::Count(p);
    for (uint32_t i = from; i < from + 5; ++i) Put(p, i);
    Parts::Leave(p, t0 + 5, snap);
    EXPECT_EQ(p, nullptr);
    for (uint32_t k = 0; k < 5000 && Parts::Kept() == 0; ++k) {
      usleep(1000);
      Parts::Reap();
    }
    ASSERT_EQ(Parts::Kept(), 1u);
    ASSERT_EQ(Resume("s", s, p), Parts::mOk);
    EXPECT_EQ(Parts::Count(p), from + (snap ? 5 : 0));
  }
  Parts::Discard(p);
  EXPECT_TRUE(Listing() == std::vector<std::string>{".wisp-part.tmp"});
}

// The names: a partial file and its record never take a finished file's
// name, and a -k client recognises one; the server's directory is refused by
// the file table like its temporary files, so no client reads, writes or
// replaces anything in it.
TEST_F(PartsTest, NamesNeverCollideWithFinishedFiles) {
  for (const char* n : {"a", "a.wisp", "x.wisp-part.bak", "wisp-part", ".wisp-part.tmpx", "WISPSrv.log"})
    EXPECT_FALSE(Parts::IsPartName(n)) << n;
  for (const char* n : {"a.wisp-part", "a.wisp-part.rec", ".a.wisp-part", ".wisp-part.tmp"})
    EXPECT_TRUE(Parts::IsPartName(n)) << n;
  FreshDir("names");
  ASSERT_TRUE(Parts::InitModule({.cnt = 1, .srv = true, .now = t0}));
  Parts::TPart p;
  ASSERT_EQ(Parts::Open("up", p), Parts::oNew);
  EXPECT_EQ(std::string(p->pn), ".wisp-part.tmp/up.wisp-part");
  Parts::Discard(p);
  for (bool ovr : {false, true}) {
    EngineTest::SetSrv(true, ovr);
    for (const char* r : {".wisp-part.tmp", "x/.wisp-part.tmp"}) {
      EXPECT_EQ(Files::OpenRd(r), nullptr) << r;
      EXPECT_EQ(Files::OpenWr(r), nullptr) << r;
    }
  }
  EngineTest::SetSrv(false);
  // Not a temporary name that the file table's sweep would take.
  EXPECT_EQ(Files::Sweep(), 0u);
  EXPECT_TRUE(Exists(".wisp-part.tmp"));
}

// The server's kept partial uploads on the test's clock: at most 64 (the
// oldest goes), 24 h after their last record, swept at start-up with what
// does not parse and strays; their disk, and room made for a reservation.
TEST_F(PartsTest, ServerKeepsBoundedPartialUploads) {
  FreshDir("kept");
  ASSERT_TRUE(Parts::InitModule({.cnt = 2, .srv = true, .now = t0}));
  auto keep = [](const std::string& n, uint64_t t) {
    Parts::TPart p;
    ASSERT_EQ(Parts::Open(n.c_str(), p), Parts::oNew);
    Parts::Begin(p, Src(n.c_str(), 2000, 1000));
    Put(p, 0);
    ASSERT_EQ(Record(p, t), 0);
    Parts::Keep(p);
  };
  for (uint32_t k = 0; k <= Parts::keepMax; ++k) {
    char n[16];
    std::snprintf(n, sizeof n, "u%u", k);   // formatted: GCC 12 warns on "u" + std::string at -O3
    keep(n, t0 + k);
  }
  EXPECT_EQ(Parts::Kept(), Parts::keepMax);
  EXPECT_FALSE(Exists(".wisp-part.tmp/u0.wisp-part"));   // the oldest went
  EXPECT_FALSE(Exists(".wisp-part.tmp/u0.wisp-part.rec"));
  EXPECT_TRUE(Exists(".wisp-part.tmp/u1.wisp-part"));
  EXPECT_GE(Parts::Disk(), uint64_t(Parts::keepMax) * 1000);
  // An open one leaves the index; kept again, it is back.
  Parts::TPart p;
  ASSERT_EQ(Resume("u5", Src("u5", 2000, 1000), p), Parts::mOk);
  EXPECT_EQ(Parts::Kept(), Parts::keepMax - 1);
  // A reservation beyond its data (as an upload makes one) is given back.
  const int h = Parts::Reopen(p);
  const bool rsv = fallocate(h, FALLOC_FL_KEEP_SIZE, 0, 64 << 20) == 0;
  close(h);
  Parts::Keep(p);
  EXPECT_EQ(Parts::Kept(), Parts::keepMax);
  if (rsv) {
    EXPECT_LT(Parts::Disk(), 16u << 20);
  }

  // A restart finds them all; strays, a record without data and a damaged
  // record go.
  PutFile(".wisp-part.tmp/.u9.wisp-part.rec.wisp-1-1.tmp", {1});
  PutFile(".wisp-part.tmp/lone.wisp-part", {1});
  ASSERT_EQ(unlink(".wisp-part.tmp/u2.wisp-part"), 0);
  PutFile(".wisp-part.tmp/u3.wisp-part.rec", {1, 2, 3});
  ASSERT_TRUE(Parts::InitModule({.cnt = 2, .srv = true, .now = t0 + Parts::lifeSec}));
  EXPECT_EQ(Parts::Kept(), Parts::keepMax - 2);
  EXPECT_FALSE(Exists(".wisp-part.tmp/lone.wisp-part"));
  EXPECT_FALSE(Exists(".wisp-part.tmp/u3.wisp-part"));
  EXPECT_FALSE(Exists(".wisp-part.tmp/.u9.wisp-part.rec.wisp-1-1.tmp"));
  // 24 h after the last record: u1 (t0 + 1) expires a second later.
  EXPECT_EQ(Parts::Sweep(t0 + Parts::lifeSec), 0u);
  EXPECT_EQ(Parts::Sweep(t0 + Parts::lifeSec + 1), 1u);
  EXPECT_FALSE(Exists(".wisp-part.tmp/u1.wisp-part"));
  EXPECT_EQ(Parts::Sweep(t0 + Parts::lifeSec + 10), 7u);   // u4 .. u10
  // Room for a reservation: oldest first, as few as it takes.
  const uint32_t before = Parts::Kept();
  const uint64_t disk = Parts::Disk();
  EXPECT_EQ(Parts::Reclaim(100, 100), 0u);
  const uint64_t freed = Parts::Reclaim(101, 100);
  EXPECT_GT(freed, 0u);
  EXPECT_EQ(Parts::Kept(), before - 1);
  EXPECT_EQ(Parts::Disk(), disk - freed);
  EXPECT_FALSE(Exists(".wisp-part.tmp/u11.wisp-part"));
  Parts::Reclaim(UINT64_MAX, 0);
  EXPECT_EQ(Parts::Kept(), 0u);
  EXPECT_TRUE(Listing() == std::vector<std::string>{".wisp-part.tmp"});
}

}  // namespace
