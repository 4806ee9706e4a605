// The trace ring buffer ("rambo") and its dump files.
//
// The buffer
// ----------
// One block of memory, possibly in shared memory used by several processes, laid out as
//
//     RamboCB (256 bytes) | chunk table (K x RamboChunk, raised to 8) | data: S slots of 64 bytes
//     | scratch area (128 KiB) | 24 spare bytes
//
// with B the buffer size (a power of two, 0x80000 to 0x40000000), S = B / 64 slots and
// K = B / 0x20000 chunks of 2048 slots. ramboGetAllocSize(B) gives the bytes to allocate;
// ramboInitialize(cb, B, kind) turns raw memory into an empty buffer of one of three kinds:
//
//     RAMBO_KIND_CIRCULAR   (1)  wraps; a record that would cross the end starts again at slot 0
//     RAMBO_KIND_FILL_ONCE  (2)  fills once; then every record goes to the scratch area (lost)
//                                after the buffer-full callback was called. The buffer stays
//                                full until a new sequence: writers test `full` before they
//                                reserve, so a trace that goes on after the callback never
//                                wraps the counter mask round onto the records it kept
//     RAMBO_KIND_CHUNKED    (4)  wraps, and hands chunks over to a dumping agent (below)
//
// Writers (any thread, any process) never lock:
//
//     RamboReservation r;
//     char* rec = ramboReserveSlots(cb, bytes, &r);   // or ramboReserveOneSlot: <= 52 bytes
//     ... fill `bytes` bytes at rec ...
//     ramboSync(cb, &r);                              // seals: header, then trailer
//
// Reservation is one fetch-and-add on `counter`; the writer then owns its slots alone. A record of
// r bytes takes n = (r + 75) / 64 slots: an 8-byte slot header {u32 sequence, u16 0xCAFE, u16 n},
// the record, and in the last 4 bytes of the last slot the complement of the sequence. A reader
// takes a group only when magic, count and trailer agree, so a record torn by a crash or still
// being written is skipped, never misread.
//
// Chunk hand-over (kind 4). A dumping agent outside the library walks the chunks in order: when a
// chunk's `committed` reaches 2048 it writes the chunk out, stores 0 in `committed` and then
// increments `generation`. While auto dump is on, a writer about to write into a chunk in lap L
// (L = sequence / S) waits, 1 ms at a time, until the chunk's generation is L, so nothing is
// overwritten before the agent saved it; with auto dump off writers overwrite freely. A record
// never crosses the end of the buffer: the slots left before the end are zeroed and counted as
// committed, so the agent's chunk stream stays in record order.
//
// Dump files
// ----------
//     trace header (Part of the trace facility: "GTDUMP1", options, tick factor)
//     RamboDumpHeader  "@HEAD\r\n", B, type (1 image, 2 stream of slots), circular flag
//     type 1: the B bytes of the data area, then RamboDumpTail ("@TAIL\r\n", counter, ...)
//     type 2: whole slots up to the end of the file
//
// The rambo functions read a dump through RamboDumpFile, positioned at the buffer header. The
// reader (ramboOpenDumpFileParser / ramboParseDumpFile / ramboCloseDumpFileParser) walks it
// forwards or backwards and returns one record at a time; damaged slot groups are skipped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osse/sys/files.h"
#include "osse/sys/latch.h"

inline constexpr std::uint32_t RAMBO_KIND_CIRCULAR = 1;
inline constexpr std::uint32_t RAMBO_KIND_FILL_ONCE = 2;
inline constexpr std::uint32_t RAMBO_KIND_CHUNKED = 4;

inline constexpr std::uint32_t RAMBO_SLOT_SIZE = 64;
inline constexpr std::uint32_t RAMBO_SLOT_HEADER_SIZE = 8;
inline constexpr std::uint32_t RAMBO_SLOT_MAGIC = 0xCAFE;
inline constexpr std::uint32_t RAMBO_CHUNK_SIZE = 0x20000;
inline constexpr std::uint32_t RAMBO_SLOTS_PER_CHUNK = RAMBO_CHUNK_SIZE / RAMBO_SLOT_SIZE;  // 2048
inline constexpr std::uint32_t RAMBO_MAX_RECORD_SLOTS = 2048;
inline constexpr std::uint32_t RAMBO_SCRATCH_SIZE = 0x20000;
inline constexpr std::uint32_t RAMBO_MIN_BUFFER_SIZE = 0x80000;
inline constexpr std::uint32_t RAMBO_MAX_BUFFER_SIZE = 0x40000000;
inline constexpr std::uint32_t RAMBO_DUMP_INSTANTANEOUS = 1;
inline constexpr std::uint32_t RAMBO_DUMP_STREAM = 2;

