// Keys.cpp — reading and making the key files, reading the trust lists.
#include "Keys.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Lib3.h"

namespace Keys {

namespace {
  constexpr uint32_t lenPath = 4096;

  // A line of a list: the key and the word after it (name, address).
  template <uint32_t M> struct TLine {
    TKey k;
    char t[M + 1];
  };
  using TClient = TLine<lenName>;
  using TServer = TLine<lenAdr>;

  TSettings set;
  bool chained = false;
  Lib3::TProc oldTerm = nullptr;

  TPair own{};
  TClient cli[cliMax];
  uint32_t cliCnt = 0;
  TServer srv[srvMax];
  uint32_t srvCnt = 0;

  // The last error: what, where.
  TErr lastErr = errOk;
  char errFile[lenPath];
  uint32_t errAt = 0;

  TErr Fail(TErr e, const char* file, uint32_t line) {
    lastErr = e;
    std::snprintf(errFile, sizeof errFile, "%s", file);
    errAt = line;
    return e;
  }

  void MkPath(char (&p)[lenPath], const char* dir, const char* name) {
    std::snprintf(p, sizeof p, "%s/%s", dir, name);
  }

  bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  // The next blank-separated token of s from position k: start and length.
  bool Token(const char* s, uint32_t& k, const char*& t, uint32_t& n) {
    while (s[k] != '\0' && IsBlank(s[k])) ++k;
    if (s[k] == '\0') return false;
    t = s + k;
    n = 0;
    while (s[k] != '\0' && !IsBlank(s[k])) {
      ++k;
      ++n;
    }
    return true;
  }

  // Reads the whole small file at fd into b (n bytes at most, terminated);
  // false when it is longer or cannot be read.
  bool ReadSmall(int fd, char* b, uint32_t n) {
    uint32_t l = 0;
    for (;;) {
      const ssize_t r = ::read(fd, b + l, n - 1 - l);
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (r == 0) break;
      l += static_cast<uint32_t>(r);
      if (l >= n - 1) return false;
    }
    b[l] = '\0';
    return true;
  }

  // Writes the text t into a new file p of the given mode; the file must not
  // exist yet (a link planted there is not followed).
  bool WriteNew(const char* p, const char* t, mode_t mode) {
    const int fd = ::open(p, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return false;
    const size_t n = std::strlen(t);
    bool ok = ::fchmod(fd, mode) == 0 && ::write(fd, t, n) == static_cast<ssize_t>(n) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) ::unlink(p);
    return ok;
  }

  void PubLine(char* t, uint32_t n) {
    SO::TBuffer b;
    SO::Init(b, t, n - 1);
    WrPubLine(b);
    t[b.l] = '\0';
  }

  TErr WritePub(const char* dir) {
    char p[lenPath];
    MkPath(p, dir, "key.pub");
    char t[lenKeyTxt + 300];
    PubLine(t, sizeof t - 1);
    std::strcat(t, "\n");
    if (!WriteNew(p, t, 0644)) return Fail(errCreate, p, 0);
    return errOk;
  }

  TErr Create(const char* dir) {
    char p[lenPath];
    MkPath(p, dir, "key");
    crypto_box_keypair(own.pub, own.prv);
    char t[lenKeyTxt + 2];
    SO::TBuffer b;
    SO::Init(b, t, sizeof t - 1);
    WrKey(b, own.prv);
    SO::WrChar(b, '\n');
    t[b.l] = '\0';
    const bool ok = WriteNew(p, t, 0600);
    sodium_memzero(t, sizeof t);
    if (!ok) return Fail(errCreate, p, 0);
    return WritePub(dir);
  }

  // Checks that key.pub's first word is the public key of the private key.
  TErr CheckPub(const char* p, int fd) {
    char t[lenLine + 1];
    const bool ok = ReadSmall(fd, t, sizeof t);
    ::close(fd);
    if (!ok) return Fail(errRead, p, 0);
    uint32_t k = 0;
    const char* w = nullptr;
    uint32_t n = 0;
    TKey pub;
    if (!Token(t, k, w, n) || !RdKey(w, n, pub)) return Fail(errLine, p, 1);
    if (sodium_memcmp(pub, own.pub, lenKey) != 0) return Fail(errPair, p, 0);
    return errOk;
  }

