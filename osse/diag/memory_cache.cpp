// The allocator's per-thread cache: its thread-exit release. See memory_cache.h.
#include "osse/diag/memory_cache.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

__attribute__((tls_model("initial-exec"))) thread_local constinit OSSMemIdleCache t_ossMemIdleCache = {};

namespace {

pthread_key_t g_releaseKey;
bool g_releaseKeyMade = false;
pthread_once_t g_releaseKeyOnce = PTHREAD_ONCE_INIT;

// Runs at thread exit, after the thread's own thread_local destructors, which may still free.
void releaseAtExit(void*) noexcept { ossMemIdleCacheRelease(true); }

void makeReleaseKey() noexcept { g_releaseKeyMade = ::pthread_key_create(&g_releaseKey, releaseAtExit) == 0; }

unsigned char* nextOf(unsigned char* raw) noexcept {
  unsigned char* next;
  std::memcpy(&next, raw, sizeof next);
  return next;
}

}  // namespace

bool ossMemIdleCacheRegister() noexcept {
  OSSMemIdleCache& cache = t_ossMemIdleCache;
  // A closed cache (the thread is ending) is never opened again.
  if (cache.bytes >= kIdleCacheClosed) return false;
  ::pthread_once(&g_releaseKeyOnce, makeReleaseKey);
  // The key's value only has to be non-null for the release to run.
  if (!g_releaseKeyMade || ::pthread_setspecific(g_releaseKey, &cache) != 0) {
    cache.bytes = kIdleCacheClosed;
    return false;
  }
  cache.registered = 1;
  return true;
}

std::uint64_t ossMemIdleCacheRelease(bool close) noexcept {
  OSSMemIdleCache& cache = t_ossMemIdleCache;
  std::uint64_t released = 0;
  for (std::uint32_t index = 0; index < kIdleCacheClasses; ++index) {
    const std::uint64_t padded = (static_cast<std::uint64_t>(index) + 1) * 8;
    // Reversed first, so that the most recently cached block is the last one freed.
    unsigned char* reversed = nullptr;
    for (unsigned char* raw = cache.head[index]; raw != nullptr;) {
      unsigned char* next = nextOf(raw);
      std::memcpy(raw, &reversed, sizeof reversed);
      reversed = raw;
      raw = next;
    }
    cache.head[index] = nullptr;
    for (unsigned char* raw = reversed; raw != nullptr;) {
      unsigned char* next = nextOf(raw);
      TARN_MEMCACHE_UNPOISON(raw + kIdleCacheDataOffset, padded);
      std::free(raw);
      released += padded + kIdleCacheDataOffset;
      raw = next;
    }
  }
  cache.bytes = close ? kIdleCacheClosed : 0;
  return released;
}
