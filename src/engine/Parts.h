// Parts.h — partial files that outlive their transfer (-k): the data received
// so far, a record of which fragments they hold and of the source they belong
// to, the order in which both reach the disk, and the server's bounds on the
// partial uploads it keeps.
//
// A partial file is "<name>.wisp-part", its record "<name>.wisp-part.rec",
// both in the module's directory: the client's is the current directory (the
// names are visible, and a -k client refuses to receive a file under a name
// of this pattern, so a partial file is never taken for a finished one); the
// server's is the hidden subdirectory dirName, which no resource id reaches
// (a resource id is a base name in the current directory, and dirName has the
// pattern of Tmps' temporary names, which the file table refuses to read or
// write). The server keeps at most keepMax partial uploads for lifeSec each.
//
// The record says what is held: the in-order prefix (fragments 0..p-1) and a
// bitmap of up to wndMax fragments beyond it. Its write order makes it never
// claim more than the disk holds: the data are synced (fdatasync on the
// module's own descriptor of the file, a separate open, so that it sees every
// write-back error since the file was opened, whoever else synced it) before a
// record that counts them is written; the record is written to a temporary
// name, synced, renamed over the old one, and the directory synced. A record
// that does not parse, fails its CRC, has another version, or disagrees with
// its partial file (shorter than the held fragments reach, longer than the
// source) is dropped, and the transfer starts over: it costs time, never a
// wrong file. The final length and digest check of the transfer stays the
// proof of the content.
//
// On the loop: Open, Begin, Mark and the queries, Snap, Finish, Keep, Discard,
// Sweep. On the worker: Save (the one slow step: three syncs), which writes no
// log line; its error is its caller's to report.
#pragma once
#include <cstdint>

#include "DT.h"
#include "Log.h"
#include "Types.h"
#include "WISP.h"

namespace Parts {
  constexpr char partExt[] = ".wisp-part";
  constexpr char recExt[] = ".wisp-part.rec";
  // The server's directory of partial uploads.
  constexpr char dirName[] = ".wisp-part.tmp";
  // Fragments the bitmap covers beyond the in-order prefix: the widest
  // receive window (Rcvrs::wndCc).
  constexpr uint32_t wndMax = 131072;
  constexpr uint32_t keepMax = 64;          // partial uploads the server keeps
  constexpr uint64_t lifeSec = 24 * 3600;   // and for how long after their last record
  constexpr uint64_t sweepSec = 3600;       // the server's sweep, besides the one at start-up
  constexpr uint32_t lenSrv = 80;           // the server's endpoint as text ("[v6%zone]:port")

  // ---- the record (all fields little-endian, through WISP's helpers) -----
  constexpr uint32_t recMagic = 0x43525057u;   // "WPRC"
  constexpr uint16_t recVer = 1;
  // magic u32, version u16, digest known u8, reserved u8, length u64, date
  // and time, fragment length u16, reserved u16, digest[16], save time u64
  // (Unix seconds), prefix u32, bitmap bits u32, resource id[128], server
  // text[80] (zero-padded), bitmap (bit j % 8 of byte j / 8: fragment p + j), CRC.
  namespace Rec {
    constexpr uint32_t m = 0, v = 4, k = 6, x = 7, l = 8, d = 16, f = 24, y = 26, g = 28, t = 44, p = 52,
                       b = 56, r = 60, s = r + WISP::lenResID, map = s + lenSrv;
    // The whole record with a bitmap of b bits: the fields, the bitmap and
    // the CRC-32 trailer of the telegrams (Crc).
    constexpr uint32_t Len(uint32_t b) { return map + (b + 7) / 8 + WISP::lenTrl; }
    constexpr uint32_t lenMax = Len(wndMax);
  }
  static_assert(Rec::map == 268 && Rec::lenMax == 16656);

  // What a partial file belongs to.
  struct TSrcDesc {
    WISP::TResID r;        // the resource id as asked for
    char s[lenSrv + 1];    // the server's endpoint as text (the client's); empty on the server
    uint64_t l;            // the file's length
    DT::TDateTime d;       // its date and time
    uint16_t f;            // the fragment length of the fragment indices
    bool k;                // the digest is known
    uint8_t g[WISP::lenDgst];
  };

  // Whether a resume may go on: mOk, or what differs. mNone: nothing was
  // kept. mFail: the partial file could not be emptied (errno; Begin).
  enum TMatch : uint8_t { mOk, mNone, mName, mSrv, mLen, mDate, mDgst, mFail };
  // The rule: name, server, length, date and time equal, and the digest too
  // when both know it. The fragment length may differ (Begin rebases).
  TMatch Match(const TSrcDesc& kept, const TSrcDesc& now);

