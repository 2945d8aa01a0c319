// Utils.h — address text forms, socket address records, and the packed date
// and time as text.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

#include "SO.h"
#include "UDP0.h"

namespace Utils {
  void InitModule();
  // a.b.c.d with a in the lowest-addressed byte (network order in memory).
  uint32_t IP(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
  // Parses dotted form; ip changes only when the result is true.
  bool MkIP(uint32_t& ip, const char* str);
  void WrIP(SO::TBuffer& b, uint32_t ip);

  // Either family: the dotted IPv4 form exactly as above, otherwise an IPv6
  // literal ("::1", "2001:db8::5", "::ffff:10.0.0.1") with an optional zone
  // after "%" (an interface name or index: "fe80::1%eth0", "fe80::1%2").
  // The result is canonical (see UDP0::TAdrDesc): a mapped address becomes
  // IPv4, a zone stays only on a link-local address. ip changes only when
  // the result is true.
  bool MkIP(UDP0::TAdrDesc& ip, const char* str);
  // IPv4 dotted; IPv6 in the shortest form (RFC 5952: lower case, the
  // longest run of zero groups as "::"), "%" and the zone's interface name
  // (its index where it has none) after a link-local address. At most
  // lenIPMax characters.
  void WrIP(SO::TBuffer& b, const UDP0::TAdrDesc& ip);
  constexpr uint32_t lenIPMax = 45 + 1 + 15;
  // A network of clients (UDP0::TNetDesc) from "addr/len" or a bare "addr",
  // which means that host alone; addr as MkIP takes it, len a decimal up to
  // the family's bits. Bits of addr beyond len are cleared. A mapped address
  // (::ffff:a.b.c.d/len) counts len over its 128 bits and gives the IPv4
  // network of its last len - 96 where len is 96 or more. n changes only on
  // netOk; netLen: len is too large.
  enum TNetRes : uint8_t { netOk, netBad, netLen };
  TNetRes MkNet(UDP0::TNetDesc& n, const char* str);
  // "addr/len", addr as WrIP writes it.
  void WrNet(SO::TBuffer& b, const UDP0::TNetDesc& n);
  // "a.b.c.d:port" or "[ipv6]:port".
  void WrDst(SO::TBuffer& b, const UDP0::TDstDesc& d);

  // A socket address record of either family.
  union TSockAdr {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
  };
  // Fills s with d as a socket of family f takes it (an IPv4 endpoint on an
  // IPv6 socket in its mapped form) and returns the record's length.
  socklen_t MkSockAdr(TSockAdr& s, const UDP0::TDstDesc& d, UDP0::TFam f);
  // The endpoint in a record of length l that the system filled; false for
  // a family other than AF_INET and AF_INET6 or a record too short for it.
  bool RdSockAdr(const TSockAdr& s, socklen_t l, UDP0::TDstDesc& d);
  void WrDate(SO::TBuffer& b, int32_t date);                // YYYYMMDD
  void WrTime(SO::TBuffer& b, uint32_t time);               // HHMMSS.FFF
  void WrDateTime(SO::TBuffer& b, int32_t d, uint32_t t);   // YYYYMMDD_HHMMSS.FFF
}
