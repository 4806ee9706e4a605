// The trace facility: the trace control block, its options, the control functions and the
// trace-point functions that write records into the ring buffer (ringbuffer.h).
//
// Calling sequence of a controlling tool (or a test):
//
//     GTraceOptions* options = ...zeroed...;  options->bufferSize = 0x80000;
//     options->traceType = GTRACE_TYPE_WRAP;   // ring buffer of kind 1
//     GTCB* gtcb = (GTCB*) allocate(gtraceGetAllocSize(options->bufferSize));
//     gtraceInitialize(gtcb, options);           // does not attach
//     gtraceAttach(gtcb, processId, pointCallback, disableCallback);   // in every process
//     gtraceEnable();
//     ... trace points record ...
//     gtraceDisable();
//     gtraceGetDumpHeaderBuffer(true, &header, &data, &size);   // then write header, data, tail
//     gtraceGetDumpTail(&tail);
//     gtraceDetach();
//
// The block is GTCB (182896 bytes: four words and the options) followed by the ring buffer. It
// may live in shared memory: everything in it is plain data. What is process-wide instead (the
// attached block g_pGTCB, the process id and fixed data stamped into records, the callbacks) is
// set by the control functions, which the controlling code calls before tracing is enabled.
//
// Trace points. Code never calls the _gtrace functions directly but through the macros of
// tracepoints.h, which test g_pGTCB and the enabled word at the call site: a disabled trace point
// costs two loads and a compare. The _gtrace functions themselves test neither. On the fast path
// (flags & GTRACE_FILTERED_FLAGS == 0) a trace point reserves slots with one fetch-and-add and
// writes its record without a lock; options that need work (filters, timestamps, modes) send it
// through the filtered path first.
//
// Items. The functions with items take itemCount triples as further arguments: u32 type, u32
// length, then a pointer-width value. Types 1 and 2 carry their value in that pointer slot (pass
// it as a pointer or uintptr_t; up to 4 bytes of it are stored); every other type points at
// `length` bytes (a null pointer stores no bytes and records the length 0xFFFFFFFF). The item
// bytes of a record (8 per descriptor plus the lengths) stop at 65535: the item whose bytes cross
// the limit is cut and recorded with type 4, later items are dropped.
//
// Modes that are not in the library yet: the mask filter (flag 0x2000) lets nothing through, and
// profile and coverage modes refuse initialisation with ECF_NOT_SUPPORTED (tracemodes.h).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "osse/diag/ringbuffer.h"
#include "osse/diag/tracemask.h"
#include "osse/sys/latch.h"

// traceType bits.
inline constexpr std::uint32_t GTRACE_TYPE_WRAP = 0x01;        // ring buffer kind 1
inline constexpr std::uint32_t GTRACE_TYPE_FILL_ONCE = 0x02;   // ring buffer kind 2
inline constexpr std::uint32_t GTRACE_TYPE_CHUNKED = 0x04;     // ring buffer kind 4
inline constexpr std::uint32_t GTRACE_TYPE_PROFILE = 0x08;
inline constexpr std::uint32_t GTRACE_TYPE_RANDOM_DELAY = 0x10;
inline constexpr std::uint32_t GTRACE_TYPE_COVERAGE = 0x80;
inline constexpr std::uint32_t GTRACE_TYPE_MODE_MASK = 0x88;

// flags bits.
inline constexpr std::uint32_t GTRACE_FLAG_TIMESTAMP = 0x0002;
inline constexpr std::uint32_t GTRACE_FLAG_BITMAPS = 0x0004;
inline constexpr std::uint32_t GTRACE_FLAG_FILTERED_8 = 0x0008;
inline constexpr std::uint32_t GTRACE_FLAG_FILTERED_10 = 0x0010;
inline constexpr std::uint32_t GTRACE_FLAG_PROCESS_THREAD = 0x0020;
inline constexpr std::uint32_t GTRACE_FLAG_STOP_COUNT = 0x0040;
inline constexpr std::uint32_t GTRACE_FLAG_STOP_RC = 0x0080;
inline constexpr std::uint32_t GTRACE_FLAG_CALLBACK = 0x0100;
inline constexpr std::uint32_t GTRACE_FLAG_PROFILE = 0x0200;
inline constexpr std::uint32_t GTRACE_FLAG_PROFILE_TIMING = 0x0400;
inline constexpr std::uint32_t GTRACE_FLAG_RANDOM_DELAY = 0x0800;
inline constexpr std::uint32_t GTRACE_FLAG_MASK = 0x2000;
inline constexpr std::uint32_t GTRACE_FLAG_ERRORS_ONLY = 0x4000;
inline constexpr std::uint32_t GTRACE_FLAG_COVERAGE = 0x8000;
inline constexpr std::uint32_t GTRACE_FILTERED_FLAGS = 0xEA3E;

