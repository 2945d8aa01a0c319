// Seal.cpp — the secure sessions' table, the sealing and opening of
// telegrams, the replay window.
#include "Seal.h"

#include <sodium.h>

#include <cstring>

#include "Lib3.h"
#include "Noise.h"
#include "Slots.h"

namespace Seal {

namespace {
  using namespace SecTel;

  enum TState : uint8_t {
    stFree = 0,
    stInit,    // client: handshake request sent, no reply yet
    stReply,   // server: request taken, reply not yet sent
    stKeyed,   // transport keys
  };

  constexpr uint32_t winWords = winBits / 64;
  static_assert((winWords & (winWords - 1)) == 0);

  // The counters taken from the peer: hi is the newest plus one (0: none
  // yet), w the ring of bits of the winWords words up to it.
  struct TWin {
    uint64_t hi;
    uint64_t w[winWords];
  };

  // One direction's key of one epoch, with AES-256-GCM's expanded key.
  struct TKey {
    uint8_t k[Noise::lenKey];
    crypto_aead_aes256gcm_state a;
  };

  struct TEnt {
    uint8_t i;               // slot (Slots), 0 = free
    TState st;
    uint8_t aead;            // Noise::TAead
    bool confirmed;
    uint32_t idx;            // our index: the peer names it in what it sends us
    uint32_t peer;           // the peer's index
    uint32_t cli;            // server: the client's number in Keys
    UDP0::TDstDesc dst;
    uint64_t tx;             // the next counter to send
    uint64_t rxEp;           // the epoch of the newest counter taken
    TWin rx;
    Noise::TState hs;
    TKey kTx;                // the key of tx's epoch
    TKey kRx[3];             // the keys of epochs rxEp - 1, rxEp, rxEp + 1
  };

  constexpr uint32_t entMax = 32;
  TSlots<TEnt, entMax> tab;
  TSettings set;
  bool aesHere = false;
  uint32_t drops[drpCnt];
  bool chained = false;
  Lib3::TProc oldTerm = nullptr;

  TEnt* At(uint32_t ses) { return tab.At(ses); }

  // A fresh index for slot k: the slot in the low byte, random above it, so
  // that an index of an entry that ended does not name its successor.
  uint32_t NewIndex(uint32_t k) { return (randombytes_random() & 0xFFFFFF00u) | k; }

  TEnt* ByIndex(uint32_t idx) {
    TEnt* e = At(idx & 0xFFu);
    return e != nullptr && e->idx == idx ? e : nullptr;
  }

  TDrop Count(TDrop why) {
    ++drops[why];
    return why;
  }

  // ---- the replay window ---------------------------------------------------

  bool Fresh(const TWin& r, uint64_t c) {
    if (c >= r.hi) return true;
    if (r.hi - 1 - c >= winBack) return false;
    return ((r.w[(c >> 6) & (winWords - 1)] >> (c & 63)) & 1u) == 0;
  }

  void Mark(TWin& r, uint64_t c) {
    if (c >= r.hi) {
      const uint64_t to = c >> 6;
      const uint64_t from = r.hi == 0 ? to : (r.hi - 1) >> 6;
      const uint64_t n = to - from < winWords ? to - from : winWords;
      for (uint64_t k = 1; k <= n; ++k) r.w[(from + k) & (winWords - 1)] = 0;
      r.hi = c + 1;
    }
    r.w[(c >> 6) & (winWords - 1)] |= uint64_t{1} << (c & 63);
  }

  // ---- keys -------------------------------------------------------------------

  uint64_t ctrMax = ctrMaxStd;
  uint8_t epochBits = epochBitsStd;

  void SetKey(TKey& d, const uint8_t* k, uint8_t aead) {
    if (d.k != k) std::memcpy(d.k, k, Noise::lenKey);
    if (aead == Noise::aeadAes) crypto_aead_aes256gcm_beforenm(&d.a, d.k);
  }

