// FOps.h — the file calls of the transfer engine, each through one function
// here, so that a test build can make the Nth call of a kind fail and walk
// that N over a whole transfer (built with WISP_FAULTS; without it the
// functions are the plain system calls and FailAt refuses).
#pragma once
#include <cstdint>
#include <fcntl.h>
#include <sys/types.h>

namespace FOps {
  // The kinds of call that can be made to fail.
  enum TOp : uint8_t { opOpen, opRead, opWrite, opAlloc, opSync, opLink, opRename, opClose, opCnt };

  // open(2); with beneath set the path is resolved beneath the current
  // directory (openat2 with RESOLVE_BENEATH; where the kernel lacks it,
  // symbolic links are refused altogether).
  int Open(const char* n, int flags, mode_t m = 0, bool beneath = false);
  // pread(2) and pwrite(2), repeated on EINTR.
  ssize_t PRead(int h, void* x, size_t l, off_t p);
  ssize_t PWrite(int h, const void* x, size_t l, off_t p);
  // fallocate(2), repeated on EINTR.
  int Fallocate(int h, int mode, off_t p, off_t l);
  // fsync(2), fdatasync(2) and sync_file_range(2) starting the write-back of
  // l bytes at p (SYNC_FILE_RANGE_WRITE): one kind, a sync.
  int Fsync(int h);
  int Fdatasync(int h);
  int SyncRange(int h, off_t p, off_t l);
  // linkat(2) and link(2).
  int Linkat(int d1, const char* p1, int d2, const char* p2, int flags);
  int Link(const char* p1, const char* p2);
  // rename(2), and renameat2(2) with RENAME_NOREPLACE.
  int Rename(const char* p1, const char* p2);
  int RenameNoReplace(const char* p1, const char* p2);
  // close(2): the descriptor is released even when the call fails.
  int Close(int h);

  // Test builds: the n-th call of kind op from now on fails with err (n 0:
  // none fails), and the counts of every kind start again from 0. false
  // where the seam is not built in.
  bool FailAt(TOp op, uint32_t n, int err);
  // Calls of kind op since the last FailAt (0 where the seam is not built in).
  uint32_t Calls(TOp op);
  // Those of them made on the calling thread (since its last FailAt): where
  // the file calls run, the loop's thread or the worker of Jobs.
  uint32_t CallsHere(TOp op);
}
