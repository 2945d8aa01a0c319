// fuzz_mkip.cpp — libFuzzer target: address texts of both families.
//
// The input, cut at its first zero byte, is the text. The IPv4 MkIP must
// agree with the model below (the first four "."-separated items, each a
// non-empty run of at most 15 decimal digits with a value below 256;
// anything after a fourth "." ignored). The MkIP of either family must take
// what that model takes as the same IPv4 address, and otherwise a text with
// a ":" exactly as the C library's inet_pton reads the part before the first
// "%", with a zone after it that is a decimal index or an interface name
// this host has; the result is canonical (a mapped address is IPv4, a zone
// stays only on a link-local address). Both leave the address alone when
// they refuse, and what WrIP writes back parses to the same value.
#include <arpa/inet.h>
#include <net/if.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SO.h"
#include "Utils.h"

namespace {
  void Check(bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "fuzz_mkip: %s\n", what);
      std::abort();
    }
  }

  bool Model(const std::string& s, uint8_t (&b)[4]) {
    size_t pos = 0;
    for (int k = 0; k < 4; ++k) {
      if (k > 0) {
        if (pos >= s.size() || s[pos] != '.') return false;
        ++pos;
      }
      size_t end = pos;
      while (end < s.size() && s[end] != '.') ++end;
      std::string item = s.substr(pos, end - pos);
      if (item.empty() || item.size() > 15) return false;
      uint64_t v = 0;
      for (char c : item) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
      }
      if (v > 255) return false;
      b[k] = static_cast<uint8_t>(v);
      pos = end;
    }
    return true;
  }

  // The zone model: a run of decimal digits up to 2^32 - 1, else a name
  // the system knows.
  bool ModelZone(const std::string& z, uint32_t& k) {
    if (!z.empty() && z.find_first_not_of("0123456789") == std::string::npos) {
      uint64_t v = 0;
      for (char c : z) {
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > 0xFFFFFFFFu) break;
      }
      if (v <= 0xFFFFFFFFu) {
        k = static_cast<uint32_t>(v);
        return true;
      }
    }
    k = z.empty() ? 0 : if_nametoindex(z.c_str());
    return k != 0;
  }

  bool Model6(const std::string& s, UDP0::TAdrDesc& a) {
    if (s.find(':') == std::string::npos) return false;
    const size_t pc = s.find('%');
    uint8_t b[16];
    if (inet_pton(AF_INET6, s.substr(0, pc).c_str(), b) != 1) return false;
    uint32_t z = 0;
    if (pc != std::string::npos && !ModelZone(s.substr(pc + 1), z)) return false;
    a = UDP0::TAdrDesc{};
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(b, mapped, 12) == 0) {
      std::memcpy(a.b, b + 12, 4);
      return true;
    }
    a.f = UDP0::famV6;
    std::memcpy(a.b, b, 16);
    const bool linkLocal = b[0] == 0xFE && (b[1] & 0xC0) == 0x80;
    const bool mcastLocal = b[0] == 0xFF && (b[1] & 0x0F) <= 2;
    a.z = linkLocal || mcastLocal ? z : 0;
    return true;
  }

  void CheckEither(const std::string& s, bool ok4, const uint8_t (&want)[4]) {
    UDP0::TAdrDesc want6;
    const bool ok6 = !ok4 && Model6(s, want6);
    if (ok4) want6 = Utils::IP(want[0], want[1], want[2], want[3]);
    const UDP0::TAdrDesc keep = UDP0::Any(UDP0::famV6);
    UDP0::TAdrDesc ip = keep;
    const bool got = Utils::MkIP(ip, s.c_str());
    Check(got == (ok4 || ok6), "either family: accepted exactly the texts the models accept");
    if (!got) {
      Check(ip == keep, "either family: address unchanged on refusal");
      return;
    }
    Check(ip == want6, "either family: value");
    char t[Utils::lenIPMax + 2];
    SO::TBuffer b;
    SO::Init(b, t, sizeof t - 1);
    Utils::WrIP(b, ip);
    Check(b.l <= Utils::lenIPMax, "WrIP within its bound");
    t[b.l] = '\0';
    UDP0::TAdrDesc back;
    Check(Utils::MkIP(back, t) && back == ip, "either family: WrIP text parses back to the same address");
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  s = s.substr(0, s.find('\0'));
  uint8_t want[4] = {0, 0, 0, 0};
  bool ok = Model(s, want);
  CheckEither(s, ok, want);
  uint32_t ip = 0xDEADBEEFu;
  bool got = Utils::MkIP(ip, s.c_str());
  Check(got == ok, "accepted exactly the texts the model accepts");
  if (!got) {
    Check(ip == 0xDEADBEEFu, "address unchanged on refusal");
    return 0;
  }
  Check(ip == Utils::IP(want[0], want[1], want[2], want[3]), "value");
  char t[32];
  SO::TBuffer b;
  SO::Init(b, t, sizeof t - 1);
  Utils::WrIP(b, ip);
  t[b.l] = '\0';
  uint32_t back = 0;
  Check(Utils::MkIP(back, t) && back == ip, "WrIP text parses back to the same address");
  return 0;
}