  // A base name of this module's pattern (a partial file, its record, or the
  // server's directory): a -k client refuses to receive into one.
  bool IsPartName(const char* n);

  // Encodes the record of s with save time t, prefix p and the b bits of map
  // (bit j: fragment p + j) into x (Rec::Len(b) bytes); returns its length.
  uint32_t Encode(uint8_t* x, const TSrcDesc& s, uint64_t t, uint32_t p, const uint8_t* map, uint32_t b);
  // Why a record is refused: its length, CRC, magic, version, a field out
  // of range, held fragments beyond the count or not as the encoder writes
  // them; bFile: its partial file is shorter than the held fragments reach,
  // longer than the source, or missing.
  enum TBad : uint8_t { bOk, bLen, bCrc, bMagic, bVer, bField, bHeld, bFile };
  // Decodes and validates the l bytes at x; on bOk s, t, p, b and map
  // (wndMax / 8 bytes) hold it.
  TBad Decode(const uint8_t* x, uint32_t l, TSrcDesc& s, uint64_t& t, uint32_t& p, uint8_t* map, uint32_t& b);

  // Fragments of a length: the one conversion between the two (0 when f is 0
  // or the count does not fit 32 bits).
  uint64_t Fragments(uint64_t l, uint16_t f);
  // The bytes fragments 0..e-1 reach.
  uint64_t BytesTo(uint64_t l, uint16_t f, uint32_t e);

  // ---- the partial file of a transfer -------------------------------------
  struct TPartDesc {
    uint8_t i;                   // slot 1..cnt; 0 = free
    int h;                       // the partial file, locked (flock), the module's own open
    Types::TPthStr pn;           // its path, the record's, the record's temporary one
    Types::TPthStr rn;
    Types::TPthStr tn;
    bool rec;                    // a valid record was found at Open (s is its source)
    bool run;                    // Begin has set the source of this transfer
    TSrcDesc s;
    uint64_t st;                 // the kept record's save time
    uint32_t n;                  // fragment count (after Begin)
    uint32_t p;                  // in-order prefix: fragments 0..p-1 held
    uint32_t hi;                 // 1 + the highest fragment held (p when none beyond)
    uint32_t m[wndMax / 32];     // held flags of p .. p + wndMax - 1, by index MOD wndMax
    uint32_t il;                 // the snapped record: its length, and whether a Save
    bool sv;                     // of it is still to come (the loop snaps no other meanwhile)
    uint8_t j;                   // the job of Jobs that runs that Save (0: none)
    uint32_t nm;                 // fragments marked since the last Snap
    uint8_t lv;                  // Leave: 1 its last record is still to be snapped, 2 saved
    uint64_t lt;                 //   at this time
    uint8_t img[Rec::lenMax];
  };
  using TPart = TPartDesc*;

  constexpr uint32_t cntMax = 16;

  struct TSettings {
    uint32_t cnt = cntMax;            // partial files open at once (the sessions)
    Log::TModId mid = Log::midNull;
    bool vrb = false;
    bool srv = false;                 // the server's: in dirName, with the kept index and its bounds
    uint64_t now = 0;                 // the server: the time of the start-up sweep (Unix seconds)
    uint64_t life = lifeSec;          // the server: how long a partial upload is kept (tests shorten it)
  };

  // Starts the module. The server's creates dirName (mode 0700) and sweeps
  // it (Sweep(now)); false when the directory cannot be made.
  bool InitModule(const TSettings& s);

  // How Open went.
  enum TOpen : uint8_t { oNew, oKept, oBusy, oBad, oFail };
  // Opens (creates) the partial file of the base name n and locks it; reads
  // its record: oKept (p->s the kept source, nothing held until Begin), oNew
  // (no record), oBad (a record that is damaged or disagrees with the file:
  // it was removed, and the partial file starts empty). oBusy: another
  // process or session holds it; oFail: the table is full or the system
  // refused (errno). p is nullptr unless oNew, oKept or oBad. On the server a
  // kept partial upload leaves the kept index while it is open.
  TOpen Open(const char* n, TPart& p);
  // The source of this transfer: when the kept record matches (mOk) its held
  // fragments stay, rebased to s.f when the fragment length changed (the
  // in-order prefix in whole new fragments; the rest is asked for again);
  // otherwise the record is removed and the file emptied, before anything
  // new is written (the match result says why: the client's message); mFail
  // when the file cannot be emptied (the transfer fails).
  TMatch Begin(TPart p, const TSrcDesc& s);
  // The digest became known during the transfer (sent after the data):
  // mDgst when the kept one differs (the held data are of another content;
  // the caller fails the transfer and Discards).
  TMatch Learn(TPart p, const uint8_t (&g)[WISP::lenDgst]);
  // A new descriptor of the partial file for the writer (a separate open,
  // O_RDWR); -1 with errno.
  int Reopen(TPart p);