// filterFlags bits.
inline constexpr std::uint32_t GTRACE_FILTER_PROCESS = 0x1;
inline constexpr std::uint32_t GTRACE_FILTER_THREAD = 0x2;

// Record types fixed by their functions, and the ones the libraries pass.
inline constexpr std::uint32_t GTRACE_REC_ENTRY = 1;
inline constexpr std::uint32_t GTRACE_REC_EXIT = 2;
inline constexpr std::uint32_t GTRACE_REC_DATA = 3;
inline constexpr std::uint32_t GTRACE_REC_ERROR = 4;
inline constexpr std::uint32_t GTRACE_REC_STOP_ERROR = 5;     // counts towards the stop condition
inline constexpr std::uint32_t GTRACE_REC_CORRELATOR = 12;
inline constexpr std::uint32_t GTRACE_REC_ERROR_TRANS = 13;

// Item limits and the item type of a cut item.
inline constexpr std::uint32_t GTRACE_MAX_ITEM_BYTES = 65535;
inline constexpr std::uint32_t GTRACE_MAX_INLINE_ITEM = 65527;
inline constexpr std::uint32_t GTRACE_ITEM_CUT = 4;
inline constexpr std::uint32_t GTRACE_ITEM_NULL_LENGTH = 0xFFFFFFFF;
// Forwarded lists of _gtraceEventVar: the redirection marker and the two-descriptor types.
inline constexpr std::uint32_t GTRACE_ITEM_LIST_REDIRECT = 0x40;
inline constexpr std::uint32_t GTRACE_ITEM_TAGGED_FIRST = 70;
inline constexpr std::uint32_t GTRACE_ITEM_TAGGED_LAST = 77;

struct GTraceFilter {
  std::uint32_t filterFlags;
  std::uint32_t processId;
  std::uint64_t threadId;
};
static_assert(sizeof(GTraceFilter) == 16);

inline constexpr std::uint32_t GTRACE_MAX_FILTERS = 5;

struct GTraceOptions {
  std::uint32_t bufferSize;
  std::uint32_t traceType;
  std::uint64_t streamDumpLimit;
  std::uint32_t flags;
  std::uint32_t reserved[2];
  std::uint32_t stopCount;
  std::uint32_t stopRc;            // random-delay mode: the delay period
  std::uint32_t filterCount;
  GTraceFilter filters[GTRACE_MAX_FILTERS];
  std::uint8_t typeBitmap[2];
  std::uint8_t productBitmap[4];
  std::uint8_t componentBitmap[32];
  std::uint8_t functionBitmap[512];
  std::uint8_t subfieldBitmap[2];
  GTM_TRC_MASK mask;
};
static_assert(sizeof(GTraceOptions) == 182880);
static_assert(offsetof(GTraceOptions, streamDumpLimit) == 8 && offsetof(GTraceOptions, flags) == 16);
static_assert(offsetof(GTraceOptions, stopCount) == 28 && offsetof(GTraceOptions, filterCount) == 36);
static_assert(offsetof(GTraceOptions, filters) == 40 && offsetof(GTraceOptions, typeBitmap) == 120);
static_assert(offsetof(GTraceOptions, productBitmap) == 122 && offsetof(GTraceOptions, componentBitmap) == 126);
static_assert(offsetof(GTraceOptions, functionBitmap) == 158 && offsetof(GTraceOptions, subfieldBitmap) == 670);
static_assert(offsetof(GTraceOptions, mask) == 672);

