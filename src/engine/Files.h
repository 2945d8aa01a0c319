// Files.h — the table of open files of the transfers: files opened by
// resource id for reading (length and MD5 digest computed at open) or for
// writing (into a temporary file that Commit puts in place), byte ranges read
// and written at given positions, digests of what a file holds, and the
// file's modification time in the packed date and time of the telegrams.
//
// A failed file operation never stops the program: the entry is marked
// failed (Failed), the failure is logged once, and the session that owns
// the entry ends with a failure result. A failed entry is never committed.
#pragma once
#include <cstddef>
#include <cstdint>
#include "DT.h"
#include "Log.h"
#include "MD5.h"
#include "SO.h"
#include "Types.h"
#include "WISP.h"

namespace Files {
  // The resource id: the name as the client typed it, up to 128 characters
  // (a full telegram field has no terminator; the 129-character TResID
  // always has one).
  constexpr uint32_t lenRID = WISP::lenResID;
  using TResID = WISP::TResID;

  // A target: length in bytes and MD5 digest of the whole content (20 bytes,
  // no padding, so two targets compare with memcmp over sizeof).
  using TPosDesc = WISP::TPosDesc;

  using THandle = int;   // a POSIX file descriptor

  // One open file. Users hold a reference and go through the operations
  // below; the fields are shown for tests and log lines.
  struct TFileDesc {
    uint8_t i;            // slot 1..cnt; 0 = free
    bool w;               // true: being received (written); false: being sent
    TResID r;             // the resource id as given to OpenRd / OpenWr
    THandle b;            // the open file (for writing: the temporary file)
    TPosDesc t;           // target: computed at OpenRd, set by SetTgt
    Types::TPthStr n;     // the file's name in the current directory
    Types::TPthStr tmp;   // writing: the temporary file's name until Commit
                          // (empty for an anonymous one)
    bool a;               // writing: the temporary file is anonymous (O_TMPFILE)
                          // and disappears with the process unless committed
    bool c;               // writing: committed (tmp now carries the name n)
    bool e;               // an operation on the file failed (read, write,
                          // reserve, sync, time setting ...); a written
                          // entry can no longer pass its length check
    uint8_t j;            // writing: the job of Jobs that follows the file with
                          // its digest and syncs it (0: none)
    uint64_t xl;          // writing: the in-order prefix handed to that job
    bool xr;              // writing: data below xl was written again; the job
                          // digests anew
    uint64_t wb;          // writing: the prefix whose write-back has been started
    bool rd;              // writing: Ready has handed the whole present
    uint64_t pl;          // content to the job: pl bytes (until the next write)
    uint8_t cs;           // writing: the step of Place under way (0: none)
    bool k;               // writing: tmp is a kept partial file (Parts): it
                          // stays when the entry closes uncommitted
  };
  using TFile = TFileDesc*;

  constexpr uint32_t cntMax = 16;     // largest table (the server's)

  struct TSettings {
    uint32_t cnt = cntMax;          // slots this program uses, 1..cntMax
    Log::TModId mid = Log::midNull; // the program's identifier for this module
    bool ovr = false;               // -o: a received file may replace an existing one
    bool vrb = false;               // -v: messages on the console too
    // The current directory is served to the network's clients: a read never
    // leaves it through a symbolic link, and the log's own files (Log::
    // IsOwnName) are neither read nor written.
    bool srv = false;
  };

  // Starts the module with s and sweeps the current directory (Sweep); a
  // later call only takes new settings (tests).
  void InitModule(const TSettings& s);
  // Removes the temporary files that a process of this program left in the
  // current directory when it died (".name.wisp-PID-N.tmp" of a PID that no
  // longer runs, or of our own PID that no entry of ours holds). Where the
  // file system has anonymous temporary files there are none of those; this
  // covers the others and older runs. Returns the number removed.
  uint32_t Sweep();

  // Open an existing regular file for reading, computing its length and
  // digest (whether a length fits the classic telegrams is the caller's
  // to judge); nullptr when the table is full or the name does not
  // lead to such a file (missing, not regular, unreadable, a read error, an
  // invalid name, a name with a control character; with srv also a link
  // out of the directory and the log's files).
  // With later set the digest is left to the caller (see Jobs): the entry
  // carries the file's length and a zero digest until SetRdTgt.
  TFile OpenRd(const char* r, bool later = false);
  // The same for the local file at path p, relative or absolute, taken as
  // given (the client's put), entered under the resource id r.
  TFile OpenRdPth(const char* p, const char* r, bool later = false);
  // Open a file for receiving: the data goes to a new temporary file beside
  // the target, anonymous where the file system allows; nullptr when the
  // table is full, the name is invalid (as for OpenRd), the target exists and
  // overwriting is off (settings' ovr), another entry is receiving the same
  // name, or the temporary file cannot be created (a directory that is not
  // writable, a full disk).
  TFile OpenWr(const char* r);
  // The same into the kept partial file pn (Parts), open as h, which the
  // entry takes over (h is closed when the entry cannot be made): its data
  // stay on Close, and Place renames it to the target's name.
  TFile OpenWrPart(const char* r, THandle h, const char* pn);
  // A write entry whose target length (SetTgt) does not fit the free space
  // fails at once, so that a full disk refuses the transfer now rather than
  // at its end; otherwise the first 64 MiB of it are reserved, and as the
  // data arrive the reservation keeps 64 MiB beyond the count of bytes that
  // have arrived, wherever in the file they lie (a peer holds no more of the
  // disk than it has sent and that). true when reserved or
  // when the file system cannot reserve (then the first write that fails
  // marks the entry); false marks the entry failed, also when a later
  // reservation fails.
  bool Reserve(TFile f);
  // Gives a write entry's temporary file the target name: replaces an existing
  // file only where overwriting is on, never when it is off (even if one
  // appeared during the transfer). The file's data reach the disk before the
  // name appears, and the directory entry right after; a sync of the entry's
  // job that failed while the file arrived fails the commit as much as the
  // last one (its data may not be on the disk). Every sync is the work of
  // the entry's job (Jobs): Place takes the commit a step further each call,
  // cmBusy while the job syncs; the outcome then: cmDone (the entry stays
  // open), cmTaken (the name is taken; Failed stays false) or cmFailed (the
  // file could not be synced or linked; Failed). A failed entry is never
  // committed.
  enum TCommit : uint8_t { cmBusy, cmDone, cmTaken, cmFailed };
  TCommit Place(TFile f);
  // Place for a caller that may wait: true for cmDone.
  bool Commit(TFile f);
  // Whether an operation on the entry's file has failed.
  bool Failed(TFile f);
  // Closes the file (removing an uncommitted temporary file) and frees the
  // slot; f becomes nullptr. false when the system reported an error on the
  // close (logged; the slot is free all the same).
  bool Close(TFile& f);
  // Frees the slot without closing the file.
  void Free(TFile& f);
  // Closes every open entry.
  void CloseAll();

