// Jobs.cpp — the worker thread, its job table and the kept digests.
//
// The loop and the worker share everything below under one mutex; the
// worker holds it only to pick a job and to deliver a slice's result, never
// while it reads or syncs. A job works on its own duplicate of the caller's
// descriptor, so the caller may close its own at any time.
#include "Jobs.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <atomic>

#include "ConSigs.h"
#include "FOps.h"
#include "Lib3.h"

namespace Jobs {
namespace {

enum TKind : uint8_t { kDgst, kFollow, kCall };
// jQueued: has work and waits for its turn (seq); jIdle: a follow with
// nothing to do; jWait: waits for the digest of the job lead; jDone,
// jFailed: a whole-file digest's result, until polled.
enum TJobSt : uint8_t { jFree, jQueued, jIdle, jWait, jDone, jFailed };

// What identifies one content of a file. A write in place changes the
// status-change time even when the modification time is put back (touch -d,
// cp -p, rsync -t --inplace), a rename gives a new inode.
struct TKeyDesc {
  uint64_t dev, ino, size;
  int64_t ms, mns, cs, cns;
  bool operator==(const TKeyDesc&) const = default;
};

struct TJobDesc {
  TKind k;
  TJobSt st;
  bool busy;          // the worker runs a slice of it outside the lock
  bool gone;          // its caller gave it up; freed once no slice runs and none waits for it
  int h = -1;         // the job's duplicate of the caller's file; -1: none
  uint64_t seq;       // place in the queue: the lowest goes first
  TJob lead;          // jWait: the job whose digest this one waits for
  TKeyDesc key;       // kDgst: the content being digested
  timespec t0;        // kDgst: when its first slice began (CLOCK_REALTIME)
  MD5::TCtxDesc x;    // the digest of the first xl bytes
  uint64_t xl;
  uint64_t want;      // kFollow: the digest is to reach this
  uint32_t gen;       // kFollow: counts digests begun anew
  bool sync;          // kFollow: a sync waits
  bool all;           //   of data and metadata (fsync)
  uint64_t wp, we;    // kFollow: the write-back to start, bytes wp up to we (we 0: none)
  int dir = -1;       // kFollow: a directory to sync (owned); -1: none
  int rd;             // the reason of a read that failed, 0: none
  int sy;             // kFollow: the reason of the first sync that failed
  int sd;             // kFollow: the reason the last directory sync failed
  WISP::TPosDesc t;   // jDone: the result
  int (*fn)(void*);   // kCall: the call still to run (nullptr once it has run)
  void* a;            //   and its argument; its result goes to rd
};

struct TCacheDesc {
  bool used;
  TKeyDesc k;
  WISP::TPosDesc t;
  uint64_t use;       // last use, for replacing the oldest
};

// Everything the worker shares, in one record: a process forked from one
// whose worker ran gets a fresh one (the old lock may have been held).
struct TSharedDesc {
  std::mutex m;
  std::condition_variable work;   // a job has work, or stop
  std::condition_variable done;   // a slice has ended
  std::thread t;
  bool stop = false;
  TJobDesc jobs[jobMax]{};
  TCacheDesc cache[cacheMax]{};
  uint64_t clock = 0;             // queue order
  uint64_t useClock = 0;
};

constexpr uint32_t blkLen = 65536;
constexpr uint64_t chkLen = 1048576;   // the loop looks for a console signal this often

#ifdef WISP_FAULTS
bool held = false;   // Hold: guarded by the lock
#else
constexpr bool held = false;
#endif

// Never destroyed: a test process may end while the worker still waits.
TSharedDesc* sh = nullptr;
pid_t owner = 0;            // the process whose worker runs
bool initialised = false;
std::atomic<uint32_t> hashed{0};
Lib3::TProc oldTerm = nullptr;
uint8_t workBuf[blkLen];    // the worker's read buffer

TKeyDesc KeyOf(const struct stat& st) {
  return TKeyDesc{static_cast<uint64_t>(st.st_dev),      static_cast<uint64_t>(st.st_ino),
                  static_cast<uint64_t>(st.st_size),     static_cast<int64_t>(st.st_mtim.tv_sec),
                  static_cast<int64_t>(st.st_mtim.tv_nsec), static_cast<int64_t>(st.st_ctim.tv_sec),
                  static_cast<int64_t>(st.st_ctim.tv_nsec)};
}

TJobDesc& JobOf(TJob j) { return sh->jobs[j - 1]; }
TJob IdOf(const TJobDesc& j) { return static_cast<TJob>(&j - sh->jobs + 1); }
bool InRange(TJob j) { return sh != nullptr && j >= 1 && j <= jobMax; }
// With the lock held: j names a job in use.
bool Valid(TJob j) { return JobOf(j).st != jFree; }

// ---- with the lock held ----

TCacheDesc* Lookup(const TKeyDesc& k) {
  for (TCacheDesc& c : sh->cache)
    if (c.used && c.k == k) return &c;
  return nullptr;
}

// Keeps t for k, replacing the entry used longest ago.
void Remember(const TKeyDesc& k, const WISP::TPosDesc& t) {
  TCacheDesc* e = Lookup(k);
  if (e == nullptr) {
    e = &sh->cache[0];
    for (TCacheDesc& c : sh->cache) {
      if (!c.used) {
        e = &c;
        break;
      }
      if (c.use < e->use) e = &c;
    }
  }
  *e = TCacheDesc{true, k, t, ++sh->useClock};
}

bool HasWaiters(const TJobDesc& j) {
  const TJob id = IdOf(j);
  for (const TJobDesc& x : sh->jobs)
    if (x.st == jWait && x.lead == id) return true;
  return false;
}

bool HasWork(const TJobDesc& j) {
  if (j.k == kDgst) return j.st == jQueued;
  if (j.k == kCall) return j.fn != nullptr;
  return j.we != 0 || j.sync || j.dir >= 0 || (j.rd == 0 && j.xl < j.want);
}

void FreeJob(TJobDesc& j) {
  if (j.h >= 0) close(j.h);
  if (j.dir >= 0) close(j.dir);
  j = TJobDesc{};
}

TJobDesc* Take() {
  for (TJobDesc& j : sh->jobs)
    if (j.st == jFree && !j.busy) {
      j = TJobDesc{};
      return &j;
    }
  return nullptr;
}

// One sync of a follow (with the lock held on entry and exit, not while it
// runs): a write-back to start, a sync of the file, a sync of its directory,
// in that order. false when none waits.
// A sync of the data while the transfer goes on only saves time at its end,
// and it blocks the worker for as long as the disk takes: it waits while the
// digest lags more than lagMax behind what has arrived (the syncs then come
// together), so that the digest keeps up and the end does not wait for it.
// A sync of data and metadata (the final one) never waits.
constexpr uint64_t lagMax = 16u << 20;

bool SyncSlice(TJobDesc& j, std::unique_lock<std::mutex>& g) {
  const int h = j.h;
  if (j.we != 0) {
    const uint64_t p = j.wp, e = j.we;
    j.we = 0;
    g.unlock();
    const int r = FOps::SyncRange(h, static_cast<off_t>(p), static_cast<off_t>(e - p));
    const int err = errno;
    g.lock();
    // A file system that cannot start it only leaves it to the next sync.
    if (r != 0 && err != EINVAL && err != ESPIPE && err != ENOSYS && err != EOPNOTSUPP && j.sy == 0) j.sy = err;
  } else if (j.sync && (j.all || j.rd != 0 || j.want - j.xl <= lagMax)) {
    const bool all = j.all;
    j.sync = false;
    j.all = false;
    g.unlock();
    const int r = all ? FOps::Fsync(h) : FOps::Fdatasync(h);
    const int err = errno;
    g.lock();
    if (r != 0 && j.sy == 0) j.sy = err;
  } else if (j.dir >= 0) {
    const int d = j.dir;
    j.dir = -1;
    g.unlock();
    const int r = FOps::Fsync(d);
    const int err = errno;
    FOps::Close(d);
    g.lock();
    j.sd = r != 0 ? err : 0;
  } else {
    return false;
  }
  return true;
}

void Enqueue(TJobDesc& j) {
  j.st = jQueued;
  j.seq = ++sh->clock;
  sh->work.notify_one();
}

// The job with work that asked for it first.
TJobDesc* Pick() {
  TJobDesc* p = nullptr;
  for (TJobDesc& j : sh->jobs)
    if (j.st == jQueued && !j.busy && (p == nullptr || j.seq < p->seq)) p = &j;
  return p;
}

// A whole-file digest has its result: the jobs waiting for it get it too,
// and the content's digest is kept if the file was not changed meanwhile.
void Finish(TJobDesc& j, bool ok) {
  if (ok) {
    MD5::TCtxDesc x = j.x;
    j.t.l = j.xl;
    MD5::Final(x, j.t.d);
    struct stat st{};
    // A content whose status-change time is close to when the digest began
    // may still change within the same tick of the file system's clock and
    // keep its key. The file system's stamps and the coarse clock need not
    // agree to the tick (a stamp may be finer than the coarse clock, which
    // lags by up to a tick), so the stamp must lie a margin of some ticks
    // before the start, measured on the fine clock. A stamp without a
    // sub-second part comes from a file system that keeps whole seconds
    // (ext4 with small inodes, many network file systems) or two (FAT): a
    // write up to two seconds after it may leave the same stamp.
    constexpr int64_t marginNs = 20000000;   // two ticks at 100 Hz
    constexpr int64_t coarseNs = 2000000000;
    const int64_t c = j.key.cs * 1000000000 + j.key.cns + (j.key.cns == 0 ? coarseNs : 0);
    const int64_t b = int64_t(j.t0.tv_sec) * 1000000000 + j.t0.tv_nsec;
    const bool settled = c < b - marginNs;
    if (fstat(j.h, &st) == 0 && KeyOf(st) == j.key && settled) Remember(j.key, j.t);
    hashed.fetch_add(1, std::memory_order_relaxed);
  }
  const TJob id = IdOf(j);
  for (TJobDesc& x : sh->jobs)
    if (x.st == jWait && x.lead == id) {
      x.t = j.t;
      x.st = ok ? jDone : jFailed;
      x.lead = 0;
    }
  if (j.h >= 0) close(j.h);
  j.h = -1;
  j.st = ok ? jDone : jFailed;
  if (j.gone) FreeJob(j);
}

// ---- the worker ----

// One slice of a digest (with the lock held on entry and exit, not while it
// reads).
void HashSlice(TJobDesc& j, std::unique_lock<std::mutex>& g) {
  const int h = j.h;
  if (j.k == kDgst && j.xl == 0) clock_gettime(CLOCK_REALTIME, &j.t0);
  const uint32_t gen = j.gen;
  MD5::TCtxDesc x = j.x;
  const uint64_t from = j.xl;
  uint64_t to = from + sliceLen;
  if (j.k == kFollow && j.want < to) to = j.want;
  g.unlock();
  int err = 0;
  const uint64_t n = Hash(h, from, to, x, err, false);
  g.lock();
  if (j.gen == gen && !(j.k == kDgst && j.gone && !HasWaiters(j))) {
    j.x = x;
    j.xl = from + n;
    if (err != 0) j.rd = err;
    // A follow reads back what was written: a short read is an error.
    if (j.k == kFollow && err == 0 && j.xl < to) j.rd = EIO;
    if (j.k == kDgst) {
      if (err != 0) Finish(j, false);
      else if (j.xl < to) Finish(j, true);
      else j.seq = ++sh->clock;   // back of the queue
    }
  }
}

// The one run of a call (with the lock held on entry and exit, not while it
// runs).
void CallSlice(TJobDesc& j, std::unique_lock<std::mutex>& g) {
  int (*fn)(void*) = j.fn;
  void* a = j.a;
  j.fn = nullptr;
  g.unlock();
  const int r = fn(a);
  g.lock();
  j.rd = r;
}

void Work() {
  TSharedDesc& s = *sh;
  std::unique_lock<std::mutex> g(s.m);
  for (;;) {
    TJobDesc* p = nullptr;
    s.work.wait(g, [&] { return s.stop || (!held && (p = Pick()) != nullptr); });
    if (s.stop) return;
    TJobDesc& j = *p;
    j.busy = true;
    if (j.k == kCall) CallSlice(j, g);
    else if (j.k != kFollow || !SyncSlice(j, g)) HashSlice(j, g);
    j.busy = false;
    if (j.gone && j.st != jFree && !(j.k == kDgst && HasWaiters(j))) {
      FreeJob(j);
    } else if (j.k != kDgst) {
      if (HasWork(j)) {
        j.st = jQueued;
        j.seq = ++s.clock;
      } else {
        j.st = jIdle;
      }
    }
    s.done.notify_all();
  }
}

// A worker runs for this process.
void Ensure() {
  if (sh != nullptr && owner == getpid()) return;
  sh = new TSharedDesc;
  for (TJobDesc& j : sh->jobs) j.h = -1;
  sh->t = std::thread(Work);
  owner = getpid();
}

void DoneModule() {
  if (sh != nullptr && owner == getpid()) {
    {
      std::lock_guard<std::mutex> g(sh->m);
      sh->stop = true;
    }
    sh->work.notify_all();
    sh->t.join();
    for (TJobDesc& j : sh->jobs) FreeJob(j);
    owner = 0;
    sh = nullptr;   // the record stays allocated: see sh
  }
  oldTerm();
}

}  // namespace

void InitModule() {
  if (initialised) return;
  initialised = true;
  Ensure();
  Lib3::Terminate(DoneModule, oldTerm);
}

uint64_t Hash(int h, uint64_t p, uint64_t e, MD5::TCtxDesc& x, int& err, bool sig) {
  static uint8_t loopBuf[blkLen];   // the loop's own
  uint8_t* buf = sig ? loopBuf : workBuf;
  err = 0;
  uint64_t n = 0;
  while (p + n < e) {
    if (sig && n % chkLen == 0) ConSigs::Check();
    const uint64_t left = e - (p + n);
    const size_t l = left < blkLen ? static_cast<size_t>(left) : blkLen;
    const ssize_t c = FOps::PRead(h, buf, l, static_cast<off_t>(p + n));
    if (c < 0) {
      err = errno;
      break;
    }
    if (c == 0) break;
    MD5::Update(x, buf, static_cast<uint32_t>(c));
    n += static_cast<uint64_t>(c);
  }
  return n;
}

TState Digest(int h, TJob& j, WISP::TPosDesc& t) {
  j = 0;
  struct stat st{};
  if (fstat(h, &st) != 0 || !S_ISREG(st.st_mode)) return stFailed;
  const TKeyDesc k = KeyOf(st);
  Ensure();
  std::lock_guard<std::mutex> g(sh->m);
  if (TCacheDesc* c = Lookup(k)) {
    c->use = ++sh->useClock;
    t = c->t;
    return stDone;
  }
  TJobDesc* lead = nullptr;
  for (TJobDesc& x : sh->jobs)
    if (x.k == kDgst && x.st == jQueued && x.key == k) lead = &x;
  TJobDesc* n = Take();
  if (n == nullptr) return stFull;
  n->k = kDgst;
  n->key = k;
  if (lead != nullptr) {
    n->st = jWait;
    n->lead = IdOf(*lead);
  } else {
    n->h = fcntl(h, F_DUPFD_CLOEXEC, 0);
    if (n->h < 0) {
      FreeJob(*n);
      return stFull;
    }
    MD5::Init(n->x);
    Enqueue(*n);
  }
  j = IdOf(*n);
  return stBusy;
}

TState Poll(TJob k, WISP::TPosDesc& t) {
  if (!InRange(k)) return stFailed;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return stFailed;
  TJobDesc& j = JobOf(k);
  switch (j.st) {
    case jDone:
      t = j.t;
      FreeJob(j);
      return stDone;
    case jFailed:
      FreeJob(j);
      return stFailed;
    default:
      return stBusy;
  }
}

void Cancel(TJob k) {
  if (!InRange(k)) return;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return;
  TJobDesc& j = JobOf(k);
  if (j.st == jWait) {
    TJobDesc& l = JobOf(j.lead);
    FreeJob(j);
    // The digest it waited for was given up by its own caller too.
    if (l.gone && !l.busy && !HasWaiters(l)) FreeJob(l);
    return;
  }
  if (j.busy || (j.st == jQueued && HasWaiters(j))) {
    j.gone = true;
  } else {
    FreeJob(j);
  }
}

uint32_t Hashed() { return hashed.load(std::memory_order_relaxed); }

void Forget(int h) {
  struct stat st{};
  if (sh == nullptr || fstat(h, &st) != 0) return;
  const TKeyDesc k = KeyOf(st);
  std::lock_guard<std::mutex> g(sh->m);
  for (TCacheDesc& c : sh->cache)
    if (c.used && c.k.dev == k.dev && c.k.ino == k.ino) c = TCacheDesc{};
}

TJob Follow(int h) {
  Ensure();
  std::lock_guard<std::mutex> g(sh->m);
  TJobDesc* j = Take();
  if (j == nullptr) return 0;
  j->h = fcntl(h, F_DUPFD_CLOEXEC, 0);
  if (j->h < 0) {
    FreeJob(*j);
    return 0;
  }
  j->k = kFollow;
  j->st = jIdle;
  MD5::Init(j->x);
  return IdOf(*j);
}

void Want(TJob k, uint64_t p, bool anew) {
  if (!InRange(k)) return;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return;
  TJobDesc& j = JobOf(k);
  if (anew) {
    ++j.gen;
    MD5::Init(j.x);
    j.xl = 0;
    j.rd = 0;
    j.want = p;
  } else if (p > j.want) {
    j.want = p;
  }
  if (j.st == jIdle && HasWork(j)) Enqueue(j);
}

void Sync(TJob k, bool all) {
  if (!InRange(k)) return;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return;
  TJobDesc& j = JobOf(k);
  j.sync = true;
  j.all = j.all || all;
  if (j.st == jIdle) Enqueue(j);
}

void WriteBack(TJob k, uint64_t p, uint64_t e) {
  if (!InRange(k) || e <= p) return;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return;
  TJobDesc& j = JobOf(k);
  if (j.we == 0) {
    j.wp = p;
    j.we = e;
  } else {
    if (p < j.wp) j.wp = p;
    if (e > j.we) j.we = e;
  }
  if (j.st == jIdle) Enqueue(j);
}

void SyncDir(TJob k, int d) {
  if (!InRange(k)) {
    close(d);
    return;
  }
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) {
    close(d);
    return;
  }
  TJobDesc& j = JobOf(k);
  if (j.dir >= 0) close(j.dir);
  j.dir = d;
  j.sd = 0;
  if (j.st == jIdle) Enqueue(j);
}

