// Tmps.cpp — temporary files: names, creation, putting in place, sweep.
#include "Tmps.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FOps.h"

namespace Tmps {
namespace {

constexpr char tmpMark[] = ".wisp-";
constexpr char tmpExt[] = ".tmp";
uint32_t tmpCnt = 0;   // makes temporary names unique within the process

// Whether anonymous temporary files can be given a name later: linking one
// goes through its /proc/self/fd entry (linking by descriptor alone needs a
// privilege the program does not have).
bool CanLinkAnonymous() { return access("/proc/self/fd", X_OK) == 0; }

// The PID in a temporary name of this pattern, 0 when n is none.
long TmpPid(const char* n) {
  if (!IsTmpName(n)) return 0;
  const size_t l = std::strlen(n);
  // The last mark: the target's own name may contain one.
  const char* m = nullptr;
  for (const char* p = std::strstr(n, tmpMark); p != nullptr; p = std::strstr(p + 1, tmpMark)) m = p;
  const char* p = m + sizeof tmpMark - 1;
  const char* end = n + l - (sizeof tmpExt - 1);
  long pid = 0;
  const char* q = p;
  for (; q < end && *q >= '0' && *q <= '9' && pid < 100000000; ++q) pid = pid * 10 + (*q - '0');
  if (q == p || q >= end || *q != '-') return 0;
  const char* r = ++q;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) {
  }
  if (q == r || q != end) return 0;
  return pid;
}

}  // namespace

bool IsTmpName(const char* n) {
  const size_t l = std::strlen(n);
  return n[0] == '.' && l >= sizeof tmpExt - 1 && std::strcmp(n + l - (sizeof tmpExt - 1), tmpExt) == 0 &&
         std::strstr(n, tmpMark) != nullptr;
}

bool MkTmpName(const char* n, Types::TPthStr& tmp) {
  const int k = std::snprintf(tmp, sizeof tmp, ".%s%s%ld-%lu%s", n, tmpMark, static_cast<long>(getpid()),
                              static_cast<unsigned long>(++tmpCnt), tmpExt);
  if (k >= 0 && static_cast<size_t>(k) < sizeof tmp) return true;
  errno = ENAMETOOLONG;
  return false;
}

int Create(const char* n, Types::TPthStr& tmp) {
  tmp[0] = 0;
  int h = -1;
  if (CanLinkAnonymous()) {
    h = FOps::Open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    // Only a file system without anonymous files falls back to a named one;
    // a directory that is not writable or a full disk refuses either way.
    if (h < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
  }
  for (uint32_t tries = 0; tries < 8 && h < 0; ++tries) {
    if (!MkTmpName(n, tmp)) return -1;
    h = FOps::Open(tmp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (h < 0 && errno != EEXIST) {
      tmp[0] = 0;
      return -1;
    }
  }
  if (h < 0) tmp[0] = 0;
  return h;
}

bool LinkAnonymous(int h, const char* n) {
  char p[64];
  std::snprintf(p, sizeof p, "/proc/self/fd/%d", h);
  if (FOps::Linkat(AT_FDCWD, p, AT_FDCWD, n, AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != ENOENT) return false;
  return FOps::Linkat(h, "", AT_FDCWD, n, AT_EMPTY_PATH) == 0;
}

bool Place(int h, const char* tmp, const char* n, bool ovr) {
  if (tmp[0] == 0) {
    if (!ovr) return LinkAnonymous(h, n);
    // A name of its own first, then the rename over the target: a link
    // cannot replace. A crash in between leaves a named temporary file for
    // the next start's sweep.
    Types::TPthStr own;
    if (!MkTmpName(n, own) || !LinkAnonymous(h, own)) return false;
    if (FOps::Rename(own, n) == 0) return true;
    const int err = errno;
    unlink(own);
    errno = err;
    return false;
  }
  if (ovr) return FOps::Rename(tmp, n) == 0;
  // Never replace a file that appeared while the transfer ran.
  if (FOps::RenameNoReplace(tmp, n) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  // File systems without the no-replace rename: a hard link fails just the
  // same when the name is taken.
  if (FOps::Link(tmp, n) != 0) return false;
  unlink(tmp);
  return true;
}

uint32_t Sweep(bool (*ours)(const char* n)) {
  DIR* d = opendir(".");
  if (d == nullptr) return 0;
  const long me = static_cast<long>(getpid());
  uint32_t n = 0;
  while (const dirent* e = readdir(d)) {
    const long pid = TmpPid(e->d_name);
    if (pid <= 0) continue;
    if (pid == me ? ours(e->d_name) : !(kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) continue;
    struct stat st;
    if (lstat(e->d_name, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlink(e->d_name) == 0) ++n;
  }
  closedir(d);
  return n;
}

}  // namespace Tmps
