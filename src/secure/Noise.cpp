// Noise.cpp — the handshake's steps in the order they happen, on
// libsodium's X25519, ChaCha20-Poly1305 (IETF), SHA-256 and HMAC-SHA-256.
// HKDF is Noise's own: HMAC over the chaining key (libsodium 1.0.18 has no
// HKDF of its own, and Noise defines it over HMAC anyway).
#include "Noise.h"

#include <sodium.h>

#include <cstring>
#include <ctime>

namespace Noise {

namespace {
  using namespace SecTel;

  TSettings set;
  uint64_t newest[Keys::cliMax + 1];       // per client: the newest time stamp taken
  uint64_t lastStamp = 0;                  // the newest time stamp we sent

  uint64_t WallNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
  }

  // ---- the symmetric state's primitives (Noise, section 5) ----------------

  void Hash(uint8_t (&out)[lenHash], const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
    crypto_hash_sha256_state st;
    crypto_hash_sha256_init(&st);
    crypto_hash_sha256_update(&st, a, na);
    crypto_hash_sha256_update(&st, b, nb);
    crypto_hash_sha256_final(&st, out);
  }

  void Hmac(uint8_t* out, const uint8_t* key, const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
    crypto_auth_hmacsha256_state st;
    crypto_auth_hmacsha256_init(&st, key, lenHash);
    crypto_auth_hmacsha256_update(&st, a, na);
    if (nb > 0) crypto_auth_hmacsha256_update(&st, b, nb);
    crypto_auth_hmacsha256_final(&st, out);
    sodium_memzero(&st, sizeof st);
  }

  // HKDF(ck, ikm) with two outputs.
  void Hkdf2(const uint8_t* ck, const uint8_t* ikm, size_t n, uint8_t* o1, uint8_t* o2) {
    uint8_t t[lenHash];
    Hmac(t, ck, ikm, n, nullptr, 0);
    const uint8_t one = 1, two = 2;
    Hmac(o1, t, &one, 1, nullptr, 0);
    Hmac(o2, t, o1, lenHash, &two, 1);
    sodium_memzero(t, sizeof t);
  }

  void MixHash(TState& hs, const uint8_t* d, size_t n) { Hash(hs.h, hs.h, lenHash, d, n); }

  // MixKey(DH(priv, pub)); false when the exchange gives the all-zero
  // value (a public key of small order).
  bool MixKey(TState& hs, const uint8_t* priv, const uint8_t* pub) {
    uint8_t dh[lenKey];
    const bool ok = crypto_scalarmult(dh, priv, pub) == 0;
    uint8_t ck[lenHash];
    Hkdf2(hs.ck, dh, sizeof dh, ck, hs.k);
    std::memcpy(hs.ck, ck, lenHash);
    hs.n = 0;
    sodium_memzero(dh, sizeof dh);
    sodium_memzero(ck, sizeof ck);
    return ok;
  }

  void Nonce(uint8_t (&npub)[crypto_aead_chacha20poly1305_IETF_NPUBBYTES], uint64_t n) {
    std::memset(npub, 0, 4);
    PutU64(npub, 4, n);
  }

