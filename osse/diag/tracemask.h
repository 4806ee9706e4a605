// The trace mask: which trace points the mask filter (option flag 0x2000) lets through.
//
// The mask is plain data with no pointers, because it lives inside the trace options and so
// inside the trace control block, which several processes may map at different addresses. This
// header fixes its layout, byte for byte; the operations on it (set, delete, clear, the element
// test and the flattening into the options' bitmaps) belong to the trace-mask unit. Until that
// unit is in the library the trace facility's mask filter lets nothing through
// (gtraceMaskFilter in tracemodes.h).
//
// Component slots: component c of product p uses slot base(p) + c, with base 1, 33 and 65 for
// products 1, 2 and 3 (32, 32 and 192 slots); slot 0 is never used. Bit sets are little-endian
// bit arrays: bit n is bit n mod 8 of byte n / 8.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t GTM_SLOT_COUNT = 257;
inline constexpr std::uint32_t GTM_SCAN_POINT_ENTRIES = 2000;
inline constexpr std::uint32_t GTM_SCAN_POINT_BUCKETS = 1024;

struct GTMSlot {
  std::uint8_t typeBits[2];         // bit t: record type t
  std::uint8_t functionBits[512];   // bit f: function number f (0 to 4095)
};
static_assert(sizeof(GTMSlot) == 514);

struct GTMScanPoint {
  std::uint32_t key;                // function id with bits 16-18 cleared; 0 when free
  std::uint32_t reserved1;
  std::uint64_t value;              // caller-defined; bit 1 (value 2) marks an exclusion
  std::uint16_t probe;
  std::uint16_t next;               // next entry of the chain, 0 at the end
  std::uint8_t reserved2[4];
};
static_assert(sizeof(GTMScanPoint) == 24 && offsetof(GTMScanPoint, value) == 8 && offsetof(GTMScanPoint, next) == 18);

struct GTMScanPointTable {
  GTMScanPoint entries[GTM_SCAN_POINT_ENTRIES];   // entry 0 is never used
  std::uint16_t heads[GTM_SCAN_POINT_BUCKETS + 1];  // [0]: free list; [b]: bucket b
  std::uint8_t reserved[6];
  std::uint64_t count;
  std::uint64_t exclusionCount;
};
static_assert(sizeof(GTMScanPointTable) == 50072 && offsetof(GTMScanPointTable, heads) == 48000 &&
              offsetof(GTMScanPointTable, count) == 50056);

struct GTM_TRC_MASK {
  std::uint8_t productBits[4];
  std::uint8_t componentBits[32];
  GTMSlot slots[GTM_SLOT_COUNT];
  std::uint8_t reserved[2];
  GTMScanPointTable scanPoints;
};
static_assert(sizeof(GTM_TRC_MASK) == 182208);
static_assert(offsetof(GTM_TRC_MASK, slots) == 36 && offsetof(GTM_TRC_MASK, scanPoints) == 132136);