  // Reads the list in dir/name line by line; Take gets each line's two
  // words and says whether the line is good.
  enum TTake : uint8_t { takeOk, takeBad, takeDup, takeFull };
  template <typename F> TErr ReadList(const char* dir, const char* name, F take) {
    char p[lenPath];
    MkPath(p, dir, name);
    FILE* f = std::fopen(p, "re");
    if (f == nullptr) return Fail(errRead, p, 0);
    char s[lenLine + 2];
    uint32_t line = 0;
    TErr e = errOk;
    while (e == errOk && std::fgets(s, sizeof s, f) != nullptr) {
      ++line;
      const size_t l = std::strlen(s);
      if (l == sizeof s - 1 && s[l - 1] != '\n') {   // longer than a line may be
        e = Fail(errLine, p, line);
        break;
      }
      char* h = std::strchr(s, '#');
      if (h != nullptr) *h = '\0';
      uint32_t k = 0;
      const char* w1 = nullptr;
      const char* w2 = nullptr;
      const char* w3 = nullptr;
      uint32_t n1 = 0, n2 = 0, n3 = 0;
      if (!Token(s, k, w1, n1)) continue;   // empty or only a comment
      TKey key;
      if (!RdKey(w1, n1, key) || !Token(s, k, w2, n2) || Token(s, k, w3, n3)) {
        e = Fail(errLine, p, line);
        break;
      }
      switch (take(key, w2, n2)) {
        case takeOk: break;
        case takeBad: e = Fail(errLine, p, line); break;
        case takeDup: e = Fail(errDup, p, line); break;
        case takeFull: e = Fail(errMany, p, line); break;
      }
    }
    if (e == errOk && std::ferror(f)) e = Fail(errRead, p, 0);
    std::fclose(f);
    return e;
  }