  // EncryptAndHash of n bytes at m into c (m == c allowed): n + 16 bytes.
  void EncryptAndHash(TState& hs, const uint8_t* m, size_t n, uint8_t* c) {
    uint8_t npub[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
    Nonce(npub, hs.n++);
    crypto_aead_chacha20poly1305_ietf_encrypt(c, nullptr, m, n, hs.h, lenHash, nullptr, npub, hs.k);
    MixHash(hs, c, n + lenTag);
  }

  // DecryptAndHash of n bytes (tag included) at c into m (n - 16 bytes).
  bool DecryptAndHash(TState& hs, const uint8_t* c, size_t n, uint8_t* m) {
    uint8_t npub[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
    Nonce(npub, hs.n++);
    if (crypto_aead_chacha20poly1305_ietf_decrypt(m, nullptr, nullptr, c, n, hs.h, lenHash, npub, hs.k) != 0)
      return false;
    MixHash(hs, c, n);
    return true;
  }

  // InitializeSymmetric(protocol), MixHash(prologue), and the pre-message
  // of IK: the responder's static key.
  void Start(TState& hs, const uint8_t* rsPub) {
    std::memset(&hs, 0, sizeof hs);
    std::memcpy(hs.h, protocol, lenHash);
    std::memcpy(hs.ck, hs.h, lenHash);
    MixHash(hs, reinterpret_cast<const uint8_t*>(prologue), sizeof prologue - 1);
    MixHash(hs, rsPub, lenKey);
  }

  // Split(): the two keys, the initiator's sending key first.
  void Split(const TState& hs, uint8_t* k1, uint8_t* k2) { Hkdf2(hs.ck, nullptr, 0, k1, k2); }

  // ---- mac1 --------------------------------------------------------------

  void Mac1Key(uint8_t (&key)[lenHash], const uint8_t* pub) {
    static const uint8_t label[] = {'m', 'a', 'c', '1', '-', '-', '-', '-'};
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, lenHash);
    crypto_generichash_update(&st, label, sizeof label);
    crypto_generichash_update(&st, pub, lenKey);
    crypto_generichash_final(&st, key, lenHash);
  }

  // BLAKE2b-128 keyed with key, over the request up to mac1.
  void Mac1(uint8_t* out, const uint8_t (&key)[lenHash], const uint8_t* d, uint32_t n) {
    crypto_generichash(out, lenMac, d, n, key, lenHash);
  }

  void Wipe(TState& hs) { sodium_memzero(&hs, sizeof hs); }
}

void InitModule(const TSettings& s) {
  set = s;
  if (set.clock == nullptr) set.clock = WallNs;
  std::memset(newest, 0, sizeof newest);
  lastStamp = 0;
}

// ---- 1. client: -> e, es, s, ss ---------------------------------------------

uint32_t CreateRequest(TState& hs, const Keys::TPair& s, const Keys::TKey& srv, uint32_t idx, uint8_t offer, const uint8_t* tel,
                       uint32_t l, uint8_t* out) {
  if (l > lenMaxInnerHs) return 0;
  Start(hs, srv);
  std::memcpy(hs.rs, srv, lenKey);
  PutHdr(out, cmdHsRq);
  // e
  crypto_box_keypair(out + TelHsRq::e, hs.e);
  MixHash(hs, out + TelHsRq::e, lenKey);
  // es, s, ss
  bool ok = MixKey(hs, hs.e, srv);
  EncryptAndHash(hs, s.pub, lenKey, out + TelHsRq::st);
  ok = MixKey(hs, s.prv, srv) && ok;
  if (!ok) {
    Wipe(hs);
    return 0;
  }
  // The payload: time stamp (never the same twice), offer, request telegram.
  uint64_t stamp = set.clock();
  if (stamp <= lastStamp) stamp = lastStamp + 1;
  lastStamp = stamp;
  uint8_t* p = out + TelHsRq::p;
  PutU64(p, TelHsRq::pStamp, stamp);
  WISP::PutU8(p, TelHsRq::pOffer, offer);
  WISP::PutU32(p, TelHsRq::pIdx, idx);
  std::memmove(p + TelHsRq::pTel, tel, l);
  EncryptAndHash(hs, p, TelHsRq::lenPlainHead + l, p);
  uint8_t key[lenHash];
  Mac1Key(key, srv);
  Mac1(out + TelHsRq::Mac1(l), key, out, TelHsRq::Mac1(l));
  return Trail(out, TelHsRq::Len(l));
}

// ---- 2. server: mac1 ----------------------------------------------------------

bool CheckMac1(const Keys::TPair& s, const uint8_t* d, uint32_t l) {
  if (l < TelHsRq::Len(0)) return false;
  const uint32_t m = TelHsRq::Mac1(TelHsRq::InnerLen(l));
  uint8_t key[lenHash];
  Mac1Key(key, s.pub);
  uint8_t want[lenMac];
  Mac1(want, key, d, m);
  return sodium_memcmp(want, d + m, lenMac) == 0;
}

// ---- 3. server: the request ---------------------------------------------------

TRes ConsumeRequest(TState& hs, const Keys::TPair& s, const uint8_t* d, uint32_t l, uint8_t* tel, uint32_t& tl) {
  tl = 0;
  std::memset(&hs, 0, sizeof hs);
  if (l < TelHsRq::Len(0) || l > WISP::lenMaxTel) return resLen;
  if (!CheckMac1(s, d, l)) return resMac;
  const uint32_t inner = TelHsRq::InnerLen(l);
  Start(hs, s.pub);
  // e
  std::memcpy(hs.re, d + TelHsRq::e, lenKey);
  MixHash(hs, hs.re, lenKey);
  // es, s
  if (!MixKey(hs, s.prv, hs.re) || !DecryptAndHash(hs, d + TelHsRq::st, lenKey + lenTag, hs.rs)) {
    Wipe(hs);
    return resAuth;
  }
  hs.cli = Keys::FindClient(hs.rs);
  if (hs.cli == 0) {
    Wipe(hs);
    return resPeer;
  }
  // ss, payload
  uint8_t m[WISP::lenMaxTel];
  if (!MixKey(hs, s.prv, hs.rs) ||
      !DecryptAndHash(hs, d + TelHsRq::p, TelHsRq::lenPlainHead + inner + lenTag, m)) {
    Wipe(hs);
    return resAuth;
  }
  const uint64_t stamp = GetU64(m, TelHsRq::pStamp);
  if (stamp <= newest[hs.cli]) {
    Wipe(hs);
    sodium_memzero(m, sizeof m);
    return resStamp;
  }
  newest[hs.cli] = stamp;
  hs.offer = WISP::GetU8(m, TelHsRq::pOffer);
  hs.peer = WISP::GetU32(m, TelHsRq::pIdx);
  std::memcpy(tel, m + TelHsRq::pTel, inner);
  tl = inner;
  sodium_memzero(m, sizeof m);
  return resOk;
}

// ---- 4. server: <- e, ee, se ----------------------------------------------------

uint32_t CreateReply(TState& hs, uint32_t idx, uint8_t choice, const uint8_t* tel, uint32_t l, uint8_t* out,
                     TKeys& k) {
  if (l > TelHsRp::InnerLen(WISP::lenMaxTel)) return 0;
  PutHdr(out, cmdHsRp);
  WISP::PutU32(out, TelHsRp::r, hs.peer);
  // e
  crypto_box_keypair(out + TelHsRp::e, hs.e);
  MixHash(hs, out + TelHsRp::e, lenKey);
  // ee, se
  bool ok = MixKey(hs, hs.e, hs.re);
  ok = MixKey(hs, hs.e, hs.rs) && ok;
  if (!ok) {
    Wipe(hs);
    return 0;
  }
  uint8_t* p = out + TelHsRp::p;
  WISP::PutU8(p, TelHsRp::pChoice, choice);
  WISP::PutU32(p, TelHsRp::pIdx, idx);
  std::memmove(p + TelHsRp::pTel, tel, l);
  EncryptAndHash(hs, p, TelHsRp::lenPlainHead + l, p);
  Split(hs, k.rx, k.tx);
  const uint32_t peer = hs.peer;
  Wipe(hs);
  hs.peer = peer;
  return Trail(out, TelHsRp::Len(l));
}

// ---- 5. client: the reply ---------------------------------------------------------

TRes ConsumeReply(TState& hs, const Keys::TPair& s, const uint8_t* d, uint32_t l, uint8_t* tel, uint32_t& tl, uint8_t& choice,
                  TKeys& k) {
  tl = 0;
  if (l < TelHsRp::Len(0) || l > WISP::lenMaxTel) return resLen;
  const uint32_t inner = TelHsRp::InnerLen(l);
  // A reply that fails leaves the handshake as it was: a forged one must not
  // spoil the real one still on its way.
  TState t = hs;
  // e
  std::memcpy(t.re, d + TelHsRp::e, lenKey);
  MixHash(t, t.re, lenKey);
  // ee, se, payload
  uint8_t m[WISP::lenMaxTel];
  bool ok = MixKey(t, t.e, t.re);
  ok = MixKey(t, s.prv, t.re) && ok;
  if (!ok || !DecryptAndHash(t, d + TelHsRp::p, TelHsRp::lenPlainHead + inner + lenTag, m)) {
    Wipe(t);
    return resAuth;
  }
  choice = WISP::GetU8(m, TelHsRp::pChoice);
  std::memcpy(tel, m + TelHsRp::pTel, inner);
  tl = inner;
  Split(t, k.tx, k.rx);
  Wipe(t);
  Wipe(hs);
  hs.peer = WISP::GetU32(m, TelHsRp::pIdx);
  sodium_memzero(m, sizeof m);
  return resOk;
}

uint32_t ReceiverIndex(const uint8_t* d) { return WISP::GetU32(d, TelHsRp::r); }

}  // namespace Noise