  // The key of the next epoch: HMAC-SHA-256(key, "WISP rekey").
  void NextKey(TKey& d, const TKey& s, uint8_t aead) {
    uint8_t k[Noise::lenKey];
    crypto_auth_hmacsha256_state st;
    crypto_auth_hmacsha256_init(&st, s.k, Noise::lenKey);
    crypto_auth_hmacsha256_update(&st, reinterpret_cast<const uint8_t*>(rekeyLabel), sizeof rekeyLabel - 1);
    crypto_auth_hmacsha256_final(&st, k);
    SetKey(d, k, aead);
    sodium_memzero(k, sizeof k);
    sodium_memzero(&st, sizeof st);
  }

  void Key(TEnt& e, const Noise::TKeys& k, uint8_t aead) {
    e.aead = aead;
    SetKey(e.kTx, k.tx, aead);
    sodium_memzero(&e.kRx[0], sizeof e.kRx[0]);
    SetKey(e.kRx[1], k.rx, aead);
    NextKey(e.kRx[2], e.kRx[1], aead);
    e.tx = 0;
    e.rxEp = 0;
    std::memset(&e.rx, 0, sizeof e.rx);
    e.st = stKeyed;
  }

  // The receiving key of counter c, nullptr when its epoch is not held.
  const TKey* RxKey(const TEnt& e, uint64_t c) {
    const uint64_t ep = c >> epochBits;
    if (ep == e.rxEp) return &e.kRx[1];
    if (ep == e.rxEp + 1) return &e.kRx[2];
    if (ep + 1 == e.rxEp) return &e.kRx[0];
    return nullptr;
  }

  // A telegram of the next epoch was taken: the keys move on by one.
  void RxAdvance(TEnt& e) {
    e.kRx[0] = e.kRx[1];
    e.kRx[1] = e.kRx[2];
    NextKey(e.kRx[2], e.kRx[1], e.aead);
    ++e.rxEp;
  }

  void Nonce(uint8_t (&npub)[crypto_aead_chacha20poly1305_IETF_NPUBBYTES], uint64_t n) {
    std::memset(npub, 0, 4);
    PutU64(npub, 4, n);
  }
  static_assert(crypto_aead_chacha20poly1305_IETF_NPUBBYTES == crypto_aead_aes256gcm_NPUBBYTES);