  void DoneModule_Term() {
    DoneModule();
    oldTerm();
  }
}

void InitModule(const TSettings& s) {
  if (sodium_init() < 0) Lib3::FatalError("Error: libsodium cannot start");
  set = s;
  if (!chained && Lib3::Initialised()) {
    chained = true;
    Lib3::Terminate(DoneModule_Term, oldTerm);
  }
}

TErr LoadOwn(const char* dir, bool& wrote) {
  wrote = false;
  lastErr = errOk;
  char p[lenPath];
  char q[lenPath];
  MkPath(p, dir, "key");
  MkPath(q, dir, "key.pub");
  struct stat st;
  const bool hasKey = ::lstat(p, &st) == 0;
  const bool hasPub = ::lstat(q, &st) == 0;
  if (!hasKey && !hasPub) {
    if (::mkdir(dir, 0700) != 0 && errno != EEXIST) return Fail(errDir, dir, 0);
    const TErr e = Create(dir);
    if (e != errOk) return e;
    wrote = true;
    return errOk;
  }
  const int fd = ::open(p, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(errRead, p, 0);
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return Fail(errRead, p, 0);
  }
  if ((st.st_mode & 077) != 0) {
    ::close(fd);
    return Fail(errMode, p, 0);
  }
  char t[lenLine + 1];
  const bool ok = ReadSmall(fd, t, sizeof t);
  ::close(fd);
  uint32_t k = 0;
  const char* w = nullptr;
  uint32_t n = 0;
  const char* w2 = nullptr;
  uint32_t n2 = 0;
  const bool good = ok && Token(t, k, w, n) && RdKey(w, n, own.prv) && !Token(t, k, w2, n2);
  sodium_memzero(t, sizeof t);
  if (!ok) return Fail(errRead, p, 0);
  if (!good) {
    sodium_memzero(own.prv, lenKey);
    return Fail(errKey, p, 0);
  }
  crypto_scalarmult_base(own.pub, own.prv);
  const int fq = ::open(q, O_RDONLY | O_CLOEXEC);
  if (fq < 0) {
    if (errno != ENOENT) return Fail(errRead, q, 0);
    const TErr e = WritePub(dir);
    wrote = e == errOk;
    return e;
  }
  return CheckPub(q, fq);
}

namespace {
  // Reads dir/name into list (cnt lines, room for N): the word after a key
  // has at most M characters; a key listed before (byKey) or a word listed
  // before (otherwise) is a duplicate. A list that fails is left empty.
  template <uint32_t M, uint32_t N>
  TErr LoadList(const char* dir, const char* name, TLine<M> (&list)[N], uint32_t& cnt, bool byKey) {
    lastErr = errOk;
    cnt = 0;
    const TErr e = ReadList(dir, name, [&](const TKey& k, const char* w, uint32_t n) {
      if (n > M) return takeBad;
      for (uint32_t j = 0; j < cnt; ++j) {
        const bool dup = byKey ? sodium_memcmp(list[j].k, k, lenKey) == 0
                               : std::strlen(list[j].t) == n && std::memcmp(list[j].t, w, n) == 0;
        if (dup) return takeDup;
      }
      if (cnt >= N) return takeFull;
      TLine<M>& x = list[cnt++];
      std::memcpy(x.k, k, lenKey);
      std::memcpy(x.t, w, n);
      x.t[n] = '\0';
      return takeOk;
    });
    if (e != errOk) cnt = 0;
    return e;
  }
}

TErr LoadClients(const char* dir) { return LoadList(dir, "clients", cli, cliCnt, true); }
TErr LoadServers(const char* dir) { return LoadList(dir, "servers", srv, srvCnt, false); }

const TPair& Own() { return own; }

uint32_t Clients() { return cliCnt; }

uint32_t FindClient(const TKey& k) {
  for (uint32_t j = 0; j < cliCnt; ++j)
    if (sodium_memcmp(cli[j].k, k, lenKey) == 0) return j + 1;
  return 0;
}

const char* ClientName(uint32_t n) { return n >= 1 && n <= cliCnt ? cli[n - 1].t : ""; }

const uint8_t* FindServer(const char* a) {
  for (uint32_t j = 0; j < srvCnt; ++j)
    if (std::strcmp(srv[j].t, a) == 0) return srv[j].k;
  return nullptr;
}

void WrKey(SO::TBuffer& b, const TKey& k) {
  char t[lenKeyTxt + 1];
  sodium_bin2base64(t, sizeof t, k, lenKey, sodium_base64_VARIANT_ORIGINAL);
  SO::WrStr(b, t);
  sodium_memzero(t, sizeof t);
}

bool RdKey(const char* s, uint32_t n, TKey& k) {
  if (n != lenKeyTxt) return false;
  size_t l = 0;
  const char* end = nullptr;
  TKey v;
  if (sodium_base642bin(v, lenKey, s, n, nullptr, &l, &end, sodium_base64_VARIANT_ORIGINAL) != 0 || l != lenKey ||
      end != s + n)
    return false;
  // Only the canonical text: the unused low bits of the last character are 0.
  char t[lenKeyTxt + 1];
  sodium_bin2base64(t, sizeof t, v, lenKey, sodium_base64_VARIANT_ORIGINAL);
  const bool ok = std::memcmp(t, s, lenKeyTxt) == 0;
  if (ok) std::memcpy(k, v, lenKey);
  sodium_memzero(v, sizeof v);
  sodium_memzero(t, sizeof t);
  return ok;
}

void WrPubLine(SO::TBuffer& b) {
  WrKey(b, own.pub);
  SO::WrChar(b, ' ');
  SO::WrStr(b, set.prg);
  char h[256];
  if (::gethostname(h, sizeof h) == 0) {
    h[sizeof h - 1] = '\0';
    SO::WrChar(b, '@');
    SO::WrStr(b, h);
  }
}

void WrError(SO::TBuffer& b) {
  static const char* const what[] = {
      "No error",
      "Cannot create key directory",
      "Cannot read key file",
      "Private key open to others",
      "Invalid private key",
      "Public key does not match private key",
      "Cannot create key file",
      "Malformed key line",
      "Duplicate key line",
      "Too many key lines",
  };
  static_assert(sizeof what / sizeof what[0] == errMany + 1);
  SO::WrStr(b, "Error: ");
  SO::WrStr(b, what[lastErr]);
  SO::WrStr(b, ": '");
  SO::WrStr(b, errFile);
  SO::WrChar(b, '\'');
  if (errAt > 0) {
    SO::WrStr(b, " line ");
    SO::WrLngCard(b, errAt, 1);
  }
}

TErr LastError() { return lastErr; }

void DoneModule() {
  sodium_memzero(&own, sizeof own);
  cliCnt = 0;
  srvCnt = 0;
}

}  // namespace Keys
