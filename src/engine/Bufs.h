// Bufs.h — the buffered reads and writes of the file table, and the disk
// reservation of a file being received.
//
// One buffer per entry, so that a run of fragments costs one system call
// instead of one each: a file being sent reads ahead up to bufLen bytes
// (never beyond the target length) and serves the next fragments from
// memory; a file being received collects consecutive fragments and writes
// them at once. What is collected is written before anything else touches
// the file (Drain). An upload reserves its disk space ahead of its data. The callers are Files' operations of the same names,
// which check the entry's direction first.
#pragma once
#include <cstddef>
#include <cstdint>

#include "Files.h"

namespace Bufs {
  constexpr uint32_t bufLen = 65536;

  // A new entry's buffer is empty.
  void Reset(const Files::TFileDesc& f);
  // Reads up to l bytes at p from h, fewer at the end of the file; err
  // becomes the reason when a read fails (what was read before it counts).
  uint32_t ReadAt(Files::THandle h, uint8_t* x, uint32_t l, uint64_t p, int& err);
  // Reads up to l bytes at p into x, served from the read-ahead.
  uint32_t Read(Files::TFileDesc& f, uint64_t p, void* x, uint32_t l);
  // Collects (or, above bufLen, writes) the l bytes of s for position p, and
  // keeps the reservation of an upload ahead of it.
  void Write(Files::TFileDesc& f, uint64_t p, const uint8_t* s, uint32_t l);
  // Writes what the entry has collected.
  void Drain(Files::TFileDesc& f);
  // Writing: Drain. Reading: what was read ahead is dropped if the file's
  // size or times moved since the previous Flush.
  void Flush(Files::TFileDesc& f);
  // Refuses a write entry whose target length does not fit the free space,
  // and reserves the first part of it (see Files::Reserve).
  bool Reserve(Files::TFileDesc& f);
}