  // Fragment i has been written (into the file; it counts in the next
  // Snap). false when i lies beyond the count or wndMax past the prefix.
  bool Mark(TPart p, uint32_t i);
  bool Held(TPart p, uint32_t i);
  // Bit j: fragment b + j is held (beyond the count: not held).
  uint32_t Held32(TPart p, uint32_t b);
  // The first fragment from i on that is not held (the count when none).
  uint32_t NextMissing(TPart p, uint32_t i);
  // Fragments and bytes held.
  uint32_t Count(TPart p);
  uint64_t HeldBytes(TPart p);
  uint32_t Prefix(TPart p);

  // The loop's half of a record's write: what is marked now (every marked
  // fragment already written to the file) becomes the record to save, with
  // save time now. false while the previous one waits for its Save.
  bool Snap(TPart p, uint64_t now);
  // The worker's half: syncs the partial file's data, then writes the snapped
  // record in its write order; 0 or the errno of the step that failed (the
  // old record then stays as it was, or none is there). A pending snap is
  // done either way.
  int Save(TPart p);
  // The write order alone, for a worker that has synced the data itself (0
  // or errno): the l bytes of x to the temporary path tn, synced, renamed to
  // rn, rn's directory synced.
  int Store(const uint8_t* x, uint32_t l, const char* tn, const char* rn);

  // The loop's save schedule (Save as a job of Jobs, at most one per
  // partial file): once saveLen bytes have been marked since the last record,
  // Tick snaps and hands the Save to the worker, and collects the result of
  // the one before (a failure is logged; the record stays as it was, which
  // only costs data a resume asks for again). Call it only when every marked
  // fragment has reached the file (after the writer's flush).
  constexpr uint64_t saveLen = 4u << 20;
  void Tick(TPart p, uint64_t now);
  // The ending of a transfer that keeps its partial file: waits for a Save
  // under way, then snaps and saves what is marked now, through the worker,
  // and waits for it (the end of a session, not its data phase). false when
  // the record could not be written (the one before stays).
  bool Settle(TPart p, uint64_t now);
  // The same ending for a caller that must not wait (the server's loop): p
  // is left to the module (p becomes nullptr), which snaps and saves what is
  // marked now when snap is set (not for a file whose writes failed), and
  // Keeps it once its Save has run; Reap moves the partial files left so on,
  // the module's end finishes them. Leaving: the partial file of the base
  // name n is still being left (its lock is held; a request for it may wait).
  void Leave(TPart& p, uint64_t now, bool snap);
  // No Save of p is under way (a result is collected): Finish, Keep and
  // Discard would not wait.
  bool Idle(TPart p);
  void Reap();
  bool Leaving(const char* n);

  // Finish, Keep and Discard free the slot; they wait for a Save under way
  // first (its job ends before the files change).
  //
  // The transfer succeeded and the caller put the partial file in place
  // under its name (Files' commit): the record goes, and the slot is free.
  void Finish(TPart& p);
  // The transfer ended without success: the files stay as the last Save left
  // them (a partial file without a record goes: it claims nothing); the
  // server enters the upload in its kept index under the time of its last
  // record, removing the oldest when keepMax are kept.
  void Keep(TPart& p);
  // The record and the partial file go (a failed final check): the next run
  // starts clean.
  void Discard(TPart& p);

  // ---- the server's kept partial uploads ----------------------------------
  // Removes what the settings' life has passed over (since its last record) at now,
  // what does not parse or has no partial file, and stray files; then the
  // oldest beyond keepMax. Returns the number of uploads removed.
  uint32_t Sweep(uint64_t now);
  // Partial uploads kept (not open), and the disk they hold (allocated
  // blocks, bytes): an upload's reservation counts it.
  uint32_t Kept();
  uint64_t Disk();
  // Removes the oldest kept uploads until need fits avail and what they
  // free; returns the bytes freed (for a reservation that does not fit).
  uint64_t Reclaim(uint64_t need, uint64_t avail);
}
