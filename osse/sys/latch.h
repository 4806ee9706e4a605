// Latches, atomics and ticks: the lowest layer of synchronisation in the services library.
//
// The one-byte latch
// ------------------
// A latch is one byte that lives wherever the structure it guards lives: in a process's own data,
// or inside a shared-memory segment used by several processes. It holds
//
//     0x00  free                         "unlocked"
//     0x80  held                         "locked"
//     0xC0  held, with a waiter announced "locked;waiting"  (recognised, never written here)
//     else  damaged                      "corrupt"
//
// Calling sequence:
//
//     OSSLatch latch;            // in a shared header: sizeof(OSSLatch) == 1
//     latch.init();              // once, before any process uses it
//     latch.get();               // wait until held (spin, then sleep 1 ms at a time)
//     ... guarded work ...
//     latch.release();           // one plain store of 0
//
//     if (latch.testGet()) { ...; latch.release(); }   // one test-and-set, never waits
//
// Acquiring exchanges the byte with 0x80; when the previous byte showed the held bit the caller
// enters ossLockGetConflict, which spins `spinCount` times (a pause and a short busy loop between
// tries) and then sleeps, until it owns the latch. There is no time-out: a latch whose holder never
// releases it (including a holder that died while holding a shared latch) blocks its waiters for
// ever. No latch is re-entrant: a thread that takes a latch it already holds waits for ever.
//
// Release is a single store with release ordering. On x86-64 that is a plain byte store, which the
// processor makes visible only after the stores of the guarded work. The fast paths are inline so
// that an uncontended acquire and release cost one locked exchange and one store.
//
// Spin tuning
// -----------
// The waiting loop reads one process-wide OSSSpinTune. All its fields are 0 until start-up sets
// them from the processor count (ossLatchTuneForProcessors); with zeros no spinning happens and
// every failed try is followed by a 1-millisecond sleep, which is also the right behaviour on one
// processor, where spinning only delays the holder. The fields are read and written one at a time:
// updating them while threads wait may give a waiter a mixture of old and new values for one pass.
//
// Versioned objects
// -----------------
// OSSVLatch and OSSVAtomicSigned32 carry a u32 version stamp before their payload, stamped
// OSS_VERSION_STAMP by their initialisation. Every later operation refuses an object whose stamp
// is below OSS_VERSION_MINIMUM with ECF_INVALID_VERSION and does nothing else.
//
// Ticks
// -----
// OSSTick and OSSTickDelta count performance-counter ticks. On this platform the performance
// counter is the monotonic clock in nanoseconds (1 000 000 000 ticks per second); the processor's
// time-stamp counter is measured against it once per process (OSSTickConversionFactor).
//
// Nothing in this unit traces or logs: the trace facility, the logging and the allocator are built
// on it.
#pragma once

#include <cstddef>
#include <cstdint>

// Version stamp that initialisation writes into every versioned object, and the lowest stamp that
// the operations accept.
inline constexpr std::uint32_t OSS_VERSION_STAMP = 0x09070000u;
inline constexpr std::uint32_t OSS_VERSION_MINIMUM = 20040702u;

// Latch byte values.
inline constexpr std::uint8_t OSS_LATCH_FREE = 0x00;
inline constexpr std::uint8_t OSS_LATCH_HELD = 0x80;
inline constexpr std::uint8_t OSS_LATCH_HELD_WAITING = 0xC0;

// Result of ossWin32Lock8TestGetInternal when the latch was busy. It is not a catalogue code;
// callers only compare the result with 0.
inline constexpr std::uint32_t OSS_LOCK8_BUSY = 0x870F0035u;

// ---------------------------------------------------------------------------------------------
// Atomic primitives. The target is the first argument. The exchanges, the adds and the
// compare-and-swaps are the processor's locked instructions (full barriers on x86-64); the latch
// release is a plain store with release ordering and the 64-bit fetch a plain aligned load with
// acquire ordering.
// ---------------------------------------------------------------------------------------------

