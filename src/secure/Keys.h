// Keys.h — the secure mode's keys: the program's own X25519 key pair and
// the lists of the peers it trusts, all in one key directory.
//
//   dir/key       the private key, one line of text; only its owner may
//                 read it (mode 0600), like ssh's keys
//   dir/key.pub   the public key, one line: the key, then a comment
//   dir/clients   (server) one client per line: <key> <name>
//   dir/servers   (client) one server per line: <key> <address>
//
// A key's text form is the standard base64 of its 32 bytes (44 characters,
// the last one "="). In the lists "#" starts a comment that runs to the
// end of the line, and empty lines are allowed; the name is what the
// server's log calls the client, the address is the text the client's -a
// option is given for that server.
//
// Loading fails with an error code and remembers which file and line it
// was; WrError writes the line the program stops with. Nothing here writes
// a log line, and no text this module writes holds a private key.
#pragma once
#include <cstdint>

#include "SO.h"

namespace Keys {
  constexpr uint32_t lenKey = 32;
  constexpr uint32_t lenKeyTxt = 44;
  using TKey = uint8_t[lenKey];
  struct TPair {
    TKey pub;
    TKey prv;
  };

  constexpr uint32_t cliMax = 1024;   // lines of clients
  constexpr uint32_t srvMax = 256;    // lines of servers
  constexpr uint32_t lenName = 64;    // a client's name, characters
  constexpr uint32_t lenAdr = 255;    // a server's address text, characters
  constexpr uint32_t lenLine = 512;   // a line of a list, characters

  enum TErr : uint8_t {
    errOk = 0,
    errDir,      // the key directory cannot be made
    errRead,     // a file is missing or cannot be read
    errMode,     // the private key can be read by group or others
    errKey,      // the private key's text is no key
    errPair,     // key.pub does not hold the private key's public key
    errCreate,   // a key file cannot be written
    errLine,     // a line of a list (or key.pub) is malformed
    errDup,      // a key or address is listed twice
    errMany,     // more lines than the list can hold
  };

  struct TSettings {
    const char* prg = "WISP";   // the comment of a new key.pub: <prg>@<host>
  };
  void InitModule(const TSettings& s = {});

  // Loads dir/key. When neither dir/key nor dir/key.pub is there, makes a
  // new key pair first (and dir, mode 0700, when it is missing); when only
  // key.pub is missing, writes it again. wrote tells the caller that
  // key.pub was written, so that it can show the public line (WrPubLine).
  TErr LoadOwn(const char* dir, bool& wrote);
  // Load the trusted peers of dir/clients, dir/servers (all or nothing: a
  // failed load leaves an empty list).
  TErr LoadClients(const char* dir);
  TErr LoadServers(const char* dir);

  // The own key pair (zero before LoadOwn).
  const TPair& Own();

  // The client with public key k: its number 1..Clients(), 0 when it is not
  // listed. Its name for the log.
  uint32_t Clients();
  uint32_t FindClient(const TKey& k);
  const char* ClientName(uint32_t n);
  // The key of the server whose line names the address text a exactly;
  // nullptr when there is none.
  const uint8_t* FindServer(const char* a);

  // A key's text form, and reading one: exactly the 44 characters of the
  // canonical form of 32 bytes (n is the text's length).
  void WrKey(SO::TBuffer& b, const TKey& k);
  bool RdKey(const char* s, uint32_t n, TKey& k);
  // key.pub's line without its line end: the public key, a space, the comment.
  void WrPubLine(SO::TBuffer& b);
  // "Error: <what>: '<file>'", with " line <n>" for a line of a list.
  void WrError(SO::TBuffer& b);
  TErr LastError();

  // Forgets the keys (the private key's bytes are overwritten).
  void DoneModule();
}