// Record bytes that fit n slots, and the slots a record of r bytes needs.
constexpr std::uint32_t ramboRecordBytes(std::uint32_t slots) { return slots * RAMBO_SLOT_SIZE - 12; }
constexpr std::uint32_t ramboSlotsFor(std::uint32_t bytes) { return (bytes + 75) / RAMBO_SLOT_SIZE; }

struct RamboCB {
  std::uint32_t counter;      // slots handed out so far; atomic
  char eyeCatcher[8];         // "RAMBOCB"
  std::uint8_t full;          // fill-once kind: set by the first overflow, cleared by a new sequence
  std::uint8_t reserved1[115];
  OSSLatch latch;             // control operations only, never writers
  std::uint8_t reserved2[3];
  std::uint32_t sequenceStart;
  std::uint32_t mask;
  std::uint32_t dataOffset;
  std::uint32_t chunkTableOffset;
  std::uint32_t scratchOffset;
  std::uint32_t bufferSize;
  std::uint32_t chunkCount;
  std::uint32_t slotCount;
  std::uint8_t circular;
  std::uint8_t chunked;
  std::uint8_t autoDump;      // read atomically by writers
  std::uint8_t reserved3[89];
};
static_assert(sizeof(RamboCB) == 256);
static_assert(offsetof(RamboCB, eyeCatcher) == 4 && offsetof(RamboCB, latch) == 128);
static_assert(offsetof(RamboCB, sequenceStart) == 132 && offsetof(RamboCB, slotCount) == 160);
static_assert(offsetof(RamboCB, circular) == 164 && offsetof(RamboCB, autoDump) == 166);

struct RamboChunk {
  char eyeCatcher[8];         // "RAMBOCK"
  std::uint32_t committed;    // slots sealed since the last hand-over; atomic
  std::uint32_t generation;   // hand-overs so far = the lap that may write; atomic
  std::uint32_t index;
};
static_assert(sizeof(RamboChunk) == 20 && offsetof(RamboChunk, committed) == 8 &&
              offsetof(RamboChunk, generation) == 12 && offsetof(RamboChunk, index) == 16);

// The writer's private record of one reservation.
struct RamboReservation {
  char* slot;                 // first slot (the slot header)
  RamboChunk* chunk;          // chunk of the first slot (kind 4), else null
  std::uint32_t sequence;
  std::uint16_t slots;        // n
  std::uint16_t slotsInFirstChunk;
};

// State of a dumping agent walking the chunks (kind 4).
struct RamboChunkWalker {
  RamboCB* cb;
  RamboChunk* chunk;          // the next chunk to save
  char* slot;                 // its first slot
  std::uint64_t position;     // slots saved so far
};

struct RamboDumpHeader {
  char eyeCatcher[8];         // "@HEAD\r\n"
  std::uint32_t bufferSize;
  std::uint16_t dumpType;
  std::uint8_t circular;
  std::uint8_t reserved;
};
static_assert(sizeof(RamboDumpHeader) == 16 && offsetof(RamboDumpHeader, dumpType) == 12 &&
              offsetof(RamboDumpHeader, circular) == 14);

struct RamboDumpTail {
  char eyeCatcher[8];         // "@TAIL\r\n"
  std::uint32_t counter;
  std::uint32_t index;        // next slot to be written (circular kinds)
  std::uint32_t sequenceStart;
  std::uint32_t truncated;    // fill-once kind: more was written than fits
  std::uint8_t reserved[8];
};
static_assert(sizeof(RamboDumpTail) == 32 && offsetof(RamboDumpTail, counter) == 8 &&
              offsetof(RamboDumpTail, truncated) == 20);

// The reader's source of bytes: a dump file read through the file layer's OSSHFile, or (for tests,
// the formatter and fuzzing) bytes in memory. The object keeps its own position: the reader seeks
// freely, also past the end of a file that shrank meanwhile, and the file's handle is moved only
// when bytes are read there, so that a position beyond the end reads nothing instead of being a
// failed (and logged) seek of the file layer.
class RamboDumpFile {
 public:
  RamboDumpFile() noexcept = default;
  ~RamboDumpFile() { close(); }
  RamboDumpFile(const RamboDumpFile&) = delete;
  RamboDumpFile& operator=(const RamboDumpFile&) = delete;

  // Opens an existing file for reading with OSSHFile: 0 or the file layer's code (a missing file
  // ECF_FILE_DOESNT_EXIST, a file we may not read or a directory ECF_ACCESS_DENIED ...), logged
  // by the file layer. An object already open: ECF_INVALID_PARAMETER.
  std::uint32_t open(const char* path) noexcept;
  // Reads from memory the caller keeps alive while this object uses it.
  void openMemory(const void* data, std::uint64_t size) noexcept;
  void close() noexcept;
  // Reads up to size bytes at the position and moves past them; *got is what was read (0 at the
  // end of the file). A failed read returns the file layer's code, *got 0.
  std::uint32_t read(void* buffer, std::uint32_t size, std::uint32_t* got) noexcept;
  void seek(std::uint64_t position) noexcept { position_ = position; }
  std::uint64_t position() const noexcept { return position_; }
  // The size of the file now (a file may grow or shrink while it is read); 0 when the file layer
  // cannot tell it.
  std::uint64_t size() const noexcept;