// Exchanges the byte with 0x80; returns the previous byte (0 means the caller acquired it).
std::uint8_t ossWin32Lock8ExchangeInternal(volatile std::uint8_t* latch) noexcept;
// Atomically sets bit 0x80 (bit test and set); 0 when the bit was clear (acquired), else
// OSS_LOCK8_BUSY.
std::uint32_t ossWin32Lock8TestGetInternal(volatile std::uint8_t* latch) noexcept;
// Stores 0 into the byte (a plain store with release ordering).
void ossWin32Lock8ReleaseInternal(volatile std::uint8_t* latch) noexcept;
// Exchanges the byte with 0; returns the previous byte.
std::uint8_t ossWin32Lock8ReleaseAndReturnInternal(volatile std::uint8_t* latch) noexcept;
// Exchange with the given value; return the previous value.
std::uint8_t ossWin32AtomicExchange8Internal(volatile std::uint8_t* target, std::uint8_t value) noexcept;
std::uint32_t ossWin32AtomicExchange32Internal(volatile std::uint32_t* target, std::uint32_t value) noexcept;
// Adds the value; returns the previous value (modulo 2^32).
std::uint32_t ossWin32FetchAndAdd32Internal(volatile std::uint32_t* target, std::uint32_t value) noexcept;
// Stores newValue only when the target equals expected; returns the value found.
std::uint8_t ossWin32CompareSwapAndReturn8Internal(volatile std::uint8_t* target, std::uint8_t newValue,
                                                   std::uint8_t expected) noexcept;
std::uint16_t ossWin32CompareSwapAndReturn16Internal(volatile std::uint16_t* target, std::uint16_t newValue,
                                                     std::uint16_t expected) noexcept;
std::uint32_t ossWin32CompareSwapAndReturn32Internal(volatile std::uint32_t* target, std::uint32_t newValue,
                                                     std::uint32_t expected) noexcept;
// Note the different order: target, in-out expected value, new value. Returns 1 when swapped,
// else 0; the value found is written back into *expected either way.
int ossWin32CompareSwapAndReturn64Internal(volatile std::uint64_t* target, std::uint64_t* expected,
                                           std::uint64_t newValue) noexcept;
// Reads a u64 atomically (one aligned load).
std::uint64_t ossWin32Fetch64Internal(const volatile std::uint64_t* target) noexcept;

// ---------------------------------------------------------------------------------------------
// Spin tuning.
// ---------------------------------------------------------------------------------------------

struct OSSSpinTune {
  std::uint32_t spinLimit;       // stored and handed out; the waiting loop does not read it
  std::uint32_t spinCount;       // tries before sleeping
  std::uint32_t spinDelay;       // length of the busy pause between tries
  std::uint32_t reserved;        // 0
  std::uint32_t sleepIncrement;  // milliseconds added to the sleep after each sleep
};
static_assert(sizeof(OSSSpinTune) == 20);

// The tuning for a machine with this many processors (0 counts as 1):
//   1: all 0;  2: 2,10,50,0,0;  3 or 4: 5,20,50,0,0;  5 or more: 5,30,50,0,0.
OSSSpinTune ossSpinTuneForProcessors(std::uint32_t processors) noexcept;
// Sets the process-wide tuning from the processor count. Library start-up calls it.
void ossLatchTuneForProcessors(std::uint32_t processors) noexcept;

// Waits until the caller holds the latch whose byte was found busy (see the header comment);
// always returns non-zero. Never call it on a latch the caller holds.
int ossLockGetConflict(volatile std::uint8_t* latch) noexcept;

// Writes "{ 0x%02X [ %s ] }" with the byte and its state text into buffer (bounded by size, always
// terminated when size > 0). Returns ECF_OSSLOCK_CORRUPT for a damaged byte, else 0;
// ECF_INVALID_PARAMETER for a null latch.
std::uint32_t ossLockToString(const volatile std::uint8_t* latch, char* buffer, std::uint32_t size) noexcept;

