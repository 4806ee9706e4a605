// The memory allocator. See memory.h for the layouts and the locking.
#include "osse/diag/memory.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/memory_cache.h"
#include "osse/diag/syserror.h"
#include "osse/diag/tracepoints.h"
#include "platform/winerror.h"

// The heap's malloc and free are called through their GOT entries rather than through PLT stubs:
// one indirect jump less on every allocation and free.
#if defined(__GNUC__) && !defined(__clang__) && defined(__PIC__)
extern "C" void* malloc(std::size_t) noexcept __attribute__((noplt));
extern "C" void free(void*) noexcept __attribute__((noplt));
#endif

extern "C" {
OSSMemDebugCB* g_pMemDebugCB = nullptr;
char g_szMemDebugLogPath[261] = {};
std::uint8_t g_bDumpMemAllocListFlag = 0;
std::uint8_t g_bIsMemoryFFDCEnabledFlag = 0;
}

namespace {

OSSMemDebugCB g_cb = {};

// Sequence count of the settings: odd while a change is being written under the latch.
std::atomic<std::uint32_t> g_settingsSequence{0};
std::atomic<bool> g_settingsRead{false};
// Mode (high half) and flags (low half) for the short ways of _ossMemAlloc and _ossMemFree: one
// load gives a consistent pair. 0 until the first allocation has been counted, so that the
// allocations before it take the latch.
std::atomic<std::uint64_t> g_hotSettings{0};
std::once_flag g_settingsOnce;

constexpr std::uint32_t kPadSize = sizeof(OSSMemPad);
constexpr std::uint32_t kHeaderSize = sizeof(OSSMemBlockHeader);

struct Settings {
  std::uint32_t flags;
  std::uint32_t mode;
  std::uint32_t frontPads;
  std::uint32_t backPads;
};

template <typename T>
T loadRelaxed(const T& field) noexcept {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

#define TARN_MEM_HOT inline __attribute__((always_inline))

TARN_MEM_HOT void ensureSettingsRead() noexcept {
  if (__builtin_expect(!g_settingsRead.load(std::memory_order_acquire), 0)) ossMemReadDebugSettings();
}

TARN_MEM_HOT Settings readSettingsFields() noexcept {
  return {loadRelaxed(g_cb.flags), loadRelaxed(g_cb.mode), loadRelaxed(g_cb.frontPads), loadRelaxed(g_cb.backPads)};
}

// The fields read with acquire ordering, so that the sequence count read after them cannot be
// read before them (plain loads on x86-64).
TARN_MEM_HOT Settings readSettingsFieldsOrdered() noexcept {
  return {__atomic_load_n(&g_cb.flags, __ATOMIC_ACQUIRE), __atomic_load_n(&g_cb.mode, __ATOMIC_ACQUIRE),
          __atomic_load_n(&g_cb.frontPads, __ATOMIC_ACQUIRE), __atomic_load_n(&g_cb.backPads, __ATOMIC_ACQUIRE)};
}

// A consistent copy of the settings without the latch: the fields are read between two reads of
// the sequence count, and read again while a change is under way or happened meanwhile.
__attribute__((noinline)) Settings snapshotSettingsRetry() noexcept {
  for (;;) {
    __builtin_ia32_pause();
    const std::uint32_t before = g_settingsSequence.load(std::memory_order_acquire);
    if ((before & 1u) != 0) continue;
    const Settings settings = readSettingsFieldsOrdered();
    if (g_settingsSequence.load(std::memory_order_relaxed) == before) return settings;
  }
}

TARN_MEM_HOT Settings snapshotSettings() noexcept {
  const std::uint32_t before = g_settingsSequence.load(std::memory_order_acquire);
  const Settings settings = readSettingsFieldsOrdered();
  if (__builtin_expect((before & 1u) == 0 && g_settingsSequence.load(std::memory_order_relaxed) == before, 1))
    return settings;
  return snapshotSettingsRetry();
}

// Caller holds the latch.
void publishHotSettings(const Settings& settings) noexcept {
  g_hotSettings.store((static_cast<std::uint64_t>(settings.mode) << 32) | settings.flags, std::memory_order_release);
}

// Caller holds the latch.
void writeSettings(const Settings& settings) noexcept {
  const std::uint32_t sequence = g_settingsSequence.load(std::memory_order_relaxed);
  // Release stores: none of them can become visible before the odd count.
  g_settingsSequence.store(sequence + 1, std::memory_order_relaxed);
  __atomic_store_n(&g_cb.flags, settings.flags, __ATOMIC_RELEASE);
  __atomic_store_n(&g_cb.mode, settings.mode, __ATOMIC_RELEASE);
  __atomic_store_n(&g_cb.frontPads, settings.frontPads, __ATOMIC_RELEASE);
  __atomic_store_n(&g_cb.backPads, settings.backPads, __ATOMIC_RELEASE);
  g_settingsSequence.store(sequence + 2, std::memory_order_release);
  if (loadRelaxed(g_cb.allocationStarted) != 0) publishHotSettings(settings);
}

TARN_MEM_HOT std::uint64_t paddedSize(std::uint32_t size) noexcept { return (static_cast<std::uint64_t>(size) + 7) & ~std::uint64_t{7}; }

// The gap in front of the first FULL pad that puts the data on a 16-byte boundary.
std::uint64_t fullGap(std::uint32_t frontPads) noexcept {
  return (static_cast<std::uint64_t>(frontPads) * kPadSize + OSSMEM_LIST_NODE_SIZE) % 16 == 0 ? 0 : 8;
}

// The one formula of the layouts (see memory.h): bytes asked of the heap, and where the data
// starts; 0 for a mode word the allocator does not know.
TARN_MEM_HOT std::uint64_t dataOffset(std::uint32_t mode, std::uint32_t frontPads) noexcept {
  switch (mode) {
    case OSSMEM_MODE_NONE: return kHeaderSize;
    case OSSMEM_MODE_IDLE:
    case OSSMEM_MODE_LIGHT: return sizeof(OSSMemPrefix) + kHeaderSize;
    case OSSMEM_MODE_FULL:
      return fullGap(frontPads) + static_cast<std::uint64_t>(frontPads) * kPadSize + OSSMEM_LIST_NODE_SIZE;
    default: return 0;
  }
}

TARN_MEM_HOT std::uint64_t heapSize(std::uint32_t mode, std::uint32_t size, std::uint32_t frontPads,
                                    std::uint32_t backPads) noexcept {
  switch (mode) {
    case OSSMEM_MODE_NONE: return static_cast<std::uint64_t>(size) + kHeaderSize;
    case OSSMEM_MODE_IDLE: return paddedSize(size) + 2 * sizeof(OSSMemPrefix);
    case OSSMEM_MODE_LIGHT: return paddedSize(size) + 3 * sizeof(OSSMemPrefix);
    case OSSMEM_MODE_FULL:
      return dataOffset(mode, frontPads) + paddedSize(size) + static_cast<std::uint64_t>(backPads) * kPadSize +
             sizeof(OSSMemBackTrailer);
    default: return 0;
  }
}

std::uint64_t threadId() noexcept { return static_cast<std::uint64_t>(::gettid()); }

// The corruption report: the non-fatal assertion failure report of the services library, with
// the message as its expression. It goes to standard error; the assertion unit, once the
// library has it, also appends it to the per-thread file in the dump directory.
void memAssertFailure(const char* message, const char* file, std::uint32_t line, const char* dumpDirectory,
                      bool fatal) noexcept {
  (void)dumpDirectory;
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  char timeText[64] = "\n";
  if (::localtime_r(&now, &local) != nullptr) ::asctime_r(&local, timeText);
  char report[255];
  std::snprintf(report, sizeof report,
                "%sASSERTION FAILED!!!\r\nTime       = %sExpr       = %s\r\nPID        = %u\r\nTID        = %" PRIu64
                "\r\nFile       = %s\r\nLine       = %u\r\n",
                fatal ? "" : "NON-FATAL ", timeText, message, static_cast<unsigned>(::getpid()), threadId(),
                file != nullptr ? file : "", line);
  std::fputs(report, stderr);
  std::fflush(stderr);
}

void reportCorruption(const char* message, const char* file, std::uint32_t line) noexcept {
  memAssertFailure(message, file, line, g_szMemDebugLogPath, false);
}

// A heap failure goes to the system error handler under the allocator's own function id, with
// the total asked of the heap and the allocation flags; its mapped code is the result.
__attribute__((noinline)) std::uint32_t heapFailure(std::uint64_t total, std::uint32_t allocFlags) noexcept {
  const std::uint32_t error = tarn::platform::WinErrorFromErrno(errno != 0 ? errno : ENOMEM);
  const std::uint32_t totalItem = static_cast<std::uint32_t>(total);
  const std::uint32_t rc = ossSystemErrorHandler(ECF_FN_ossMemAlloc, ECF_FN_malloc, error, 40, 5, 0, nullptr, 2,
                                                 &totalItem, 4u, OSS_LOG_TYPE_UNSIGNED, &allocFlags, 4u,
                                                 OSS_LOG_TYPE_HEX);
  GTRACE_ERROR(ECF_FN__ossMemAlloc, 40, &rc);
  return rc;
}

const char* baseName(const char* file) noexcept {
  if (file == nullptr) return "";
  const char* base = file;
  for (const char* p = file; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}

void writePad(unsigned char* at) noexcept {
  const OSSMemPad pad = {OSSMEM_PAD_WORD0, OSSMEM_PAD_WORD1};
  std::memcpy(at, &pad, sizeof pad);
}

void pushNode(OSSMemListNode* node) noexcept {
  g_cb.latch.get();
  node->prev = nullptr;
  node->next = g_cb.listHead;
  if (node->next != nullptr) node->next->prev = node;
  g_cb.listHead = node;
  g_cb.latch.release();
}

void unlinkNode(OSSMemListNode* node) noexcept {
  g_cb.latch.get();
  if (node->prev != nullptr) node->prev->next = node->next;
  else if (g_cb.listHead == node) g_cb.listHead = node->next;
  if (node->next != nullptr) node->next->prev = node->prev;
  node->next = node->prev = nullptr;
  g_cb.latch.release();
}

__attribute__((noinline)) void serveDumpRequestNow() noexcept {
  if (__atomic_exchange_n(&g_bDumpMemAllocListFlag, 0, __ATOMIC_RELAXED) != 0) ossMemAllocList(true);
}

TARN_MEM_HOT void serveDumpRequest() noexcept {
  if (__builtin_expect(__atomic_load_n(&g_bDumpMemAllocListFlag, __ATOMIC_RELAXED) != 0, 0)) serveDumpRequestNow();
}

enum class CheckKind { Inspect, MarkFreed, Free };

struct CheckResult {
  std::uint32_t size;  // requested size, or OSSMEM_SIZE_UNKNOWN
  void* raw;           // heap address to release (freeing forms), null when nothing may be
};

TARN_MEM_HOT std::uint32_t readWord(const unsigned char* at) noexcept {
  std::uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}
TARN_MEM_HOT void writeWord(unsigned char* at, std::uint32_t word) noexcept { std::memcpy(at, &word, sizeof word); }

// The block check shared by the free, _ossMemAllocCheck and the leak report. Every failed test
// is reported and the check goes on; only a block whose mode tag is unknown or already freed is
// never handed back for release (it is leaked rather than freed twice).
CheckResult checkBlock(void* const* pp, const char* file, std::uint32_t line, CheckKind kind) noexcept {
  char message[128];
  if (pp == nullptr || *pp == nullptr) {
    reportCorruption("NULL pointer for memory allocation address found at:", file, line);
    return {0, nullptr};
  }
  const bool freeing = kind != CheckKind::Inspect;
  auto* data = static_cast<unsigned char*>(*pp);
  unsigned char* headerAt = data - kHeaderSize;
  OSSMemBlockHeader header;
  std::memcpy(&header, headerAt, sizeof header);
  // Both words compare with their low 4 bits cleared: those bits of a live eye-catcher carry
  // flags, and the freed word is matched the same way.
  const std::uint32_t eye = header.eyeCatcher & ~0xFu;
  if (freeing && eye == (OSSMEM_EYE_FREED & ~0xFu)) reportCorruption("Freeing freed memory found at:", file, line);
  const bool eyeValid = eye == OSSMEM_EYE_ALLOCATED;
  if (!eyeValid) {
    std::snprintf(message, sizeof message, "Invalid block eye-catcher (0x%X) found at:", header.eyeCatcher);
    reportCorruption(message, file, line);
  }

  const Settings settings = snapshotSettings();
  if (settings.mode == OSSMEM_MODE_NONE) {
    // No tag to tell the layout by: only a block that still shows the allocated eye-catcher is
    // released, and its eye-catcher is marked so that a second free of it is refused.
    if (!freeing) return {OSSMEM_SIZE_UNKNOWN, nullptr};
    if (!eyeValid) return {OSSMEM_SIZE_UNKNOWN, nullptr};
    writeWord(headerAt, OSSMEM_EYE_FREED);
    return {OSSMEM_SIZE_UNKNOWN, headerAt};
  }

  unsigned char* tagAt = headerAt - 4;
  const std::uint32_t tag = readWord(tagAt);
  unsigned char* raw = nullptr;
  std::uint32_t dataSize = header.size;  // bytes a freed-data fill may cover
  switch (tag) {
    case OSSMEM_MODE_IDLE: {
      raw = headerAt - sizeof(OSSMemPrefix);
      dataSize = readWord(raw + offsetof(OSSMemPrefix, size));
      break;
    }
    case OSSMEM_MODE_LIGHT: {
      raw = headerAt - sizeof(OSSMemPrefix);
      OSSMemPrefix prefix;
      std::memcpy(&prefix, raw, sizeof prefix);
      if (prefix.word0 != OSSMEM_PAD_WORD0 || prefix.word1 != OSSMEM_PAD_WORD1)
        reportCorruption("Front memory pad corruption found at:", file, line);
      // The prefix lies behind the mode tag, so it is sound whenever the tag is: the trailer is
      // found by the prefix's size, not by the header's, which an underrun reaches first.
      dataSize = prefix.size;
      const std::uint64_t padded = paddedSize(prefix.size);
      for (std::uint64_t i = prefix.size; i < padded; ++i)
        if (data[i] != OSSMEM_FILL_BYTE) reportCorruption("Back memory pad corruption found at:", file, line);
      OSSMemPrefix trailer;
      std::memcpy(&trailer, data + padded, sizeof trailer);
      if (trailer.mode != OSSMEM_MODE_LIGHT || trailer.word0 != OSSMEM_PAD_WORD0 || trailer.word1 != OSSMEM_PAD_WORD1)
        reportCorruption("Back memory pad corruption found at:", file, line);
      if (trailer.size != prefix.size) reportCorruption("Memory pad size corruption found at:", file, line);
      break;
    }
    case OSSMEM_MODE_FULL: {
      auto* node = reinterpret_cast<OSSMemListNode*>(headerAt + kHeaderSize - sizeof(OSSMemListNode));
      const std::uint32_t frontPads = node->frontPads;
      const std::uint32_t backPads = node->backPads;
      const std::uint32_t size = node->size;
      auto* nodeAt = reinterpret_cast<unsigned char*>(node);
      unsigned char* pads = nodeAt - static_cast<std::uint64_t>(frontPads) * kPadSize;
      raw = pads - fullGap(frontPads);
      for (std::uint32_t i = 0; i < frontPads; ++i) {
        OSSMemPad pad;
        std::memcpy(&pad, pads + i * kPadSize, sizeof pad);
        if (pad.word0 != OSSMEM_PAD_WORD0 || pad.word1 != OSSMEM_PAD_WORD1)
          reportCorruption("Front pad corruption found at:", file, line);
      }
      dataSize = size;
      const std::uint64_t padded = paddedSize(size);
      for (std::uint64_t i = size; i < padded; ++i)
        if (data[i] != OSSMEM_FILL_BYTE) reportCorruption("Back Uint8 memory pad corruption found at:", file, line);
      unsigned char* back = data + padded;
      for (std::uint32_t i = 0; i < backPads; ++i) {
        OSSMemPad pad;
        std::memcpy(&pad, back + static_cast<std::uint64_t>(i) * kPadSize, sizeof pad);
        if (pad.word0 != OSSMEM_PAD_WORD0 || pad.word1 != OSSMEM_PAD_WORD1) {
          const std::uint64_t value = (static_cast<std::uint64_t>(pad.word1) << 32) | pad.word0;
          std::snprintf(message, sizeof message, "Back pad corruption (0x%" PRIX64 ") found at:", value);
          reportCorruption(message, file, line);
        }
      }
      OSSMemBackTrailer trailer;
      std::memcpy(&trailer, back + static_cast<std::uint64_t>(backPads) * kPadSize, sizeof trailer);
      if (trailer.mode != OSSMEM_MODE_FULL) {
        std::snprintf(message, sizeof message, "Back pad mode (0x%x)found at:", trailer.mode);
        reportCorruption(message, file, line);
      }
      if (trailer.size != size)
        reportCorruption("Allocation size does not match between front and back pad structures found at:", file, line);
      // Marking a block freed takes it off the list as a free does: its memory is about to go.
      if (freeing) unlinkNode(node);
      break;
    }
    case OSSMEM_TAG_FREED:
      reportCorruption("Freeing freed memory found at:", file, line);
      return {header.size, nullptr};
    default:
      std::snprintf(message, sizeof message, "Invalid pad type (0x%X) found at:", tag);
      reportCorruption(message, file, line);
      return {header.size, nullptr};
  }

  if (freeing) {
    writeWord(headerAt, OSSMEM_EYE_FREED);
    if ((settings.flags & OSSMEM_DEBUG_POISON_FREED) != 0) std::memset(data, OSSMEM_POISON_BYTE, dataSize);
    writeWord(tagAt, OSSMEM_TAG_FREED);
    return {header.size, raw};
  }
  return {header.size, nullptr};
}

// The toggle rule: before the first allocation any mode may be chosen; afterwards only between
// the on-modes, or from off to off. Flags and pads are taken either way.
std::uint32_t applySettings(const Settings& wanted) noexcept {
  std::uint32_t result = 0;
  g_cb.latch.get();
  Settings settings = readSettingsFields();
  if (loadRelaxed(g_cb.allocationStarted) == 0 || (wanted.mode != 0) == (settings.mode != 0)) settings.mode = wanted.mode;
  else result = ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC;
  settings.flags = wanted.flags;
  settings.frontPads = wanted.frontPads;
  settings.backPads = wanted.backPads;
  writeSettings(settings);
  g_cb.latch.release();
  return result;
}

bool equalsIgnoringCase(const char* a, const char* b) noexcept {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char x = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
    const char y = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

void copyBounded(char* target, const char* source, std::size_t length, std::size_t capacity) noexcept {
  if (length >= capacity) length = capacity - 1;
  std::memcpy(target, source, length);
  target[length] = '\0';
}

// The settings reader. "OSSEMEMDBG" is "<directory>,<level>": FULL and CORRUPTIONS give FULL mode
// (flags 0x0F), LEAKS and ALL FULL mode with the long leak report and first-failure data capture
// (flags 0x2F), LIGHT the LIGHT mode (flags 0x0B), each with 2 and 2 pads; the choice is noted in
// "ossememdbg.log" of the directory. Anything else keeps IDLE and writes the usage text there.
void readSettingsOnce() noexcept {
  std::memset(&g_cb, 0, sizeof g_cb);
  g_cb.latch.init();

  Settings settings = {0, OSSMEM_MODE_IDLE, 0, 0};
  const char* variable = std::getenv("OSSEMEMDBG");
  if (variable != nullptr) {
    char value[261];
    copyBounded(value, variable, std::strlen(variable), sizeof value);

    // Split at commas; leading and repeated commas are skipped.
    const char* tokens[3] = {};
    std::size_t lengths[3] = {};
    int count = 0;
    for (const char* p = value; *p != '\0';) {
      if (*p == ',') {
        ++p;
        continue;
      }
      const char* start = p;
      while (*p != '\0' && *p != ',') ++p;
      if (count < 3) {
        tokens[count] = start;
        lengths[count] = static_cast<std::size_t>(p - start);
      }
      ++count;
    }
    char level[20] = {};
    if (count >= 1) copyBounded(g_szMemDebugLogPath, tokens[0], lengths[0], sizeof g_szMemDebugLogPath);
    if (count >= 2) copyBounded(level, tokens[1], lengths[1], sizeof level);

    bool valid = count == 2;
    if (valid && (equalsIgnoringCase(level, "FULL") || equalsIgnoringCase(level, "CORRUPTIONS"))) {
      settings = {0x0F, OSSMEM_MODE_FULL, 2, 2};
    } else if (valid && (equalsIgnoringCase(level, "LEAKS") || equalsIgnoringCase(level, "ALL"))) {
      settings = {0x2F, OSSMEM_MODE_FULL, 2, 2};
      g_bIsMemoryFFDCEnabledFlag = 1;
    } else if (valid && equalsIgnoringCase(level, "LIGHT")) {
      settings = {0x0B, OSSMEM_MODE_LIGHT, 2, 2};
    } else {
      valid = false;
    }

    char logPath[300];
    std::snprintf(logPath, sizeof logPath, "%s/%s", g_szMemDebugLogPath, "ossememdbg.log");
    if (valid) {
      if (std::FILE* log = std::fopen(logPath, "a"); log != nullptr) {
        std::fprintf(log, "PID            = 0x%X\n", static_cast<unsigned>(::getpid()));
        std::fprintf(log, "---------------------------------\n");
        std::fprintf(log, "mode           = %s\n", level);
        std::fprintf(log, "flags          = 0x%X\n", settings.flags);
        std::fprintf(log, "Front pad size = %u\n", settings.frontPads);
        std::fprintf(log, "Back pad size  = %u\n", settings.backPads);
        std::fprintf(log, "\n");
        std::fclose(log);
      }
    } else {
      settings = {0, OSSMEM_MODE_IDLE, 2, 2};
      if (count >= 1) {
        if (std::FILE* log = std::fopen(logPath, "w"); log != nullptr) {
          std::fprintf(log, "PID = 0x%X\n", static_cast<unsigned>(::getpid()));
          std::fprintf(log, "----------------------------------------------------\n");
          std::fprintf(log, "Original Debug String is %s\n", variable);
          std::fprintf(log,
                       "Invalid OSSEMEMDBG string detected.\n\nUsage : export OSSEMEMDBG=<PATH>,<LEVEL>\n"
                       "   where <PATH> is the path to store ossememdbg.log\n"
                       "         <LEVEL> is one of the OSSFULL, LIGHT, or IDLE\n\n");
          std::fclose(log);
        }
      }
    }
  }

  applySettings(settings);
  if (settings.mode == OSSMEM_MODE_FULL) g_pMemDebugCB = &g_cb;
}

void writeReportHeading(std::FILE* out, bool longForm) noexcept {
  static const char kStars[] = "****************************************************************************\n";
  static const char kEquals[] = "============================================================================\n";
  if (longForm) {
    std::fputs(kStars, out);
    std::fprintf(out,
                 "Tarn Support and Development can generate a report of possible memory leaks\nusing the following "
                 "command from any uselvl'd build:\nperl -S tarnreportleaks -path %s\n\n",
                 g_szMemDebugLogPath);
    std::fputs("To display all available options, run \"perl -S tarnreportleaks -help\"\n", out);
    std::fputs(kStars, out);
    std::fputs(
        "Legend:\n-------\nAddr - block address\nCode - block eye-catcher with flags\nSize - size of the block\n"
        "Line - line of code in a file\nFile - file name\n",
        out);
    std::fputs(kEquals, out);
    std::fputs("OSSe Unfreed Memory Blocks :\n", out);
    std::fputs(kEquals, out);
  } else {
    std::fputs(kStars, out);
    std::fputs("OSSe Unfreed Memory Blocks :\n", out);
    std::fputs(kEquals, out);
  }
}

}  // namespace

std::uint64_t ossMemHeapSize(std::uint32_t mode, std::uint32_t size, std::uint32_t frontPads,
                             std::uint32_t backPads) noexcept {
  return heapSize(mode, size, frontPads, backPads);
}

std::uint64_t ossMemDataOffset(std::uint32_t mode, std::uint32_t frontPads) noexcept {
  return dataOffset(mode, frontPads);
}

void ossMemReadDebugSettings() noexcept {
  std::call_once(g_settingsOnce, [] {
    readSettingsOnce();
    g_settingsRead.store(true, std::memory_order_release);
  });
}

const OSSMemDebugCB* ossMemGetDebugCB() noexcept {
  ensureSettingsRead();
  return &g_cb;
}

std::uint32_t ossMemSetDebug(std::uint32_t flags, std::uint32_t mode, std::uint32_t frontPads,
                             std::uint32_t backPads) noexcept {
  GTRACE_ENTRY(ECF_FN_ossMemSetDebug);
  ensureSettingsRead();
  const std::uint32_t rc = applySettings({flags, mode, frontPads, backPads});
  if (rc != 0) GTRACE_ERROR(ECF_FN_ossMemSetDebug, 10, &rc);
  GTRACE_EXIT(ECF_FN_ossMemSetDebug, &rc);
  return rc;
}

namespace {

// Every layout, fill and flag; the common IDLE block takes the short way in _ossMemAlloc.
__attribute__((noinline)) std::uint32_t allocateBlock(const Settings& settings, void** ppOut, std::uint32_t size,
                                                      std::uint32_t allocFlags, const char* file,
                                                      std::uint32_t line) noexcept {
  const std::uint32_t mode = settings.mode;
  const std::uint64_t total = heapSize(mode, size, settings.frontPads, settings.backPads);
  if (total == 0) return ECF_INVALID_PARAMETER;  // a mode word the allocator does not know
  auto* raw = static_cast<unsigned char*>(std::malloc(total));
  if (raw == nullptr) return heapFailure(total, allocFlags);

  const std::uint64_t offset = dataOffset(mode, settings.frontPads);
  unsigned char* data = raw + offset;
  const std::uint64_t padded = paddedSize(size);
  switch (mode) {
    case OSSMEM_MODE_NONE: break;
    case OSSMEM_MODE_IDLE: {
      const OSSMemPrefix prefix = {0, 0, size, OSSMEM_MODE_IDLE};
      std::memcpy(raw, &prefix, sizeof prefix);
      break;
    }
    case OSSMEM_MODE_LIGHT: {
      const OSSMemPrefix prefix = {OSSMEM_PAD_WORD0, OSSMEM_PAD_WORD1, size, OSSMEM_MODE_LIGHT};
      std::memcpy(raw, &prefix, sizeof prefix);
      std::memset(data + size, OSSMEM_FILL_BYTE, padded - size);
      std::memcpy(data + padded, &prefix, sizeof prefix);
      break;
    }
    case OSSMEM_MODE_FULL: {
      const std::uint64_t gap = fullGap(settings.frontPads);
      std::memset(raw, 0, gap);
      for (std::uint32_t i = 0; i < settings.frontPads; ++i) writePad(raw + gap + static_cast<std::uint64_t>(i) * kPadSize);
      auto* node = reinterpret_cast<OSSMemListNode*>(data - sizeof(OSSMemListNode));
      node->next = nullptr;
      node->prev = nullptr;
      std::memset(node->fileName, 0, sizeof node->fileName);
      const char* base = baseName(file);
      std::memcpy(node->fileName, base, std::min(std::strlen(base), sizeof node->fileName - 1));
      node->size = size;
      node->line = line;
      node->frontPads = settings.frontPads;
      node->backPads = settings.backPads;
      node->modeTag = OSSMEM_MODE_FULL;
      std::memset(data + size, OSSMEM_FILL_BYTE, padded - size);
      for (std::uint32_t i = 0; i < settings.backPads; ++i) writePad(data + padded + static_cast<std::uint64_t>(i) * kPadSize);
      const OSSMemBackTrailer trailer = {size, OSSMEM_MODE_FULL};
      std::memcpy(data + padded + static_cast<std::uint64_t>(settings.backPads) * kPadSize, &trailer, sizeof trailer);
      break;
    }
  }
  const OSSMemBlockHeader header = {
      (allocFlags & OSSMEM_ALLOC_EYE_FLAG) != 0 ? OSSMEM_EYE_ALLOCATED | 1u : OSSMEM_EYE_ALLOCATED, size, 0, line};
  std::memcpy(data - kHeaderSize, &header, sizeof header);
  if (mode == OSSMEM_MODE_FULL) pushNode(reinterpret_cast<OSSMemListNode*>(data - sizeof(OSSMemListNode)));

  if ((allocFlags & OSSMEM_ALLOC_ZERO) != 0) std::memset(data, 0, size);
  else if ((settings.flags & OSSMEM_DEBUG_POISON_NEW) != 0) std::memset(data, OSSMEM_POISON_BYTE, size);
  *ppOut = data;
  return 0;
}

// The allocations before the first one has been counted take the latch for their settings.
__attribute__((noinline)) std::uint32_t allocateFirst(void** ppOut, std::uint32_t size, std::uint32_t allocFlags,
                                                      const char* file, std::uint32_t line) noexcept {
  ensureSettingsRead();
  g_cb.latch.get();
  const Settings settings = readSettingsFields();
  __atomic_store_n(&g_cb.allocationStarted, 1u, __ATOMIC_RELEASE);
  publishHotSettings(settings);
  g_cb.latch.release();
  return allocateBlock(settings, ppOut, size, allocFlags, file, line);
}

__attribute__((noinline)) std::uint32_t freeNullPointer(const char* file, std::uint32_t line) noexcept {
  char text[1024];
  std::snprintf(text, sizeof text, "NULL pointer for memory allocation address found at: %s, line %u",
                file != nullptr ? file : "", line);
  ossLog(nullptr, ECF_FN_ossMemFree, ECF_MEM_NULL_POINTER, 20, 3, 1, text,
         static_cast<std::uint32_t>(std::strlen(text) + 1), OSS_LOG_TYPE_STRING);
  const std::uint32_t rc = ECF_MEM_NULL_POINTER;
  GTRACE_ERROR(ECF_FN__ossMemFree, 20, &rc);
  return rc;
}

__attribute__((noinline)) void freeChecked(void** pp, const char* file, std::uint32_t line) noexcept {
  ensureSettingsRead();
  const CheckResult result = checkBlock(pp, file, line, CheckKind::Free);
  std::free(result.raw);
}

// The IDLE block without fills: the prefix and the header, eight words written as four 64-bit
// stores (the heap's free later reads the second as one word: see releaseIdle). The words are
// made before the heap is asked, so that only they and ppOut wait across that call.
TARN_MEM_HOT std::uint32_t allocateIdle(void** ppOut, std::uint32_t size, std::uint32_t allocFlags,
                                        std::uint32_t line) noexcept {
  const std::uint64_t eyeAndSize =
      (static_cast<std::uint64_t>(size) << 32) |
      ((allocFlags & OSSMEM_ALLOC_EYE_FLAG) != 0 ? OSSMEM_EYE_ALLOCATED | 1u : OSSMEM_EYE_ALLOCATED);
  const std::uint64_t reservedAndLine = static_cast<std::uint64_t>(line) << 32;
  const std::uint64_t padded = paddedSize(size);
  unsigned char* raw = ossMemIdleCacheTake(padded);
  if (raw == nullptr) raw = static_cast<unsigned char*>(std::malloc(padded + 2 * sizeof(OSSMemPrefix)));
  if (__builtin_expect(raw == nullptr, 0)) {
    const auto requested = static_cast<std::uint32_t>(eyeAndSize >> 32);
    return heapFailure(paddedSize(requested) + 2 * sizeof(OSSMemPrefix), (eyeAndSize & 1u) != 0 ? OSSMEM_ALLOC_EYE_FLAG : 0);
  }
  const std::uint64_t zeroes = 0;
  const std::uint64_t sizeAndTag = (static_cast<std::uint64_t>(OSSMEM_MODE_IDLE) << 32) | (eyeAndSize >> 32);
  std::memcpy(raw, &zeroes, 8);
  std::memcpy(raw + 8, &sizeAndTag, 8);
  std::memcpy(raw + 16, &eyeAndSize, 8);
  std::memcpy(raw + 24, &reservedAndLine, 8);
  *ppOut = raw + sizeof(OSSMemPrefix) + sizeof(OSSMemBlockHeader);
  return 0;
}

// Whether the short ways may run: mode IDLE and no new-block fill (allocation), or a mode with a
// tag in front of the header and no freed-data fill (free).
TARN_MEM_HOT bool idleAllocation(std::uint64_t hot) noexcept {
  return (hot >> 32) == OSSMEM_MODE_IDLE && (hot & OSSMEM_DEBUG_POISON_NEW) == 0;
}
TARN_MEM_HOT bool taggedFree(std::uint64_t hot) noexcept {
  return (hot >> 32) != OSSMEM_MODE_NONE && (hot & OSSMEM_DEBUG_POISON_FREED) == 0;
}

// A sound IDLE block is marked freed and handed back: to the thread's cache when it takes it,
// else to the heap. false, with nothing changed, for anything else. The prefix's size and mode tag
// are read and rewritten as one 8-byte word: the heap's free reads that same word right after
// (its cache key), and a 4-byte store under an 8-byte load cannot be forwarded, which would cost
// more than the rest of the free. Only a block whose header and prefix agree on the size is
// cached: the cache hands it out again by that size.
TARN_MEM_HOT bool releaseIdle(unsigned char* data) noexcept {
  unsigned char* headerAt = data - kHeaderSize;
  std::uint64_t sizeAndTag;
  std::uint64_t eyeAndSize;
  std::memcpy(&sizeAndTag, headerAt - 8, sizeof sizeAndTag);
  std::memcpy(&eyeAndSize, headerAt, sizeof eyeAndSize);
  if (__builtin_expect((static_cast<std::uint32_t>(eyeAndSize) & ~0xFu) != OSSMEM_EYE_ALLOCATED ||
                           static_cast<std::uint32_t>(sizeAndTag >> 32) != OSSMEM_MODE_IDLE, 0))
    return false;
  writeWord(headerAt, OSSMEM_EYE_FREED);
  const auto size = static_cast<std::uint32_t>(sizeAndTag);
  sizeAndTag = (static_cast<std::uint64_t>(OSSMEM_TAG_FREED) << 32) | size;
  std::memcpy(headerAt - 8, &sizeAndTag, sizeof sizeAndTag);
  unsigned char* raw = headerAt - sizeof(OSSMemPrefix);
  if (__builtin_expect(size == static_cast<std::uint32_t>(eyeAndSize >> 32), 1) &&
      ossMemIdleCacheGive(raw, paddedSize(size)))
    return true;
  std::free(raw);
  return true;
}

// Every allocation the short way of _ossMemAlloc does not take, in the full order of its tests:
// the arguments, a pending leak-report request, the settings.
__attribute__((noinline)) std::uint32_t allocateOther(void** ppOut, std::uint32_t size, std::uint32_t allocFlags,
                                                      const char* file, std::uint32_t line) noexcept {
  if (ppOut == nullptr || size == 0 || (allocFlags & ~(OSSMEM_ALLOC_ZERO | OSSMEM_ALLOC_EYE_FLAG)) != 0) {
    const std::uint32_t rc = ECF_INVALID_PARAMETER;
    GTRACE_ERROR(ECF_FN__ossMemAlloc, 10, &rc);
    return rc;
  }
  serveDumpRequest();
  const std::uint64_t hot = g_hotSettings.load(std::memory_order_acquire);
  if (idleAllocation(hot) && (allocFlags & OSSMEM_ALLOC_ZERO) == 0) return allocateIdle(ppOut, size, allocFlags, line);
  if (__atomic_load_n(&g_cb.allocationStarted, __ATOMIC_ACQUIRE) == 0)
    return allocateFirst(ppOut, size, allocFlags, file, line);
  return allocateBlock(snapshotSettings(), ppOut, size, allocFlags, file, line);
}

// Every free the short way of _ossMemFree does not take, in the full order of its tests.
__attribute__((noinline)) std::uint32_t freeOther(void** pp, const char* file, std::uint32_t line) noexcept {
  if (pp == nullptr) {
    const std::uint32_t rc = ECF_INVALID_PARAMETER;
    GTRACE_ERROR(ECF_FN__ossMemFree, 10, &rc);
    return rc;
  }
  if (*pp == nullptr) return freeNullPointer(file, line);
  serveDumpRequest();
  if (taggedFree(g_hotSettings.load(std::memory_order_acquire)) && releaseIdle(static_cast<unsigned char*>(*pp))) {
    *pp = nullptr;
    return 0;
  }
  freeChecked(pp, file, line);
  *pp = nullptr;
  return 0;
}

}  // namespace

// The short ways below cover the default case (IDLE, no fills, no leak report asked for) with one
// test of everything that could lead elsewhere; anything else goes the full way, which repeats
// the tests in their order.
std::uint32_t _ossMemAlloc(void** ppOut, void* reserved, std::uint32_t size, std::uint32_t allocFlags,
                           const char* file, std::uint32_t line) noexcept {
  (void)reserved;
  // Zero exactly when the short way applies: mode IDLE, no new-block fill, no allocation flag
  // but the eye-catcher's, no leak report asked for.
  constexpr std::uint64_t kIdle = static_cast<std::uint64_t>(OSSMEM_MODE_IDLE) << 32;
  constexpr std::uint64_t kModeAndNewFill = 0xFFFFFFFF00000000u | OSSMEM_DEBUG_POISON_NEW;
  const std::uint64_t hot = g_hotSettings.load(std::memory_order_acquire);
  const std::uint64_t other = ((hot ^ kIdle) & kModeAndNewFill) | (allocFlags & ~OSSMEM_ALLOC_EYE_FLAG) |
                              __atomic_load_n(&g_bDumpMemAllocListFlag, __ATOMIC_RELAXED);
  if (__builtin_expect((ppOut == nullptr) | (size == 0) | (other != 0), 0))
    return allocateOther(ppOut, size, allocFlags, file, line);
  return allocateIdle(ppOut, size, allocFlags, line);
}

std::uint32_t _ossMemFree(void** pp, void* reserved1, std::uint32_t reserved2, const char* file,
                          std::uint32_t line) noexcept {
  (void)reserved1;
  (void)reserved2;
  if (__builtin_expect(pp == nullptr, 0)) return freeOther(pp, file, line);
  auto* data = static_cast<unsigned char*>(*pp);
  const std::uint64_t hot = g_hotSettings.load(std::memory_order_acquire);
  const bool dumpRequested = __atomic_load_n(&g_bDumpMemAllocListFlag, __ATOMIC_RELAXED) != 0;
  if (__builtin_expect(data == nullptr || !taggedFree(hot) || dumpRequested, 0)) return freeOther(pp, file, line);
  if (__builtin_expect(!releaseIdle(data), 0)) return freeOther(pp, file, line);
  *pp = nullptr;
  return 0;
}

std::uint32_t _ossMemAllocCheck(void** pp, const char* file, std::uint32_t line, std::uint32_t markFreed) noexcept {
  GTRACE_ENTRY(ECF_FN__ossMemAllocCheck);
  ensureSettingsRead();
  const CheckResult result = checkBlock(pp, file, line, markFreed != 0 ? CheckKind::MarkFreed : CheckKind::Inspect);
  if (markFreed != 0 && pp != nullptr && *pp != nullptr) *pp = result.raw;
  GTRACE_EXIT(ECF_FN__ossMemAllocCheck, &result.size);
  return result.size;
}

namespace {

// The work of ossMemAllocList, between its entry and exit points.
std::uint32_t writeLeakReport(bool toFile) noexcept {
  ensureSettingsRead();
  const Settings settings = snapshotSettings();
  if (settings.mode != OSSMEM_MODE_FULL) return 0;
  g_cb.latch.get();
  if (g_cb.listHead == nullptr) {
    g_cb.latch.release();
    return 0;
  }

  std::FILE* file = nullptr;
  if (toFile && g_szMemDebugLogPath[0] != '\0') {
    const bool longForm = (settings.flags & OSSMEM_DEBUG_LONG_REPORT) != 0;
    char path[320];
    if (longForm)
      std::snprintf(path, sizeof path, "%s%c%u.%" PRIu64 ".mem_leaks.txt", g_szMemDebugLogPath, '/',
                    static_cast<unsigned>(::getpid()), threadId());
    else
      std::snprintf(path, sizeof path, "%s%cp%ut%" PRIu64 ".mem", g_szMemDebugLogPath, '/',
                    static_cast<unsigned>(::getpid()), threadId());
    file = std::fopen(path, "a");
    if (file != nullptr) writeReportHeading(file, longForm);
    else if (!longForm) writeReportHeading(stdout, false);
  }

  for (OSSMemListNode* node = g_cb.listHead; node != nullptr; node = node->next) {
    void* data = reinterpret_cast<unsigned char*>(&node->header) + kHeaderSize;
    checkBlock(&data, __FILE__, __LINE__, CheckKind::Inspect);
    if (file != nullptr)
      std::fprintf(file, "Addr: %08" PRIxPTR " Code: 0x%x Size: %u Line: %u File: %s\n",
                   reinterpret_cast<std::uintptr_t>(&node->header), node->header.eyeCatcher, node->size, node->line,
                   node->fileName);
    else
      std::fprintf(stdout, "Address: %p Size: %u Line: %u File: %s\n", static_cast<void*>(&node->header), node->size,
                   node->line, node->fileName);
  }
  if (file != nullptr) {
    std::fputs("============================================================================\n", file);
    std::fflush(file);
    std::fclose(file);
  } else {
    std::fflush(stdout);
  }
  g_cb.latch.release();
  return 0;
}

}  // namespace

std::uint32_t ossMemAllocList(bool toFile) noexcept {
  GTRACE_ENTRY(ECF_FN_ossMemAllocList);
  const std::uint32_t rc = writeLeakReport(toFile);
  GTRACE_EXIT(ECF_FN_ossMemAllocList, &rc);
  return rc;
}

std::uint64_t ossMemTrimThreadCache() noexcept { return ossMemIdleCacheRelease(false); }

void ossMemSetMemFFDCEnabledFlag() noexcept { __atomic_store_n(&g_bIsMemoryFFDCEnabledFlag, 1, __ATOMIC_RELAXED); }

bool ossMemIsMemFFDCAndOSSeMemDebugPathSet() noexcept {
  ensureSettingsRead();
  return __atomic_load_n(&g_bIsMemoryFFDCEnabledFlag, __ATOMIC_RELAXED) != 0 && g_szMemDebugLogPath[0] != '\0';
}
