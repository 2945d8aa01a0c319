// Slots.h — the fixed-slot table that the file table, the senders, the
// receivers and the server's sessions are built on.
//
// The array is sized at compile time for the largest program (N); the number
// of slots a program may use (cnt) is set when its module starts. Entries
// carry their slot number in a field `i` (1..cnt, 0 = free), Take hands out
// the lowest free slot cleared to zero bytes, and Give clears it again, so a
// table never allocates and a freed entry holds nothing stale.
#pragma once
#include <cstdint>
#include <cstring>
#include <type_traits>

template <typename T, uint32_t N>
struct TSlots {
  static_assert(std::is_trivially_copyable_v<T>, "entries are cleared bytewise");
  static_assert(N <= 255, "slot numbers are 8 bits");

  // usable slots, 1..N once Reset has run. Zero before, so that a table of
  // static storage is all zero bytes and takes no room in the program file.
  uint32_t cnt = 0;
  uint32_t n = 0;     // slots in use
  T a[N]{};

  // Limits the table to c slots (clamped to 1..N) and empties it.
  void Reset(uint32_t c) {
    cnt = c == 0 ? 1 : (c > N ? N : c);
    n = 0;
    std::memset(static_cast<void*>(a), 0, sizeof a);
  }

  bool Full() const { return n >= cnt; }

  // The lowest free slot, zeroed and numbered; nullptr when the table is full.
  T* Take() {
    if (Full()) return nullptr;
    for (uint32_t k = 0; k < cnt; ++k) {
      if (a[k].i == 0) {
        std::memset(static_cast<void*>(&a[k]), 0, sizeof a[k]);
        a[k].i = static_cast<uint8_t>(k + 1);
        ++n;
        return &a[k];
      }
    }
    return nullptr;   // n disagrees with the slots: the caller reports it
  }

  // Frees the slot of e (zero bytes).
  void Give(T* e) {
    std::memset(static_cast<void*>(e), 0, sizeof *e);
    if (n > 0) --n;
  }

  // The entry in slot k (1..cnt), or nullptr when k is out of range or free.
  T* At(uint32_t k) {
    if (k == 0 || k > cnt || a[k - 1].i == 0) return nullptr;
    return &a[k - 1];
  }

  // Calls f for each entry in use, in slot order.
  template <typename F> void ForEach(F f) {
    for (uint32_t k = 0; k < cnt; ++k)
      if (a[k].i != 0) f(a[k]);
  }
};
