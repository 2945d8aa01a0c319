// Dgsts.h — whole-file digests computed off the event loop.
//
// Hashing a large file takes a second per few hundred MB; done inside the
// loop it would stall every other session. A read session therefore hands
// its open file to this module, which hashes it on one worker thread, and
// polls for the result while it waits in its opening state. Digests of files
// served recently are kept, keyed by device, inode, size and modification
// time, so a second request for an unchanged file is answered at once.
#pragma once
#include <cstdint>

#include "WISP.h"

namespace Dgsts {
  constexpr uint32_t jobMax = 16;     // digests in progress at once (one per session)
  constexpr uint32_t cacheMax = 64;   // digests of unchanged files kept
  // Files up to this size are hashed at once by the caller: well under a
  // millisecond, and the answer goes out without waiting for a timer step.
  constexpr uint32_t nowMax = 262144;

  // Starts the worker thread (once). The module writes no log lines: the
  // sessions log what they do with its results.
  void InitModule();

  using TJob = uint8_t;   // 1..jobMax; 0 = none

  // Starts the digest of the open regular file h (the caller keeps h; the
  // worker reads its own duplicate). A file whose digest is cached is done at
  // once, and so is a file of at most nowMax bytes. 0 when every job slot is
  // busy or h cannot be duplicated.
  TJob Start(int h);

  enum TState : uint8_t { stBusy, stDone, stFailed };
  // stDone: t holds length and digest and the job slot is free again;
  // stFailed (a read failed, or the file is 4 GiB or more): the slot is free.
  TState Poll(TJob j, WISP::TPosDesc& t);

  // Gives up job j (its session ended); the worker stops at its next block.
  void Cancel(TJob j);

  // Files hashed by the worker since start (cache hits not counted).
  uint32_t Hashed();
}
