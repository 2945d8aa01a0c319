// Utils.cpp — addresses between their text forms and the records the link
// keeps (the IPv4 u32 in network order in memory, the endpoint record of
// either family), the socket address records of both families, and the
// packed date and time as text for log lines.
#include "Utils.h"

#include <arpa/inet.h>
#include <net/if.h>

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

// The zone after "%" of an IPv6 literal: a decimal interface index, or the
// name of an interface this host has.
bool MkIP_Zone(const char* s, uint32_t& z) {
  if (MkIP_Card(s, z)) return true;
  if (s[0] == '\0' || std::strlen(s) >= IF_NAMESIZE) return false;
  z = ::if_nametoindex(s);
  return z != 0;
}

bool MkIP_V6(UDP0::TAdrDesc& ip, const char* str) {
  char a[INET6_ADDRSTRLEN];
  size_t n = 0;
  while (str[n] != '\0' && str[n] != '%') {
    if (n + 1 >= sizeof a) return false;
    a[n] = str[n];
    ++n;
  }
  a[n] = '\0';
  uint8_t b[UDP0::lenAdr6];
  if (::inet_pton(AF_INET6, a, b) != 1) return false;
  uint32_t z = 0;
  if (str[n] == '%' && !MkIP_Zone(str + n + 1, z)) return false;
  ip = UDP0::V6(b, z);
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

bool MkIP(UDP0::TAdrDesc& ip, const char* str) {
  uint32_t v4 = 0;
  if (MkIP(v4, str)) {
    ip = v4;
    return true;
  }
  return std::strchr(str, ':') != nullptr && MkIP_V6(ip, str);
}

void WrIP(SO::TBuffer& b, const UDP0::TAdrDesc& ip) {
  if (ip.f != UDP0::famV6) return WrIP(b, ip.V4());
  char t[INET6_ADDRSTRLEN];
  if (::inet_ntop(AF_INET6, ip.b, t, sizeof t) == nullptr) t[0] = '\0';
  SO::WrStr(b, t);
  if (ip.z == 0) return;
  SO::WrChar(b, '%');
  char n[IF_NAMESIZE];
  if (::if_indextoname(ip.z, n) != nullptr) {
    SO::WrStr(b, n);
  } else {
    SO::WrLngCard(b, ip.z, 1);
  }
}

TNetRes MkNet(UDP0::TNetDesc& n, const char* str) {
  const char* s = std::strchr(str, '/');
  const size_t k = s != nullptr ? static_cast<size_t>(s - str) : std::strlen(str);
  char a[INET6_ADDRSTRLEN + 1 + IF_NAMESIZE];
  if (k == 0 || k >= sizeof a) return netBad;
  std::memcpy(a, str, k);
  a[k] = '\0';
  UDP0::TAdrDesc x;
  if (!MkIP(x, a)) return netBad;
  // Written as a mapped IPv6 address (::ffff:a.b.c.d): its length counts
  // the 128 bits of that form.
  const bool mapped = x.f == UDP0::famV4 && std::strchr(a, ':') != nullptr;
  const uint32_t most = mapped ? 128 : UDP0::Bits(x.f);
  uint32_t l = most;
  if (s != nullptr) {
    if (!MkIP_Card(s + 1, l)) return netBad;
    if (l > most) return netLen;
  }
  if (mapped && l >= 128 - 32) {
    l -= 128 - 32;
  } else if (mapped) {
    // Wider than the mapped block: an IPv6 network of its own.
    UDP0::TAdrDesc v6 = UDP0::Any(UDP0::famV6);
    v6.b[10] = v6.b[11] = 0xFF;
    for (int j = 0; j < 4; ++j) v6.b[12 + j] = x.b[j];
    x = v6;
  }
  n = UDP0::Net(x, l);
  return netOk;
}

void WrNet(SO::TBuffer& b, const UDP0::TNetDesc& n) {
  WrIP(b, n.a);
  SO::WrChar(b, '/');
  SO::WrLngCard(b, n.l, 1);
}

void WrDst(SO::TBuffer& b, const UDP0::TDstDesc& d) {
  if (d.a.f == UDP0::famV6) SO::WrChar(b, '[');
  WrIP(b, d.a);
  if (d.a.f == UDP0::famV6) SO::WrChar(b, ']');
  SO::WrChar(b, ':');
  SO::WrLngCard(b, d.p, 1);
}

socklen_t MkSockAdr(TSockAdr& s, const UDP0::TDstDesc& d, UDP0::TFam f) {
  std::memset(&s, 0, sizeof s);
  if (f == UDP0::famV4) {
    s.v4.sin_family = AF_INET;
    s.v4.sin_port = htons(d.p);
    std::memcpy(&s.v4.sin_addr.s_addr, d.a.b, 4);   // stored as is: network order in memory
    return sizeof s.v4;
  }
  s.v6.sin6_family = AF_INET6;
  s.v6.sin6_port = htons(d.p);
  if (d.a.f == UDP0::famV6) {
    std::memcpy(s.v6.sin6_addr.s6_addr, d.a.b, UDP0::lenAdr6);
    s.v6.sin6_scope_id = d.a.z;
  } else {
    s.v6.sin6_addr.s6_addr[10] = 0xFF;
    s.v6.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(s.v6.sin6_addr.s6_addr + 12, d.a.b, 4);
  }
  return sizeof s.v6;
}

bool RdSockAdr(const TSockAdr& s, socklen_t l, UDP0::TDstDesc& d) {
  if (l >= static_cast<socklen_t>(sizeof s.v4) && s.sa.sa_family == AF_INET) {
    uint32_t a = 0;
    std::memcpy(&a, &s.v4.sin_addr.s_addr, 4);
    d = UDP0::TDstDesc{a, ntohs(s.v4.sin_port)};
    return true;
  }
  if (l >= static_cast<socklen_t>(sizeof s.v6) && s.sa.sa_family == AF_INET6) {
    uint8_t b[UDP0::lenAdr6];
    std::memcpy(b, s.v6.sin6_addr.s6_addr, sizeof b);
    d = UDP0::TDstDesc{UDP0::V6(b, s.v6.sin6_scope_id), ntohs(s.v6.sin6_port)};
    return true;
  }
  return false;
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
