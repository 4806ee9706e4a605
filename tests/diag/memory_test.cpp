// The memory allocator: block layouts and heap sizes of each mode, the block check and its
// messages, double and foreign frees, the toggle rule, the settings from "OSSEMEMDBG", the leak
// reports, and allocation from several threads.
//
// This process starts in the default mode (IDLE) and switches between the on-modes with
// ossMemSetDebug; whatever depends on the process's first allocation runs in diag_memory_child.
// Blocks are corrupted through their layout, inside the memory the allocator asked for, so the
// allocator's own checks see them and the sanitizers have nothing to object to.
// GCC 12 warns inside std::regex's own headers when the sanitizers instrument them
// (-Wmaybe-uninitialized on std::function members it initialises); the warning is not about
// this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "osse/diag/memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizers' common allocator interface.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
extern "C" std::size_t __sanitizer_get_allocated_size(const volatile void* pointer);
#define TARN_TEST_SANITIZER_HEAP 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TARN_TEST_ASAN 1
#endif

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/trace.h"
#include "trace_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Bytes the heap has handed out and not had back.
std::size_t HeapInUse() {
#if defined(TARN_TEST_SANITIZER_HEAP)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

// Whether a heap block went back to the heap, or to the allocator's thread cache, which is
// emptied into the heap first. Under AddressSanitizer its count of allocated bytes tells; with
// glibc a released block is the first one handed out again for its size (the heap's own thread
// cache is last in, first out), so a probe allocation of the same size finds it.
class HeapProbe {
 public:
  HeapProbe() {
    ossMemTrimThreadCache();
#if defined(TARN_TEST_ASAN)
    before_ = __sanitizer_get_current_allocated_bytes();
#endif
  }
  bool Released(void* raw, std::size_t total) const {
    ossMemTrimThreadCache();
#if defined(TARN_TEST_ASAN)
    (void)raw;
    (void)total;
    return __sanitizer_get_current_allocated_bytes() == before_;
#else
    void* probe = std::malloc(total);
    const bool same = probe == raw;
    std::free(probe);
    return same;
#endif
  }

 private:
  std::size_t before_ = 0;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarn-mem-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// One file descriptor (standard output or error) redirected into a temporary file.
class FdCapture {
 public:
  explicit FdCapture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    file_ = std::tmpfile();
    saved_ = ::dup(fd_);
    ::dup2(::fileno(file_), fd_);
  }
  ~FdCapture() { Stop(); }
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(nullptr);
      ::dup2(saved_, fd_);
      ::close(saved_);
      saved_ = -1;
      std::rewind(file_);
      char buffer[4096];
      std::size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text_.append(buffer, n);
      std::fclose(file_);
    }
    return text_;
  }

 private:
  int fd_;
  int saved_ = -1;
  std::FILE* file_ = nullptr;
  std::string text_;
};

// The "Expr" lines of the corruption reports, in order.
std::vector<std::string> Reports(const std::string& text) {
  std::vector<std::string> messages;
  static const std::regex kExpr("Expr       = (.*)\r\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kExpr); it != std::sregex_iterator(); ++it)
    messages.push_back((*it)[1]);
  return messages;
}

std::uint32_t Word(const void* at) {
  std::uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// The size of the FULL list node: two pointers of this platform and the other fields.
constexpr std::size_t kNodeSize = 2 * sizeof(void*) + 20 + 5 * 4 + 16;

class MemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Start the allocator (the first allocation of the process) and warm the time zone that the
    // reports read, so that heap accounting below sees only the allocator's own blocks.
    void* warm = nullptr;
    ASSERT_EQ(_ossMemAlloc(&warm, nullptr, 1, 0, __FILE__, __LINE__), 0u);
    ASSERT_EQ(_ossMemFree(&warm, nullptr, 0, __FILE__, __LINE__), 0u);
    std::time_t now = std::time(nullptr);
    std::tm local;
    ::localtime_r(&now, &local);
    Reset();
  }
  void TearDown() override { Reset(); }
  static void Reset() { ossMemSetDebug(0, OSSMEM_MODE_IDLE, 0, 0); }
};

// ---------------------------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------------------------

struct LoggedRecord {
  std::uint32_t functionId = 0, ecfCode = 0, probe = 0, level = 0;
  std::int32_t count = -1;
  std::string text;
};
LoggedRecord g_logged;
std::uint32_t CaptureLog(OSSLogFac*, std::uint32_t functionId, std::uint32_t, std::uint32_t, std::uint32_t ecfCode,
                         std::uint32_t probe, std::uint32_t level, std::uint32_t, std::int32_t count,
                         const OSSLogItem* const* items) {
  g_logged = {functionId, ecfCode, probe, level, count, {}};
  if (count == 1 && (*items)[0].type == OSS_LOG_TYPE_STRING)
    g_logged.text = static_cast<const char*>((*items)[0].data);
  return 0;
}

TEST_F(MemoryTest, ArgumentErrorsAllocateAndReleaseNothing) {
  struct Case {
    std::uint32_t size, allocFlags;
  };
  const Case refused[] = {{0, 0}, {10, 4}, {10, 8}, {10, 0x80000000u}, {10, 7}};
  for (const Case& c : refused) {
    void* block = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(_ossMemAlloc(&block, nullptr, c.size, c.allocFlags, __FILE__, __LINE__), ECF_INVALID_PARAMETER)
        << c.size << " " << c.allocFlags;
    EXPECT_EQ(block, reinterpret_cast<void*>(0x1234));
  }
  EXPECT_EQ(_ossMemAlloc(nullptr, nullptr, 10, 0, __FILE__, __LINE__), ECF_INVALID_PARAMETER);
  EXPECT_EQ(_ossMemFree(nullptr, nullptr, 0, __FILE__, __LINE__), ECF_INVALID_PARAMETER);

  ossSetOSSeLogCallback(&CaptureLog);
  void* null = nullptr;
  EXPECT_EQ(_ossMemFree(&null, nullptr, 0, "caller.cpp", 77), ECF_MEM_NULL_POINTER);
  ossSetOSSeLogCallback(nullptr);
  EXPECT_EQ(g_logged.functionId, ECF_FN_ossMemFree);
  EXPECT_EQ(g_logged.ecfCode, ECF_MEM_NULL_POINTER);
  EXPECT_EQ(g_logged.probe, 20u);
  EXPECT_EQ(g_logged.level, 3u);
  EXPECT_EQ(g_logged.text, "NULL pointer for memory allocation address found at: caller.cpp, line 77");
}

// ---------------------------------------------------------------------------------------------
// Layouts and heap sizes
// ---------------------------------------------------------------------------------------------

struct LayoutCase {
  std::uint32_t mode, size, frontPads, backPads;
};

