// Jobs.h — the work done off the event loop: whole-file digests of files
// being served, the running digest of an upload's in-order prefix, and
// every sync of an upload: the write-back started while it arrives, the
// syncs of its data, the last one before its name appears and that of its
// directory after; and single calls such as the save of a partial file's
// record.
//
// Hashing a large file takes a second per few hundred MB and a sync of a
// large upload a tenth of a second and more (of a small one milliseconds,
// and on a slow disk far more); inside the loop any of them would stall
// every other session. The loop hands such work to this module's one
// worker thread and polls for the result; the session waits in its own state
// meanwhile. Nothing is ever done inline instead: a caller that finds no job
// free refuses its request.
//
// One job table, one lock. The worker serves the jobs that have work in the
// order they asked for it, a slice (sliceLen bytes, or one sync) at a time,
// and puts a job with work left at the back: a small file is digested after
// at most one slice of each job before it, and no job waits for ever. Every
// job ends with a result or an error: a read that fails or a sync that fails
// is part of the result, because on Linux a write-back error is reported once
// per open file description, so a sync whose result were dropped would have
// taken it from the file's owner.
//
// Digests of files served recently are kept, keyed by device, inode, size,
// modification and status-change time (both to the nanosecond): a file
// rewritten in place, even with its times put back, has a new status-change
// time, once the stamps' resolution has passed (a digest is kept only for a
// content whose stamp lies that far before its digest began). Requests for
// a file whose digest is kept are answered without a job; requests for the
// same content while its digest is being made share that one digest.
#pragma once
#include <cstdint>

#include "MD5.h"
#include "WISP.h"

namespace Jobs {
  constexpr uint32_t jobMax = 40;       // 16 sessions, and jobs given up that still finish
  constexpr uint32_t cacheMax = 64;     // digests of unchanged files kept
  constexpr uint32_t sliceLen = 1u << 20;   // digested per turn of a job

  // Starts the worker thread (once; in a process forked from one that had
  // started it, a new worker starts with the first job). The module writes no
  // log lines: its callers log what they do with its results.
  void InitModule();

  using TJob = uint8_t;   // 1..jobMax; 0 = none

  enum TState : uint8_t { stBusy, stDone, stFailed, stFull };

  // The one digest loop of the program: digests the bytes from p up to e of
  // the file h (e = UINT64_MAX: to its end) into x, returning the count
  // digested. err becomes the reason of a read that failed (0 otherwise). On
  // the loop's thread (sig) it looks for a pending console signal every
  // 1 MiB, so a stop takes effect between two blocks.
  uint64_t Hash(int h, uint64_t p, uint64_t e, MD5::TCtxDesc& x, int& err, bool sig);

  // ---- whole-file digests (files being served) ----

  // The digest of the open regular file h (the caller keeps h; a job reads
  // its own duplicate). stDone with t at once when the digest of this content
  // is kept (j 0); stBusy with the job j to poll; stFailed when h is not a
  // regular file; stFull when no job is free.
  TState Digest(int h, TJob& j, WISP::TPosDesc& t);
  // stDone: t holds length and digest, and the job is free again; stFailed (a
  // read failed): free again; stBusy: still at work.
  TState Poll(TJob j, WISP::TPosDesc& t);
  // Gives up job j (its session ended). A digest others wait for goes on.
  void Cancel(TJob j);
  // Files hashed whole since start (kept digests and shared ones not counted).
  uint32_t Hashed();
  // Drops every kept digest of the open file h (its device and inode): a
  // client found the content it got unlike the digest it was given (a file
  // rewritten without its times telling, as on a server with a skewed clock).
  void Forget(int h);

  // ---- uploads ----

  // A job that follows the upload into the open file h with its digest
  // (from byte 0) and syncs it when asked; 0 when no job is free or h cannot
  // be duplicated. Its syncs run in this order before its digest: a
  // write-back to start, a sync of the file, a sync of a directory.
  TJob Follow(int h);
  // Every byte below p has been written: the digest is to reach p. With
  // anew the digest starts again from byte 0 (data below what it had seen
  // was written again).
  void Want(TJob j, uint64_t p, bool anew = false);
  // The data written so far are to reach the disk (fdatasync; with all the
  // file's times and size too, fsync). A sync asked for while one waits is
  // that one; while one runs, another follows it (the running one may have
  // begun before the newest data were written).
  void Sync(TJob j, bool all = false);
  // The disk is to start writing the bytes from p up to e (sync_file_range,
  // without waiting); ranges asked for while one waits join it.
  void WriteBack(TJob j, uint64_t p, uint64_t e);
  // The directory d is to be synced (its new entry): the job owns d from
  // now on and closes it once synced or when the job ends.
  void SyncDir(TJob j, int d);
  // The digest has reached what Want asked for and no sync waits or runs.
  bool Idle(TJob j);
  // Waits until Idle (looking for a console signal every 100 ms): for
  // callers on the loop that have nothing else to do, and for tests.
  void Wait(TJob j);
  // Once Idle: the digest so far (x, of the first l bytes), the reason of a
  // read that failed (rd) and that of the first sync of the file (or
  // write-back) that failed (sy), 0 for none.
  void Result(TJob j, MD5::TCtxDesc& x, uint64_t& l, int& rd, int& sy);
  // Once Idle: the reason the last directory sync failed, 0 for none.
  int DirResult(TJob j);
  // Ends job j; a slice still running finishes first, on the worker.
  void End(TJob j);

  // ---- one call off the loop ----

  // A job that runs fn(a) once on the worker (a partial file's record,
  // whose write order holds three syncs); 0 when no job is free. Idle once it
  // has run; Called gives its result and ends the job.
  TJob Call(int (*fn)(void*), void* a);
  // true when the call has run: r its result, and the job is free again.
  bool Called(TJob j, int& r);

  // Test builds (WISP_FAULTS): while on, the worker starts no slice, as if
  // it were busy with other work; false where the seam is not built in.
  bool Hold(bool on);
}
