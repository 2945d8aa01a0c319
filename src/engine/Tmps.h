// Tmps.h — the temporary files that received data go into until Commit puts
// them in place, and the sweep of those a dead process left behind.
//
// The temporary file is anonymous where the file system allows (O_TMPFILE):
// it has no name until it is linked under the target's, so not even a
// killed process or a power loss leaves it behind. Elsewhere it is a named
// ".name.wisp-PID-N.tmp" beside the target, and the next start of the
// program sweeps those whose process is gone.
#pragma once
#include <cstdint>

#include "Types.h"

namespace Tmps {
  // A base name of this module's pattern, which must never be read or
  // targeted from outside.
  bool IsTmpName(const char* n);
  // The name ".<n>.wisp-<pid>-<count>.tmp" into tmp; false (errno
  // ENAMETOOLONG) when it does not fit.
  bool MkTmpName(const char* n, Types::TPthStr& tmp);
  // A new temporary file for the target name n: anonymous (tmp empty) where
  // the file system allows, otherwise named (its name in tmp). -1 (errno set)
  // when the directory cannot take it (not writable, a full disk).
  int Create(const char* n, Types::TPthStr& tmp);
  // Links the anonymous file h under the name n; fails with EEXIST when the
  // name is taken.
  bool LinkAnonymous(int h, const char* n);
  // Puts the temporary file in place under n: the anonymous file h (tmp
  // empty) or the named one tmp. Replaces an existing file only with ovr.
  // false with errno EEXIST when the name is taken, another errno on a
  // failure; a named temporary file that could not be put in place stays.
  bool Place(int h, const char* tmp, const char* n, bool ovr);

  // Removes the temporary files of this pattern in the current directory
  // whose process no longer runs, and those of our own PID for which ours
  // (the caller's table) says false. Returns the number removed.
  uint32_t Sweep(bool (*ours)(const char* n));
}
