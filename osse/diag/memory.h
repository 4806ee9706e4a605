// The memory allocator of the Tarn libraries: every heap block of every library comes from
// _ossMemAlloc and goes back through _ossMemFree of this library.
//
// What it adds to the run-time heap
// ---------------------------------
// Each block carries a 16-byte header in front of the caller's data (eye-catcher, requested
// size, 0, source line), so that a free can tell a block of this allocator from anything else.
// On top of that a debug facility, chosen by the environment variable "OSSEMEMDBG" or by
// ossMemSetDebug, adds guard words around the data that every free verifies, a list of the live
// blocks with the allocating file and line, and leak reports. A corruption is reported (through
// the assertion failure report, never by stopping the process) and the free goes on.
//
// Modes and block layouts (offsets from the address malloc returned; padded = size rounded up
// to a multiple of 8, except in NONE; all words u32 little-endian):
//
//   NONE  (0)           header | data                                        size + 16
//   IDLE  (0x1D1EC0DE)  {0, 0, size, IDLE} | header | data, slack           padded + 32
//   LIGHT (0xE7AC011A)  {0x600DBEEF, 0xFEEDFACE, size, LIGHT} | header |
//                       data, 0xCC fill | {0x600DBEEF, 0xFEEDFACE, size, LIGHT} padded + 48
//   FULL  (0xA110CA7E)  gap | F pads | list node (ends with the header) |
//                       data, 0xCC fill | B pads | {size, FULL}            gap + 8F + node
//                                                                           + padded + 8B + 8
//
// A pad is the pair {0x600DBEEF, 0xFEEDFACE}. In every debug mode the word in front of the header
// is the block's mode tag, so a block is checked by the layout it was allocated with whatever the
// mode is now; a freed block has 0xDEAD055E as eye-catcher and 0xF4EEDA7A as mode tag.
//
// The FULL list node holds two pointers of this platform's width: 2 * 8 + 56 = 72 bytes here
// (OSSMEM_LIST_NODE_SIZE). ossMemHeapSize and ossMemDataOffset are the one formula of every
// layout; the allocator and its tests both use them.
//
// Alignment. The data lies 16 (NONE) or 32 (IDLE, LIGHT) bytes past the heap address, and in
// FULL mode gap + 8F + 72 bytes past it, where the gap (0 or 8 bytes, in front of the first pad)
// makes that a multiple of 16 for every F. So the data pointer is 16-byte aligned in every mode
// whenever the heap's memory is (glibc's is).
//
// Settings and threads
// --------------------
// The settings (mode, flags, pad counts) live in the control block under its latch. They are
// read from "OSSEMEMDBG" once per process, by library start-up or else on first use. The first
// allocation sets allocationStarted; from then on the mode may change between the on-modes
// (IDLE, LIGHT, FULL) but never between on and off. Allocations before allocationStarted take
// the latch; later ones read a consistent snapshot of the settings without it: every change is
// written under the latch between two steps of a sequence count, and a reader retries while the
// count is odd or moved. The short way of an IDLE allocation or free reads only the mode and the
// flags, published together as one 64-bit word (under the latch, once the first allocation has
// been counted). The FULL list is changed only under the latch, and the leak report holds it
// throughout. Guard checks run without it.
//
// Thread cache. A freed IDLE block of at most 256 data bytes is marked freed as any other and
// then kept by the freeing thread, up to 32 KiB of heap per thread, for its next IDLE allocation
// of the same heap size (memory_cache.h); the heap sizes above stay what each allocation asks
// for. A double free of a cached block is seen and refused as for any freed block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osse/sys/latch.h"

// Mode words.
inline constexpr std::uint32_t OSSMEM_MODE_NONE = 0;
inline constexpr std::uint32_t OSSMEM_MODE_IDLE = 0x1D1EC0DEu;
inline constexpr std::uint32_t OSSMEM_MODE_LIGHT = 0xE7AC011Au;
inline constexpr std::uint32_t OSSMEM_MODE_FULL = 0xA110CA7Eu;

// Magic words and bytes.
inline constexpr std::uint32_t OSSMEM_EYE_ALLOCATED = 0x7A4055E0u;  // low 4 bits: flags
inline constexpr std::uint32_t OSSMEM_EYE_FREED = 0xDEAD055Eu;
inline constexpr std::uint32_t OSSMEM_TAG_FREED = 0xF4EEDA7Au;
inline constexpr std::uint32_t OSSMEM_PAD_WORD0 = 0x600DBEEFu;
inline constexpr std::uint32_t OSSMEM_PAD_WORD1 = 0xFEEDFACEu;
inline constexpr std::uint8_t OSSMEM_FILL_BYTE = 0xCC;
inline constexpr std::uint8_t OSSMEM_POISON_BYTE = 0xFF;

// Debug flags (OSSMemDebugCB::flags).
inline constexpr std::uint32_t OSSMEM_DEBUG_POISON_NEW = 0x01;    // new blocks filled with 0xFF
inline constexpr std::uint32_t OSSMEM_DEBUG_POISON_FREED = 0x02;  // freed data filled with 0xFF
inline constexpr std::uint32_t OSSMEM_DEBUG_CARRIED_04 = 0x04;    // carried for other components,
inline constexpr std::uint32_t OSSMEM_DEBUG_CARRIED_08 = 0x08;    //   never tested here
inline constexpr std::uint32_t OSSMEM_DEBUG_LONG_REPORT = 0x20;   // "mem_leaks.txt" report form

// allocFlags of _ossMemAlloc; any other bit is refused.
inline constexpr std::uint32_t OSSMEM_ALLOC_ZERO = 0x1;       // zeroed data
inline constexpr std::uint32_t OSSMEM_ALLOC_EYE_FLAG = 0x2;   // sets bit 0 of the eye-catcher

