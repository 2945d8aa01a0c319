// Noise.h — the secure mode's handshake: Noise IK in one round trip,
// riding in the request and the reply the programs exchange anyway.
//
// The protocol is Noise_IK_25519_ChaChaPoly_SHA256 (Noise revision 34) with
// the prologue "WISP v6": the client (initiator) knows the server's static
// key beforehand (its line of dir/servers), the server learns the client's
// from the request and looks it up in dir/clients.
//
//   request  -> e, es, s, ss   the client's ephemeral key, its static key
//                               (encrypted), the time stamp and the request
//                               telegram (encrypted), mac1
//   reply    <- e, ee, se      the server's ephemeral key, the reply
//                               telegram (encrypted)
//
// Both ends then hold two transport keys (one per direction) that depend on
// both ephemeral keys, so a later theft of a static key opens no recorded
// transfer (forward secrecy).
//
// Before any key exchange the server checks mac1, a keyed hash over the
// request whose key is derived from the server's public key (WireGuard's
// first check): a request from someone who does not know that key costs one
// hash and leaves nothing behind. A request that passes it and decrypts
// must name a listed client and carry a time stamp newer than any request
// of that client before (the server keeps the newest per client), so a
// recorded request replayed later is refused.
//
// The functions are the steps in the order they happen; a TState carries a
// handshake from one step to the next. A failed step wipes it: nothing of a
// refused request is kept.
#pragma once
#include <cstdint>

#include "Keys.h"
#include "SecTel.h"

namespace Noise {
  constexpr char protocol[] = "Noise_IK_25519_ChaChaPoly_SHA256";
  constexpr char prologue[] = "WISP v6";
  constexpr uint32_t lenHash = 32;
  constexpr uint32_t lenKey = Keys::lenKey;
  static_assert(sizeof protocol - 1 == lenHash);   // used as the first hash unhashed

  // The AEAD the sealed telegrams of a session use: the client offers the
  // ones it has besides ChaCha20-Poly1305 (bits), the server chooses.
  enum TAead : uint8_t { aeadChaCha = 0, aeadAes = 1 };
  constexpr uint8_t offerAes = 1u << aeadAes;

  struct TState {
    uint8_t h[lenHash];     // the handshake hash
    uint8_t ck[lenHash];    // the chaining key
    uint8_t k[lenKey];      // the current cipher key
    uint64_t n;             // its nonce
    uint8_t e[lenKey];      // own ephemeral private key
    uint8_t re[lenKey];     // the peer's ephemeral public key
    uint8_t rs[lenKey];     // the peer's static public key
    uint32_t peer;          // the peer's session index
    uint32_t cli;           // responder: the client's number in Keys
    uint8_t offer;          // responder: what the client offered
  };

  // The transport keys of one end: to send with, to receive with.
  struct TKeys {
    uint8_t tx[lenKey];
    uint8_t rx[lenKey];
  };

  enum TRes : uint8_t {
    resOk = 0,
    resLen,      // no room for the fields, or the telegram inside too long
    resMac,      // mac1 wrong: the sender does not know our public key
    resAuth,     // a key exchange or decryption failed
    resPeer,     // the client's static key is not listed
    resStamp,    // not newer than the client's newest request
  };

  struct TSettings {
    // The time stamp of a request: nanoseconds of the wall clock (the
    // default, also when null).
    uint64_t (*clock)() = nullptr;
  };
  // Forgets every client's newest time stamp. Each step takes the own key
  // pair s (Keys::Own() in the programs); the server looks the client's
  // key up in Keys' list of clients.
  void InitModule(const TSettings& s = {});

  // 1. Client: the request for server key srv, with the client's session
  // index idx, the AEADs it offers and the request telegram tel (l bytes),
  // written to out (SecTel::TelHsRq::Len(l) bytes); returns its length, 0
  // when l does not fit.
  uint32_t CreateRequest(TState& hs, const Keys::TPair& s, const Keys::TKey& srv, uint32_t idx, uint8_t offer, const uint8_t* tel,
                         uint32_t l, uint8_t* out);

  // 2. Server: the cheap first check, mac1 against the own public key.
  bool CheckMac1(const Keys::TPair& s, const uint8_t* d, uint32_t l);

  // 3. Server: the whole request d (l bytes, accepted by SecTel::Accept):
  // mac1, the key exchanges, the client's static key (listed), the time
  // stamp; the request telegram goes to tel (tl bytes, room for
  // SecTel::lenMaxInnerHs). hs is kept for the reply.
  TRes ConsumeRequest(TState& hs, const Keys::TPair& s, const uint8_t* d, uint32_t l, uint8_t* tel, uint32_t& tl);

  // 4. Server: the reply with its session index idx, the chosen AEAD and the
  // reply telegram tel (l bytes) into out; the transport keys in k. Returns
  // the length (0 when l does not fit, or the key exchange failed). hs is
  // wiped but for peer.
  uint32_t CreateReply(TState& hs, uint32_t idx, uint8_t choice, const uint8_t* tel, uint32_t l, uint8_t* out,
                       TKeys& k);

  // 5. Client: the reply d (l bytes) to the request of hs: the reply
  // telegram to tel (tl bytes), the chosen AEAD, the server's index in
  // hs.peer, the transport keys. A reply that fails leaves hs as it was.
  TRes ConsumeReply(TState& hs, const Keys::TPair& s, const uint8_t* d, uint32_t l, uint8_t* tel, uint32_t& tl, uint8_t& choice,
                    TKeys& k);

  // The client's index a reply names in the clear.
  uint32_t ReceiverIndex(const uint8_t* d);
}
