// fuzz_mkip.cpp — libFuzzer target: the dotted IPv4 form, text to address.
//
// The input, cut at its first zero byte, is the text. MkIP must agree with
// the model below (the first four "."-separated items, each a non-empty run
// of at most 15 decimal digits with a value below 256; anything after a
// fourth "." ignored), leave the address alone when it refuses, and an
// accepted address written back with WrIP must parse to the same value.
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
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  s = s.substr(0, s.find('\0'));
  uint8_t want[4] = {0, 0, 0, 0};
  bool ok = Model(s, want);
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
