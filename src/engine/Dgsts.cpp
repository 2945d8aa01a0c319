// Dgsts.cpp — the digest worker and the cache of recent digests.
//
// The event loop and the worker share the job table and the cache under one
// mutex; the worker holds it only to pick a job and to deliver its result,
// never while it reads. A job's file is a duplicate of the session's
// descriptor, so the session may close its own at any time.
#include "Dgsts.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "Lib3.h"
#include "MD5.h"

namespace Dgsts {
namespace {

enum TJobSt : uint8_t { jFree, jQueued, jBusy, jDone, jFailed };

// What identifies one content of a file: a file changed in place gets a new
// modification time (or size), a file replaced by rename a new inode.
struct TKeyDesc {
  uint64_t dev, ino, size;
  int64_t sec, nsec;
  bool operator==(const TKeyDesc&) const = default;
};

struct TJobDesc {
  TJobSt st;
  int h;                       // the worker's duplicate; -1 when none
  TKeyDesc k;
  WISP::TPosDesc t;            // the result
  std::atomic<bool> cancel;
};

struct TCacheDesc {
  bool used;
  TKeyDesc k;
  WISP::TPosDesc t;
  uint64_t use;                // last use, for replacing the oldest
};

constexpr uint32_t blkLen = 65536;

bool initialised = false;
std::mutex mtx;
std::condition_variable wake;
bool stop = false;
std::thread worker;
TJobDesc jobs[jobMax];
TCacheDesc cache[cacheMax];
uint64_t useClock = 0;
std::atomic<uint32_t> hashed{0};
Lib3::TProc oldTerm = nullptr;

TKeyDesc KeyOf(const struct stat& st) {
  return TKeyDesc{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                  static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                  static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// Called with mtx held.
TCacheDesc* Lookup(const TKeyDesc& k) {
  for (TCacheDesc& c : cache)
    if (c.used && c.k == k) return &c;
  return nullptr;
}

// Called with mtx held: keeps t for k, replacing the entry used longest ago.
void Remember(const TKeyDesc& k, const WISP::TPosDesc& t) {
  TCacheDesc* e = Lookup(k);
  if (e == nullptr) {
    e = &cache[0];
    for (TCacheDesc& c : cache) {
      if (!c.used) {
        e = &c;
        break;
      }
      if (c.use < e->use) e = &c;
    }
  }
  e->used = true;
  e->k = k;
  e->t = t;
  e->use = ++useClock;
}

void CloseJob(TJobDesc& j) {
  if (j.h >= 0) ::close(j.h);
  j.h = -1;
}

// Hashes the file h front to back into t through buf (n bytes); false when
// a read fails, the file reaches 4 GiB, or j (if given) is cancelled.
bool Hash(int h, TJobDesc* j, uint8_t* buf, uint32_t n, WISP::TPosDesc& t) {
  MD5::TCtxDesc ctx;
  MD5::Init(ctx);
  uint64_t p = 0;
  for (;;) {
    if (j != nullptr && j->cancel.load(std::memory_order_relaxed)) return false;
    const ssize_t c = ::pread(h, buf, n, static_cast<off_t>(p));
    if (c < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (c == 0) break;
    MD5::Update(ctx, buf, static_cast<uint32_t>(c));
    p += static_cast<uint64_t>(c);
    if (p > UINT32_MAX) return false;
  }
  MD5::Final(ctx, t.d);
  t.l = static_cast<uint32_t>(p);
  return true;
}

void Work() {
  std::unique_lock<std::mutex> g(mtx);
  for (;;) {
    TJobDesc* j = nullptr;
    wake.wait(g, [&] {
      if (stop) return true;
      for (TJobDesc& x : jobs)
        if (x.st == jQueued) {
          j = &x;
          return true;
        }
      return false;
    });
    if (stop) return;
    j->st = jBusy;
    g.unlock();
    static uint8_t buf[blkLen];   // the worker's own: one job at a time
    WISP::TPosDesc t{};
    bool ok = Hash(j->h, j, buf, blkLen, t);
    // A file that changed while it was read gives no digest worth keeping.
    struct stat st{};
    const bool same = ok && ::fstat(j->h, &st) == 0 && KeyOf(st) == j->k;
    hashed.fetch_add(1);
    g.lock();
    if (j->cancel.load()) {
      CloseJob(*j);
      j->st = jFree;
      continue;
    }
    CloseJob(*j);
    if (ok) {
      j->t = t;
      j->st = jDone;
      if (same) Remember(j->k, t);
    } else {
      j->st = jFailed;
    }
  }
}

void DoneModule() {
  {
    std::lock_guard<std::mutex> g(mtx);
    stop = true;
    for (TJobDesc& j : jobs) j.cancel.store(true);
  }
  wake.notify_all();
  if (worker.joinable()) worker.join();
  for (TJobDesc& j : jobs) CloseJob(j);
  oldTerm();
}

}  // namespace

void InitModule() {
  if (initialised) return;
  initialised = true;
  for (TJobDesc& j : jobs) {
    j.st = jFree;
    j.h = -1;
    j.cancel.store(false);
  }
  stop = false;
  worker = std::thread(Work);
  Lib3::Terminate(DoneModule, oldTerm);
}

TJob Start(int h) {
  struct stat st{};
  if (::fstat(h, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  const TKeyDesc k = KeyOf(st);
  std::lock_guard<std::mutex> g(mtx);
  TJobDesc* j = nullptr;
  for (TJobDesc& x : jobs)
    if (x.st == jFree) {
      j = &x;
      break;
    }
  if (j == nullptr) return 0;
  j->k = k;
  j->cancel.store(false);
  if (const TCacheDesc* c = Lookup(k)) {
    j->t = c->t;
    j->st = jDone;
    cache[c - cache].use = ++useClock;
  } else if (k.size <= nowMax) {
    uint8_t buf[16384];
    WISP::TPosDesc t{};
    hashed.fetch_add(1);
    if (!Hash(h, nullptr, buf, sizeof buf, t)) {
      j->st = jFailed;
    } else {
      j->t = t;
      j->st = jDone;
      struct stat now{};
      if (::fstat(h, &now) == 0 && KeyOf(now) == k) Remember(k, t);
    }
  } else {
    j->h = ::fcntl(h, F_DUPFD_CLOEXEC, 0);
    if (j->h < 0) return 0;
    j->st = jQueued;
    wake.notify_one();
  }
  return static_cast<TJob>(j - jobs + 1);
}

TState Poll(TJob k, WISP::TPosDesc& t) {
  if (k == 0 || k > jobMax) return stFailed;
  std::lock_guard<std::mutex> g(mtx);
  TJobDesc& j = jobs[k - 1];
  switch (j.st) {
    case jDone:
      t = j.t;
      j.st = jFree;
      return stDone;
    case jQueued:
    case jBusy:
      return stBusy;
    default:
      j.st = jFree;
      return stFailed;
  }
}

void Cancel(TJob k) {
  if (k == 0 || k > jobMax) return;
  std::lock_guard<std::mutex> g(mtx);
  TJobDesc& j = jobs[k - 1];
  if (j.st == jBusy) {
    j.cancel.store(true);   // the worker frees the slot when it sees this
  } else {
    CloseJob(j);
    j.st = jFree;
  }
}

uint32_t Hashed() { return hashed.load(); }

}  // namespace Dgsts
