// Mtxs.h — re-entrant mutexes (the owner may take one again).
#pragma once

namespace Mtxs {
  struct TMtxDesc;
  using TMtx = TMtxDesc*;
  void InitModule();
  TMtx New();
  void Req(TMtx m);
  void Rel(TMtx m);
}