  void SetTgt(TFile f, const TPosDesc& t);
  void GetTgt(TFile f, TPosDesc& x);
  // Reading, opened with later: the target as the digest worker found it.
  void SetRdTgt(TFile f, const TPosDesc& t);
  void GetRID(TFile f, TResID& x);
  // Writing: length and digest of the whole present content (p unused); for
  // an entry that has failed, a length that differs from the target's (and
  // no digest is made). The digest is the work of the entry's job (Jobs),
  // which follows the file's in-order prefix while it is written (Extend):
  // a caller that must not wait asks Ready first; otherwise GetPos waits.
  // Reading: p below the target length gives p and the digest of the first
  // p bytes; otherwise the target.
  void GetPos(TFile f, uint64_t p, TPosDesc& x);
  // Writing: every byte below p has been written; the entry's job digests up
  // to there, and the data go on to the disk (see Files.cpp).
  void Extend(TFile f, uint64_t p);

  // Reads up to l bytes at p into x (of n bytes), served from a read-ahead
  // (Bufs) of up to 64 KiB (not beyond the target length) that grows while
  // the reads go on in order and is not made for reads out of order; returns
  // the number read, fewer at the end of the file or when the read fails
  // (then the entry is marked failed).
  uint32_t Read(TFile f, uint64_t p, void* x, size_t n, uint32_t l);
  template <size_t N> inline uint32_t Read(TFile f, uint64_t p, uint8_t (&x)[N], uint32_t l) {
    return Read(f, p, x, N, l);
  }
  // Writes the first l bytes of x (of n bytes) at p. Consecutive writes are
  // collected (Bufs) and reach the file together, before any other use of
  // the entry or at Flush. A write the system
  // refuses (disk full, quota, I/O error) does not stop the program: it is
  // logged once, the entry is marked failed and later writes are skipped, so
  // the transfer ends in a failed check and leaves no file. A peer can thus
  // fill the disk but not stop a server.
  void Write(TFile f, uint64_t p, const void* x, size_t n, uint32_t l);
  template <size_t N> inline void Write(TFile f, uint64_t p, const uint8_t (&x)[N], uint32_t l) {
    Write(f, p, x, N, l);
  }
  // Writing: whether GetPos and Commit would find the job's work done now:
  // the digest of the whole present content, and any sync it was given. Hands
  // the job what was written; a caller that must not wait asks again later.
  bool Ready(TFile f);
  // Writing: what Write has collected goes to the file now. Reading: what
  // was read ahead is dropped if the file's size, modification or change
  // time moved since the previous Flush, so the next Read sees the file as
  // it is now; an unchanged file keeps it.
  void Flush(TFile f);
  void Trunc(TFile f, uint64_t p);

  // The file's modification time; 0 for both parts when it cannot be read.
  void GetDateTime(TFile f, DT::TDateTime& x);
  // false when the system refuses to set it (the entry is marked failed).
  bool SetDateTime(TFile f, const DT::TDateTime& x);

  // Digest of the whole file into d and its length into l; false on a read
  // error. Both digests run on the caller's thread (Jobs::Hash) and stop the
  // program between two blocks when a console signal is pending: for the
  // client's own file before its loop runs, and for tests.
  bool CalcMD5(THandle h, MD5::TDgstDesc& d, uint64_t& l);
  // Digest of the first n bytes; false when they cannot all be read.
  bool CalcMD5x(THandle h, uint64_t n, MD5::TDgstDesc& d);

  // Reports an operation on f that the system refused (op, errno err) and
  // marks f failed; only the first failure of an entry is logged, so a full
  // disk does not add a line per fragment. For the modules under the table.
  void Fail(TFileDesc& f, const char* op, int err);

  // The length as (at least) 8 hexadecimal digits, a blank and the digest
  // text; "-" for a digest not known yet (-x).
  void WrTgt(SO::TBuffer& b, const TPosDesc& t, bool known = true);

  // The part of r after its last "\" or "/" (at most 128 characters of r).
  void MkBaseName(const char* r, Types::TPthStr& n);
  void MkRdPth(const char* r, Types::TPthStr& n);
  void MkWrPth(const char* r, Types::TPthStr& n);
}
