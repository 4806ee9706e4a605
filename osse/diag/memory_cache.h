// The allocator's per-thread cache of freed IDLE blocks. Not part of the library's interface:
// memory.cpp inlines it into the short ways of _ossMemAlloc and _ossMemFree.
//
// Why: in the default mode most blocks are small and short-lived, and the heap's own
// allocate-and-free pair costs as much as everything else the allocator does. A freed IDLE block
// of at most kIdleCacheMaxData data bytes is kept by the freeing thread, in a list for its exact
// heap size, and the next IDLE allocation of that heap size on that thread takes it back without
// asking the heap. Blocks are plain heap memory whichever thread allocated them, so a block
// allocated by one thread and freed by another simply joins the other's cache.
//
// What a cached block keeps: it was marked freed before it was cached (freed eye-catcher, freed
// mode tag), so a second free of it is reported as a double free and releases nothing, exactly as
// for a block handed back to the heap. Its list link lies in the prefix's two zero words, which
// the allocation writes again; its data is poisoned for AddressSanitizer while it waits.
//
// Bounds: at most kIdleCacheMaxBytes heap bytes per thread; a free beyond that goes to the heap.
// A thread's cache goes back to the heap when the thread ends, and from then on that thread's
// frees go straight to the heap; ossMemTrimThreadCache hands it back at any time.
#pragma once

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TARN_MEMCACHE_POISON(at, size) ASAN_POISON_MEMORY_REGION(at, size)
#define TARN_MEMCACHE_UNPOISON(at, size) ASAN_UNPOISON_MEMORY_REGION(at, size)
#else
#define TARN_MEMCACHE_POISON(at, size) ((void)(at), (void)(size))
#define TARN_MEMCACHE_UNPOISON(at, size) ((void)(at), (void)(size))
#endif

#define TARN_MEMCACHE_HIDDEN __attribute__((visibility("hidden")))

// Data sizes served from the cache (their padded size), and one list per padded size: 8, 16, ...
inline constexpr std::uint32_t kIdleCacheMaxData = 256;
inline constexpr std::uint32_t kIdleCacheClasses = kIdleCacheMaxData / 8;
// Heap bytes one thread may hold. A thread's cache is "closed" (it takes nothing more) by
// setting its count past any bound.
inline constexpr std::uint32_t kIdleCacheMaxBytes = 32 * 1024;
inline constexpr std::uint32_t kIdleCacheClosed = 0x80000000u;
// The IDLE block's prefix and header in front of the data.
inline constexpr std::uint32_t kIdleCacheDataOffset = 32;

struct OSSMemIdleCache {
  unsigned char* head[kIdleCacheClasses];  // heap addresses, linked through their first 8 bytes
  std::uint32_t bytes;                     // heap bytes held, or kIdleCacheClosed and more
  std::uint32_t registered;                // the thread-exit release is arranged
};

// Zero-initialised and trivially destructible, so every access is a plain offset from the
// thread pointer (the library is loaded with its program, never unloaded).
extern __attribute__((tls_model("initial-exec"))) thread_local constinit OSSMemIdleCache t_ossMemIdleCache;

// Arranges for the calling thread's cache to go back to the heap when the thread ends. false
// when that cannot be arranged: the thread then caches nothing.
TARN_MEMCACHE_HIDDEN bool ossMemIdleCacheRegister() noexcept;
// Hands every block of the calling thread's cache back to the heap, each list's most recently
// cached block last (the heap, last in first out, then hands that one out first again); with
// `close` the cache takes nothing more. The heap bytes handed back.
TARN_MEMCACHE_HIDDEN std::uint64_t ossMemIdleCacheRelease(bool close) noexcept;

// The list index of a padded data size, or kIdleCacheClasses and more when it is not cached.
inline std::uint64_t ossMemIdleCacheClass(std::uint64_t padded) noexcept { return (padded >> 3) - 1; }

// A cached block of this padded data size, ready for its prefix and header; null when none.
inline __attribute__((always_inline)) unsigned char* ossMemIdleCacheTake(std::uint64_t padded) noexcept {
  const std::uint64_t index = ossMemIdleCacheClass(padded);
  if (index >= kIdleCacheClasses) return nullptr;
  OSSMemIdleCache& cache = t_ossMemIdleCache;
  unsigned char* raw = cache.head[index];
  if (raw == nullptr) return nullptr;
  unsigned char* next;
  __builtin_memcpy(&next, raw, sizeof next);
  cache.head[index] = next;
  cache.bytes -= static_cast<std::uint32_t>(padded + kIdleCacheDataOffset);
  TARN_MEMCACHE_UNPOISON(raw + kIdleCacheDataOffset, padded);
  return raw;
}

// Keeps a block already marked freed; false when it must go to the heap instead.
inline __attribute__((always_inline)) bool ossMemIdleCacheGive(unsigned char* raw, std::uint64_t padded) noexcept {
  const std::uint64_t index = ossMemIdleCacheClass(padded);
  OSSMemIdleCache& cache = t_ossMemIdleCache;
  const std::uint64_t bytes = cache.bytes + padded + kIdleCacheDataOffset;
  if (index >= kIdleCacheClasses || bytes > kIdleCacheMaxBytes) return false;
  if (__builtin_expect(cache.registered == 0, 0) && !ossMemIdleCacheRegister()) return false;
  __builtin_memcpy(raw, &cache.head[index], sizeof(unsigned char*));
  cache.head[index] = raw;
  cache.bytes = static_cast<std::uint32_t>(bytes);
  TARN_MEMCACHE_POISON(raw + kIdleCacheDataOffset, padded);
  return true;
}
