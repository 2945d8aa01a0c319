// SecurePeer.h — the far end of a secure exchange, written from libsodium's
// calls and the layouts' offsets rather than through Seal: the unit tests
// and the fuzz targets check the door against it.
#pragma once
#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "Crc.h"
#include "Noise.h"
#include "SecTel.h"

namespace SecurePeer {

using Bytes = std::vector<uint8_t>;

inline void PutCrc(Bytes& d) { Crc::AppendCrc(d.data(), static_cast<uint32_t>(d.size() - 4)); }

// mac1 as the server checks it: BLAKE2b-128 over the request before it,
// keyed by BLAKE2b-256("mac1----" || the server's public key).
inline void PutMac1(Bytes& d, const uint8_t* srvPub) {
  if (d.size() < SecTel::TelHsRq::Len(0)) return;
  uint8_t key[32];
  uint8_t in[8 + 32];
  std::memcpy(in, "mac1----", 8);
  std::memcpy(in + 8, srvPub, 32);
  crypto_generichash(key, sizeof key, in, sizeof in, nullptr, 0);
  const uint32_t m = SecTel::TelHsRq::Mac1(SecTel::TelHsRq::InnerLen(static_cast<uint32_t>(d.size())));
  crypto_generichash(d.data() + m, 16, d.data(), m, key, sizeof key);
}

// One end's transport keys and the index the other end knows it by.
struct TFar {
  uint8_t aead = Noise::aeadChaCha;
  Noise::TKeys k{};
  uint32_t peer = 0;         // the index this end names in what it seals
  uint64_t tx = 0;
  uint8_t epochBits = 28;    // telegrams per key 2^epochBits

  // The key of counter c's epoch: the handshake's, then HMAC-SHA-256 of the
  // one before with "WISP rekey" for each epoch.
  void KeyOf(const uint8_t* k0, uint64_t c, uint8_t (&key)[32]) const {
    std::memcpy(key, k0, 32);
    for (uint64_t e = c >> epochBits; e > 0; --e) {
      uint8_t n[32];
      crypto_auth_hmacsha256(n, reinterpret_cast<const uint8_t*>("WISP rekey"), 10, key);
      std::memcpy(key, n, 32);
    }
  }

  // "WISP", 6, cmdSeal, index, counter, ciphertext, tag (the AEAD over the
  // first 19 bytes, nonce 4 zero bytes and the counter), CRC.
  Bytes Seal(const Bytes& tel, uint64_t ctr) const {
    Bytes d(19 + tel.size() + 16 + 4);
    std::memcpy(d.data(), "WISP\x06\x00\x12", 7);
    for (int b = 0; b < 4; ++b) d[7 + b] = static_cast<uint8_t>(peer >> (8 * b));
    for (int b = 0; b < 8; ++b) d[11 + b] = static_cast<uint8_t>(ctr >> (8 * b));
    uint8_t npub[12] = {};
    std::memcpy(npub + 4, d.data() + 11, 8);
    uint8_t key[32];
    KeyOf(k.tx, ctr, key);
    if (aead == Noise::aeadAes) {
      crypto_aead_aes256gcm_encrypt_detached(d.data() + 19, d.data() + 19 + tel.size(), nullptr, tel.data(), tel.size(),
                                             d.data(), 19, nullptr, npub, key);
    } else {
      crypto_aead_chacha20poly1305_ietf_encrypt_detached(d.data() + 19, d.data() + 19 + tel.size(), nullptr, tel.data(),
                                                         tel.size(), d.data(), 19, nullptr, npub, key);
    }
    PutCrc(d);
    return d;
  }
  Bytes Seal(const Bytes& tel) { return Seal(tel, tx++); }

  // Whether d is a sealed telegram for index idx with counter ctr that
  // opens with our receiving key; the telegram inside to tel.
  bool Open(const Bytes& d, uint32_t idx, uint64_t ctr, Bytes& tel) const {
    static const uint8_t hdr[7] = {'W', 'I', 'S', 'P', 6, 0, 18};
    if (d.size() < 39 || std::memcmp(d.data(), hdr, 7) != 0 || WISP::GetU32(d.data(), 7) != idx ||
        SecTel::GetU64(d.data(), 11) != ctr || !Crc::Ok(d.data(), d.size()))
      return false;
    tel.assign(d.size() - 39, 0);
    uint8_t npub[12] = {};
    std::memcpy(npub + 4, d.data() + 11, 8);
    const uint8_t* c = d.data() + 19;
    const uint8_t* tag = c + tel.size();
    uint8_t key[32];
    KeyOf(k.rx, ctr, key);
    return (aead == Noise::aeadAes
                ? crypto_aead_aes256gcm_decrypt_detached(tel.data(), nullptr, c, tel.size(), tag, d.data(), 19, npub,
                                                         key)
                : crypto_aead_chacha20poly1305_ietf_decrypt_detached(tel.data(), nullptr, c, tel.size(), tag, d.data(),
                                                                     19, npub, key)) == 0;
  }
};

}  // namespace SecurePeer
