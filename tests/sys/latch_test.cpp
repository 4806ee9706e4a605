// Latches, atomics and ticks: latch states and texts, the primitives, spin tuning, mutual
// exclusion between threads and between processes over a shared mapping, the versioned objects'
// stamp rule, and tick conversions.
#include "osse/sys/latch.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "osse/diag/ecf.h"

namespace {

// Restores the process-wide spin tuning after a test changed it.
class SpinTuneGuard {
 public:
  SpinTuneGuard() { OSSLatch::getSpinCounts(saved_); }
  ~SpinTuneGuard() { OSSLatch::updateSpinCounts(saved_); }

 private:
  OSSSpinTune saved_{};
};

// ---------------------------------------------------------------------------------------------
// States and texts
// ---------------------------------------------------------------------------------------------

struct LatchStateCase {
  std::uint8_t byte;
  const char* text;
  std::uint32_t code;
};

class LatchStateTest : public ::testing::TestWithParam<LatchStateCase> {};

TEST_P(LatchStateTest, TextAndVerdict) {
  const LatchStateCase& c = GetParam();
  volatile std::uint8_t byte = c.byte;
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(ossLockToString(&byte, buffer, sizeof buffer), c.code);
  EXPECT_STREQ(buffer, c.text);
  // Every verification mode applies the same state check: a healthy byte passes mode 2 as well.
  for (std::int32_t mode : {0, 1, 2, 3, -1}) EXPECT_EQ(ossLockVerify(&byte, mode), c.code) << "mode " << mode;
  EXPECT_EQ(byte, c.byte) << "looking at a latch must not change it";
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, LatchStateTest,
    ::testing::Values(LatchStateCase{0x00, "{ 0x00 [ unlocked ] }", 0}, LatchStateCase{0x80, "{ 0x80 [ locked ] }", 0},
                      LatchStateCase{0xC0, "{ 0xC0 [ locked;waiting ] }", 0},
                      LatchStateCase{0x01, "{ 0x01 [ corrupt ] }", ECF_OSSLOCK_CORRUPT},
                      LatchStateCase{0x40, "{ 0x40 [ corrupt ] }", ECF_OSSLOCK_CORRUPT},
                      LatchStateCase{0x81, "{ 0x81 [ corrupt ] }", ECF_OSSLOCK_CORRUPT},
                      LatchStateCase{0xFF, "{ 0xFF [ corrupt ] }", ECF_OSSLOCK_CORRUPT}));

TEST(LatchText, SmallBufferIsCutAndTerminated) {
  volatile std::uint8_t byte = 0xC0;
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(ossLockToString(&byte, buffer, sizeof buffer), 0u);
  EXPECT_STREQ(buffer, "{ 0xC0 ");
  // Size 0 writes nothing but still judges the byte.
  byte = 0x7F;
  buffer[0] = 'q';
  EXPECT_EQ(ossLockToString(&byte, buffer, 0), ECF_OSSLOCK_CORRUPT);
  EXPECT_EQ(buffer[0], 'q');
}

TEST(LatchText, NullLatchIsRefused) {
  char buffer[16] = "junk";
  EXPECT_EQ(ossLockToString(nullptr, buffer, sizeof buffer), ECF_INVALID_PARAMETER);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(ossLockVerify(nullptr, 1), ECF_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------
// Atomic primitives
// ---------------------------------------------------------------------------------------------

TEST(AtomicPrimitives, LatchByteOperations) {
  volatile std::uint8_t latch = 0;
  EXPECT_EQ(ossWin32Lock8ExchangeInternal(&latch), 0x00);  // acquired
  EXPECT_EQ(ossWin32Lock8ExchangeInternal(&latch), 0x80);  // busy
  EXPECT_EQ(latch, 0x80);
  ossWin32Lock8ReleaseInternal(&latch);
  EXPECT_EQ(latch, 0x00);

  EXPECT_EQ(ossWin32Lock8TestGetInternal(&latch), 0u);
  EXPECT_EQ(ossWin32Lock8TestGetInternal(&latch), OSS_LOCK8_BUSY);
  EXPECT_EQ(ossWin32Lock8ReleaseAndReturnInternal(&latch), 0x80);
  EXPECT_EQ(latch, 0x00);

  // Test-and-set sets only the held bit: other bits of a damaged byte survive.
  latch = 0x05;
  EXPECT_EQ(ossWin32Lock8TestGetInternal(&latch), 0u);
  EXPECT_EQ(latch, 0x85);
  // The exchange overwrites the whole byte.
  latch = 0x05;
  EXPECT_EQ(ossWin32Lock8ExchangeInternal(&latch), 0x05);
  EXPECT_EQ(latch, 0x80);
}

TEST(AtomicPrimitives, ExchangeAndAdd) {
  volatile std::uint8_t b = 7;
  EXPECT_EQ(ossWin32AtomicExchange8Internal(&b, 0xAB), 7);
  EXPECT_EQ(b, 0xAB);
  volatile std::uint32_t w = 0xFFFFFFFEu;
  EXPECT_EQ(ossWin32AtomicExchange32Internal(&w, 3), 0xFFFFFFFEu);
  EXPECT_EQ(ossWin32FetchAndAdd32Internal(&w, 0xFFFFFFFFu), 3u);  // adding -1
  EXPECT_EQ(w, 2u);
  EXPECT_EQ(ossWin32FetchAndAdd32Internal(&w, 0xFFFFFFFFu - 1), 2u);  // wraps to 0
  EXPECT_EQ(w, 0u);
}

TEST(AtomicPrimitives, CompareSwapReturnsValueFound) {
  // Arguments: target, new value, expected value.
  volatile std::uint8_t b = 1;
  EXPECT_EQ(ossWin32CompareSwapAndReturn8Internal(&b, 9, 2), 1);  // mismatch: unchanged
  EXPECT_EQ(b, 1);
  EXPECT_EQ(ossWin32CompareSwapAndReturn8Internal(&b, 9, 1), 1);  // match: swapped
  EXPECT_EQ(b, 9);

  volatile std::uint16_t h = 0x1234;
  EXPECT_EQ(ossWin32CompareSwapAndReturn16Internal(&h, 0xBEEF, 0x1235), 0x1234);
  EXPECT_EQ(h, 0x1234);
  EXPECT_EQ(ossWin32CompareSwapAndReturn16Internal(&h, 0xBEEF, 0x1234), 0x1234);
  EXPECT_EQ(h, 0xBEEF);

  volatile std::uint32_t w = 0xCAFEF00Du;
  EXPECT_EQ(ossWin32CompareSwapAndReturn32Internal(&w, 1, 0), 0xCAFEF00Du);
  EXPECT_EQ(w, 0xCAFEF00Du);
  EXPECT_EQ(ossWin32CompareSwapAndReturn32Internal(&w, 1, 0xCAFEF00Du), 0xCAFEF00Du);
  EXPECT_EQ(w, 1u);

  // 64 bits: target, in-out expected, new value; 1 when swapped; the value found comes back.
  volatile std::uint64_t q = 0x0123456789ABCDEFull;
  std::uint64_t expected = 5;
  EXPECT_EQ(ossWin32CompareSwapAndReturn64Internal(&q, &expected, 77), 0);
  EXPECT_EQ(expected, 0x0123456789ABCDEFull);
  EXPECT_EQ(q, 0x0123456789ABCDEFull);
  EXPECT_EQ(ossWin32CompareSwapAndReturn64Internal(&q, &expected, 77), 1);
  EXPECT_EQ(expected, 0x0123456789ABCDEFull);
  EXPECT_EQ(ossWin32Fetch64Internal(&q), 77u);
}

// ---------------------------------------------------------------------------------------------
// Spin tuning
// ---------------------------------------------------------------------------------------------

struct TuneCase {
  std::uint32_t processors;
  OSSSpinTune tune;
};

TEST(SpinTune, TableByProcessorCount) {
  const TuneCase cases[] = {
      {0, {0, 0, 0, 0, 0}},   {1, {0, 0, 0, 0, 0}},   {2, {2, 10, 50, 0, 0}},  {3, {5, 20, 50, 0, 0}},
      {4, {5, 20, 50, 0, 0}}, {5, {5, 30, 50, 0, 0}}, {64, {5, 30, 50, 0, 0}},
  };
  SpinTuneGuard guard;
  for (const TuneCase& c : cases) {
    ossLatchTuneForProcessors(c.processors);
    OSSSpinTune got{};
    OSSLatch::getSpinCounts(got);
    EXPECT_EQ(0, std::memcmp(&got, &c.tune, sizeof got)) << c.processors << " processors";
  }
}

TEST(SpinTune, UpdateReplacesEveryField) {
  SpinTuneGuard guard;
  const OSSSpinTune wanted = {11, 22, 33, 44, 55};
  OSSLatch::updateSpinCounts(wanted);
  OSSSpinTune got{};
  OSSLatch::getSpinCounts(got);
  EXPECT_EQ(0, std::memcmp(&got, &wanted, sizeof got));
}

// ---------------------------------------------------------------------------------------------
// Mutual exclusion
// ---------------------------------------------------------------------------------------------

// A counter that is deliberately not atomic: only the latch keeps the increments from being lost
// (and the thread sanitizer checks that the latch orders them).
struct Guarded {
  OSSLatch latch;
  std::uint64_t counter;
};

class LatchThreads : public ::testing::TestWithParam<OSSSpinTune> {
 protected:
  SpinTuneGuard guard_;
};

TEST_P(LatchThreads, GetAndReleaseExclude) {
  OSSLatch::updateSpinCounts(GetParam());
  Guarded g{};
  g.latch.init();
  constexpr int kThreads = 4, kRounds = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&g] {
      for (int i = 0; i < kRounds; ++i) {
        g.latch.get();
        g.counter = g.counter + 1;
        g.latch.release();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(g.counter, static_cast<std::uint64_t>(kThreads) * kRounds);
  EXPECT_EQ(g.latch.state(), OSS_LATCH_FREE);
}

TEST_P(LatchThreads, TestGetExcludes) {
  OSSLatch::updateSpinCounts(GetParam());
  Guarded g{};
  g.latch.init();
  constexpr int kThreads = 3, kRounds = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&g] {
      for (int done = 0; done < kRounds;) {
        if (!g.latch.testGet()) {
          std::this_thread::yield();
          continue;
        }
        g.counter = g.counter + 1;
        g.latch.release();
        ++done;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(g.counter, static_cast<std::uint64_t>(kThreads) * kRounds);
}

// Untuned (every failed try sleeps 1 ms), two processors, and a tuning with a zero delay and a
// sleep increment, which walks the growing-sleep branch.
INSTANTIATE_TEST_SUITE_P(Tunings, LatchThreads,
                         ::testing::Values(OSSSpinTune{0, 0, 0, 0, 0}, OSSSpinTune{2, 10, 50, 0, 0},
                                           OSSSpinTune{0, 3, 0, 0, 2}));

TEST(LatchConflict, WaiterGetsLatchAfterRelease) {
  // The holder keeps the latch until the waiter has announced that it is about to wait, so the
  // waiter goes through ossLockGetConflict (or finds it just released): either way it must end
  // up holding the latch, and only after the holder let go.
  OSSLatch latch;
  latch.init();
  latch.get();
  std::atomic<int> phase{0};
  bool waiterSawHolderDone = false;
  int holderWork = 0;
  std::thread waiter([&] {
    phase.store(1);
    latch.get();
    waiterSawHolderDone = (holderWork == 1);
    latch.release();
  });
  while (phase.load() == 0) std::this_thread::yield();
  holderWork = 1;
  latch.release();
  waiter.join();
  EXPECT_TRUE(waiterSawHolderDone);
  EXPECT_EQ(latch.state(), OSS_LATCH_FREE);
}

TEST(LatchConflict, GetConflictAcquiresAFreeLatch) {
  volatile std::uint8_t latch = 0;
  EXPECT_NE(ossLockGetConflict(&latch), 0);
  EXPECT_EQ(latch, OSS_LATCH_HELD);
}

// Two processes share one latch in a MAP_SHARED mapping, as the queues and the trace control
// block do.
class SharedMapping : public ::testing::Test {
 protected:
  void SetUp() override {
    void* p = mmap(nullptr, sizeof(Guarded), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    shared_ = static_cast<Guarded*>(p);
    shared_->latch.init();
    shared_->counter = 0;
  }
  void TearDown() override {
    if (shared_ != nullptr) munmap(shared_, sizeof(Guarded));
  }
  // Runs body in a child process; returns its exit status (or -1 when it did not exit).
  template <typename Body>
  static pid_t spawn(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
  }
  static int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
  Guarded* shared_ = nullptr;
};

TEST_F(SharedMapping, TwoProcessesExclude) {
  SpinTuneGuard guard;
  ossLatchTuneForProcessors(2);
  constexpr int kRounds = 20000;
  Guarded* g = shared_;
  auto work = [g] {
    for (int i = 0; i < kRounds; ++i) {
      g->latch.get();
      g->counter = g->counter + 1;
      g->latch.release();
    }
    return 0;
  };
  const pid_t child = spawn(work);
  ASSERT_GT(child, 0);
  work();
  ASSERT_EQ(waitExit(child), 0);
  EXPECT_EQ(g->counter, 2u * kRounds);
  EXPECT_EQ(ossLockVerify(g->latch.byte(), 1), 0u);
  EXPECT_EQ(g->latch.state(), OSS_LATCH_FREE);
}

TEST_F(SharedMapping, LatchHeldByOtherProcessIsBusy) {
  Guarded* g = shared_;
  g->latch.get();
  // The child sees the parent's hold: its test-and-set fails and the byte stays held.
  const pid_t child = spawn([g] { return g->latch.testGet() ? 1 : (g->latch.state() == OSS_LATCH_HELD ? 0 : 2); });
  ASSERT_GT(child, 0);
  EXPECT_EQ(waitExit(child), 0);
  g->latch.release();
  // Now the child takes it and exits holding it; the parent sees the child's hold.
  const pid_t taker = spawn([g] { return g->latch.testGet() ? 0 : 1; });
  ASSERT_GT(taker, 0);
  EXPECT_EQ(waitExit(taker), 0);
  EXPECT_FALSE(g->latch.testGet());
  char text[32];
  EXPECT_EQ(ossLockToString(g->latch.byte(), text, sizeof text), 0u);
  EXPECT_STREQ(text, "{ 0x80 [ locked ] }");
}

// ---------------------------------------------------------------------------------------------
// Versioned latch and counter
// ---------------------------------------------------------------------------------------------

TEST(VersionedLatch, InitTestGetRelease) {
  OSSVLatch v;
  std::memset(&v, 0xEE, sizeof v);
  EXPECT_EQ(ossVLatchInit(&v, 12345), &v);
  EXPECT_EQ(v.version, OSS_VERSION_STAMP);
  EXPECT_EQ(v.latch.state(), OSS_LATCH_FREE);
  EXPECT_EQ(ossVLatchTestGet(&v), 0u);
  EXPECT_EQ(ossVLatchTestGet(&v), ECF_FAILED);  // busy: at once, no waiting
  EXPECT_EQ(ossVLatchRelease(&v), 0u);
  EXPECT_EQ(ossVLatchTestGet(&v), 0u);
  EXPECT_EQ(ossVLatchRelease(&v), 0u);
  EXPECT_EQ(ossVLatchGet(&v), 0u);
  EXPECT_EQ(v.latch.state(), OSS_LATCH_HELD);
  EXPECT_EQ(ossVLatchRelease(&v), 0u);
}

TEST(VersionedLatch, NullIsRefused) {
  EXPECT_EQ(ossVLatchInit(nullptr, 0), nullptr);
  EXPECT_EQ(ossVLatchGet(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossVLatchTestGet(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossVLatchRelease(nullptr), ECF_INVALID_PARAMETER);
}

struct StampCase {
  std::uint32_t stamp;
  bool accepted;
};

class StampRule : public ::testing::TestWithParam<StampCase> {};

TEST_P(StampRule, VersionedLatch) {
  const StampCase& c = GetParam();
  OSSVLatch v;
  ossVLatchInit(&v, 0);
  v.version = c.stamp;
  const std::uint32_t expectRc = c.accepted ? 0 : ECF_INVALID_VERSION;
  EXPECT_EQ(ossVLatchTestGet(&v), expectRc);
  EXPECT_EQ(v.latch.state(), c.accepted ? OSS_LATCH_HELD : OSS_LATCH_FREE);
  EXPECT_EQ(ossVLatchRelease(&v), expectRc);
  EXPECT_EQ(v.latch.state(), OSS_LATCH_FREE);
  EXPECT_EQ(ossVLatchGet(&v), expectRc);
  EXPECT_EQ(v.latch.state(), c.accepted ? OSS_LATCH_HELD : OSS_LATCH_FREE);
  // A refused release does nothing: a held byte stays held.
  v.latch.init();
  v.latch.get();
  EXPECT_EQ(ossVLatchRelease(&v), expectRc);
  EXPECT_EQ(v.latch.state(), c.accepted ? OSS_LATCH_FREE : OSS_LATCH_HELD);
}

TEST_P(StampRule, VersionedCounter) {
  const StampCase& c = GetParam();
  OSSVAtomicSigned32 a;
  ASSERT_EQ(a.init(40, 0), 0u);
  EXPECT_EQ(a.version, OSS_VERSION_STAMP);
  a.version = c.stamp;
  const std::uint32_t rc = c.accepted ? 0 : ECF_INVALID_VERSION;
  std::int32_t out = -99;
  EXPECT_EQ(a.peek(&out), rc);
  EXPECT_EQ(out, c.accepted ? 40 : -99);
  EXPECT_EQ(a.poke(41), rc);
  EXPECT_EQ(a.add(2, &out), rc);
  EXPECT_EQ(a.increment(&out), rc);
  EXPECT_EQ(a.decrement(&out), rc);
  EXPECT_EQ(a.swap(7, &out), rc);
  EXPECT_EQ(a.compareAndSwap(7, 8), rc);
  // Refused operations leave the value alone.
  EXPECT_EQ(a.value, c.accepted ? 8 : 40);
}

INSTANTIATE_TEST_SUITE_P(Stamps, StampRule,
                         ::testing::Values(StampCase{0, false}, StampCase{20040701, false},
                                           StampCase{20040702, true}, StampCase{OSS_VERSION_STAMP, true},
                                           StampCase{0xFFFFFFFFu, true}));

TEST(VersionedCounter, Operations) {
  OSSVAtomicSigned32 a;
  std::int32_t prev = 0, now = 0;
  ASSERT_EQ(a.init(5, 0), 0u);
  EXPECT_EQ(a.increment(&prev), 0u);
  EXPECT_EQ(prev, 5);
  EXPECT_EQ(a.peek(&now), 0u);
  EXPECT_EQ(now, 6);
  EXPECT_EQ(a.compareAndSwap(7, 100), ECF_FAILED);
  a.peek(&now);
  EXPECT_EQ(now, 6);
  EXPECT_EQ(a.compareAndSwap(6, 100), 0u);
  EXPECT_EQ(a.decrement(&prev), 0u);
  EXPECT_EQ(prev, 100);
  EXPECT_EQ(a.add(-50, &prev), 0u);
  EXPECT_EQ(prev, 99);
  EXPECT_EQ(a.swap(-3, &prev), 0u);
  EXPECT_EQ(prev, 49);
  EXPECT_EQ(a.poke(INT32_MAX), 0u);
  EXPECT_EQ(a.increment(nullptr), 0u);  // wraps, and the previous value may be ignored
  a.peek(&now);
  EXPECT_EQ(now, INT32_MIN);
  EXPECT_EQ(a.peek(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(OSSVAtomicSigned32::size(), 4u);
}

TEST(VersionedCounter, AttachKeepsValue) {
  OSSVAtomicSigned32 a;
  a.version = 0;
  a.value = 1234;  // what another process left in the shared counter
  ASSERT_EQ(a.init(0, OSSVAtomicSigned32::OPTION_ATTACH), 0u);
  EXPECT_EQ(a.version, OSS_VERSION_STAMP);
  std::int32_t now = 0;
  a.peek(&now);
  EXPECT_EQ(now, 1234);
  ASSERT_EQ(a.init(0, 0x1), 0u);  // other options do not attach
  a.peek(&now);
  EXPECT_EQ(now, 0);
}

TEST(VersionedCounter, ConcurrentIncrementsAreCounted) {
  OSSVAtomicSigned32 a;
  a.init(0, 0);
  constexpr int kThreads = 4, kRounds = 10000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&a, t] {
      for (int i = 0; i < kRounds; ++i) (t & 1) ? a.add(3, nullptr) : a.decrement(nullptr);
    });
  for (auto& t : threads) t.join();
  std::int32_t now = 0;
  a.peek(&now);
  EXPECT_EQ(now, 2 * kRounds * 3 - 2 * kRounds);
}

// ---------------------------------------------------------------------------------------------
// Processor facilities and ticks
// ---------------------------------------------------------------------------------------------

TEST(WasteTime, Sums) {
  const struct {
    std::uint32_t count, result;
  } cases[] = {{0, 77}, {1, 77}, {2, 79}, {3, 86}, {350, 77 + 350u * (350u * 349u / 2)},
               // 77 + count * count * (count - 1) / 2, wrapped to 32 bits
               {100000, static_cast<std::uint32_t>(77 + 100000ull * (100000ull * 99999ull / 2))}};
  for (const auto& c : cases) EXPECT_EQ(ossWasteTime(c.count), c.result) << c.count;
}

TEST(TimeStampCounter, AvailableOnThisProcessor) {
  // Every x86-64 processor reports the time-stamp counter; the answer is also stable.
  EXPECT_TRUE(ossCanUseRegister());
  EXPECT_EQ(ossCanUseRegister(), ossCanUseRegister());
}

struct ConvertCase {
  std::uint64_t ticksPerSecond;
  std::uint64_t ticks;
  std::uint32_t seconds, nanoseconds;
};

class TickConvert : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(TickConvert, ToTime) {
  const ConvertCase& c = GetParam();
  const OSSTickConversionFactor f = {1, 1, c.ticksPerSecond};
  std::uint32_t s = 99, ns = 99;
  OSSTick(c.ticks).convertToTime(f, &s, &ns);
  EXPECT_EQ(s, c.seconds);
  EXPECT_EQ(ns, c.nanoseconds);
  s = ns = 99;
  OSSTickDelta(c.ticks).convertToTime(f, &s, &ns);
  EXPECT_EQ(s, c.seconds);
  EXPECT_EQ(ns, c.nanoseconds);
}

INSTANTIATE_TEST_SUITE_P(
    Factors, TickConvert,
    ::testing::Values(
        // 1.5 times the frequency is 1 second and 500 000 000 nanoseconds, on any counter.
        ConvertCase{1000000000, 1500000000, 1, 500000000}, ConvertCase{3579545, 3579545 * 3 / 2, 1, 499999860},
        ConvertCase{4, 6, 1, 500000000}, ConvertCase{1000000000, 0, 0, 0}, ConvertCase{1000000000, 999, 0, 999},
        // 65536 ticks of a 3.579545 MHz counter
        ConvertCase{3579545, 65536, 0, 18308472},
        // A difference that went backwards counts as negative: -1.5 s is second -2 plus 0.5 s.
        ConvertCase{1000000000, static_cast<std::uint64_t>(-1500000000ll), static_cast<std::uint32_t>(-2), 500000000},
        // More seconds than 32 bits hold: the low 32 bits are kept.
        ConvertCase{1, (1ull << 32) + 5, 5, 0},
        // A factor without a frequency gives 0 instead of dividing by zero.
        ConvertCase{0, 12345, 0, 0}));

TEST(TickFromTime, PartExamples) {
  const OSSTickConversionFactor slow = {1, 1, 3579545};  // 3.579545 MHz
  OSSTick t(777);
  EXPECT_EQ(t.initFromTimeValue(slow, 999), ECF_OSSTICK_TIME_VALUE_TOO_SMALL);
  EXPECT_EQ(t.ticks(), 0u);  // the object becomes 0 first
  EXPECT_EQ(t.initFromTimeValue(slow, 1000), 0u);
  EXPECT_EQ(t.ticks(), 3u);

  const OSSTickConversionFactor ns = {1, 1, 1000000000};  // this platform's counter
  OSSTickDelta d;
  EXPECT_EQ(d.initFromTimeValue(ns, 1000), 0u);
  EXPECT_EQ(d.ticks(), 1000u);
  EXPECT_EQ(d.initFromTimeValue(ns, 0xFFFFFFFFu), 0u);
  EXPECT_EQ(d.ticks(), 0xFFFFFFFFull);

  // A counter so slow that 1 microsecond is under one tick.
  const OSSTickConversionFactor kilohertz = {1, 1, 1000};
  EXPECT_EQ(d.initFromTimeValue(kilohertz, 1000), ECF_OSSTICK_TIME_VALUE_TOO_SMALL);
  EXPECT_EQ(d.ticks(), 0u);
  EXPECT_EQ(d.initFromTimeValue(kilohertz, 2000000), 0u);
  EXPECT_EQ(d.ticks(), 2u);

  // No frequency, or a counter too fast for 65536 ticks to last a nanosecond: refused, not a
  // division by zero.
  const OSSTickConversionFactor none = {0, 0, 0};
  EXPECT_EQ(t.initFromTimeValue(none, 5000), ECF_OSSTICK_TIME_VALUE_TOO_BIG);
  const OSSTickConversionFactor tooFast = {1, 1, 1ull << 62};
  EXPECT_EQ(t.initFromTimeValue(tooFast, 5000), ECF_OSSTICK_TIME_VALUE_TOO_BIG);
  EXPECT_EQ(t.ticks(), 0u);
}

TEST(TickFactor, MeasuredOnceForEveryCaller) {
  constexpr int kThreads = 4;
  OSSTickConversionFactor factors[kThreads];
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([&factors, i] { factors[i].initialize(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(factors[0].ticksPerSecond, 1000000000u);
  EXPECT_GT(factors[0].calibrationTicks, 0u);
  EXPECT_GT(factors[0].calibrationCycles, 0u);
  for (int i = 1; i < kThreads; ++i) EXPECT_EQ(0, std::memcmp(&factors[i], &factors[0], sizeof factors[0]));
  OSSTickConversionFactor later;
  later.initialize();
  EXPECT_EQ(0, std::memcmp(&later, &factors[0], sizeof later));
}

TEST(Tick, DeltaOfTwoSamples) {
  const OSSTick a = OSSTick::now();
  const OSSTick b = OSSTick::now();
  EXPECT_GE(b.ticks(), a.ticks());  // the counter is monotonic
  EXPECT_EQ(OSSTickDelta(b, a).ticks(), b.ticks() - a.ticks());
  EXPECT_EQ(OSSTickDelta(OSSTick(5), OSSTick(7)).ticks(), static_cast<std::uint64_t>(-2));
}

}  // namespace