// _ossMemAllocCheck's result in mode NONE (-1).
inline constexpr std::uint32_t OSSMEM_SIZE_UNKNOWN = 0xFFFFFFFFu;

struct OSSMemBlockHeader {
  std::uint32_t eyeCatcher;
  std::uint32_t size;
  std::uint32_t reserved;  // always 0
  std::uint32_t line;
};
static_assert(sizeof(OSSMemBlockHeader) == 16);

// The 16-byte prefix of IDLE and LIGHT blocks, and the trailer of LIGHT blocks.
struct OSSMemPrefix {
  std::uint32_t word0;  // IDLE 0, LIGHT OSSMEM_PAD_WORD0
  std::uint32_t word1;  // IDLE 0, LIGHT OSSMEM_PAD_WORD1
  std::uint32_t size;
  std::uint32_t mode;
};
static_assert(sizeof(OSSMemPrefix) == 16);

struct OSSMemPad {
  std::uint32_t word0;
  std::uint32_t word1;
};
static_assert(sizeof(OSSMemPad) == 8);

struct OSSMemBackTrailer {
  std::uint32_t size;
  std::uint32_t mode;
};
static_assert(sizeof(OSSMemBackTrailer) == 8);

struct OSSMemListNode {
  OSSMemListNode* next;  // towards older blocks
  OSSMemListNode* prev;  // towards newer blocks; null at the head
  char fileName[20];     // base name of the allocating file, NUL-terminated
  std::uint32_t size;
  std::uint32_t line;
  std::uint32_t frontPads;
  std::uint32_t backPads;
  std::uint32_t modeTag;
  OSSMemBlockHeader header;
};
inline constexpr std::size_t OSSMEM_LIST_NODE_SIZE = 2 * sizeof(void*) + 20 + 5 * 4 + sizeof(OSSMemBlockHeader);
static_assert(sizeof(OSSMemListNode) == OSSMEM_LIST_NODE_SIZE);
static_assert(offsetof(OSSMemListNode, modeTag) + 4 == offsetof(OSSMemListNode, header));

struct OSSMemDebugCB {
  std::uint32_t flags;
  std::uint32_t mode;
  std::uint32_t allocationStarted;
  std::uint32_t frontPads;
  std::uint32_t backPads;
  OSSMemListNode* listHead;  // the newest FULL block
  OSSLatch latch;
};

// Bytes requested from the heap for a block of `size` bytes, and the offset of its data from
// the heap address, in the given mode with F front and B back pads (pads count in FULL only).
// 0 for an unknown mode.
std::uint64_t ossMemHeapSize(std::uint32_t mode, std::uint32_t size, std::uint32_t frontPads,
                             std::uint32_t backPads) noexcept;
std::uint64_t ossMemDataOffset(std::uint32_t mode, std::uint32_t frontPads) noexcept;

// Reads "OSSEMEMDBG" and applies it; runs once per process however often it is called (library
// start-up, or the first use of any function below).
void ossMemReadDebugSettings() noexcept;

// The control block (g_pMemDebugCB points at it only when the start-up mode is FULL).
const OSSMemDebugCB* ossMemGetDebugCB() noexcept;

extern "C" {

// ECF_INVALID_PARAMETER for a null ppOut, a size of 0 or an unknown allocFlags bit; the system
// error handler's code (ECF_NO_MEMORY) when the heap refuses; else 0 with *ppOut the data.
std::uint32_t _ossMemAlloc(void** ppOut, void* reserved, std::uint32_t size, std::uint32_t allocFlags,
                           const char* file, std::uint32_t line) noexcept;
// ECF_INVALID_PARAMETER for a null pp; ECF_MEM_NULL_POINTER (logged) for a null *pp; else the
// block is checked, released unless its mode tag is unknown or freed, and *pp set to null: 0.
std::uint32_t _ossMemFree(void** pp, void* reserved1, std::uint32_t reserved2, const char* file,
                          std::uint32_t line) noexcept;
// The checks of a free; the block's requested size (OSSMEM_SIZE_UNKNOWN in mode NONE). With
// markFreed the block is marked freed and *pp replaced by its heap address (null when the block
// would not be released); nothing is released.
std::uint32_t _ossMemAllocCheck(void** pp, const char* file, std::uint32_t line, std::uint32_t markFreed) noexcept;
// The leak report of FULL mode: to a file in the debug directory (toFile), else to standard
// output. 0.
std::uint32_t ossMemAllocList(bool toFile) noexcept;
// 0, or ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC when blocks exist and the mode would switch
// between on and off (the mode then stays; flags and pads are taken either way).
std::uint32_t ossMemSetDebug(std::uint32_t flags, std::uint32_t mode, std::uint32_t frontPads,
                             std::uint32_t backPads) noexcept;
// The allocator keeps a few freed small IDLE blocks per thread for that thread's next
// allocations, and hands them back to the heap when the thread ends. This hands back the calling
// thread's now (before a heap census, or when a long-lived thread goes quiet): the heap bytes
// handed back.
std::uint64_t ossMemTrimThreadCache() noexcept;
void ossMemSetMemFFDCEnabledFlag() noexcept;
bool ossMemIsMemFFDCAndOSSeMemDebugPathSet() noexcept;

extern OSSMemDebugCB* g_pMemDebugCB;
extern char g_szMemDebugLogPath[261];
// Set by another component to ask for a leak report: the next allocation or free clears it and
// writes the report to file first.
extern std::uint8_t g_bDumpMemAllocListFlag;
// First-failure data capture: library termination writes the leak report.
extern std::uint8_t g_bIsMemoryFFDCEnabledFlag;

}  // extern "C"
