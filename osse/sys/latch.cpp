// Latches, atomics and ticks. See latch.h for the protocol.
//
// Every shared word here is touched only through the compiler's __atomic built-ins: they compile
// to the processor's locked exchange, bit-test-and-set, exchange-add and compare-exchange (or a
// plain load or store where the ordering allows it), and they tell the thread sanitizer what the
// code means, so the instrumented builds check the same code that ships.
#include "osse/sys/latch.h"

#include <cpuid.h>
#include <x86intrin.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "osse/diag/ecf.h"

// ---------------------------------------------------------------------------------------------
// Atomic primitives
// ---------------------------------------------------------------------------------------------

std::uint8_t ossWin32Lock8ExchangeInternal(volatile std::uint8_t* latch) noexcept {
  return __atomic_exchange_n(latch, OSS_LATCH_HELD, __ATOMIC_ACQUIRE);
}

std::uint32_t ossWin32Lock8TestGetInternal(volatile std::uint8_t* latch) noexcept {
  // A fetch-or of the held bit is the byte-wide bit-test-and-set.
  const std::uint8_t previous = __atomic_fetch_or(latch, OSS_LATCH_HELD, __ATOMIC_ACQUIRE);
  return (previous & OSS_LATCH_HELD) ? OSS_LOCK8_BUSY : 0;
}

void ossWin32Lock8ReleaseInternal(volatile std::uint8_t* latch) noexcept {
  __atomic_store_n(latch, OSS_LATCH_FREE, __ATOMIC_RELEASE);
}

std::uint8_t ossWin32Lock8ReleaseAndReturnInternal(volatile std::uint8_t* latch) noexcept {
  return __atomic_exchange_n(latch, OSS_LATCH_FREE, __ATOMIC_ACQ_REL);
}