struct GTCB {
  std::uint32_t initialized;
  std::uint32_t enabled;           // read by every trace point's guard; stored atomically
  std::uint32_t stopCounter;       // atomic fetch-and-add
  std::uint32_t reserved;
  GTraceOptions options;
  // the trace data follows: the ring buffer (RamboCB first)
};
static_assert(sizeof(GTCB) == 182896 && offsetof(GTCB, options) == 16);

// Trace record, as written after the 8-byte slot header. One-slot kinds write the first 52
// bytes; ErrorRc and error-translation records 64 (extra words at 56 and 60); kinds with items
// put their descriptors at 56 (ErrorRcVar: at 64), then the item bytes.
struct GTraceRecord {
  std::uint64_t timestamp;
  std::uint64_t threadId;
  std::uint32_t processId;
  std::uint32_t functionId;
  std::uint32_t fixedData1;
  std::uint32_t fixedData2;
  std::uint16_t type;
  std::uint16_t flags;             // 2: a marker whose type argument had bit 16 set
  std::uint16_t probe;
  std::uint16_t itemBytes;
  std::uint32_t data1;
  std::uint32_t data2;
  std::uint32_t rc;                // exit and ErrorRc kinds; correlator records: the correlator
  std::uint32_t itemCount;
};
static_assert(sizeof(GTraceRecord) == 56 && offsetof(GTraceRecord, type) == 32 &&
              offsetof(GTraceRecord, itemBytes) == 38 && offsetof(GTraceRecord, rc) == 48 &&
              offsetof(GTraceRecord, itemCount) == 52);
inline constexpr std::uint32_t GTRACE_SHORT_RECORD = 52;
inline constexpr std::uint32_t GTRACE_EXTRA_RECORD = 64;

struct GTraceItemDescriptor {
  std::uint32_t type;
  std::uint32_t length;
};

// The dump file's trace header, followed by the ring buffer's header.
struct GTraceDumpHeader {
  char eyeCatcher[8];              // "GTDUMP1"
  GTraceOptions options;
  OSSTickConversionFactor tickFactor;
  RamboDumpHeader buffer;          // ring-buffer modes only
};
static_assert(sizeof(GTraceDumpHeader) == 182920 && offsetof(GTraceDumpHeader, tickFactor) == 182888 &&
              offsetof(GTraceDumpHeader, buffer) == 182904);
inline constexpr std::uint32_t GTRACE_DUMP_TRACE_HEADER_SIZE = 182904;

// Dump kinds of gtraceValidateDumpFile.
inline constexpr std::uint32_t GTRACE_DUMP_KIND_RING = 1;
inline constexpr std::uint32_t GTRACE_DUMP_KIND_PROFILE = 2;

struct GTraceDumpParser {
  std::uint32_t kind;              // GTRACE_DUMP_KIND_*
  std::uint32_t traceType;
  std::uint64_t streamDumpLimit;
  RamboDumpParser rambo;
};

// Point callback: record type, function id, probe, address of the return code (exit kinds, else
// null), item count (kinds with items, else 0), address of a variable holding the item cursor
// (a va_list positioned at the first item; kinds with items, else null).
using GTracePointCallback = void (*)(std::uint32_t type, std::uint32_t functionId, std::uint32_t probe,
                                     const std::uint32_t* rc, std::uint32_t itemCount, void* items);
using GTraceDisableCallback = void (*)();

// The attached block (null while none is); read by every trace point's guard.
extern GTCB* g_pGTCB;

// Control functions. ECF_GTRACE_NOT_ATTACHED without an attached block,
// ECF_GTRACE_NOT_INITIALIZED for an attached block that is not initialised, ECF_INVALID_PARAMETER
// for a null argument.
std::uint64_t gtraceGetAllocSize(std::uint32_t bufferSize) noexcept;
std::uint32_t gtraceInitialize(GTCB* gtcb, const GTraceOptions* options) noexcept;
std::uint32_t gtraceAttach(GTCB* gtcb, std::uint32_t processId, GTracePointCallback pointCallback,
                           GTraceDisableCallback disableCallback) noexcept;
