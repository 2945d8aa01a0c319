// ConfigLib.cpp — command-line values, errors and print-out lines for both
// programs' Config modules.
#include "ConfigLib.h"

#include <netdb.h>
#include <unistd.h>

#include <cstring>

#include "Args.h"
#include "Lib3.h"
#include "Log.h"
#include "Utils.h"

namespace ConfigLib {
  namespace {
    TSettings set;
    bool vrb = false;
  }

  void InitModule(const TSettings& s) { set = s; }
  void SetVerbose(bool v) { vrb = v; }

  void InitLine(SO::TBuffer& b, TLine& s) {
    s[lineMax] = '\0';
    SO::Init(b, s, lineMax);
  }

  void SetStr(char* d, size_t n, const char* t) {
    size_t i = 0;
    while (i + 1 < n && t[i] != '\0') {
      d[i] = t[i];
      ++i;
    }
    d[i] = '\0';
  }

  void InitDir(char* d, size_t n) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      d[0] = '\0';
      return;
    }
    SetStr(d, n, cwd);
  }

  bool StrToCard(const char* s, uint32_t& x, bool plus) {
    if (plus && s[0] == '+') ++s;
    if (s[0] == '\0') return false;
    uint64_t v = 0;
    for (const char* p = s; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9') return false;
      v = v * 10 + static_cast<uint64_t>(*p - '0');
      if (v > 0xFFFFFFFFu) return false;
    }
    x = static_cast<uint32_t>(v);
    return true;
  }

  void Error(const char* t) {
    TLine s;
    SO::TBuffer b;
    InitLine(b, s);
    SO::WrStr(b, "Error: ");
    SO::WrStr(b, t);
    if (Args::len > 0) {
      SO::WrStr(b, ": '");
      SO::WrStr(b, Args::str);
      SO::WrChar(b, '\'');
    }
    SO::WrChar(b, '\n');
    SO::WrStr(b, "Try '");
    SO::WrStr(b, set.prg);
    SO::WrStr(b, " -h' for help.");
    Lib3::FatalError(s);
  }

  bool Is(const char* t) { return std::strcmp(Args::str, t) == 0; }

  void GetAddress(UDP0::TAdrDesc& x) {
    Args::Read();
    if (Args::sym != Args::symArg || !Utils::MkIP(x, Args::str)) Error("Invalid IP address");
  }

  namespace {
    // A text that can only be meant as a host name: letters, digits, "-",
    // "_" and "." with at least one letter, at most 253 characters. Other
    // texts that are no address (1.2.3, 1::2::3) stay invalid addresses.
    bool IsHostName(const char* s) {
      bool letter = false;
      size_t n = 0;
      for (; s[n] != '\0'; ++n) {
        const char c = s[n];
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        letter = letter || alpha;
        if (!alpha && !(c >= '0' && c <= '9') && c != '-' && c != '_' && c != '.') return false;
      }
      return letter && n <= 253;
    }

    // Whether this host has a route to a: a UDP socket of its family
    // connects to it (nothing is sent; the port only completes the record).
    bool Reachable(const UDP0::TAdrDesc& a) {
      const int s = ::socket(a.f == UDP0::famV6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
      if (s < 0) return false;
      Utils::TSockAdr x;
      const socklen_t l = Utils::MkSockAdr(x, UDP0::TDstDesc{a, 9}, a.f);
      const bool ok = ::connect(s, &x.sa, l) == 0;
      ::close(s);
      return ok;
    }

    enum TRes : uint8_t { resOk, resUnknown, resUnreachable };

    // The first address of the name, in the resolver's order, that is
    // reachable.
    TRes Resolve(const char* name, UDP0::TAdrDesc& x) {
      addrinfo h{};
      h.ai_family = AF_UNSPEC;
      h.ai_socktype = SOCK_DGRAM;
      h.ai_protocol = IPPROTO_UDP;
      addrinfo* r = nullptr;
      if (::getaddrinfo(name, nullptr, &h, &r) != 0) return resUnknown;
      TRes res = resUnreachable;
      for (const addrinfo* p = r; p != nullptr && res != resOk; p = p->ai_next) {
        Utils::TSockAdr a{};
        UDP0::TDstDesc d{};
        if (p->ai_addrlen > sizeof a) continue;
        std::memcpy(&a, p->ai_addr, p->ai_addrlen);
        if (Utils::RdSockAdr(a, p->ai_addrlen, d) && Reachable(d.a)) {
          x = d.a;
          res = resOk;
        }
      }
      ::freeaddrinfo(r);
      return res;
    }
  }

  void GetPath(char* d, size_t n, const char* e) {
    Args::Read();
    if (Args::sym != Args::symArg || Args::str[0] == '\0' || std::strlen(Args::Whole()) >= n) Error(e);
    SetStr(d, n, Args::Whole());
  }

  void GetHost(UDP0::TAdrDesc& x, char* n, size_t m) {
    Args::Read();
    if (Args::sym != Args::symArg) Error("Invalid IP address");
    if (Utils::MkIP(x, Args::str)) {
      SetStr(n, m, "");
      return;
    }
    if (!IsHostName(Args::str)) Error("Invalid IP address");
    switch (Resolve(Args::str, x)) {
      case resOk: break;
      case resUnknown: Error("Unknown host name");
      case resUnreachable: Error("Unreachable host name");
    }
    SetStr(n, m, Args::str);
  }

  uint32_t GetCard(const char* eNum, const char* eRng, uint32_t lo, uint32_t hi, bool plus) {
    Args::Read();
    uint32_t x = 0;
    if (Args::sym != Args::symArg || !StrToCard(Args::str, x, plus)) Error(eNum);
    if (x < lo || x > hi) Error(eRng);
    return x;
  }

  void GetNet(UDP0::TNetDesc& x) {
    Args::Read();
    if (Args::sym != Args::symArg) Error("Invalid network");
    switch (Utils::MkNet(x, Args::str)) {
      case Utils::netOk: return;
      case Utils::netBad: Error("Invalid network");
      case Utils::netLen: Error("Prefix length out of range");
    }
  }

  void ShowOut(const char* s) { Log::Write(set.mid, Log::lvlMsg, s, vrb); }

  namespace {
    void ShowBegin(SO::TBuffer& b, TLine& s, const char* n) {
      InitLine(b, s);
      SO::WrStr(b, "  ");
      SO::WrStrAdj(b, n, -3);
      SO::WrChar(b, ' ');
    }
  }

  void ShowStr(const char* n, const char* v, size_t m) {
    TLine s;
    SO::TBuffer b;
    ShowBegin(b, s, n);
    SO::WrChar(b, '\'');
    SO::WrStrN(b, v, m);
    SO::WrChar(b, '\'');
    ShowOut(s);
  }

  void ShowCard(const char* n, uint32_t v) {
    TLine s;
    SO::TBuffer b;
    ShowBegin(b, s, n);
    SO::WrLngCard(b, v, 1);
    ShowOut(s);
  }

  void ShowIP(const char* n, const UDP0::TAdrDesc& x) {
    TLine s;
    SO::TBuffer b;
    ShowBegin(b, s, n);
    Utils::WrIP(b, x);
    ShowOut(s);
  }

  void ShowNet(const char* n, const UDP0::TNetDesc& x) {
    TLine s;
    SO::TBuffer b;
    ShowBegin(b, s, n);
    Utils::WrNet(b, x);
    ShowOut(s);
  }
}