 private:
  static constexpr std::uint64_t kUnknownPosition = ~std::uint64_t{0};

  mutable OSSHFile file_;       // OSSHFile's size query is not const
  bool fileOpen_ = false;
  std::uint64_t filePosition_ = kUnknownPosition;  // where file_'s handle stands
  const std::uint8_t* memory_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

// The reader's state between open and close.
struct RamboDumpParser {
  std::uint64_t dataStart;    // file offset of slot 0 (image) or of the first streamed slot
  std::uint64_t dataSize;     // bytes of slots to walk
  std::uint64_t remaining;    // bytes of dataSize not used up yet
  std::uint64_t position;     // offset from dataStart of the slot to test next
  std::uint32_t bufferSize;
  std::uint32_t slotCount;
  std::uint32_t tailCounter;
  std::uint16_t dumpType;
  bool forward;
  bool circular;
  bool wrapped;
  bool truncated;
  bool open;
  std::uint8_t* window;       // read window
  std::uint64_t windowStart;  // data offset of window[0]
  std::uint32_t windowCapacity;
  std::uint32_t windowLength; // bytes valid in window
};

// Buffer-full callback of the fill-once kind (the trace facility registers gtraceDisable).
using RamboBufferFullCallback = std::uint32_t (*)();

std::uint64_t ramboGetAllocSize(std::uint32_t bufferSize) noexcept;
std::uint32_t ramboRoundNearest2(std::uint32_t n) noexcept;
std::uint32_t ramboInitialize(RamboCB* cb, std::uint32_t bufferSize, std::uint32_t kind) noexcept;
RamboBufferFullCallback ramboSetCallBack(RamboBufferFullCallback callback) noexcept;

// Writer path: no checks, no locks, never fails (a buffer must have been initialised). A record
// holds at most ramboRecordBytes(RAMBO_MAX_RECORD_SLOTS) = 131060 bytes, which is also what the
// scratch area takes; the trace facility's largest record is 65591 bytes.
char* ramboReserveOneSlot(RamboCB* cb, RamboReservation* reservation) noexcept;
char* ramboReserveSlots(RamboCB* cb, std::uint32_t recordBytes, RamboReservation* reservation) noexcept;
void ramboSync(RamboCB* cb, RamboReservation* reservation) noexcept;

std::uint32_t ramboNewSequence(RamboCB* cb) noexcept;
std::uint32_t ramboAutoDumpEnabled(RamboCB* cb, bool on) noexcept;
std::uint32_t ramboInitializeChunkWalker(RamboCB* cb, RamboChunkWalker* walker) noexcept;

// Address of slot 0, of chunk entry i and of the scratch area.
char* ramboData(RamboCB* cb) noexcept;
RamboChunk* ramboChunk(RamboCB* cb, std::uint32_t index) noexcept;
char* ramboScratch(RamboCB* cb) noexcept;

// Snapshots for a dump file, each under the latch.
std::uint32_t ramboGetDumpHeaderBuffer(RamboCB* cb, bool instantaneous, RamboDumpHeader* header, void** data,
                                       std::uint32_t* size) noexcept;
std::uint32_t ramboGetDumpTail(RamboCB* cb, RamboDumpTail* tail) noexcept;

// Reading. The file is positioned at the buffer header. Validation restores the position.
// circularStream: a stream dump written as a circular file (the trace's streamDumpLimit).
std::uint32_t ramboValidateDumpFile(RamboDumpFile* file) noexcept;
std::uint32_t ramboOpenDumpFileParser(RamboDumpFile* file, RamboDumpParser* parser, bool forward,
                                      bool circularStream = false) noexcept;
// Length of the next record (64n - 12), 0 at the end. Copies at most destinationSize bytes of it
// to destination (when not null) and stores the file offset of the record bytes in *offset.
std::uint32_t ramboParseDumpFile(RamboDumpFile* file, RamboDumpParser* parser, std::uint64_t* offset,
                                 void* destination, std::uint32_t destinationSize) noexcept;
std::uint32_t ramboCloseDumpFileParser(RamboDumpParser* parser) noexcept;
std::uint32_t ramboDidBufferWrap(const RamboDumpParser* parser, std::uint8_t* wrapped) noexcept;
std::uint32_t ramboWasBufferTruncated(const RamboDumpParser* parser, std::uint8_t* truncated) noexcept;
