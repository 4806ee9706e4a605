// The ring buffer's writer path, inline, for the trace points of this library (trace.cpp) and
// the exported ramboReserve.../ramboSync. Not part of the library's interface: the rare parts it
// calls (a record crossing the end, a full fill-once buffer, chunk hand-over) are hidden symbols
// of ringbuffer.cpp.
//
// Why inline: a trace point must cost a few nanoseconds. Calls between exported functions of a
// shared library go through the procedure linkage table and cannot be inlined, so the common case
// (kind 1, or a fill-once buffer with room: one fetch-and-add, a mask and a compare; then three
// stores to seal) lives here and compiles into the trace point itself.
#pragma once

#include <cstdint>

#include "osse/diag/ringbuffer.h"

#define RAMBO_HIDDEN __attribute__((visibility("hidden")))

// Every case, from the start: fill-once when full, chunk hand-over, crossing the end.
RAMBO_HIDDEN char* ramboReserveSlow(RamboCB* cb, std::uint32_t n, RamboReservation* r) noexcept;
// A reservation of sequence `seq` that did not fit before the end: kind 1 starts again, kind 2
// overflows into the scratch area.
RAMBO_HIDDEN char* ramboReserveAfter(RamboCB* cb, std::uint32_t n, RamboReservation* r, std::uint32_t seq) noexcept;
// Adds a sealed record's slots to the committed counts of its chunks (kind 4, auto dump on).
RAMBO_HIDDEN void ramboCommitChunks(RamboCB* cb, const RamboReservation* r) noexcept;

inline char* ramboScratchInline(RamboCB* cb) noexcept { return reinterpret_cast<char*>(cb) + cb->scratchOffset; }

inline char* ramboReserveInline(RamboCB* cb, std::uint32_t n, RamboReservation* r) noexcept {
  if (__builtin_expect(cb->chunked != 0, 0)) return ramboReserveSlow(cb, n, r);
  if (!cb->circular && __atomic_load_n(&cb->full, __ATOMIC_ACQUIRE) != 0) return ramboReserveSlow(cb, n, r);
  const std::uint32_t seq = __atomic_fetch_add(&cb->counter, n, __ATOMIC_RELAXED);
  const std::uint32_t i = seq & cb->mask;
  if (__builtin_expect(i + n > cb->slotCount, 0)) return ramboReserveAfter(cb, n, r, seq);
  r->slot = reinterpret_cast<char*>(cb) + cb->dataOffset + static_cast<std::size_t>(i) * RAMBO_SLOT_SIZE;
  r->chunk = nullptr;
  r->sequence = seq;
  r->slots = static_cast<std::uint16_t>(n);
  r->slotsInFirstChunk = static_cast<std::uint16_t>(n);
  return r->slot + RAMBO_SLOT_HEADER_SIZE;
}

inline void ramboSyncInline(RamboCB* cb, const RamboReservation* r) noexcept {
  if (r->slot == ramboScratchInline(cb)) return;  // a lost record
  const std::uint64_t header = static_cast<std::uint64_t>(r->sequence) |
                               (static_cast<std::uint64_t>(RAMBO_SLOT_MAGIC) << 32) |
                               (static_cast<std::uint64_t>(r->slots) << 48);
  // Header, then trailer, both after the body: a reader that sees the trailer sees a whole record.
  __atomic_store_n(reinterpret_cast<std::uint64_t*>(r->slot), header, __ATOMIC_RELEASE);
  __atomic_store_n(reinterpret_cast<std::uint32_t*>(r->slot + r->slots * RAMBO_SLOT_SIZE - 4), ~r->sequence,
                   __ATOMIC_RELEASE);
  if (r->chunk != nullptr) ramboCommitChunks(cb, r);
}