class MemoryLayoutTest : public MemoryTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST(MemoryFormula, HeapSizesOfEachMode) {
  static_assert(sizeof(OSSMemListNode) == kNodeSize);
  struct Case {
    std::uint32_t mode, size, frontPads, backPads;
    std::uint64_t heap, offset;
  };
  // FULL: an alignment gap (0 or 8 bytes), F pads, the node, the padded data, B pads, the trailer.
  const std::uint64_t node = kNodeSize;
  const Case cases[] = {
      {OSSMEM_MODE_IDLE, 10, 2, 2, 48, 32},
      {OSSMEM_MODE_IDLE, 16, 0, 0, 48, 32},
      {OSSMEM_MODE_IDLE, 17, 0, 0, 56, 32},
      {OSSMEM_MODE_LIGHT, 10, 2, 2, 64, 32},
      {OSSMEM_MODE_LIGHT, 1, 0, 0, 56, 32},
      {OSSMEM_MODE_NONE, 10, 2, 2, 26, 16},
      {OSSMEM_MODE_FULL, 10, 2, 2, 8 + 16 + node + 16 + 16 + 8, 8 + 16 + node},
      {OSSMEM_MODE_FULL, 10, 3, 0, 0 + 24 + node + 16 + 0 + 8, 0 + 24 + node},
      {OSSMEM_MODE_FULL, 8, 0, 1, 8 + 0 + node + 8 + 8 + 8, 8 + 0 + node},
      {OSSMEM_MODE_FULL, 1, 1, 5, 0 + 8 + node + 8 + 40 + 8, 0 + 8 + node},
      {0x12345678u, 10, 2, 2, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ossMemHeapSize(c.mode, c.size, c.frontPads, c.backPads), c.heap) << std::hex << c.mode << std::dec << " " << c.size;
    EXPECT_EQ(ossMemDataOffset(c.mode, c.frontPads), c.offset) << std::hex << c.mode;
    if (c.offset != 0) {
      EXPECT_EQ(c.offset % 16, 0u) << "the data stays 16-byte aligned";
    }
  }
}

TEST_P(MemoryLayoutTest, BlockIsLaidOutAsItsModeSays) {
  const LayoutCase c = GetParam();
  ASSERT_EQ(ossMemSetDebug(0, c.mode, c.frontPads, c.backPads), 0u);
  void* block = nullptr;
  ASSERT_EQ(_ossMemAlloc(&block, nullptr, c.size, 0, "dir/sub\\layout_source.cpp", 321), 0u);
  auto* data = static_cast<unsigned char*>(block);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 16, 0u);
  const std::uint64_t offset = ossMemDataOffset(c.mode, c.frontPads);
  unsigned char* raw = data - offset;
  const std::uint64_t padded = (c.size + 7) / 8 * 8;
#if defined(TARN_TEST_ASAN)
  EXPECT_EQ(__sanitizer_get_allocated_size(raw), ossMemHeapSize(c.mode, c.size, c.frontPads, c.backPads));
#else
  EXPECT_GE(malloc_usable_size(raw), ossMemHeapSize(c.mode, c.size, c.frontPads, c.backPads));
#endif

  // The header.
  EXPECT_EQ(Word(data - 16), OSSMEM_EYE_ALLOCATED);
  EXPECT_EQ(Word(data - 12), c.size);
  EXPECT_EQ(Word(data - 8), 0u);
  EXPECT_EQ(Word(data - 4), 321u);
  EXPECT_EQ(Word(data - 20), c.mode) << "the mode tag in front of the header";

  if (c.mode == OSSMEM_MODE_IDLE) {
    EXPECT_EQ(offset, 32u);
    EXPECT_EQ(Word(raw), 0u);
    EXPECT_EQ(Word(raw + 4), 0u);
    EXPECT_EQ(Word(raw + 8), c.size);
  } else if (c.mode == OSSMEM_MODE_LIGHT) {
    EXPECT_EQ(offset, 32u);
    for (unsigned char* at : {raw, data + padded}) {
      EXPECT_EQ(Word(at), OSSMEM_PAD_WORD0);
      EXPECT_EQ(Word(at + 4), OSSMEM_PAD_WORD1);
      EXPECT_EQ(Word(at + 8), c.size);
      EXPECT_EQ(Word(at + 12), OSSMEM_MODE_LIGHT);
    }
    for (std::uint64_t i = c.size; i < padded; ++i) EXPECT_EQ(data[i], OSSMEM_FILL_BYTE) << i;
  } else {
    unsigned char* nodeAt = data - kNodeSize;
    const auto* node = reinterpret_cast<const OSSMemListNode*>(nodeAt);
    EXPECT_STREQ(node->fileName, "layout_source.cpp");
    EXPECT_EQ(node->size, c.size);
    EXPECT_EQ(node->line, 321u);
    EXPECT_EQ(node->frontPads, c.frontPads);
    EXPECT_EQ(node->backPads, c.backPads);
    EXPECT_EQ(node->prev, nullptr) << "the newest block heads the list";
    EXPECT_EQ(ossMemGetDebugCB()->listHead, node);
    const std::uint64_t gap = offset - 8 * c.frontPads - kNodeSize;
    EXPECT_TRUE(gap == 0 || gap == 8) << gap;
    for (std::uint32_t i = 0; i < c.frontPads; ++i) {
      EXPECT_EQ(Word(raw + gap + 8 * i), OSSMEM_PAD_WORD0);
      EXPECT_EQ(Word(raw + gap + 8 * i + 4), OSSMEM_PAD_WORD1);
    }
    for (std::uint64_t i = c.size; i < padded; ++i) EXPECT_EQ(data[i], OSSMEM_FILL_BYTE) << i;
    for (std::uint32_t i = 0; i < c.backPads; ++i) {
      EXPECT_EQ(Word(data + padded + 8 * i), OSSMEM_PAD_WORD0);
      EXPECT_EQ(Word(data + padded + 8 * i + 4), OSSMEM_PAD_WORD1);
    }
    EXPECT_EQ(Word(data + padded + 8 * c.backPads), c.size);
    EXPECT_EQ(Word(data + padded + 8 * c.backPads + 4), OSSMEM_MODE_FULL);
  }
  EXPECT_EQ(_ossMemAllocCheck(&block, __FILE__, __LINE__, 0), c.size);
  FdCapture errors(2);
  EXPECT_EQ(_ossMemFree(&block, nullptr, 0, __FILE__, __LINE__), 0u);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(errors.Stop(), "") << "a sound block frees silently";
}

INSTANTIATE_TEST_SUITE_P(Modes, MemoryLayoutTest,
                         ::testing::Values(LayoutCase{OSSMEM_MODE_IDLE, 10, 0, 0}, LayoutCase{OSSMEM_MODE_IDLE, 24, 2, 2},
                                           LayoutCase{OSSMEM_MODE_LIGHT, 10, 2, 2}, LayoutCase{OSSMEM_MODE_LIGHT, 8, 0, 0},
                                           LayoutCase{OSSMEM_MODE_FULL, 10, 2, 2}, LayoutCase{OSSMEM_MODE_FULL, 13, 3, 1},
                                           LayoutCase{OSSMEM_MODE_FULL, 16, 0, 0}, LayoutCase{OSSMEM_MODE_FULL, 1, 1, 4}));

