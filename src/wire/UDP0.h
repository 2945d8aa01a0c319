// UDP0.h — a UDP endpoint as the link and the sessions keep it: an IPv4 or
// IPv6 address, its zone where it has one, and the port, in a fixed-size
// record that compares whole.
#pragma once
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace UDP0 {
  enum TFam : uint8_t { famV4 = 4, famV6 = 6 };
  constexpr uint32_t lenAdr6 = 16;

  // An address in its one canonical form, so that two records of the same
  // address are equal byte for byte and == tells endpoints apart:
  // - IPv4 (f = famV4): the four bytes in b[0..3] in network order (the
  //   first dotted component in b[0]), the rest of b and z are 0. An
  //   IPv4-mapped IPv6 address (::ffff:a.b.c.d, as a dual-stack socket
  //   reports IPv4 peers) is kept as the IPv4 address.
  // - IPv6 (f = famV6): the sixteen bytes in network order; z is the zone
  //   (interface index) of a link-local address, 0 for every other address,
  //   since the system ignores it there.
  // An IPv4 address in the u32 form of Utils::IP (network order in memory)
  // converts implicitly, so that code and tests written for IPv4 alone read
  // as before.
  struct TAdrDesc {
    TFam f = famV4;
    uint8_t b[lenAdr6] = {};
    uint32_t z = 0;

    constexpr TAdrDesc() = default;
    constexpr TAdrDesc(uint32_t v4) {   // NOLINT: implicit by design, see above
      const auto x = std::bit_cast<std::array<uint8_t, 4>>(v4);
      for (int k = 0; k < 4; ++k) b[k] = x[k];
    }
    // The u32 form of an IPv4 address; 0 for an IPv6 address.
    uint32_t V4() const {
      uint32_t v = 0;
      if (f == famV4) std::memcpy(&v, b, sizeof v);
      return v;
    }
    friend constexpr bool operator==(const TAdrDesc&, const TAdrDesc&) = default;
  };

  // Link-local unicast (fe80::/10) and interface- or link-local multicast:
  // the addresses whose meaning depends on the zone.
  constexpr bool Scoped(const uint8_t (&b)[lenAdr6]) {
    return (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) || (b[0] == 0xFF && (b[1] & 0x0F) <= 2);
  }

  // ::ffff:a.b.c.d
  constexpr bool Mapped(const uint8_t (&b)[lenAdr6]) {
    for (int k = 0; k < 10; ++k) {
      if (b[k] != 0) return false;
    }
    return b[10] == 0xFF && b[11] == 0xFF;
  }

  // The canonical record of the IPv6 address b with zone z.
  constexpr TAdrDesc V6(const uint8_t (&b)[lenAdr6], uint32_t z) {
    TAdrDesc a;
    if (Mapped(b)) {
      for (int k = 0; k < 4; ++k) a.b[k] = b[12 + k];
      return a;
    }
    a.f = famV6;
    for (uint32_t k = 0; k < lenAdr6; ++k) a.b[k] = b[k];
    a.z = Scoped(b) ? z : 0;
    return a;
  }

  // The unspecified address of a family: 0.0.0.0 or ::.
  constexpr TAdrDesc Any(TFam f) {
    TAdrDesc a;
    a.f = f;
    return a;
  }

  // The bits of an address of family f: 32 or 128.
  constexpr uint32_t Bits(TFam f) { return f == famV6 ? 128 : 32; }

  // A network of clients: the addresses whose first l bits are those of a
  // (l up to Bits(a.f); the bits after them are 0, see Net). An IPv4
  // network holds IPv4 addresses alone, the IPv4 clients of a dual-stack
  // socket among them (they are kept as IPv4, see TAdrDesc). An IPv6 network
  // sees an IPv4 address in its mapped form ::ffff:a.b.c.d, so ::/0 holds
  // every address and ::ffff:0:0/96 every IPv4 one. A network with a zone
  // (a link-local one) holds the addresses of that zone alone.
  struct TNetDesc {
    TAdrDesc a;
    uint8_t l = 0;
    friend constexpr bool operator==(const TNetDesc&, const TNetDesc&) = default;
  };

  // The network of the first l bits of a (l beyond the family's bits: all
  // of them).
  constexpr TNetDesc Net(const TAdrDesc& a, uint32_t l) {
    TNetDesc n;
    n.a = a;
    n.l = static_cast<uint8_t>(l < Bits(a.f) ? l : Bits(a.f));
    for (uint32_t k = 0; k < lenAdr6; ++k) {
      const uint32_t keep = n.l > 8 * k ? n.l - 8 * k : 0;
      if (keep < 8) n.a.b[k] = static_cast<uint8_t>(n.a.b[k] & (0xFF00u >> keep));
    }
    return n;
  }

  // Whether the address x lies in the network n.
  constexpr bool InNet(const TAdrDesc& x, const TNetDesc& n) {
    uint8_t b[lenAdr6] = {};
    if (n.a.f == famV4) {
      if (x.f != famV4) return false;
      for (int k = 0; k < 4; ++k) b[k] = x.b[k];
    } else if (x.f == famV4) {
      b[10] = b[11] = 0xFF;
      for (int k = 0; k < 4; ++k) b[12 + k] = x.b[k];
    } else {
      if (n.a.z != 0 && x.z != n.a.z) return false;
      for (uint32_t k = 0; k < lenAdr6; ++k) b[k] = x.b[k];
    }
    for (uint32_t k = 0; 8 * k < n.l; ++k) {
      const uint32_t keep = n.l - 8 * k;
      const uint8_t m = static_cast<uint8_t>(keep >= 8 ? 0xFF : 0xFF00u >> keep);
      if ((b[k] & m) != n.a.b[k]) return false;
    }
    return true;
  }

  struct TDstDesc {
    TAdrDesc a;
    uint16_t p;    // port in host order
    friend constexpr bool operator==(const TDstDesc&, const TDstDesc&) = default;
  };
}
