// Utils.cpp — IPv4 addresses between the dotted text form and the u32 kept in
// network order in memory, and the packed date and time as text for log lines.
#include "Utils.h"

#include <cstring>

#include "DT.h"

namespace Utils {

namespace {

bool initialised = false;

constexpr size_t itemMax = 16;   // an item is taken into a 16-character array

// Item k of str, items separated by "."; false when str has fewer items or
// the item does not fit its array (with its terminator).
bool MkIP_Item(const char* str, uint32_t k, char (&item)[itemMax]) {
  const char* p = str;
  for (uint32_t j = 0; j < k; ++j) {
    p = std::strchr(p, '.');
    if (p == nullptr) return false;
    ++p;
  }
  size_t n = 0;
  while (p[n] != '\0' && p[n] != '.') {
    if (n + 1 >= itemMax) return false;
    item[n] = p[n];
    ++n;
  }
  item[n] = '\0';
  return true;
}

// An unsigned decimal: a non-empty run of digits and nothing else. Values
// beyond the u32 range fail rather than wrap.
bool MkIP_Card(const char* s, uint32_t& x) {
  if (s[0] == '\0') return false;
  uint64_t v = 0;
  for (size_t k = 0; s[k] != '\0'; ++k) {
    if (s[k] < '0' || s[k] > '9') return false;
    v = v * 10 + static_cast<uint64_t>(s[k] - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  x = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

void InitModule() {
  if (initialised) return;
  initialised = true;
}

uint32_t IP(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t ip;
  std::memcpy(&ip, bytes, sizeof ip);
  return ip;
}

bool MkIP(uint32_t& ip, const char* str) {
  bool ok = true;
  uint8_t bytes[4] = {0, 0, 0, 0};
  for (uint32_t k = 0; k < 4; ++k) {
    char item[itemMax];
    uint32_t x = 0;
    const bool conv = MkIP_Item(str, k, item) && MkIP_Card(item, x);
    bytes[k] = static_cast<uint8_t>(x % 256);
    ok = ok && conv && x < 256;
  }
  if (ok) std::memcpy(&ip, bytes, sizeof ip);
  return ok;
}

void WrIP(SO::TBuffer& b, uint32_t ip) {
  uint8_t bytes[4];
  std::memcpy(bytes, &ip, sizeof bytes);
  for (int k = 0; k < 4; ++k) {
    if (k > 0) SO::WrChar(b, '.');
    SO::WrShtCard(b, bytes[k], 1);
  }
}

void WrDate(SO::TBuffer& b, int32_t date) {
  int32_t y;
  uint32_t m, d;
  DT::UnpackDate(date, y, m, d);
  const char p = b.c.p;
  b.c.p = '0';
  SO::WrLngInt(b, y, 4);
  SO::WrLngCard(b, m, 2);
  SO::WrLngCard(b, d, 2);
  b.c.p = p;
}

void WrTime(SO::TBuffer& b, uint32_t time) {
  uint32_t h, m, s, f;
  DT::UnpackTime(time, h, m, s, f);
  const char p = b.c.p;
  b.c.p = '0';
  SO::WrLngCard(b, h, 2);
  SO::WrLngCard(b, m, 2);
  SO::WrLngCard(b, s, 2);
  SO::WrChar(b, '.');
  SO::WrLngCard(b, f, 3);
  b.c.p = p;
}

void WrDateTime(SO::TBuffer& b, int32_t d, uint32_t t) {
  WrDate(b, d);
  SO::WrChar(b, '_');
  WrTime(b, t);
}

}  // namespace Utils
