// Secure.cpp — the secure mode's start-up.
#include "Secure.h"

#include <cstring>

#include "FIOStd.h"
#include "Lib3.h"
#include "Noise.h"
#include "SO.h"
#include "Seal.h"

namespace Secure {

namespace {
  bool on = false;
  const uint8_t* srvKey = nullptr;

  constexpr uint32_t lenTxt = 4096 + 128;   // a path and a line of text
  using TTxt = char[lenTxt + 1];

  [[noreturn]] void Stop(SO::TBuffer& b, TTxt& t) {
    t[b.l < lenTxt ? b.l : lenTxt] = '\0';
    Lib3::FatalError(t);
  }

  void Check(Keys::TErr e) {
    if (e == Keys::errOk) return;
    TTxt t;
    SO::TBuffer b;
    SO::Init(b, t, lenTxt);
    Keys::WrError(b);
    Stop(b, t);
  }
}

void InitModule(const TSettings& s) {
  on = s.dir != nullptr && s.dir[0] != '\0';
  srvKey = nullptr;
  if (!on) return;
  Keys::InitModule({.prg = s.prg});
  bool wrote = false;
  Check(Keys::LoadOwn(s.dir, wrote));
  if (wrote) {
    // The public key only: that line goes to the peers' lists.
    TTxt t;
    SO::TBuffer b;
    SO::Init(b, t, lenTxt);
    Keys::WrPubLine(b);
    t[b.l < lenTxt ? b.l : lenTxt] = '\0';
    FIOStd::WrStrLn(FIOStd::chOut, t);
  }
  if (s.server) {
    Check(Keys::LoadClients(s.dir));
  } else {
    Check(Keys::LoadServers(s.dir));
    srvKey = Keys::FindServer(s.adr);
    if (srvKey == nullptr) {
      TTxt t;
      SO::TBuffer b;
      SO::Init(b, t, lenTxt);
      SO::WrStr(b, "Error: No key line for server '");
      SO::WrStr(b, s.adr);
      SO::WrStr(b, "': '");
      SO::WrStr(b, s.dir);
      SO::WrStr(b, "/servers'");
      Stop(b, t);
    }
  }
  Noise::InitModule();
  Seal::InitModule({.cnt = s.cnt, .server = s.server});
}

bool On() { return on; }

const Keys::TKey& ServerKey() { return *reinterpret_cast<const Keys::TKey*>(srvKey); }

}  // namespace Secure
