// Secure.h — the secure mode's start-up (-e dir) for both programs: the own
// key pair, the list of trusted peers, the handshake and the sealing door,
// each started with the program's settings. Any fault with the keys stops
// the program before its socket opens, with the line Keys writes (exit 255).
#pragma once
#include <cstdint>

#include "Keys.h"

namespace Secure {
  struct TSettings {
    const char* dir = "";     // the key directory; empty: plain mode
    const char* prg = "WISP"; // the comment of a new key.pub
    bool server = false;
    const char* adr = "";     // client: the -a text that names the server in dir/servers
    uint32_t cnt = 1;         // the door's entries (Seal::TSettings::cnt)
  };
  // Loads (or makes) the own key pair, shows the public key's line on the
  // console when it was just made, loads dir/clients (server) or finds the
  // server's line in dir/servers (client), and starts Noise and Seal.
  void InitModule(const TSettings& s);

  // Whether the program runs in the secure mode.
  bool On();
  // Client: the server's public key (from its line in dir/servers).
  const Keys::TKey& ServerKey();
}