TEST_F(MemoryTest, AllocationFlagsAndFills) {
  struct Case {
    std::uint32_t debugFlags, allocFlags;
    std::uint32_t eye;
    int fill;  // expected data byte, -1: not set by the allocator
  };
  const Case cases[] = {
      {0, 0, OSSMEM_EYE_ALLOCATED, -1},
      {0, OSSMEM_ALLOC_EYE_FLAG, OSSMEM_EYE_ALLOCATED | 1, -1},
      {0, OSSMEM_ALLOC_ZERO, OSSMEM_EYE_ALLOCATED, 0x00},
      {OSSMEM_DEBUG_POISON_NEW, 0, OSSMEM_EYE_ALLOCATED, 0xFF},
      {OSSMEM_DEBUG_POISON_NEW, OSSMEM_ALLOC_ZERO | OSSMEM_ALLOC_EYE_FLAG, OSSMEM_EYE_ALLOCATED | 1, 0x00},
      {OSSMEM_DEBUG_CARRIED_04 | OSSMEM_DEBUG_CARRIED_08, 0, OSSMEM_EYE_ALLOCATED, -1},
  };
  for (std::uint32_t mode : {OSSMEM_MODE_IDLE, OSSMEM_MODE_LIGHT, OSSMEM_MODE_FULL}) {
    for (const Case& c : cases) {
      ASSERT_EQ(ossMemSetDebug(c.debugFlags, mode, 2, 2), 0u);
      void* block = nullptr;
      ASSERT_EQ(_ossMemAlloc(&block, nullptr, 40, c.allocFlags, __FILE__, __LINE__), 0u);
      auto* data = static_cast<unsigned char*>(block);
      EXPECT_EQ(Word(data - 16), c.eye);
      if (c.fill >= 0) {
        for (int i = 0; i < 40; ++i) ASSERT_EQ(data[i], c.fill) << i;
      }
      FdCapture errors(2);
      EXPECT_EQ(_ossMemFree(&block, nullptr, 0, __FILE__, __LINE__), 0u);
      EXPECT_EQ(errors.Stop(), "") << "the eye-catcher flags are accepted";
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The block check
// ---------------------------------------------------------------------------------------------

struct CorruptionCase {
  const char* what;
  std::uint32_t mode, size;
  long offset;  // from the data pointer
  unsigned char value;
  std::vector<std::string> messages;
  bool released;
};

class MemoryCorruptionTest : public MemoryTest, public ::testing::WithParamInterface<CorruptionCase> {};

TEST_P(MemoryCorruptionTest, FreeReportsTheDamageAndReleasesWhatItMay) {
  const CorruptionCase& c = GetParam();
  ASSERT_EQ(ossMemSetDebug(0, c.mode, 2, 2), 0u);
  FdCapture errors(2);
  const HeapProbe heap;
  void* block = nullptr;
  ASSERT_EQ(_ossMemAlloc(&block, nullptr, c.size, 0, __FILE__, __LINE__), 0u);
  auto* data = static_cast<unsigned char*>(block);
  unsigned char* raw = data - ossMemDataOffset(c.mode, 2);
  const unsigned char original = data[c.offset];
  data[c.offset] = c.value;
  // The mode may have changed since: the block is checked by its own layout.
  ossMemSetDebug(0, OSSMEM_MODE_IDLE, 0, 0);
  const std::uint32_t line = __LINE__ + 1;
  EXPECT_EQ(_ossMemFree(&block, nullptr, 0, "corrupt_caller.cpp", line), 0u);
  const bool released = heap.Released(raw, ossMemHeapSize(c.mode, c.size, 2, 2));
  const std::string report = errors.Stop();
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(Reports(report), c.messages) << report;
  if (!c.messages.empty()) {
    EXPECT_NE(report.find("NON-FATAL ASSERTION FAILED!!!\r\n"), std::string::npos);
    EXPECT_NE(report.find("File       = corrupt_caller.cpp\r\nLine       = " + std::to_string(line) + "\r\n"),
              std::string::npos);
  }
  EXPECT_EQ(released, c.released);
  if (!released) {
    // Repaired, the block frees normally (and leaves the FULL list).
    data[c.offset] = original;
    block = data;
    FdCapture quiet(2);
    EXPECT_EQ(_ossMemFree(&block, nullptr, 0, __FILE__, __LINE__), 0u);
    EXPECT_EQ(quiet.Stop(), "");
  }
}

const long kFullNode = static_cast<long>(kNodeSize);
INSTANTIATE_TEST_SUITE_P(
    Blocks, MemoryCorruptionTest,
    ::testing::Values(
        CorruptionCase{"IDLE has no guards", OSSMEM_MODE_IDLE, 10, 10, 0x41, {}, true},
        CorruptionCase{"LIGHT: one byte past 10", OSSMEM_MODE_LIGHT, 10, 10, 0x41, {"Back memory pad corruption found at:"}, true},
        CorruptionCase{"LIGHT: one byte past 16", OSSMEM_MODE_LIGHT, 16, 16, 0x41, {"Back memory pad corruption found at:"}, true},
        CorruptionCase{"LIGHT: front pad", OSSMEM_MODE_LIGHT, 10, -28, 0x00, {"Front memory pad corruption found at:"}, true},
        CorruptionCase{"LIGHT: trailer size", OSSMEM_MODE_LIGHT, 16, 16 + 8, 0x11, {"Memory pad size corruption found at:"}, true},
        CorruptionCase{"LIGHT: trailer mode", OSSMEM_MODE_LIGHT, 16, 16 + 12, 0x11, {"Back memory pad corruption found at:"}, true},
        CorruptionCase{"FULL: one byte past 10", OSSMEM_MODE_FULL, 10, 10, 0x41, {"Back Uint8 memory pad corruption found at:"}, true},
        CorruptionCase{"FULL: one byte past 16", OSSMEM_MODE_FULL, 16, 16, 0x41,
                       {"Back pad corruption (0xFEEDFACE600DBE41) found at:"}, true},
        CorruptionCase{"FULL: second back pad", OSSMEM_MODE_FULL, 16, 16 + 15, 0x00,
                       {"Back pad corruption (0xEDFACE600DBEEF) found at:"}, true},
        CorruptionCase{"FULL: trailer mode", OSSMEM_MODE_FULL, 16, 16 + 16 + 4, 0x00, {"Back pad mode (0xa110ca00)found at:"}, true},
        CorruptionCase{"FULL: trailer size", OSSMEM_MODE_FULL, 16, 16 + 16, 0x11,
                       {"Allocation size does not match between front and back pad structures found at:"}, true},
        CorruptionCase{"FULL: front pad", OSSMEM_MODE_FULL, 10, -kFullNode - 16, 0x00, {"Front pad corruption found at:"}, true},
        CorruptionCase{"eye-catcher", OSSMEM_MODE_LIGHT, 10, -16, 0x00, {"Invalid block eye-catcher (0x7A405500) found at:"}, true},
        CorruptionCase{"mode tag", OSSMEM_MODE_IDLE, 10, -20, 0x00, {"Invalid pad type (0x1D1EC000) found at:"}, false},
        CorruptionCase{"underrun over the header", OSSMEM_MODE_FULL, 10, -20, 0x00,
                       {"Invalid pad type (0xA110CA00) found at:"}, false}));

TEST_F(MemoryTest, FullBlockFreedTwiceIsReleasedOnce) {
  ASSERT_EQ(ossMemSetDebug(0, OSSMEM_MODE_FULL, 2, 2), 0u);
  FdCapture errors(2);
  const HeapProbe heap;
  void* block = nullptr;
  ASSERT_EQ(_ossMemAlloc(&block, nullptr, 10, 0, __FILE__, __LINE__), 0u);
  // The first free's own step, without handing the memory back: the second free then meets the
  // block exactly as a double free does, and the sanitizers see no access to released memory.
  void* raw = block;
  EXPECT_EQ(_ossMemAllocCheck(&raw, __FILE__, __LINE__, 1), 10u);
  EXPECT_EQ(raw, static_cast<unsigned char*>(block) - ossMemDataOffset(OSSMEM_MODE_FULL, 2));
  EXPECT_EQ(ossMemGetDebugCB()->listHead, nullptr) << "the marked block has left the list";
  EXPECT_EQ(_ossMemFree(&block, nullptr, 0, __FILE__, __LINE__), 0u);
  EXPECT_FALSE(heap.Released(raw, ossMemHeapSize(OSSMEM_MODE_FULL, 10, 2, 2))) << "the second free released nothing";
  const std::string report = errors.Stop();
  const std::vector<std::string> expected = {"Freeing freed memory found at:",
                                             "Invalid block eye-catcher (0xDEAD055E) found at:",
                                             "Freeing freed memory found at:"};
  EXPECT_EQ(Reports(report), expected) << report;
  EXPECT_EQ(block, nullptr);
  std::free(raw);
}

#if !defined(TARN_TEST_SANITIZER_HEAP)
// The same with a real second free: the header and the node survive the heap's own free, and
// glibc, which stops the process on a block freed twice, gets it only once. (The sanitizers'
// heaps rightly refuse the read of freed memory this needs.)
TEST_F(MemoryTest, RealDoubleFreeOfAFullBlockReleasesNothing) {
  ASSERT_EQ(ossMemSetDebug(0x0F, OSSMEM_MODE_FULL, 2, 2), 0u);
  void* block = nullptr;
  ASSERT_EQ(_ossMemAlloc(&block, nullptr, 10, 0, __FILE__, __LINE__), 0u);
  void* copy = block;
  ASSERT_EQ(_ossMemFree(&block, nullptr, 0, __FILE__, __LINE__), 0u);
  FdCapture errors(2);
  EXPECT_EQ(_ossMemFree(&copy, nullptr, 0, __FILE__, __LINE__), 0u);
  const std::string report = errors.Stop();
  const std::vector<std::string> expected = {"Freeing freed memory found at:",
                                             "Invalid block eye-catcher (0xDEAD055E) found at:",
                                             "Freeing freed memory found at:"};
  EXPECT_EQ(Reports(report), expected) << report;
}
#endif

TEST_F(MemoryTest, ForeignPointerIsReportedAndNotReleased) {
  alignas(16) unsigned char foreign[64];
  std::memset(foreign, 0x11, sizeof foreign);
  for (std::uint32_t mode : {OSSMEM_MODE_IDLE, OSSMEM_MODE_FULL}) {
    ossMemSetDebug(0, mode, 2, 2);
    void* pointer = foreign + 32;
    FdCapture errors(2);
    EXPECT_EQ(_ossMemFree(&pointer, nullptr, 0, __FILE__, __LINE__), 0u);
    const std::vector<std::string> expected = {"Invalid block eye-catcher (0x11111111) found at:",
                                               "Invalid pad type (0x11111111) found at:"};
    EXPECT_EQ(Reports(errors.Stop()), expected);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(foreign[0], 0x11) << "nothing written into foreign memory";
  }
  void* null = nullptr;
  FdCapture errors(2);
  EXPECT_EQ(_ossMemAllocCheck(&null, __FILE__, __LINE__, 0), 0u);
  EXPECT_EQ(Reports(errors.Stop()), std::vector<std::string>{"NULL pointer for memory allocation address found at:"});
}

TEST_F(MemoryTest, FreedDataIsPoisonedWhenAsked) {
  ASSERT_EQ(ossMemSetDebug(OSSMEM_DEBUG_POISON_FREED, OSSMEM_MODE_LIGHT, 2, 2), 0u);
  void* block = nullptr;
  ASSERT_EQ(_ossMemAlloc(&block, nullptr, 24, OSSMEM_ALLOC_ZERO, __FILE__, __LINE__), 0u);
  auto* data = static_cast<unsigned char*>(block);
  void* raw = block;
  ASSERT_EQ(_ossMemAllocCheck(&raw, __FILE__, __LINE__, 1), 24u);
  EXPECT_EQ(raw, data - 32);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(data[i], OSSMEM_POISON_BYTE) << i;
  EXPECT_EQ(Word(data - 16), OSSMEM_EYE_FREED);
  EXPECT_EQ(Word(data - 20), OSSMEM_TAG_FREED);
  std::free(raw);
}

// ---------------------------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------------------------

TEST_F(MemoryTest, ToggleRuleAfterTheFirstAllocation) {
  struct Case {
    std::uint32_t flags, mode, front, back;
    std::uint32_t result, modeAfter;
  };
  const Case cases[] = {
      {0, OSSMEM_MODE_NONE, 0, 0, ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC, OSSMEM_MODE_IDLE},
      {0x0B, OSSMEM_MODE_LIGHT, 2, 2, 0, OSSMEM_MODE_LIGHT},
      {0x0F, OSSMEM_MODE_FULL, 3, 1, 0, OSSMEM_MODE_FULL},
      {0x01, OSSMEM_MODE_NONE, 5, 6, ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC, OSSMEM_MODE_FULL},
      {0, OSSMEM_MODE_IDLE, 0, 0, 0, OSSMEM_MODE_IDLE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ossMemSetDebug(c.flags, c.mode, c.front, c.back), c.result) << std::hex << c.mode;
    const OSSMemDebugCB* cb = ossMemGetDebugCB();
    EXPECT_EQ(cb->mode, c.modeAfter);
    EXPECT_EQ(cb->flags, c.flags) << "flags are taken either way";
    EXPECT_EQ(cb->frontPads, c.front);
    EXPECT_EQ(cb->backPads, c.back);
    EXPECT_EQ(cb->allocationStarted, 1u);
  }
}

struct ChildResult {
  int status = -1;
  std::string out, err;
  std::map<std::string, std::string> values;
};

// Runs diag_memory_child with OSSEMEMDBG set to `value` (unset when null).
ChildResult RunChild(const std::vector<std::string>& arguments, const char* value) {
  const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "diag_memory_child";
  TempDir outputs;
  const std::string outPath = outputs.path() + "/out", errPath = outputs.path() + "/err";
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "OSSEMEMDBG=", 11) != 0) environment.push_back(*e);
  if (value != nullptr) environment.push_back(std::string("OSSEMEMDBG=") + value);
  std::vector<char*> envp, argv;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string programText = program.string();
  argv.push_back(programText.data());
  std::vector<std::string> args = arguments;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  ChildResult result;
  if (posix_spawn(&pid, programText.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) result.values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return result;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

struct SettingsCase {
  const char* what;
  const char* value;  // "%D" stands for the test's directory
  std::uint32_t mode, flags, front, back;
  bool ffdc;
  const char* levelText;  // in the appended log; null: invalid, usage text written
  bool usageFile;         // invalid with a directory: the usage text replaces the log
};

class MemorySettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(MemorySettingsTest, OssememdbgSetsModeFlagsAndPads) {
  const SettingsCase& c = GetParam();
  TempDir dir;
  std::string value = c.value;
  for (std::size_t at; (at = value.find("%D")) != std::string::npos;) value.replace(at, 2, dir.path());
  const fs::path log = fs::path(dir.path()) / "ossememdbg.log";
  { std::ofstream(log) << "earlier contents\n"; }

  const ChildResult child = RunChild({"settings"}, value.c_str());
  ASSERT_EQ(child.status, 0) << child.out << child.err;
  const std::map<std::string, std::string>& v = child.values;
  EXPECT_EQ(v.at("mode"), Hex(c.mode));
  EXPECT_EQ(v.at("flags"), Hex(c.flags));
  EXPECT_EQ(v.at("front"), std::to_string(c.front));
  EXPECT_EQ(v.at("back"), std::to_string(c.back));
  EXPECT_EQ(v.at("ffdc"), c.ffdc ? "1" : "0");
  EXPECT_EQ(v.at("cb"), c.mode == OSSMEM_MODE_FULL ? "1" : "0");
  EXPECT_EQ(v.at("tag"), Hex(c.mode)) << "the first block is laid out in the mode chosen";
  EXPECT_EQ(v.at("free"), "0x0");
  EXPECT_EQ(child.err, "");

  const std::string logText = ReadFile(log);
  char pid[64];
  if (c.levelText != nullptr) {
    EXPECT_EQ(v.at("path"), dir.path());
    const std::regex appended(
        "earlier contents\nPID            = 0x[0-9A-F]+\n---------------------------------\nmode           = " +
        std::string(c.levelText) + "\nflags          = " + Hex(c.flags) + "\nFront pad size = 2\nBack pad size  = 2\n\n");
    EXPECT_TRUE(std::regex_match(logText, appended)) << logText;
  } else if (c.usageFile) {
    std::snprintf(pid, sizeof pid, "PID = 0x");
    const std::regex usage(
        "PID = 0x[0-9A-F]+\n----------------------------------------------------\nOriginal Debug String is ([^\n]*)\n"
        "Invalid OSSEMEMDBG string detected.\n\nUsage : export OSSEMEMDBG=<PATH>,<LEVEL>\n"
        "   where <PATH> is the path to store ossememdbg.log\n"
        "         <LEVEL> is one of the OSSFULL, LIGHT, or IDLE\n\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(logText, match, usage)) << logText;
    EXPECT_EQ(match[1], value);
  } else {
    EXPECT_EQ(logText, "earlier contents\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, MemorySettingsTest,
    ::testing::Values(
        SettingsCase{"FULL", "%D,FULL", OSSMEM_MODE_FULL, 0x0F, 2, 2, false, "FULL", false},
        SettingsCase{"full", "%D,full", OSSMEM_MODE_FULL, 0x0F, 2, 2, false, "full", false},
        SettingsCase{"Corruptions", "%D,Corruptions", OSSMEM_MODE_FULL, 0x0F, 2, 2, false, "Corruptions", false},
        SettingsCase{"LEAKS", "%D,LEAKS", OSSMEM_MODE_FULL, 0x2F, 2, 2, true, "LEAKS", false},
        SettingsCase{"all", "%D,all", OSSMEM_MODE_FULL, 0x2F, 2, 2, true, "all", false},
        SettingsCase{"LiGhT", "%D,LiGhT", OSSMEM_MODE_LIGHT, 0x0B, 2, 2, false, "LiGhT", false},
        SettingsCase{"extra commas", ",,%D,,,light,", OSSMEM_MODE_LIGHT, 0x0B, 2, 2, false, "light", false},
        SettingsCase{"three tokens", "%D,LIGHT,more", OSSMEM_MODE_IDLE, 0, 2, 2, false, nullptr, true},
        SettingsCase{"unknown level", "%D,IDLE", OSSMEM_MODE_IDLE, 0, 2, 2, false, nullptr, true},
        SettingsCase{"level too long", "%D,LEAKSLEAKSLEAKSLEAKS", OSSMEM_MODE_IDLE, 0, 2, 2, false, nullptr, true},
        SettingsCase{"no comma", "%D", OSSMEM_MODE_IDLE, 0, 2, 2, false, nullptr, true},
        SettingsCase{"only commas", ",,,", OSSMEM_MODE_IDLE, 0, 2, 2, false, nullptr, false},
        SettingsCase{"missing directory", "%D/missing,FULL", OSSMEM_MODE_FULL, 0x0F, 2, 2, false, nullptr, false}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) { return "case" + std::to_string(info.index); });

TEST(MemorySettings, UnsetVariableGivesIdleWithoutPads) {
  const ChildResult child = RunChild({"settings"}, nullptr);
  ASSERT_EQ(child.status, 0) << child.out << child.err;
  EXPECT_EQ(child.values.at("mode"), Hex(OSSMEM_MODE_IDLE));
  EXPECT_EQ(child.values.at("flags"), "0x0");
  EXPECT_EQ(child.values.at("front"), "0");
  EXPECT_EQ(child.values.at("back"), "0");
  EXPECT_EQ(child.values.at("path"), "");
  EXPECT_EQ(child.values.at("cb"), "0");
}

TEST(MemorySettings, ModeNoneBeforeTheFirstAllocation) {
  const ChildResult child = RunChild({"none"}, nullptr);
  ASSERT_EQ(child.status, 0) << child.out << child.err;
  const std::map<std::string, std::string>& v = child.values;
  EXPECT_EQ(v.at("setnone"), "0x0");
  EXPECT_EQ(v.at("alloc"), "0x0");
  EXPECT_EQ(v.at("eye"), Hex(OSSMEM_EYE_ALLOCATED));
  EXPECT_EQ(v.at("size"), "10");
  EXPECT_EQ(v.at("line"), "41");
  EXPECT_EQ(v.at("check"), "0xFFFFFFFF") << "-1 in mode NONE";
  EXPECT_EQ(v.at("seton"), Hex(ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC));
  EXPECT_EQ(v.at("mode"), "0x0");
  EXPECT_EQ(v.at("free"), "0x0");
  EXPECT_EQ(child.err, "");
}

TEST(MemorySettings, SwitchingOffAfterTheFirstAllocationIsRefused) {
  const ChildResult child = RunChild({"toggle"}, nullptr);
  ASSERT_EQ(child.status, 0) << child.out << child.err;
  EXPECT_EQ(child.values.at("setoff"), Hex(ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC));
  EXPECT_EQ(child.values.at("setlight"), "0x0");
  EXPECT_EQ(child.values.at("mode"), Hex(OSSMEM_MODE_LIGHT));
  EXPECT_EQ(child.values.at("flags"), "0x3");
  EXPECT_EQ(child.values.at("free"), "0x0");
  EXPECT_EQ(child.err, "") << "the IDLE block is freed by its own layout under LIGHT";
  // The toggle's own output, before LIGHT was chosen: mode kept, flags and pads taken.
  EXPECT_NE(child.out.find("setoff=0x90000079\nmode=0x1D1EC0DE\nflags=0x0\nfront=0\nback=0\n"), std::string::npos)
      << child.out;
}

TEST(MemorySettings, HeapFailureIsLoggedAndMapped) {
#if defined(TARN_TEST_ASAN) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's heap does not live within a limited address space";
#endif
  const ChildResult child = RunChild({"nomemory"}, nullptr);
  ASSERT_EQ(child.status, 0) << child.out << child.err;
  EXPECT_EQ(child.values.at("alloc"), Hex(ECF_NO_MEMORY));
  EXPECT_EQ(child.values.at("untouched"), "1");
  // The system error handler's record: the allocator's own id, the failed call, probe 40, the
  // total asked of the heap (0xFFFFFF00 + 32 in IDLE) and the flags.
  EXPECT_NE(child.err.find("FUNCTION: OSS, OSSE, ossMemAlloc, probe:40\r\n"), std::string::npos) << child.err;
  EXPECT_NE(child.err.find("CALLED  : OS, -, malloc"), std::string::npos) << child.err;
  EXPECT_NE(child.err.find("OSERR: ERROR_OUTOFMEMORY (8)\r\n"), std::string::npos) << child.err;
  EXPECT_NE(child.err.find("Uint32, 4 bytes\r\n4294967072\r\n"), std::string::npos) << child.err;
  EXPECT_NE(child.err.find("Hex, 4 bytes\r\n0x2\r\n"), std::string::npos) << child.err;
}

// ---------------------------------------------------------------------------------------------
// Leak reports
// ---------------------------------------------------------------------------------------------

struct ChildBlock {
  std::string address;
  std::string size, line;
};

std::vector<ChildBlock> BlocksOf(const ChildResult& child) {
  std::vector<ChildBlock> blocks;
  for (const char* key : {"block0", "block1", "block2"}) {
    std::istringstream in(child.values.at(key));
    ChildBlock block;
    in >> block.address >> block.size >> block.line;
    blocks.push_back(block);
  }
  return blocks;
}

// The header's address of a block whose data lies at `data` ("0x..." from %p).
std::uintptr_t HeaderOf(const std::string& data) { return std::stoull(data, nullptr, 16) - 16; }

TEST(MemoryLeakReport, LeaksLevelWritesTheLongReportOfTheTwoLiveBlocks) {
  TempDir dir;
  const ChildResult child = RunChild({"leaks", "file"}, (dir.path() + ",LEAKS").c_str());
  ASSERT_EQ(child.status, 0) << child.out << child.err;
  EXPECT_EQ(child.err, "");
  const std::vector<ChildBlock> blocks = BlocksOf(child);

  std::vector<fs::path> reports;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    if (entry.path().string().ends_with(".mem_leaks.txt")) reports.push_back(entry.path());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(std::regex_match(reports[0].filename().string(), std::regex("[0-9]+\\.[0-9]+\\.mem_leaks\\.txt")));

  const std::string stars(76, '*'), equals(76, '=');
  char expected[4096];
  std::snprintf(expected, sizeof expected,
                "%s\nTarn Support and Development can generate a report of possible memory leaks\nusing the following "
                "command from any uselvl'd build:\nperl -S tarnreportleaks -path %s\n\n"
                "To display all available options, run \"perl -S tarnreportleaks -help\"\n%s\n"
                "Legend:\n-------\nAddr - block address\nCode - block eye-catcher with flags\nSize - size of the block\n"
                "Line - line of code in a file\nFile - file name\n%s\nOSSe Unfreed Memory Blocks :\n%s\n"
                "Addr: %08lx Code: 0x7a4055e0 Size: %s Line: %s File: memory_child.cpp\n"
                "Addr: %08lx Code: 0x7a4055e0 Size: %s Line: %s File: memory_child.cpp\n%s\n",
                stars.c_str(), dir.path().c_str(), stars.c_str(), equals.c_str(), equals.c_str(),
                static_cast<unsigned long>(HeaderOf(blocks[2].address)), blocks[2].size.c_str(), blocks[2].line.c_str(),
                static_cast<unsigned long>(HeaderOf(blocks[0].address)), blocks[0].size.c_str(), blocks[0].line.c_str(),
                equals.c_str());
  EXPECT_EQ(ReadFile(reports[0]), expected);
  EXPECT_EQ(blocks[0].size, "10");
  EXPECT_EQ(blocks[2].size, "3000");
}

TEST(MemoryLeakReport, FullLevelWritesTheShortReport) {
  TempDir dir;
  const ChildResult child = RunChild({"leaks", "file"}, (dir.path() + ",FULL").c_str());
  ASSERT_EQ(child.status, 0) << child.out << child.err;
  const std::vector<ChildBlock> blocks = BlocksOf(child);
  std::vector<fs::path> reports;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    if (entry.path().extension() == ".mem") reports.push_back(entry.path());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(std::regex_match(reports[0].filename().string(), std::regex("p[0-9]+t[0-9]+\\.mem")));
  char expected[1024];
  std::snprintf(expected, sizeof expected,
                "%s\nOSSe Unfreed Memory Blocks :\n%s\nAddr: %08lx Code: 0x7a4055e0 Size: 3000 Line: %s File: "
                "memory_child.cpp\nAddr: %08lx Code: 0x7a4055e0 Size: 10 Line: %s File: memory_child.cpp\n%s\n",
                std::string(76, '*').c_str(), std::string(76, '=').c_str(),
                static_cast<unsigned long>(HeaderOf(blocks[2].address)), blocks[2].line.c_str(),
                static_cast<unsigned long>(HeaderOf(blocks[0].address)), blocks[0].line.c_str(),
                std::string(76, '=').c_str());
  EXPECT_EQ(ReadFile(reports[0]), expected);
}

TEST(MemoryLeakReport, BlocksGoToStandardOutputWhenTheFileCannotBeOpened) {
  TempDir dir;
  struct Case {
    std::string value;
    std::vector<std::string> arguments;
    bool heading;
  };
  const Case cases[] = {
      {dir.path() + "/missing,FULL", {"leaks", "file"}, true},   // short form: its heading first
      {dir.path() + "/missing,LEAKS", {"leaks", "file"}, false},  // long form: no heading
      {dir.path() + ",FULL", {"leaks", "out"}, false},            // not asked for a file
  };
  for (const Case& c : cases) {
    const ChildResult child = RunChild(c.arguments, c.value.c_str());
    ASSERT_EQ(child.status, 0) << child.out << child.err;
    const std::vector<ChildBlock> blocks = BlocksOf(child);
    std::string expected;
    if (c.heading) expected += std::string(76, '*') + "\nOSSe Unfreed Memory Blocks :\n" + std::string(76, '=') + "\n";
    for (int i : {2, 0}) {
      char line[256];
      std::snprintf(line, sizeof line, "Address: %p Size: %s Line: %s File: memory_child.cpp\n",
                    reinterpret_cast<void*>(HeaderOf(blocks[i].address)), blocks[i].size.c_str(), blocks[i].line.c_str());
      expected += line;
    }
    const std::size_t start = child.out.find("block2=");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(child.out.substr(child.out.find('\n', start) + 1), expected) << c.value;
    for (const auto& entry : fs::directory_iterator(dir.path()))
      EXPECT_EQ(entry.path().filename(), "ossememdbg.log") << "no report file: " << c.value;
  }
}

TEST_F(MemoryTest, ReportChecksEachLiveBlockAndServesTheDumpRequest) {
  TempDir dir;
  std::snprintf(g_szMemDebugLogPath, sizeof g_szMemDebugLogPath, "%s", dir.path().c_str());
  ASSERT_EQ(ossMemSetDebug(0, OSSMEM_MODE_FULL, 2, 2), 0u);
  void* sound = nullptr;
  void* damaged = nullptr;
  ASSERT_EQ(_ossMemAlloc(&sound, nullptr, 10, 0, "a.cpp", 1), 0u);
  ASSERT_EQ(_ossMemAlloc(&damaged, nullptr, 10, 0, "b.cpp", 2), 0u);
  static_cast<unsigned char*>(damaged)[10] = 0;

  FdCapture errors(2);
  g_bDumpMemAllocListFlag = 1;
  void* trigger = nullptr;
  ASSERT_EQ(_ossMemAlloc(&trigger, nullptr, 10, 0, "c.cpp", 3), 0u);
  EXPECT_EQ(g_bDumpMemAllocListFlag, 0);
  const std::string report = errors.Stop();
  EXPECT_EQ(Reports(report), std::vector<std::string>{"Back Uint8 memory pad corruption found at:"});
  EXPECT_NE(report.find("osse/diag/memory.cpp\r\nLine       = "), std::string::npos)
      << "the report names its own source, not the block's: " << report;

  char name[128];
  std::snprintf(name, sizeof name, "p%dt%d.mem", static_cast<int>(getpid()), static_cast<int>(gettid()));
  const std::string text = ReadFile(fs::path(dir.path()) / name);
  EXPECT_NE(text.find("Size: 10 Line: 2 File: b.cpp\nAddr: "), std::string::npos) << text;
  EXPECT_NE(text.find("Size: 10 Line: 1 File: a.cpp\n===="), std::string::npos) << text;
  EXPECT_EQ(text.find("c.cpp"), std::string::npos) << "the request is served before the allocation";

  // Long form by flag 0x20, appended to its own file.
  ASSERT_EQ(ossMemSetDebug(OSSMEM_DEBUG_LONG_REPORT, OSSMEM_MODE_FULL, 2, 2), 0u);
  FdCapture again(2);
  EXPECT_EQ(ossMemAllocList(true), 0u);
  again.Stop();
  std::snprintf(name, sizeof name, "%d.%d.mem_leaks.txt", static_cast<int>(getpid()), static_cast<int>(gettid()));
  const std::string longText = ReadFile(fs::path(dir.path()) / name);
  EXPECT_NE(longText.find("Legend:\n"), std::string::npos);
  EXPECT_NE(longText.find("File: c.cpp\n"), std::string::npos);

  static_cast<unsigned char*>(damaged)[10] = OSSMEM_FILL_BYTE;
  for (void** block : {&sound, &damaged, &trigger}) ASSERT_EQ(_ossMemFree(block, nullptr, 0, __FILE__, __LINE__), 0u);
  g_szMemDebugLogPath[0] = '\0';
  EXPECT_EQ(ossMemGetDebugCB()->listHead, nullptr);
  // An empty list, or another mode, writes nothing.
  FdCapture out(1);
  EXPECT_EQ(ossMemAllocList(false), 0u);
  ossMemSetDebug(0, OSSMEM_MODE_IDLE, 0, 0);
  void* idle = nullptr;
  ASSERT_EQ(_ossMemAlloc(&idle, nullptr, 10, 0, __FILE__, __LINE__), 0u);
  EXPECT_EQ(ossMemAllocList(false), 0u);
  ASSERT_EQ(_ossMemFree(&idle, nullptr, 0, __FILE__, __LINE__), 0u);
  EXPECT_EQ(out.Stop(), "");
}

TEST_F(MemoryTest, FfdcFlagNeedsADirectory) {
  EXPECT_FALSE(ossMemIsMemFFDCAndOSSeMemDebugPathSet());
  ossMemSetMemFFDCEnabledFlag();
  EXPECT_EQ(g_bIsMemoryFFDCEnabledFlag, 1);
  EXPECT_FALSE(ossMemIsMemFFDCAndOSSeMemDebugPathSet());
  std::snprintf(g_szMemDebugLogPath, sizeof g_szMemDebugLogPath, "/tmp");
  EXPECT_TRUE(ossMemIsMemFFDCAndOSSeMemDebugPathSet());
  g_szMemDebugLogPath[0] = '\0';
  g_bIsMemoryFFDCEnabledFlag = 0;
}

// ---------------------------------------------------------------------------------------------
// Trace points
// ---------------------------------------------------------------------------------------------

TEST_F(MemoryTest, ColdWaysAndFailuresAreTraced) {
  tarn::test::PointCollector points({ECF_FN__ossMemAlloc, ECF_FN__ossMemFree, ECF_FN_ossMemSetDebug,
                                     ECF_FN__ossMemAllocCheck, ECF_FN_ossMemAllocList});
  tarn::test::TraceBlock block;
  block.options().flags = GTRACE_FLAG_CALLBACK;
  ASSERT_EQ(block.start(&tarn::test::PointCollector::callback), 0u);
  FdCapture errors(2);
  void* sound = nullptr;
  EXPECT_EQ(_ossMemAlloc(&sound, nullptr, 16, 0, __FILE__, __LINE__), 0u);  // the short way: no points
  void* refused = nullptr;
  EXPECT_EQ(_ossMemAlloc(&refused, nullptr, 0, 0, __FILE__, __LINE__), ECF_INVALID_PARAMETER);
  EXPECT_EQ(_ossMemFree(nullptr, nullptr, 0, __FILE__, __LINE__), ECF_INVALID_PARAMETER);
  void* null = nullptr;
  EXPECT_EQ(_ossMemFree(&null, nullptr, 0, __FILE__, __LINE__), ECF_MEM_NULL_POINTER);
  EXPECT_EQ(ossMemSetDebug(0, OSSMEM_MODE_NONE, 0, 0), ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC);
  EXPECT_EQ(_ossMemAllocCheck(&sound, __FILE__, __LINE__, 0), 16u);
  EXPECT_EQ(ossMemAllocList(false), 0u);
  EXPECT_EQ(_ossMemFree(&sound, nullptr, 0, __FILE__, __LINE__), 0u);
  gtraceDetach();
  errors.Stop();
  const std::vector<tarn::test::SeenPoint> expected = {
      {GTRACE_REC_ERROR, ECF_FN__ossMemAlloc, 10, 0},
      {GTRACE_REC_ERROR, ECF_FN__ossMemFree, 10, 0},
      {GTRACE_REC_ERROR, ECF_FN__ossMemFree, 20, 0},
      {GTRACE_REC_ENTRY, ECF_FN_ossMemSetDebug, 0, 0},
      {GTRACE_REC_ERROR, ECF_FN_ossMemSetDebug, 10, 0},
      {GTRACE_REC_EXIT, ECF_FN_ossMemSetDebug, 0, ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC},
      {GTRACE_REC_ENTRY, ECF_FN__ossMemAllocCheck, 0, 0},
      {GTRACE_REC_EXIT, ECF_FN__ossMemAllocCheck, 0, 16u},
      {GTRACE_REC_ENTRY, ECF_FN_ossMemAllocList, 0, 0},
      {GTRACE_REC_EXIT, ECF_FN_ossMemAllocList, 0, 0u},
  };
  EXPECT_EQ(points.points(), expected);
}

// ---------------------------------------------------------------------------------------------
// The thread cache of freed IDLE blocks
// ---------------------------------------------------------------------------------------------

class MemoryCacheTest : public MemoryTest {
 protected:
  void SetUp() override {
    MemoryTest::SetUp();
    ossMemTrimThreadCache();
  }
  void TearDown() override {
    ossMemTrimThreadCache();
    MemoryTest::TearDown();
  }
  static void* Allocate(std::uint32_t size, std::uint32_t allocFlags = 0) {
    void* block = nullptr;
    EXPECT_EQ(_ossMemAlloc(&block, nullptr, size, allocFlags, __FILE__, __LINE__), 0u);
    return block;
  }
  static void Free(void* block) { EXPECT_EQ(_ossMemFree(&block, nullptr, 0, __FILE__, __LINE__), 0u); }
};

TEST_F(MemoryCacheTest, FreedSmallBlockServesTheNextAllocationOfItsHeapSize) {
  struct Case {
    const char* what;
    std::uint32_t mode, freed, next, nextFlags;
    std::uint64_t cached;  // heap bytes in the cache after the free
    bool reused;
  };
  const Case cases[] = {
      {"same size", OSSMEM_MODE_IDLE, 64, 64, 0, 96, true},
      {"same padded size", OSSMEM_MODE_IDLE, 64, 57, 0, 96, true},
      {"smallest", OSSMEM_MODE_IDLE, 1, 8, 0, 40, true},
      {"largest cached", OSSMEM_MODE_IDLE, 256, 256, 0, 288, true},
      {"next heap size", OSSMEM_MODE_IDLE, 64, 65, 0, 96, false},
      {"zeroed block is made anew", OSSMEM_MODE_IDLE, 64, 64, OSSMEM_ALLOC_ZERO, 96, false},
      {"too large to cache", OSSMEM_MODE_IDLE, 257, 257, 0, 0, false},
      {"LIGHT blocks are not cached", OSSMEM_MODE_LIGHT, 64, 64, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(ossMemSetDebug(0, c.mode, 0, 0), 0u);
    void* freed = Allocate(c.freed);
    std::memset(freed, 0x5A, c.freed);
    Free(freed);
    ossMemSetDebug(0, OSSMEM_MODE_IDLE, 0, 0);
    void* next = Allocate(c.next, c.nextFlags);
    if (c.cached != 0) {
      EXPECT_EQ(next == freed, c.reused);
    }
    // The block taken back is a sound new block.
    auto* data = static_cast<unsigned char*>(next);
    EXPECT_EQ(Word(data - 16), OSSMEM_EYE_ALLOCATED);
    EXPECT_EQ(Word(data - 12), c.next);
    EXPECT_EQ(Word(data - 20), OSSMEM_MODE_IDLE);
    EXPECT_EQ(Word(data - 32), 0u);
    EXPECT_EQ(Word(data - 28), 0u);
    EXPECT_EQ(Word(data - 24), c.next);
    if ((c.nextFlags & OSSMEM_ALLOC_ZERO) != 0) {
      for (std::uint32_t i = 0; i < c.next; ++i) ASSERT_EQ(data[i], 0) << i;
    }
    EXPECT_EQ(ossMemTrimThreadCache(), c.reused ? 0 : c.cached);
    FdCapture errors(2);
    Free(next);
    EXPECT_EQ(errors.Stop(), "");
    ossMemTrimThreadCache();
  }
}

TEST_F(MemoryCacheTest, CachedBlockFreedTwiceIsReportedAndCachedOnce) {
  void* block = Allocate(64);
  void* copy = block;
  Free(block);
  FdCapture errors(2);
  EXPECT_EQ(_ossMemFree(&copy, nullptr, 0, __FILE__, __LINE__), 0u);
  const std::vector<std::string> expected = {"Freeing freed memory found at:",
                                             "Invalid block eye-catcher (0xDEAD055E) found at:",
                                             "Freeing freed memory found at:"};
  EXPECT_EQ(Reports(errors.Stop()), expected);
  void* first = Allocate(64);
  void* second = Allocate(64);
  EXPECT_EQ(first, block);
  EXPECT_NE(second, block) << "the block was handed out once";
  Free(first);
  Free(second);
}

TEST_F(MemoryCacheTest, BlockWhoseSizesDisagreeGoesToTheHeap) {
  // A header size that no longer matches the prefix's could hand the block out again for the
  // wrong size: such a block is released to the heap, not cached.
  void* block = Allocate(64);
  auto* data = static_cast<unsigned char*>(block);
  const std::uint32_t other = 200;
  std::memcpy(data - 12, &other, sizeof other);
  Free(block);
  EXPECT_EQ(ossMemTrimThreadCache(), 0u);
}

TEST_F(MemoryCacheTest, ThreadKeepsAtMost32KiB) {
  std::vector<void*> blocks(1000);
  for (void*& block : blocks) block = Allocate(64);
  for (void* block : blocks) Free(block);
  EXPECT_EQ(ossMemTrimThreadCache(), 32768 / 96 * 96);
  EXPECT_EQ(ossMemTrimThreadCache(), 0u);
}

TEST_F(MemoryCacheTest, EndingThreadHandsItsCacheBack) {
  constexpr int kBlocks = 300;  // 300 * 96 bytes: below the bound, all cached
  const std::size_t before = HeapInUse();
  std::size_t held = 0;
  std::thread([&] {
    std::vector<void*> blocks(kBlocks);
    for (void*& block : blocks) block = Allocate(64);
    for (void* block : blocks) Free(block);
    held = HeapInUse();
  }).join();
  EXPECT_GE(held, before + kBlocks * 96) << "the thread's cache held its blocks";
  EXPECT_LT(HeapInUse(), before + kBlocks * 96 / 2) << "and handed them back when it ended";
}

// ---------------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------------

TEST_F(MemoryTest, ThreadsAllocateAndFreeWithTheFullListIntact) {
  ASSERT_EQ(ossMemSetDebug(0x0F, OSSMEM_MODE_FULL, 2, 2), 0u);
  constexpr int kThreads = 4, kRounds = 2000, kKept = 25;
  std::vector<std::vector<void*>> kept(kThreads);
  FdCapture errors(2);
  std::atomic<bool> stop{false};
  // Switching between the on-modes meanwhile: every block stays checkable by its own layout.
  std::thread switcher([&] {
    const std::uint32_t modes[] = {OSSMEM_MODE_FULL, OSSMEM_MODE_LIGHT, OSSMEM_MODE_IDLE};
    for (unsigned i = 0; !stop.load(); ++i) ossMemSetDebug(0x0F, modes[i % 3], 1 + i % 3, i % 2);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<void*> live;
      for (int i = 0; i < kRounds; ++i) {
        void* block = nullptr;
        if (_ossMemAlloc(&block, nullptr, 1 + (i * 37 + t) % 300, 0, "threads.cpp", i) != 0) continue;
        live.push_back(block);
        if (live.size() > 8) {
          _ossMemFree(&live[i % live.size()], nullptr, 0, __FILE__, __LINE__);
          live.erase(live.begin() + static_cast<long>(i % live.size()));
        }
      }
      while (live.size() > kKept) {
        _ossMemFree(&live.back(), nullptr, 0, __FILE__, __LINE__);
        live.pop_back();
      }
      kept[t] = live;
    });
  }
  for (std::thread& thread : threads) thread.join();
  stop = true;
  switcher.join();
  ossMemSetDebug(0x0F, OSSMEM_MODE_FULL, 2, 2);

  // Every FULL block still alive is on the list once, with consistent links.
  std::size_t fullBlocks = 0;
  for (const auto& live : kept)
    for (void* block : live) fullBlocks += Word(static_cast<unsigned char*>(block) - 20) == OSSMEM_MODE_FULL;
  std::size_t listed = 0;
  const OSSMemListNode* previous = nullptr;
  for (const OSSMemListNode* node = ossMemGetDebugCB()->listHead; node != nullptr; node = node->next) {
    EXPECT_EQ(node->prev, previous);
    EXPECT_EQ(node->modeTag, OSSMEM_MODE_FULL);
    previous = node;
    ++listed;
  }
  EXPECT_EQ(listed, fullBlocks);
  for (auto& live : kept)
    for (void*& block : live) EXPECT_EQ(_ossMemFree(&block, nullptr, 0, __FILE__, __LINE__), 0u);
  EXPECT_EQ(ossMemGetDebugCB()->listHead, nullptr);
  EXPECT_EQ(errors.Stop(), "");
}

}  // namespace