  uint32_t SealTel(TEnt& e, const uint8_t* tel, uint32_t l, uint8_t* out) {
    if (l > lenMaxInnerSeal || e.tx >= ctrMax) return 0;
    if (e.tx != 0 && (e.tx & ((uint64_t{1} << epochBits) - 1)) == 0) NextKey(e.kTx, e.kTx, e.aead);
    uint8_t npub[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
    Nonce(npub, e.tx);
    // The telegram may already lie where its ciphertext goes; both ciphers
    // work in place, and the header goes in front of it.
    PutHdr(out, cmdSeal);
    WISP::PutU32(out, TelSeal::r, e.peer);
    PutU64(out, TelSeal::c, e.tx);
    if (e.aead == Noise::aeadAes) {
      crypto_aead_aes256gcm_encrypt_detached_afternm(out + TelSeal::x, out + TelSeal::Tag(l), nullptr, tel, l, out,
                                                     TelSeal::ad, nullptr, npub, &e.kTx.a);
    } else {
      crypto_aead_chacha20poly1305_ietf_encrypt_detached(out + TelSeal::x, out + TelSeal::Tag(l), nullptr, tel, l,
                                                         out, TelSeal::ad, nullptr, npub, e.kTx.k);
    }
    ++e.tx;
    return Trail(out, TelSeal::Len(l));
  }

  // ---- what arrives -------------------------------------------------------------

  TDrop OpenSeal(const uint8_t* d, uint32_t l, const UDP0::TDstDesc& src, uint8_t* tel, uint32_t& tl,
                 uint32_t& ses) {
    if (l < TelSeal::Len(0)) return Count(drpLen);
    TEnt* e = ByIndex(WISP::GetU32(d, TelSeal::r));
    if (e == nullptr || e->st != stKeyed || !(e->dst == src)) return Count(drpSes);
    const uint64_t c = GetU64(d, TelSeal::c);
    const TKey* k = c < ctrMax && Fresh(e->rx, c) ? RxKey(*e, c) : nullptr;
    if (k == nullptr) return Count(drpReplay);
    const uint32_t n = TelSeal::InnerLen(l);
    uint8_t npub[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
    Nonce(npub, c);
    int r;
    if (e->aead == Noise::aeadAes) {
      r = crypto_aead_aes256gcm_decrypt_detached_afternm(tel, nullptr, d + TelSeal::x, n, d + TelSeal::Tag(n), d,
                                                         TelSeal::ad, npub, &k->a);
    } else {
      r = crypto_aead_chacha20poly1305_ietf_decrypt_detached(tel, nullptr, d + TelSeal::x, n, d + TelSeal::Tag(n), d,
                                                             TelSeal::ad, npub, k->k);
    }
    if (r != 0) return Count(drpAuth);
    Mark(e->rx, c);
    if (c >> epochBits == e->rxEp + 1) RxAdvance(*e);
    e->confirmed = true;
    tl = n;
    ses = e->i;
    return drpNone;
  }

  // Server: a handshake request. A client that asks again from the same
  // endpoint keeps its entry (its session), with the new handshake.
  TDrop OpenHsRq(const uint8_t* d, uint32_t l, const UDP0::TDstDesc& src, uint8_t* tel, uint32_t& tl,
                 uint32_t& ses) {
    Noise::TState hs;
    switch (Noise::ConsumeRequest(hs, Keys::Own(), d, l, tel, tl)) {
      case Noise::resOk: break;
      case Noise::resLen: return Count(drpLen);
      case Noise::resMac: return Count(drpMac);
      case Noise::resAuth: return Count(drpAuth);
      case Noise::resPeer: return Count(drpPeer);
      case Noise::resStamp: return Count(drpStamp);
    }
    TEnt* e = nullptr;
    tab.ForEach([&](TEnt& x) {
      if (e == nullptr && x.cli == hs.cli && x.dst == src) e = &x;
    });
    if (e == nullptr) {
      e = tab.Take();
      if (e == nullptr) {
        sodium_memzero(&hs, sizeof hs);
        sodium_memzero(tel, tl);
        tl = 0;
        return Count(drpFull);
      }
      e->dst = src;
      e->cli = hs.cli;
    }
    e->st = stReply;
    e->confirmed = false;
    e->idx = NewIndex(e->i);
    e->peer = hs.peer;
    e->hs = hs;
    sodium_memzero(&hs, sizeof hs);
    ses = e->i;
    return drpNone;
  }

  // Client: the reply to the newest request.
  TDrop OpenHsRp(const uint8_t* d, uint32_t l, const UDP0::TDstDesc& src, uint8_t* tel, uint32_t& tl,
                 uint32_t& ses) {
    if (l < TelHsRp::Len(0)) return Count(drpLen);
    TEnt* e = ByIndex(Noise::ReceiverIndex(d));
    if (e == nullptr || e->st != stInit || !(e->dst == src)) return Count(drpSes);
    Noise::TKeys k;
    uint8_t choice = 0;
    if (Noise::ConsumeReply(e->hs, Keys::Own(), d, l, tel, tl, choice, k) != Noise::resOk) return Count(drpAuth);
    // A choice the client did not offer is the server's fault: ChaCha20-Poly1305 is always there.
    if (choice == Noise::aeadAes && !(set.aes && aesHere)) {
      sodium_memzero(&k, sizeof k);
      sodium_memzero(tel, tl);
      tl = 0;
      return Count(drpAuth);
    }
    e->peer = e->hs.peer;
    Key(*e, k, choice == Noise::aeadAes ? Noise::aeadAes : Noise::aeadChaCha);
    sodium_memzero(&k, sizeof k);
    e->confirmed = true;   // the reply proved the server
    ses = e->i;
    return drpNone;
  }

  void Wipe(TEnt& e) {
    sodium_memzero(&e, sizeof e);
  }

  void DoneModule() {
    tab.ForEach([](TEnt& e) { Wipe(e); });
    oldTerm();
  }
}

void InitModule(const TSettings& s) {
  if (sodium_init() < 0) Lib3::FatalError("Error: libsodium cannot start");
  set = s;
  ctrMax = set.ctrMax != 0 ? set.ctrMax : ctrMaxStd;
  epochBits = set.epochBits != 0 && set.epochBits < 64 ? set.epochBits : epochBitsStd;
  aesHere = crypto_aead_aes256gcm_is_available() != 0;
  tab.Reset(set.cnt);
  std::memset(drops, 0, sizeof drops);
  if (!chained && Lib3::Initialised()) {
    chained = true;
    Lib3::Terminate(DoneModule, oldTerm);
  }
}

uint32_t New(const Keys::TKey& srv, const UDP0::TDstDesc& dst) {
  TEnt* e = tab.Take();
  if (e == nullptr) return 0;
  e->st = stInit;
  e->dst = dst;
  std::memcpy(e->hs.rs, srv, Noise::lenKey);
  return e->i;
}

TDrop Open(const uint8_t* d, uint32_t l, const UDP0::TDstDesc& src, uint8_t* tel, uint32_t& tl, uint32_t& ses) {
  tl = 0;
  ses = 0;
  switch (SecTel::Accept(d, l, set.server)) {
    case WISP::accOk: break;
    case WISP::accLen: return Count(drpLen);
    case WISP::accCmd:
      return Count(WISP::Receives(WISP::GetU8(d, WISP::TelHdr::c), set.server) ? drpPlain : drpHdr);
    default: return Count(drpHdr);
  }
  switch (WISP::GetU8(d, WISP::TelHdr::c)) {
    case cmdSeal: return OpenSeal(d, l, src, tel, tl, ses);
    case cmdHsRq: return OpenHsRq(d, l, src, tel, tl, ses);
    default: return OpenHsRp(d, l, src, tel, tl, ses);
  }
}

uint32_t Send(uint32_t ses, const uint8_t* tel, uint32_t l, uint8_t* out) {
  TEnt* e = At(ses);
  if (e == nullptr) return 0;
  switch (e->st) {
    case stInit: {
      const uint8_t c = l > WISP::TelHdr::c ? tel[WISP::TelHdr::c] : 0;
      if (set.server || (c != WISP::cmdRdRq && c != WISP::cmdWrRq)) return 0;
      Keys::TKey srv;
      std::memcpy(srv, e->hs.rs, Noise::lenKey);
      e->idx = NewIndex(e->i);
      const uint8_t offer = set.aes && aesHere ? Noise::offerAes : 0;
      return Noise::CreateRequest(e->hs, Keys::Own(), srv, e->idx, offer, tel, l, out);
    }
    case stReply: {
      const bool aes = (e->hs.offer & Noise::offerAes) != 0 && set.aes && aesHere;
      const uint8_t choice = aes ? Noise::aeadAes : Noise::aeadChaCha;
      Noise::TKeys k;
      const uint32_t n = Noise::CreateReply(e->hs, e->idx, choice, tel, l, out, k);
      if (n == 0) return 0;
      Key(*e, k, choice);
      sodium_memzero(&k, sizeof k);
      return n;
    }
    case stKeyed:
      if (!e->confirmed) return 0;
      return SealTel(*e, tel, l, out);
    default:
      return 0;
  }
}

uint32_t Confirm(uint32_t ses, uint8_t* out) {
  TEnt* e = At(ses);
  if (e == nullptr || e->st != stKeyed) return 0;
  return SealTel(*e, out, 0, out);
}

bool Keyed(uint32_t ses) {
  const TEnt* e = At(ses);
  return e != nullptr && e->st == stKeyed;
}

bool Confirmed(uint32_t ses) {
  const TEnt* e = At(ses);
  return e != nullptr && e->st == stKeyed && e->confirmed;
}

bool Spent(uint32_t ses) {
  const TEnt* e = At(ses);
  return e != nullptr && e->st == stKeyed && e->tx >= ctrMax;
}

uint32_t Client(uint32_t ses) {
  const TEnt* e = At(ses);
  return e != nullptr ? e->cli : 0;
}

uint8_t Aead(uint32_t ses) {
  const TEnt* e = At(ses);
  return e != nullptr ? e->aead : 0;
}

void Free(uint32_t ses) {
  TEnt* e = At(ses);
  if (e != nullptr) tab.Give(e);   // Give clears the whole entry, keys included
}

uint32_t Dropped(TDrop why) { return why < drpCnt ? drops[why] : 0; }
uint32_t InUse() { return tab.n; }

}  // namespace Seal