// Checks the latch byte: ECF_OSSLOCK_CORRUPT for a damaged byte, else 0. Every mode (1, 2 or any
// other) applies the same state check; a free or held byte is healthy.
std::uint32_t ossLockVerify(const volatile std::uint8_t* latch, std::int32_t mode) noexcept;

// The one-byte latch. Standard layout, one byte, no constructor work beyond what the owner asks:
// a latch placed in shared memory is initialised once with init() by its creator.
class OSSLatch {
 public:
  void init() noexcept { __atomic_store_n(&m_byte, OSS_LATCH_FREE, __ATOMIC_RELEASE); }

  // Acquires, waiting as long as needed.
  void get() noexcept {
    if (__builtin_expect(__atomic_exchange_n(&m_byte, OSS_LATCH_HELD, __ATOMIC_ACQUIRE) & OSS_LATCH_HELD, 0))
      ossLockGetConflict(&m_byte);
  }

  // One test-and-set: true when the caller now holds the latch, false when it was busy.
  bool testGet() noexcept { return ossWin32Lock8TestGetInternal(&m_byte) == 0; }

  void release() noexcept { __atomic_store_n(&m_byte, OSS_LATCH_FREE, __ATOMIC_RELEASE); }

  // The byte as it is now (for diagnostics).
  std::uint8_t state() const noexcept { return __atomic_load_n(&m_byte, __ATOMIC_RELAXED); }
  volatile std::uint8_t* byte() noexcept { return &m_byte; }

  // Copy out or replace the process-wide spin parameters.
  static void getSpinCounts(OSSSpinTune& out) noexcept;
  static void updateSpinCounts(const OSSSpinTune& tune) noexcept;

 private:
  volatile std::uint8_t m_byte;
};
static_assert(sizeof(OSSLatch) == 1);

// ---------------------------------------------------------------------------------------------
// Versioned latch: a version stamp, then a 32-bit word whose first byte is the latch byte.
// ---------------------------------------------------------------------------------------------

struct OSSVLatch {
  std::uint32_t version;
  OSSLatch latch;
  std::uint8_t reserved[3];
};
static_assert(sizeof(OSSVLatch) == 8 && offsetof(OSSVLatch, latch) == 4);

// Stamps OSS_VERSION_STAMP and frees the latch; the second argument is ignored. Returns the latch
// (null for a null latch).
OSSVLatch* ossVLatchInit(OSSVLatch* latch, std::uint32_t ignored) noexcept;
// Each returns ECF_INVALID_PARAMETER for a null latch and ECF_INVALID_VERSION for a stamp below
// OSS_VERSION_MINIMUM.
std::uint32_t ossVLatchGet(OSSVLatch* latch) noexcept;      // acquires, waiting as needed; 0
std::uint32_t ossVLatchTestGet(OSSVLatch* latch) noexcept;  // 0 when acquired at once, else ECF_FAILED
std::uint32_t ossVLatchRelease(OSSVLatch* latch) noexcept;  // releases; 0

// ---------------------------------------------------------------------------------------------
// Versioned atomic counter. Usable in shared memory. Each operation but init returns
// ECF_INVALID_VERSION when the stamp is below OSS_VERSION_MINIMUM; out arguments may be null
// where the caller does not want the previous value (peek needs its out argument:
// ECF_INVALID_PARAMETER otherwise).
// ---------------------------------------------------------------------------------------------

class OSSVAtomicSigned32 {
 public:
  // Option of init: attach to a counter that already holds a value (the value is kept).
  static constexpr std::uint32_t OPTION_ATTACH = 0x2;