std::uint8_t ossWin32AtomicExchange8Internal(volatile std::uint8_t* target, std::uint8_t value) noexcept {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

std::uint32_t ossWin32AtomicExchange32Internal(volatile std::uint32_t* target, std::uint32_t value) noexcept {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

std::uint32_t ossWin32FetchAndAdd32Internal(volatile std::uint32_t* target, std::uint32_t value) noexcept {
  return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}

namespace {
template <typename T>
T compareSwapAndReturn(volatile T* target, T newValue, T expected) noexcept {
  // On failure the built-in writes the value found into `expected`; on success it already holds it.
  __atomic_compare_exchange_n(target, &expected, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;
}
}  // namespace

std::uint8_t ossWin32CompareSwapAndReturn8Internal(volatile std::uint8_t* target, std::uint8_t newValue,
                                                   std::uint8_t expected) noexcept {
  return compareSwapAndReturn(target, newValue, expected);
}

std::uint16_t ossWin32CompareSwapAndReturn16Internal(volatile std::uint16_t* target, std::uint16_t newValue,
                                                     std::uint16_t expected) noexcept {
  return compareSwapAndReturn(target, newValue, expected);
}

std::uint32_t ossWin32CompareSwapAndReturn32Internal(volatile std::uint32_t* target, std::uint32_t newValue,
                                                     std::uint32_t expected) noexcept {
  return compareSwapAndReturn(target, newValue, expected);
}

int ossWin32CompareSwapAndReturn64Internal(volatile std::uint64_t* target, std::uint64_t* expected,
                                           std::uint64_t newValue) noexcept {
  return __atomic_compare_exchange_n(target, expected, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST) ? 1 : 0;
}

std::uint64_t ossWin32Fetch64Internal(const volatile std::uint64_t* target) noexcept {
  return __atomic_load_n(target, __ATOMIC_ACQUIRE);
}

// ---------------------------------------------------------------------------------------------
// Spin tuning and the waiting loop
// ---------------------------------------------------------------------------------------------

namespace {

// The process-wide parameters. Each field is read and written on its own (relaxed), which is all
// the waiting loop needs: a waiter may mix old and new values for one pass, never tear a field.
OSSSpinTune g_spinTune = {0, 0, 0, 0, 0};

std::uint32_t loadTune(const std::uint32_t& field) noexcept { return __atomic_load_n(&field, __ATOMIC_RELAXED); }
void storeTune(std::uint32_t& field, std::uint32_t value) noexcept { __atomic_store_n(&field, value, __ATOMIC_RELAXED); }

// One try inside the waiting loop: exchange only when the byte does not show the held bit, so
// that waiters read the shared line instead of writing it while the holder works.
bool tryLatch(volatile std::uint8_t* latch) noexcept {
  if (__atomic_load_n(latch, __ATOMIC_RELAXED) & OSS_LATCH_HELD) return false;
  return (__atomic_exchange_n(latch, OSS_LATCH_HELD, __ATOMIC_ACQUIRE) & OSS_LATCH_HELD) == 0;
}

void sleepMilliseconds(std::uint32_t milliseconds) noexcept {
  struct timespec request;
  request.tv_sec = milliseconds / 1000;
  request.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  struct timespec remaining;
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

}  // namespace

OSSSpinTune ossSpinTuneForProcessors(std::uint32_t processors) noexcept {
  if (processors <= 1) return {0, 0, 0, 0, 0};
  if (processors == 2) return {2, 10, 50, 0, 0};
  if (processors <= 4) return {5, 20, 50, 0, 0};
  return {5, 30, 50, 0, 0};
}

void ossLatchTuneForProcessors(std::uint32_t processors) noexcept {
  OSSLatch::updateSpinCounts(ossSpinTuneForProcessors(processors));
}

void OSSLatch::getSpinCounts(OSSSpinTune& out) noexcept {
  out.spinLimit = loadTune(g_spinTune.spinLimit);
  out.spinCount = loadTune(g_spinTune.spinCount);
  out.spinDelay = loadTune(g_spinTune.spinDelay);
  out.reserved = loadTune(g_spinTune.reserved);
  out.sleepIncrement = loadTune(g_spinTune.sleepIncrement);
}

void OSSLatch::updateSpinCounts(const OSSSpinTune& tune) noexcept {
  storeTune(g_spinTune.spinLimit, tune.spinLimit);
  storeTune(g_spinTune.spinCount, tune.spinCount);
  storeTune(g_spinTune.spinDelay, tune.spinDelay);
  storeTune(g_spinTune.reserved, tune.reserved);
  storeTune(g_spinTune.sleepIncrement, tune.sleepIncrement);
}

int ossLockGetConflict(volatile std::uint8_t* latch) noexcept {
  std::uint32_t sleepTime = 1;
  for (;;) {
    const std::uint32_t spinCount = loadTune(g_spinTune.spinCount);
    const std::uint32_t spinDelay = loadTune(g_spinTune.spinDelay);
    for (std::uint32_t i = 0; i < spinCount; ++i) {
      if (tryLatch(latch)) return 1;
      _mm_pause();
      // The busy pause: spinDelay - 1 additions whose result is thrown away. The empty asm keeps
      // the compiler from deleting the loop. A delay of 0 adds nothing (it must not wrap).
      std::uint32_t sink = 0;
      for (std::uint32_t k = 1; k < spinDelay; ++k) {
        sink += k;
        __asm__ __volatile__("" : "+r"(sink));
      }
    }
    if (tryLatch(latch)) return 1;

    sleepMilliseconds(sleepTime);
    const std::uint32_t increment = loadTune(g_spinTune.sleepIncrement);
    sleepTime += increment;
    if (sleepTime > 8u * increment) sleepTime = 1;

    if (tryLatch(latch)) return 1;
  }
}

// ---------------------------------------------------------------------------------------------
// Latch state texts
// ---------------------------------------------------------------------------------------------

namespace {
const char* latchStateText(std::uint8_t byte) noexcept {
  switch (byte) {
    case OSS_LATCH_FREE: return "unlocked";
    case OSS_LATCH_HELD: return "locked";
    case OSS_LATCH_HELD_WAITING: return "locked;waiting";
    default: return "corrupt";
  }
}
bool latchHealthy(std::uint8_t byte) noexcept {
  return byte == OSS_LATCH_FREE || byte == OSS_LATCH_HELD || byte == OSS_LATCH_HELD_WAITING;
}
}  // namespace

std::uint32_t ossLockToString(const volatile std::uint8_t* latch, char* buffer, std::uint32_t size) noexcept {
  if (latch == nullptr) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return ECF_INVALID_PARAMETER;
  }
  // Read the byte once: text and result must describe the same value.
  const std::uint8_t byte = __atomic_load_n(latch, __ATOMIC_RELAXED);
  if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "{ 0x%02X [ %s ] }", byte, latchStateText(byte));
  return latchHealthy(byte) ? 0 : ECF_OSSLOCK_CORRUPT;
}

std::uint32_t ossLockVerify(const volatile std::uint8_t* latch, std::int32_t mode) noexcept {
  // Mode 2 was once meant to verify more than the state; no stronger check is defined, so every
  // mode accepts a healthy byte rather than reporting a sound latch as corrupt.
  (void)mode;
  if (latch == nullptr) return ECF_INVALID_PARAMETER;
  return latchHealthy(__atomic_load_n(latch, __ATOMIC_RELAXED)) ? 0 : ECF_OSSLOCK_CORRUPT;
}

// ---------------------------------------------------------------------------------------------
// Versioned latch and counter
// ---------------------------------------------------------------------------------------------

namespace {
bool stampAccepted(const volatile std::uint32_t& version) noexcept {
  return __atomic_load_n(&version, __ATOMIC_RELAXED) >= OSS_VERSION_MINIMUM;
}
}  // namespace

OSSVLatch* ossVLatchInit(OSSVLatch* latch, std::uint32_t /*ignored*/) noexcept {
  if (latch == nullptr) return nullptr;
  latch->version = OSS_VERSION_STAMP;
  latch->latch.init();
  return latch;
}

std::uint32_t ossVLatchGet(OSSVLatch* latch) noexcept {
  if (latch == nullptr) return ECF_INVALID_PARAMETER;
  if (!stampAccepted(latch->version)) return ECF_INVALID_VERSION;
  latch->latch.get();
  return 0;
}

std::uint32_t ossVLatchTestGet(OSSVLatch* latch) noexcept {
  if (latch == nullptr) return ECF_INVALID_PARAMETER;
  if (!stampAccepted(latch->version)) return ECF_INVALID_VERSION;
  // One exchange, no waiting: acquired only when the byte was free.
  return ossWin32Lock8ExchangeInternal(latch->latch.byte()) == OSS_LATCH_FREE ? 0 : ECF_FAILED;
}

std::uint32_t ossVLatchRelease(OSSVLatch* latch) noexcept {
  if (latch == nullptr) return ECF_INVALID_PARAMETER;
  if (!stampAccepted(latch->version)) return ECF_INVALID_VERSION;
  latch->latch.release();
  return 0;
}

std::uint32_t OSSVAtomicSigned32::init(std::int32_t initial, std::uint32_t options) noexcept {
  __atomic_store_n(&version, OSS_VERSION_STAMP, __ATOMIC_RELAXED);
  if (!(options & OPTION_ATTACH)) __atomic_store_n(&value, initial, __ATOMIC_RELEASE);
  return 0;
}

std::uint32_t OSSVAtomicSigned32::poke(std::int32_t newValue) noexcept {
  if (!stampAccepted(version)) return ECF_INVALID_VERSION;
  __atomic_store_n(&value, newValue, __ATOMIC_RELEASE);
  return 0;
}

std::uint32_t OSSVAtomicSigned32::peek(std::int32_t* out) const noexcept {
  if (!stampAccepted(version)) return ECF_INVALID_VERSION;
  if (out == nullptr) return ECF_INVALID_PARAMETER;
  *out = __atomic_load_n(&value, __ATOMIC_ACQUIRE);
  return 0;
}

std::uint32_t OSSVAtomicSigned32::add(std::int32_t amount, std::int32_t* previous) noexcept {
  if (!stampAccepted(version)) return ECF_INVALID_VERSION;
  // Added as unsigned so that the counter wraps instead of overflowing.
  const std::uint32_t before = __atomic_fetch_add(reinterpret_cast<std::uint32_t*>(&value),
                                                  static_cast<std::uint32_t>(amount), __ATOMIC_SEQ_CST);
  if (previous != nullptr) *previous = static_cast<std::int32_t>(before);
  return 0;
}

std::uint32_t OSSVAtomicSigned32::increment(std::int32_t* previous) noexcept { return add(1, previous); }

std::uint32_t OSSVAtomicSigned32::decrement(std::int32_t* previous) noexcept { return add(-1, previous); }

std::uint32_t OSSVAtomicSigned32::swap(std::int32_t newValue, std::int32_t* previous) noexcept {
  if (!stampAccepted(version)) return ECF_INVALID_VERSION;
  const std::int32_t before = __atomic_exchange_n(&value, newValue, __ATOMIC_SEQ_CST);
  if (previous != nullptr) *previous = before;
  return 0;
}

std::uint32_t OSSVAtomicSigned32::compareAndSwap(std::int32_t expected, std::int32_t newValue) noexcept {
  if (!stampAccepted(version)) return ECF_INVALID_VERSION;
  return __atomic_compare_exchange_n(&value, &expected, newValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)
             ? 0
             : ECF_FAILED;
}

// ---------------------------------------------------------------------------------------------
// Processor facilities
// ---------------------------------------------------------------------------------------------

namespace {
bool detectTimeStampCounter() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  // The processor level is the family, extended as the processor reports it for family 15.
  std::uint32_t family = (eax >> 8) & 0xF;
  if (family == 0xF) family += (eax >> 20) & 0xFF;
  return family > 4 && (edx & (1u << 4)) != 0;
}
}  // namespace

bool ossCanUseRegister() noexcept {
  static const bool usable = detectTimeStampCounter();
  return usable;
}

std::uint32_t ossWasteTime(std::uint32_t count) noexcept {
  std::uint32_t sum = 77;
  for (std::uint32_t i = 1; i < count; ++i) {
    sum += i * count;
    __asm__ __volatile__("" : "+r"(sum));  // the point is to spend the time: keep the loop
  }
  return sum;
}

// ---------------------------------------------------------------------------------------------
// Ticks
// ---------------------------------------------------------------------------------------------

namespace {

// The performance counter of this platform: the monotonic clock, in nanoseconds.
constexpr std::uint64_t kPerformanceFrequency = 1000000000ull;

std::uint64_t readPerformanceCounter() noexcept {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * kPerformanceFrequency + static_cast<std::uint64_t>(now.tv_nsec);
}

// Smallest positive difference of the counter over ossWasteTime(350), from 5 good samples.
template <typename Reader>
std::uint32_t calibrate(Reader read) noexcept {
  std::uint64_t best = 0;
  volatile std::uint32_t sink = 0;
  for (int good = 0; good < 5;) {
    const std::uint64_t start = read();
    sink = sink + ossWasteTime(350);
    const std::uint64_t end = read();
    const std::int64_t difference = static_cast<std::int64_t>(end - start);
    if (difference <= 0) continue;
    if (good == 0 || static_cast<std::uint64_t>(difference) < best) best = static_cast<std::uint64_t>(difference);
    ++good;
  }
  return static_cast<std::uint32_t>(best);
}

OSSTickConversionFactor g_tickFactor = {0, 0, 0};
OSSLatch g_tickFactorLatch = {};
bool g_tickFactorDone = false;

void measureTickFactor() noexcept {
  if (__atomic_load_n(&g_tickFactorDone, __ATOMIC_ACQUIRE)) return;
  g_tickFactorLatch.get();
  if (!__atomic_load_n(&g_tickFactorDone, __ATOMIC_RELAXED)) {
    // The monotonic clock cannot fail on this platform, so the frequency is always known.
    g_tickFactor.ticksPerSecond = kPerformanceFrequency;
    g_tickFactor.calibrationTicks = calibrate(readPerformanceCounter);
    g_tickFactor.calibrationCycles = calibrate([]() noexcept { return static_cast<std::uint64_t>(__rdtsc()); });
    __atomic_store_n(&g_tickFactorDone, true, __ATOMIC_RELEASE);
  }
  g_tickFactorLatch.release();
}

void ticksToTime(std::uint64_t ticks, const OSSTickConversionFactor& factor, std::uint32_t* seconds,
                 std::uint32_t* nanoseconds) noexcept {
  std::uint32_t s = 0, ns = 0;
  if (factor.ticksPerSecond != 0) {
    // Both taken as signed 64-bit numbers, as the counter's difference may be negative.
    const double q = static_cast<double>(static_cast<std::int64_t>(ticks)) /
                     static_cast<double>(static_cast<std::int64_t>(factor.ticksPerSecond));
    const double whole = std::floor(q);
    // Whole seconds beyond the 64-bit range cannot be converted to an integer; they only happen
    // with a nonsense factor, and their low 32 bits mean nothing anyway.
    std::int64_t wholeSeconds = 0;
    if (whole >= 0x1p63) wholeSeconds = INT64_MAX;
    else if (whole < -0x1p63) wholeSeconds = INT64_MIN;
    else wholeSeconds = static_cast<std::int64_t>(whole);
    s = static_cast<std::uint32_t>(wholeSeconds);
    double fraction = std::floor((q - whole) * 1e9);
    if (!(fraction >= 0)) fraction = 0;
    if (fraction > 999999999.0) fraction = 999999999.0;
    ns = static_cast<std::uint32_t>(fraction);
  }
  if (seconds != nullptr) *seconds = s;
  if (nanoseconds != nullptr) *nanoseconds = ns;
}

std::uint32_t ticksFromTime(const OSSTickConversionFactor& factor, std::uint32_t timeValue,
                            std::uint64_t& ticks) noexcept {
  ticks = 0;
  if (timeValue < 1000) return ECF_OSSTICK_TIME_VALUE_TOO_SMALL;
  std::uint32_t s = 0, ns = 0;
  ticksToTime(65536, factor, &s, &ns);
  const std::uint64_t n = static_cast<std::uint64_t>(s) * 1000000000ull + ns;
  // 65536 ticks that last under a nanosecond (or a factor without a frequency): no tick count
  // can be derived. Refused instead of dividing by zero.
  if (n == 0) return ECF_OSSTICK_TIME_VALUE_TOO_BIG;
  const std::uint64_t result = static_cast<std::uint64_t>(timeValue) * 65536ull / n;
  if (result == 0) return ECF_OSSTICK_TIME_VALUE_TOO_SMALL;
  ticks = result;
  return 0;
}

}  // namespace

void OSSTickConversionFactor::initialize() noexcept {
  measureTickFactor();
  *this = g_tickFactor;
}

OSSTick OSSTick::now() noexcept { return OSSTick(readPerformanceCounter()); }

void OSSTick::convertToTime(const OSSTickConversionFactor& factor, std::uint32_t* seconds,
                            std::uint32_t* nanoseconds) const noexcept {
  ticksToTime(m_ticks, factor, seconds, nanoseconds);
}

std::uint32_t OSSTick::initFromTimeValue(const OSSTickConversionFactor& factor, std::uint32_t timeValue) noexcept {
  return ticksFromTime(factor, timeValue, m_ticks);
}

void OSSTickDelta::convertToTime(const OSSTickConversionFactor& factor, std::uint32_t* seconds,
                                 std::uint32_t* nanoseconds) const noexcept {
  ticksToTime(m_ticks, factor, seconds, nanoseconds);
}

std::uint32_t OSSTickDelta::initFromTimeValue(const OSSTickConversionFactor& factor,
                                              std::uint32_t timeValue) noexcept {
  return ticksFromTime(factor, timeValue, m_ticks);
}