std::uint32_t gtraceDetach() noexcept;
std::uint32_t gtraceEnable() noexcept;
std::uint32_t gtraceDisable() noexcept;
std::uint32_t gtraceSetOptions(GTraceOptions* options) noexcept;
std::uint32_t gtraceGetOptions(GTraceOptions* destination) noexcept;
std::uint32_t gtraceGetOptionsPtr(GTraceOptions** options) noexcept;
std::uint32_t gtraceClear() noexcept;
std::uint32_t gtraceSetProcessID(std::uint32_t processId) noexcept;
std::uint32_t gtraceSetFixedData1(std::uint32_t value) noexcept;
std::uint32_t gtraceSetFixedData2(std::uint32_t value) noexcept;

// The ring buffer of the attached block (null without one).
RamboCB* gtraceRingBuffer() noexcept;

// Dumps. The snapshot functions need the attached, initialised block; the file functions only
// read the file (a formatter needs no block of its own).
std::uint32_t gtraceGetDumpHeaderBuffer(bool instantaneous, GTraceDumpHeader* header, void** data,
                                        std::uint32_t* size) noexcept;
std::uint32_t gtraceGetDumpTail(RamboDumpTail* tail) noexcept;
std::uint32_t gtraceInitializeChunkWalker(RamboChunkWalker* walker) noexcept;
std::uint32_t gtraceAutoDumpEnabled(bool on) noexcept;
// The file is positioned at the trace header; its position is restored. expectedKind 0 accepts
// either kind.
std::uint32_t gtraceValidateDumpFile(RamboDumpFile* file, std::uint32_t expectedKind) noexcept;
std::uint32_t gtraceOpenDumpFileParser(RamboDumpFile* file, GTraceDumpParser* parser, bool forward) noexcept;
std::uint32_t gtraceParseRecords(RamboDumpFile* file, GTraceDumpParser* parser, std::uint64_t* offset,
                                 void* destination, std::uint32_t destinationSize) noexcept;
std::uint32_t gtraceCloseDumpFileParser(GTraceDumpParser* parser) noexcept;

// The calling thread's id, as trace points record it (the low word; the high word is 0).
std::uint32_t _gtraceThreadID() noexcept;

// Trace points. Every one starts with the thread id (low, high) and the function id; none tests
// g_pGTCB or the enabled word (the caller's guard does).
void _gtraceEntry(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t data1,
                  std::uint32_t data2) noexcept;
void _gtraceEntryVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t data1,
                     std::uint32_t data2, std::uint32_t itemCount, ...) noexcept;
void _gtraceExit(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, const std::uint32_t* rc,
                 std::uint32_t data1, std::uint32_t data2) noexcept;
void _gtraceExitVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, const std::uint32_t* rc,
                    std::uint32_t data1, std::uint32_t data2, std::uint32_t itemCount, ...) noexcept;
void _gtraceVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                std::uint32_t type, std::uint32_t itemCount, ...) noexcept;
void _gtraceError(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                  std::uint32_t type, std::uint32_t data1, std::uint32_t data2) noexcept;
void _gtraceErrorVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                     std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t itemCount,
                     ...) noexcept;
void _gtraceErrorRc(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                    std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t rc,
                    std::uint32_t extra1, std::uint32_t extra2) noexcept;
void _gtraceErrorRcVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                       std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t rc,
                       std::uint32_t extra1, std::uint32_t extra2, std::uint32_t itemCount, ...) noexcept;
void _gtraceErrorTrans(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                       std::uint32_t data1, std::uint32_t data2, std::uint32_t extra1, std::uint32_t extra2) noexcept;
void _gtraceMarker(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                   std::uint32_t typeArg) noexcept;
void _gtraceMarkerVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                      std::uint32_t typeArg, std::uint32_t itemCount, ...) noexcept;
void _gtraceEvent(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                  std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t itemType,
                  std::uint32_t itemLength, const void* itemData) noexcept;
void _gtraceEventVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                     std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t itemType,
                     std::uint32_t itemLength, const void* itemData, std::uint32_t itemCount,
                     va_list* itemList) noexcept;
void _gtraceCorrelatorVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                          std::uint32_t correlator, std::uint32_t data1, std::uint32_t data2, std::uint32_t itemCount,
                          ...) noexcept;