bool Idle(TJob k) {
  if (!InRange(k)) return true;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return true;
  const TJobDesc& j = JobOf(k);
  return !j.busy && !HasWork(j);
}

void Wait(TJob k) {
  if (!InRange(k)) return;
  std::unique_lock<std::mutex> g(sh->m);
  if (!Valid(k)) return;
  const TJobDesc& j = JobOf(k);
  while (j.busy || HasWork(j)) {
    sh->done.wait_for(g, std::chrono::milliseconds(100));
    g.unlock();
    ConSigs::Check();
    g.lock();
  }
}

void Result(TJob k, MD5::TCtxDesc& x, uint64_t& l, int& rd, int& sy) {
  MD5::Init(x);
  l = 0;
  rd = 0;
  sy = 0;
  if (!InRange(k)) return;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return;
  const TJobDesc& j = JobOf(k);
  x = j.x;
  l = j.xl;
  rd = j.rd;
  sy = j.sy;
}

int DirResult(TJob k) {
  if (!InRange(k)) return 0;
  std::lock_guard<std::mutex> g(sh->m);
  return Valid(k) ? JobOf(k).sd : 0;
}

void End(TJob k) {
  if (!InRange(k)) return;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return;
  TJobDesc& j = JobOf(k);
  if (j.busy) j.gone = true;
  else FreeJob(j);
}

TJob Call(int (*fn)(void*), void* a) {
  Ensure();
  std::lock_guard<std::mutex> g(sh->m);
  TJobDesc* j = Take();
  if (j == nullptr) return 0;
  j->k = kCall;
  j->fn = fn;
  j->a = a;
  Enqueue(*j);
  return IdOf(*j);
}

bool Called(TJob k, int& r) {
  r = 0;
  if (!InRange(k)) return true;
  std::lock_guard<std::mutex> g(sh->m);
  if (!Valid(k)) return true;
  TJobDesc& j = JobOf(k);
  if (j.busy || HasWork(j)) return false;
  r = j.rd;
  FreeJob(j);
  return true;
}

#ifdef WISP_FAULTS
bool Hold(bool on) {
  Ensure();
  {
    std::lock_guard<std::mutex> g(sh->m);
    held = on;
  }
  sh->work.notify_all();
  return true;
}
#else
bool Hold(bool) { return false; }
#endif

}  // namespace Jobs
