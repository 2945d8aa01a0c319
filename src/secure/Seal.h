// Seal.h — the secure mode's door between the link and the sessions: every
// datagram that arrives is opened here or dropped (and counted), every
// telegram a session sends is sealed here.
//
// A session's telegrams stay the classic ones. The first telegram of a
// client, its request, leaves inside the handshake request, and the
// server's reply inside the handshake reply (Noise); every telegram after
// that travels sealed (SecTel::TelSeal): ChaCha20-Poly1305, or AES-256-GCM
// when both ends have it in hardware, keyed by the handshake's transport
// keys (the next one every 2^28 telegrams), the nonce the telegram's
// counter, and a window of the counters taken (8128 behind the newest,
// RFC 6479's bitmap) that lets each through once, in any order within it.
//
// The table holds one entry per secure session, sized when the module
// starts (the client 1, the server one more than its sessions, so that a
// busy server can still answer); nothing is allocated per telegram. An
// entry belongs to its peer's keys and to its endpoint: a sealed telegram
// from any other endpoint, or under other keys, is dropped.
//
// The server sends no sealed telegram before one from the client has shown
// that the client holds the keys (a handshake request replayed to a server
// that restarted and forgot the time stamps thus gets the reply, which is
// smaller than the request, and nothing more). A client whose first step
// after the reply is not to send (a put waits for the server's data
// requests) sends an empty sealed telegram (Confirm) to show it.
#pragma once
#include <cstdint>

#include "Keys.h"
#include "SecTel.h"
#include "UDP0.h"

namespace Seal {
  // Why a datagram did not reach a session.
  enum TDrop : uint8_t {
    drpNone = 0,
    drpLen,      // too short or too long for its command
    drpHdr,      // CRC, magic, version, or a command the role does not take
    drpPlain,    // a classic telegram: the secure mode answers none
    drpMac,      // a handshake request without a valid mac1
    drpAuth,     // authentication failed (handshake or sealed telegram)
    drpPeer,     // a client whose key is not listed
    drpStamp,    // a handshake request not newer than the client's last
    drpReplay,   // a counter seen before, too old, past the limit or the next key
    drpSes,      // no session with that index, state or endpoint
    drpFull,     // a good handshake request, but no free entry
    drpCnt
  };

  struct TSettings {
    uint32_t cnt = 1;        // entries: the client 1, the server its sessions + 1
    bool server = false;
    bool aes = true;         // AES-256-GCM where both ends have it in hardware
    uint64_t ctrMax = 0;     // telegrams per direction and session (0: ctrMax)
    uint8_t epochBits = 0;   // telegrams per key 2^epochBits (0: epochBitsStd)
  };
  void InitModule(const TSettings& s);

  // Each direction changes its key every 2^28 telegrams (about 380 GB of
  // 1416-byte fragments): the next key is HMAC-SHA-256(key, "WISP rekey"),
  // so both ends follow without a word. That keeps AES-256-GCM within the
  // CFRG's usage limits for it ((blocks + telegrams)^2 / 2^129 below 2^-57
  // allows 2^29 telegrams of at most 91 blocks per key), and costs one HMAC
  // per key. A receiver holds the keys of the newest telegram's epoch and
  // of the ones before and after it. The counter ends as WireGuard's, at
  // 2^64 - 2^13 - 1; a session that reaches it ends.
  constexpr uint8_t epochBitsStd = 28;
  constexpr uint64_t ctrMaxStd = ~uint64_t{0} - (uint64_t{1} << 13);
  constexpr char rekeyLabel[] = "WISP rekey";
  // The replay window: counters this far behind the newest are still taken.
  constexpr uint32_t winBits = 8192;
  constexpr uint32_t winBack = winBits - 64;

  // Client: an entry for the server at dst with public key srv; 0 when the
  // table is full.
  uint32_t New(const Keys::TKey& srv, const UDP0::TDstDesc& dst);

  // A datagram d of l bytes from src: the telegram inside goes to tel (room
  // for WISP::lenMaxTel), its length to tl and its entry to ses. drpNone with
  // tl = 0 is an empty sealed telegram (a confirmation): nothing for the
  // session. Every other answer is a drop, counted here.
  TDrop Open(const uint8_t* d, uint32_t l, const UDP0::TDstDesc& src, uint8_t* tel, uint32_t& tl,
             uint32_t& ses);

  // The telegram tel (l bytes) of entry ses into out (room for
  // WISP::lenMaxTel): a client before the reply sends a request in a new
  // handshake request each time (a repetition is a new handshake; only the
  // reply to the newest is taken), the server's first telegram after the
  // request is the handshake reply, every later one is sealed. 0: nothing
  // can go (no keys yet, the server still waits for the client's first
  // sealed telegram, the counter is spent, or l is too long).
  uint32_t Send(uint32_t ses, const uint8_t* tel, uint32_t l, uint8_t* out);
  // An empty sealed telegram of entry ses (the client's confirmation).
  uint32_t Confirm(uint32_t ses, uint8_t* out);

  // Whether entry ses has its transport keys; whether its peer has shown
  // it holds them (a server's entry: a sealed telegram of the client came);
  // whether its send counter is spent.
  bool Keyed(uint32_t ses);
  bool Confirmed(uint32_t ses);
  bool Spent(uint32_t ses);
  // Server: the client's number in Keys (its name for the log).
  uint32_t Client(uint32_t ses);
  // The AEAD the entry's sealed telegrams use (Noise::TAead).
  uint8_t Aead(uint32_t ses);
  void Free(uint32_t ses);

  uint32_t Dropped(TDrop why);
  uint32_t InUse();
}