  std::uint32_t init(std::int32_t value, std::uint32_t options) noexcept;
  std::uint32_t poke(std::int32_t value) noexcept;                                 // plain store
  std::uint32_t peek(std::int32_t* value) const noexcept;
  std::uint32_t add(std::int32_t amount, std::int32_t* previous) noexcept;        // fetch-and-add
  std::uint32_t increment(std::int32_t* previous) noexcept;
  std::uint32_t decrement(std::int32_t* previous) noexcept;
  std::uint32_t swap(std::int32_t value, std::int32_t* previous) noexcept;
  // 0 when the value equalled expected and was replaced, else ECF_FAILED.
  std::uint32_t compareAndSwap(std::int32_t expected, std::int32_t value) noexcept;
  static constexpr std::uint32_t size() noexcept { return 4; }

  std::uint32_t version;
  std::int32_t value;
};
static_assert(sizeof(OSSVAtomicSigned32) == 8);

// ---------------------------------------------------------------------------------------------
// Processor facilities.
// ---------------------------------------------------------------------------------------------

// True when the processor's time-stamp counter may be used: processor level above 4 and CPUID
// leaf 1 reporting the counter (bit 4 of EDX). Determined once per process.
bool ossCanUseRegister() noexcept;

// Burns processor time: 77 plus count, 2*count, ..., (count-1)*count in 32-bit arithmetic.
// A count of 0 or 1 returns 77.
std::uint32_t ossWasteTime(std::uint32_t count) noexcept;

// ---------------------------------------------------------------------------------------------
// Ticks.
// ---------------------------------------------------------------------------------------------

struct OSSTickConversionFactor {
  std::uint32_t calibrationTicks;   // performance-counter ticks over the calibration interval
  std::uint32_t calibrationCycles;  // time-stamp cycles over the same interval
  std::uint64_t ticksPerSecond;     // the performance-counter frequency

  // Fills this object from the process-wide factor, measuring it on first use in the process
  // (concurrent first callers measure once).
  void initialize() noexcept;
};
static_assert(sizeof(OSSTickConversionFactor) == 16);

class OSSTickDelta;

// A point in time in performance-counter ticks.
class OSSTick {
 public:
  OSSTick() noexcept = default;
  explicit OSSTick(std::uint64_t ticks) noexcept : m_ticks(ticks) {}

  // The performance counter now.
  static OSSTick now() noexcept;

  std::uint64_t ticks() const noexcept { return m_ticks; }

  // Seconds (low 32 bits of the whole seconds) and nanoseconds of this many ticks. A factor
  // whose ticksPerSecond is 0 gives 0 and 0.
  void convertToTime(const OSSTickConversionFactor& factor, std::uint32_t* seconds,
                     std::uint32_t* nanoseconds) const noexcept;
  // Sets the tick count that lasts timeValue nanoseconds. The object becomes 0 first.
  // ECF_OSSTICK_TIME_VALUE_TOO_SMALL for a value below 1000 or one that is under one tick;
  // ECF_OSSTICK_TIME_VALUE_TOO_BIG when the counter is too fast to measure 65536 ticks in
  // nanoseconds.
  std::uint32_t initFromTimeValue(const OSSTickConversionFactor& factor, std::uint32_t timeValue) noexcept;

 private:
  friend class OSSTickDelta;
  std::uint64_t m_ticks = 0;
};

// A difference of two ticks.
class OSSTickDelta {
 public:
  OSSTickDelta() noexcept = default;
  explicit OSSTickDelta(std::uint64_t ticks) noexcept : m_ticks(ticks) {}
  OSSTickDelta(const OSSTick& later, const OSSTick& earlier) noexcept : m_ticks(later.m_ticks - earlier.m_ticks) {}

  std::uint64_t ticks() const noexcept { return m_ticks; }

  void convertToTime(const OSSTickConversionFactor& factor, std::uint32_t* seconds,
                     std::uint32_t* nanoseconds) const noexcept;
  std::uint32_t initFromTimeValue(const OSSTickConversionFactor& factor, std::uint32_t timeValue) noexcept;

 private:
  std::uint64_t m_ticks = 0;
};
static_assert(sizeof(OSSTick) == 8 && sizeof(OSSTickDelta) == 8);
