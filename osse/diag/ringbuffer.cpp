// The trace ring buffer and its dump files (see ringbuffer.h for the protocol).
#include "osse/diag/ringbuffer.h"

#include "osse/diag/ringbuffer_writer.h"

#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/memory.h"
#include "osse/diag/tracepoints.h"
#include "osse/sys/timestring.h"

namespace {

constexpr char kControlEye[8] = {'R', 'A', 'M', 'B', 'O', 'C', 'B', '\0'};
constexpr char kChunkEye[8] = {'R', 'A', 'M', 'B', 'O', 'C', 'K', '\0'};
constexpr char kHeadEye[8] = {'@', 'H', 'E', 'A', 'D', '\r', '\n', '\0'};
constexpr char kTailEye[8] = {'@', 'T', 'A', 'I', 'L', '\r', '\n', '\0'};
constexpr std::uint32_t kMaxWindow = 0x100000;
constexpr std::uint32_t kLogLevelError = 3;

// The buffer-full callback is process-wide and may be replaced while writers run.
RamboBufferFullCallback g_bufferFull = nullptr;

bool validBufferSize(std::uint32_t size) noexcept {
  return size >= RAMBO_MIN_BUFFER_SIZE && size <= RAMBO_MAX_BUFFER_SIZE && (size & (size - 1)) == 0;
}

bool isInitialized(const RamboCB* cb) noexcept {
  return cb != nullptr && std::memcmp(cb->eyeCatcher, kControlEye, sizeof kControlEye) == 0;
}

std::uint32_t chunkTableBytes(std::uint32_t chunks) noexcept { return (chunks * 20u + 7u) & ~7u; }

inline char* slotAt(RamboCB* cb, std::uint32_t index) noexcept {
  return reinterpret_cast<char*>(cb) + cb->dataOffset + static_cast<std::size_t>(index) * RAMBO_SLOT_SIZE;
}

inline bool autoDumpOn(const RamboCB* cb) noexcept { return __atomic_load_n(&cb->autoDump, __ATOMIC_ACQUIRE) != 0; }

// Waits until the dumping agent has released `chunk` for lap `lap`. Laps are compared modulo the
// number of laps the 32-bit counter holds, so that the wrap of the counter after 2^32 slots does
// not leave writers waiting for a generation that never comes.
void waitForChunk(RamboCB* cb, RamboChunk* chunk, std::uint32_t lap) noexcept {
  const std::uint32_t lapMask = 0xFFFFFFFFu / cb->slotCount;
  while (autoDumpOn(cb)) {
    const std::uint32_t generation = __atomic_load_n(&chunk->generation, __ATOMIC_ACQUIRE);
    if (((generation ^ lap) & lapMask) == 0) return;
    ossYield();
  }
}

// Full: the record goes to the scratch area and is lost. Sealing it there would only race with
// other lost records, so ramboSync leaves a scratch reservation alone.
char* divertToScratch(RamboCB* cb, RamboReservation* r, std::uint32_t seq, bool alreadyFull) noexcept {
  if (!alreadyFull) __atomic_store_n(&cb->full, static_cast<std::uint8_t>(1), __ATOMIC_RELEASE);
  RamboBufferFullCallback callback = __atomic_load_n(&g_bufferFull, __ATOMIC_ACQUIRE);
  if (callback != nullptr) callback();
  char* scratch = ramboScratchInline(cb);
  r->slot = scratch;
  r->chunk = nullptr;
  r->sequence = seq;
  r->slots = 1;
  r->slotsInFirstChunk = 1;
  return scratch + RAMBO_SLOT_HEADER_SIZE;
}

}  // namespace

char* ramboReserveSlow(RamboCB* cb, std::uint32_t n, RamboReservation* r) noexcept {
  const std::uint32_t slots = cb->slotCount;
  std::uint32_t seq;
  std::uint32_t i;
  for (;;) {
    // A full fill-once buffer takes nothing more. Without this test the counter would go on
    // and, once past 2S, its mask would hand out slot 0 again, over the records it kept.
    const bool full = !cb->circular && __atomic_load_n(&cb->full, __ATOMIC_ACQUIRE) != 0;
    seq = full ? __atomic_load_n(&cb->counter, __ATOMIC_RELAXED) : __atomic_fetch_add(&cb->counter, n, __ATOMIC_RELAXED);
    i = seq & cb->mask;
    if (!cb->circular) {
      if (full || i + n > slots) return divertToScratch(cb, r, seq, full);
      break;
    }
    if (i + n <= slots) break;
    if (cb->chunked) {
      // Crossing the end: the slots left in the last chunk and the ones taken from chunk 0 are
      // zeroed and count as committed, so that the agent sees both chunks complete.
      const std::uint32_t lap = seq / slots;
      RamboChunk* last = ramboChunk(cb, i / RAMBO_SLOTS_PER_CHUNK);
      waitForChunk(cb, last, lap);
      std::memset(slotAt(cb, i), 0, static_cast<std::size_t>(slots - i) * RAMBO_SLOT_SIZE);
      if (autoDumpOn(cb)) __atomic_fetch_add(&last->committed, slots - i, __ATOMIC_ACQ_REL);
      RamboChunk* first = ramboChunk(cb, 0);
      const std::uint32_t over = i + n - slots;
      waitForChunk(cb, first, lap + 1);
      std::memset(slotAt(cb, 0), 0, static_cast<std::size_t>(over) * RAMBO_SLOT_SIZE);
      if (autoDumpOn(cb)) __atomic_fetch_add(&first->committed, over, __ATOMIC_ACQ_REL);
    }
  }
  r->slot = slotAt(cb, i);
  r->sequence = seq;
  r->slots = static_cast<std::uint16_t>(n);
  r->chunk = nullptr;
  r->slotsInFirstChunk = static_cast<std::uint16_t>(n);
  if (cb->chunked) {
    const std::uint32_t lap = seq / slots;
    RamboChunk* chunk = ramboChunk(cb, i / RAMBO_SLOTS_PER_CHUNK);
    r->chunk = chunk;
    waitForChunk(cb, chunk, lap);
    const std::uint32_t inFirst = RAMBO_SLOTS_PER_CHUNK - (i % RAMBO_SLOTS_PER_CHUNK);
    if (n > inFirst) {
      waitForChunk(cb, chunk + 1, lap);
      r->slotsInFirstChunk = static_cast<std::uint16_t>(inFirst);
    }
  }
  return r->slot + RAMBO_SLOT_HEADER_SIZE;
}

char* ramboReserveAfter(RamboCB* cb, std::uint32_t n, RamboReservation* r, std::uint32_t seq) noexcept {
  if (!cb->circular) return divertToScratch(cb, r, seq, false);
  return ramboReserveSlow(cb, n, r);  // kind 1: the slots before the end are given up
}

void ramboCommitChunks(RamboCB* cb, const RamboReservation* r) noexcept {
  if (!autoDumpOn(cb)) return;
  __atomic_fetch_add(&r->chunk->committed, r->slotsInFirstChunk, __ATOMIC_ACQ_REL);
  if (r->slots > r->slotsInFirstChunk)
    __atomic_fetch_add(&(r->chunk + 1)->committed, r->slots - r->slotsInFirstChunk, __ATOMIC_ACQ_REL);
}

namespace {

// ---------------------------------------------------------------------------------------------
// Reader helpers.
// ---------------------------------------------------------------------------------------------

// Reads exactly size bytes at the file's position; false on an error or a short read.
bool readFully(RamboDumpFile* file, void* buffer, std::uint32_t size, std::uint32_t* got) noexcept {
  *got = 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (*got < size) {
    std::uint32_t n = 0;
    if (file->read(out + *got, size - *got, &n) != 0) return false;
    if (n == 0) return false;
    *got += n;
  }
  return true;
}

struct DumpFrame {
  RamboDumpHeader header;
  RamboDumpTail tail;
  std::uint64_t dataStart;
  std::uint64_t dataBytes;  // stream: bytes after the header
};

// Checks the buffer header (and the tail of an image) at the file's position; leaves the position
// anywhere.
std::uint32_t readFrame(RamboDumpFile* file, DumpFrame* frame) noexcept {
  std::memset(frame, 0, sizeof *frame);
  const std::uint64_t start = file->position();
  std::uint32_t got = 0;
  if (!readFully(file, &frame->header, sizeof frame->header, &got)) return ECF_RAMBO_DUMP_HEADER_TRUNCATED;
  if (std::memcmp(frame->header.eyeCatcher, kHeadEye, sizeof kHeadEye) != 0)
    return ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER;
  if (frame->header.dumpType != RAMBO_DUMP_INSTANTANEOUS && frame->header.dumpType != RAMBO_DUMP_STREAM)
    return ECF_RAMBO_INVALID_DUMP_TYPE;
  // A buffer is always a power of two; any other size cannot come from a buffer and would break
  // the slot arithmetic of the reader.
  if (!validBufferSize(frame->header.bufferSize)) return ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE;
  frame->dataStart = start + sizeof(RamboDumpHeader);
  if (frame->header.dumpType == RAMBO_DUMP_INSTANTANEOUS) {
    file->seek(frame->dataStart + frame->header.bufferSize);
    if (!readFully(file, &frame->tail, sizeof frame->tail, &got)) return ECF_RAMBO_INSTANT_DUMP_TRUNCATED;
    if (std::memcmp(frame->tail.eyeCatcher, kTailEye, sizeof kTailEye) != 0)
      return ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER;
    if (frame->tail.index >= frame->header.bufferSize / RAMBO_SLOT_SIZE) return ECF_RAMBO_INVALID_DUMP_SLOT_INDEX;
    frame->dataBytes = frame->header.bufferSize;
    return 0;
  }
  const std::uint64_t size = file->size();
  const std::uint64_t rest = size > frame->dataStart ? size - frame->dataStart : 0;
  if (rest != 0 && rest < RAMBO_SLOT_SIZE) return ECF_RAMBO_DUMP_TRUNCATED;
  frame->dataBytes = rest;
  return 0;
}

// The read window comes from the library's heap, like every allocation of the library.
std::uint32_t allocateWindow(std::uint8_t** window, std::uint32_t bytes) noexcept {
  void* p = nullptr;
  const std::uint32_t rc = _ossMemAlloc(&p, nullptr, bytes, 0, __FILE__, __LINE__);
  *window = rc == 0 ? static_cast<std::uint8_t*>(p) : nullptr;
  return rc;
}
void freeWindow(std::uint8_t* window) noexcept {
  void* p = window;
  _ossMemFree(&p, nullptr, 0, __FILE__, __LINE__);
}

// Makes [offset, offset + length) of the data (length <= window capacity, inside dataSize)
// available in the window and returns its address; null when the file cannot supply it. Forward
// readers load the window from the offset on, backward readers so that it ends at the range.
const std::uint8_t* fetch(RamboDumpFile* file, RamboDumpParser* p, std::uint64_t offset, std::uint32_t length) noexcept {
  if (p->windowLength != 0 && offset >= p->windowStart && offset + length <= p->windowStart + p->windowLength)
    return p->window + (offset - p->windowStart);
  const std::uint64_t capacity = p->windowCapacity;
  std::uint64_t start = p->forward ? offset : (offset + length > capacity ? offset + length - capacity : 0);
  if (start + capacity > p->dataSize) start = p->dataSize > capacity ? p->dataSize - capacity : 0;
  const std::uint64_t available = p->dataSize - start;
  const std::uint32_t bytes = static_cast<std::uint32_t>(available < capacity ? available : capacity);
  p->windowLength = 0;
  file->seek(p->dataStart + start);
  std::uint32_t got = 0;
  if (!readFully(file, p->window, bytes, &got)) return nullptr;
  p->windowStart = start;
  p->windowLength = bytes;
  return p->window + (offset - start);
}

std::uint32_t loadU32(const std::uint8_t* at) noexcept {
  std::uint32_t v;
  std::memcpy(&v, at, 4);
  return v;
}
std::uint16_t loadU16(const std::uint8_t* at) noexcept {
  std::uint16_t v;
  std::memcpy(&v, at, 2);
  return v;
}

enum class Group { kValid, kInvalid, kReadError };

// Tests whether slot `slot` (index into the data) starts a valid slot group; on success gives its
// sequence, slot count and address in the window.
Group testGroup(RamboDumpFile* file, RamboDumpParser* p, std::uint64_t slot, std::uint32_t* sequence,
                std::uint32_t* count, const std::uint8_t** bytes) noexcept {
  const std::uint64_t totalSlots = p->dataSize / RAMBO_SLOT_SIZE;
  const std::uint8_t* head = fetch(file, p, slot * RAMBO_SLOT_SIZE, RAMBO_SLOT_SIZE);
  if (head == nullptr) return Group::kReadError;
  const std::uint32_t seq = loadU32(head);
  const std::uint32_t n = loadU16(head + 6);
  if (loadU16(head + 4) != RAMBO_SLOT_MAGIC || n == 0 || n > RAMBO_MAX_RECORD_SLOTS) return Group::kInvalid;
  if (slot + n > totalSlots) return Group::kInvalid;            // not all slots present
  if (p->forward && static_cast<std::uint64_t>(n) * RAMBO_SLOT_SIZE > p->remaining) return Group::kInvalid;
  if (p->dumpType == RAMBO_DUMP_INSTANTANEOUS) {
    // Only the S sequences below the counter can be in the image, and each at its own slot.
    if (p->tailCounter - 1u - seq >= p->slotCount) return Group::kInvalid;
    if ((seq & (p->slotCount - 1)) != slot) return Group::kInvalid;
  }
  const std::uint8_t* group = fetch(file, p, slot * RAMBO_SLOT_SIZE, n * RAMBO_SLOT_SIZE);
  if (group == nullptr) return Group::kReadError;
  if (loadU32(group + n * RAMBO_SLOT_SIZE - 4) != ~seq) return Group::kInvalid;
  *sequence = seq;
  *count = n;
  *bytes = group;
  return Group::kValid;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Sizes and set-up.
// ---------------------------------------------------------------------------------------------

std::uint64_t ramboGetAllocSize(std::uint32_t bufferSize) noexcept {
  if (!validBufferSize(bufferSize)) return 0;
  const std::uint32_t chunks = bufferSize / RAMBO_CHUNK_SIZE;
  return static_cast<std::uint64_t>(bufferSize) + sizeof(RamboCB) + chunkTableBytes(chunks) + 24 + RAMBO_SCRATCH_SIZE;
}

std::uint32_t ramboRoundNearest2(std::uint32_t n) noexcept {
  if (n == 0) return 0;
  return 1u << (31 - __builtin_clz(n));
}

char* ramboData(RamboCB* cb) noexcept { return reinterpret_cast<char*>(cb) + cb->dataOffset; }
RamboChunk* ramboChunk(RamboCB* cb, std::uint32_t index) noexcept {
  return reinterpret_cast<RamboChunk*>(reinterpret_cast<char*>(cb) + cb->chunkTableOffset) + index;
}
char* ramboScratch(RamboCB* cb) noexcept { return reinterpret_cast<char*>(cb) + cb->scratchOffset; }

std::uint32_t ramboInitialize(RamboCB* cb, std::uint32_t bufferSize, std::uint32_t kind) noexcept {
  if (!validBufferSize(bufferSize)) return ECF_RAMBO_INVALID_BUFFER_SIZE;
  if (cb == nullptr) return ECF_INVALID_PARAMETER;
  if (kind != RAMBO_KIND_CIRCULAR && kind != RAMBO_KIND_FILL_ONCE && kind != RAMBO_KIND_CHUNKED)
    return ECF_INVALID_PARAMETER;
  std::memset(cb, 0, sizeof *cb);
  cb->latch.init();
  cb->latch.get();
  const std::uint32_t chunks = bufferSize / RAMBO_CHUNK_SIZE;
  const std::uint32_t slots = bufferSize / RAMBO_SLOT_SIZE;
  __atomic_store_n(&cb->counter, 0u, __ATOMIC_RELAXED);
  cb->sequenceStart = 0;
  cb->chunkTableOffset = sizeof(RamboCB);
  cb->dataOffset = sizeof(RamboCB) + chunkTableBytes(chunks);
  cb->scratchOffset = cb->dataOffset + bufferSize;
  cb->bufferSize = bufferSize;
  cb->chunkCount = chunks;
  cb->slotCount = slots;
  std::memset(ramboData(cb), 0, bufferSize);
  cb->circular = kind != RAMBO_KIND_FILL_ONCE;
  cb->chunked = kind == RAMBO_KIND_CHUNKED;
  cb->autoDump = kind == RAMBO_KIND_CHUNKED;
  cb->mask = kind == RAMBO_KIND_FILL_ONCE ? 2 * slots - 1 : slots - 1;
  for (std::uint32_t c = 0; c < chunks; ++c) {
    RamboChunk* chunk = ramboChunk(cb, c);
    std::memcpy(chunk->eyeCatcher, kChunkEye, sizeof kChunkEye);
    chunk->committed = 0;
    chunk->generation = 0;
    chunk->index = c;
  }
  // The eye-catcher last: a block that shows it is complete.
  __atomic_thread_fence(__ATOMIC_RELEASE);
  std::memcpy(cb->eyeCatcher, kControlEye, sizeof kControlEye);
  cb->latch.release();
  return 0;
}

RamboBufferFullCallback ramboSetCallBack(RamboBufferFullCallback callback) noexcept {
  __atomic_store_n(&g_bufferFull, callback, __ATOMIC_RELEASE);
  return callback;
}

// ---------------------------------------------------------------------------------------------
// Writers.
// ---------------------------------------------------------------------------------------------

char* ramboReserveOneSlot(RamboCB* cb, RamboReservation* reservation) noexcept {
  return ramboReserveInline(cb, 1, reservation);
}

char* ramboReserveSlots(RamboCB* cb, std::uint32_t recordBytes, RamboReservation* reservation) noexcept {
  return ramboReserveInline(cb, ramboSlotsFor(recordBytes), reservation);
}

void ramboSync(RamboCB* cb, RamboReservation* r) noexcept { ramboSyncInline(cb, r); }

// ---------------------------------------------------------------------------------------------
// Control.
// ---------------------------------------------------------------------------------------------

std::uint32_t ramboNewSequence(RamboCB* cb) noexcept {
  if (cb == nullptr) return ECF_INVALID_PARAMETER;
  if (!isInitialized(cb)) return ECF_RAMBO_NOT_INITIALIZED;
  if (cb->chunked) return ECF_NOT_SUPPORTED;
  cb->latch.get();
  const std::uint32_t slots = cb->slotCount;
  if (cb->circular) {
    const std::uint32_t next = __atomic_add_fetch(&cb->counter, slots, __ATOMIC_ACQ_REL);
    __atomic_store_n(&cb->sequenceStart, next, __ATOMIC_RELEASE);
  } else {
    const std::uint32_t span = 2 * slots;
    std::uint32_t current = __atomic_load_n(&cb->counter, __ATOMIC_ACQUIRE);
    while (!__atomic_compare_exchange_n(&cb->counter, &current, (current + span) & ~(span - 1), false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    }
    __atomic_store_n(&cb->full, static_cast<std::uint8_t>(0), __ATOMIC_RELEASE);
  }
  cb->latch.release();
  return 0;
}

std::uint32_t ramboAutoDumpEnabled(RamboCB* cb, bool on) noexcept {
  if (cb == nullptr) return ECF_INVALID_PARAMETER;
  if (!isInitialized(cb)) return ECF_RAMBO_NOT_INITIALIZED;
  if (!cb->chunked) return ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED;
  cb->latch.get();
  __atomic_store_n(&cb->autoDump, static_cast<std::uint8_t>(on ? 1 : 0), __ATOMIC_RELEASE);
  cb->latch.release();
  return 0;
}

std::uint32_t ramboInitializeChunkWalker(RamboCB* cb, RamboChunkWalker* walker) noexcept {
  if (cb == nullptr || walker == nullptr) return ECF_INVALID_PARAMETER;
  if (!isInitialized(cb)) return ECF_RAMBO_NOT_INITIALIZED;
  if (!cb->chunked) return ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED;
  walker->cb = cb;
  walker->chunk = ramboChunk(cb, 0);
  walker->slot = ramboData(cb);
  walker->position = 0;
  return 0;
}

std::uint32_t ramboGetDumpHeaderBuffer(RamboCB* cb, bool instantaneous, RamboDumpHeader* header, void** data,
                                       std::uint32_t* size) noexcept {
  if (cb == nullptr || header == nullptr) return ECF_INVALID_PARAMETER;
  if (!isInitialized(cb)) return ECF_RAMBO_NOT_INITIALIZED;
  cb->latch.get();
  std::memcpy(header->eyeCatcher, kHeadEye, sizeof kHeadEye);
  header->bufferSize = cb->bufferSize;
  header->dumpType = static_cast<std::uint16_t>(instantaneous ? RAMBO_DUMP_INSTANTANEOUS : RAMBO_DUMP_STREAM);
  header->circular = cb->circular;
  header->reserved = 0;
  if (data != nullptr) *data = ramboData(cb);
  if (size != nullptr) *size = cb->bufferSize;
  cb->latch.release();
  return 0;
}

std::uint32_t ramboGetDumpTail(RamboCB* cb, RamboDumpTail* tail) noexcept {
  if (cb == nullptr || tail == nullptr) return ECF_INVALID_PARAMETER;
  if (!isInitialized(cb)) return ECF_RAMBO_NOT_INITIALIZED;
  cb->latch.get();
  std::memset(tail, 0, sizeof *tail);
  std::memcpy(tail->eyeCatcher, kTailEye, sizeof kTailEye);
  std::uint32_t counter = __atomic_load_n(&cb->counter, __ATOMIC_ACQUIRE);
  if (cb->circular) {
    tail->index = counter & cb->mask;
    tail->sequenceStart = __atomic_load_n(&cb->sequenceStart, __ATOMIC_ACQUIRE);
  } else if ((counter & cb->mask) > cb->slotCount) {
    tail->truncated = 1;
    counter &= ~(cb->slotCount - 1);
  } else if (__atomic_load_n(&cb->full, __ATOMIC_ACQUIRE) != 0) {
    tail->truncated = 1;  // writers that raced past the full test moved the counter on a lap
  }
  tail->counter = counter;
  cb->latch.release();
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Dump files.
// ---------------------------------------------------------------------------------------------

std::uint32_t RamboDumpFile::open(const char* path) noexcept {
  if (fileOpen_ || memory_ != nullptr) return ECF_INVALID_PARAMETER;
  OSSFileOpenParam param = {OSS_VERSION_STAMP, path, OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_READ, 0, 0, 0};
  const std::uint32_t rc = file_.open(&param);
  if (rc != 0) return rc;
  fileOpen_ = true;
  filePosition_ = 0;
  size_ = 0;
  position_ = 0;
  return 0;
}

void RamboDumpFile::openMemory(const void* data, std::uint64_t size) noexcept {
  close();
  memory_ = static_cast<const std::uint8_t*>(data);
  size_ = data != nullptr ? size : 0;
  position_ = 0;
}

std::uint64_t RamboDumpFile::size() const noexcept {
  if (!fileOpen_) return size_;
  std::uint64_t size = 0;
  if (file_.getSize(&size) != 0) return 0;
  return size;
}

void RamboDumpFile::close() noexcept {
  // A failed close leaves nothing the reader could still use: the object is closed either way.
  if (fileOpen_) file_.close();
  fileOpen_ = false;
  filePosition_ = kUnknownPosition;
  memory_ = nullptr;
  size_ = 0;
  position_ = 0;
}

std::uint32_t RamboDumpFile::read(void* buffer, std::uint32_t size, std::uint32_t* got) noexcept {
  *got = 0;
  if (!fileOpen_) {
    if (position_ >= size_ || size == 0) return 0;
    const std::uint64_t left = size_ - position_;
    const std::uint32_t n = static_cast<std::uint32_t>(left < size ? left : size);
    std::memcpy(buffer, memory_ + position_, n);
    position_ += n;
    *got = n;
    return 0;
  }
  if (size == 0) return 0;
  // Nothing lies at or beyond the end: answer that here rather than with a seek the file layer
  // would refuse and log.
  std::uint64_t end = 0;
  if (const std::uint32_t rc = file_.getSize(&end); rc != 0) return rc;
  if (position_ >= end) return 0;
  if (filePosition_ != position_) {
    OSSFileSeekParam seek = {OSS_VERSION_STAMP, static_cast<std::int64_t>(position_), OSS_FILE_SEEK_BEGIN, 0};
    const std::uint32_t rc = file_.seek(&seek, nullptr);
    if (rc == ECF_FILE_SEEK_BEYOND_EOF) return 0;  // the file shrank since its size was read
    if (rc != 0) {
      filePosition_ = kUnknownPosition;
      return rc;
    }
    filePosition_ = position_;
  }
  // Asking for no more than the file holds keeps a read that meets the end rare; one that does
  // (the file shrank meanwhile) is no failure, only fewer bytes.
  const std::uint64_t left = end - position_;
  OSSFileReadParam param = {OSS_VERSION_STAMP, static_cast<std::uint32_t>(left < size ? left : size), 0};
  std::uint32_t n = 0;
  const std::uint32_t rc = file_.read(&param, buffer, &n);
  if (rc != 0 && rc != ECF_FILE_EOF) {
    filePosition_ = kUnknownPosition;
    return rc;
  }
  position_ += n;
  filePosition_ = position_;
  *got = n;
  return 0;
}

std::uint32_t ramboValidateDumpFile(RamboDumpFile* file) noexcept {
  GTRACE_ENTRY(ECF_FN_ramboValidateDumpFile);
  std::uint32_t rc = ECF_INVALID_PARAMETER;
  std::uint64_t start = 0;
  if (file != nullptr) {
    start = file->position();
    DumpFrame frame;
    rc = readFrame(file, &frame);
    file->seek(start);
  }
  if (rc != 0) {
    // The item: the offset of the buffer header that was refused.
    ossLog(nullptr, ECF_FN_ramboValidateDumpFile, rc, 10, kLogLevelError, 1, &start, 8u, OSS_LOG_TYPE_UNSIGNED);
    GTRACE_ERROR(ECF_FN_ramboValidateDumpFile, 10, &rc);
  }
  GTRACE_EXIT(ECF_FN_ramboValidateDumpFile, &rc);
  return rc;
}

std::uint32_t ramboOpenDumpFileParser(RamboDumpFile* file, RamboDumpParser* parser, bool forward,
                                      bool circularStream) noexcept {
  GTRACE_ENTRY(ECF_FN_ramboOpenDumpFileParser);
  std::uint32_t rc = 0;
  DumpFrame frame;
  if (file == nullptr || parser == nullptr) {
    rc = ECF_INVALID_PARAMETER;
    ossLog(nullptr, ECF_FN_ramboOpenDumpFileParser, rc, 10, kLogLevelError, 0);
    GTRACE_ERROR(ECF_FN_ramboOpenDumpFileParser, 10, &rc);
    GTRACE_EXIT(ECF_FN_ramboOpenDumpFileParser, &rc);
    return rc;
  }
  std::memset(parser, 0, sizeof *parser);
  const std::uint64_t start = file->position();
  rc = readFrame(file, &frame);
  if (rc != 0) {
    ossLog(nullptr, ECF_FN_ramboOpenDumpFileParser, rc, 20, kLogLevelError, 1, &start, 8u, OSS_LOG_TYPE_UNSIGNED);
    GTRACE_ERROR(ECF_FN_ramboOpenDumpFileParser, 20, &rc);
    GTRACE_EXIT(ECF_FN_ramboOpenDumpFileParser, &rc);
    return rc;
  }
  RamboDumpParser& p = *parser;
  p.forward = forward;
  p.dumpType = frame.header.dumpType;
  p.circular = frame.header.circular != 0;
  p.bufferSize = frame.header.bufferSize;
  p.slotCount = frame.header.bufferSize / RAMBO_SLOT_SIZE;
  p.dataStart = frame.dataStart;
  std::uint64_t firstSlot = 0;
  if (p.dumpType == RAMBO_DUMP_INSTANTANEOUS) {
    p.tailCounter = frame.tail.counter;
    if (p.circular) {
      p.dataSize = p.bufferSize;
      p.wrapped = frame.tail.counter - frame.tail.sequenceStart > p.slotCount;
      firstSlot = forward ? frame.tail.index : (frame.tail.index + p.slotCount - 1) % p.slotCount;
    } else {
      std::uint32_t end = frame.tail.counter % p.slotCount;
      if (end == 0) end = p.slotCount;
      p.dataSize = static_cast<std::uint64_t>(end) * RAMBO_SLOT_SIZE;
      p.truncated = frame.tail.truncated != 0;
      firstSlot = forward ? 0 : end - 1;
    }
  } else {
    // Whole slots only: a partial slot at the end of a stream holds no record.
    p.dataSize = frame.dataBytes / RAMBO_SLOT_SIZE * RAMBO_SLOT_SIZE;
    const std::uint64_t slots = p.dataSize / RAMBO_SLOT_SIZE;
    firstSlot = forward || slots == 0 ? 0 : slots - 1;
  }
  p.remaining = p.dataSize;
  p.windowCapacity = p.dataSize == 0 ? RAMBO_SLOT_SIZE
                                     : static_cast<std::uint32_t>(p.dataSize < kMaxWindow ? p.dataSize : kMaxWindow);
  const std::uint32_t allocRc = allocateWindow(&p.window, p.windowCapacity);
  if (allocRc != 0) {
    rc = ECF_NO_MEMORY;
    ossLogRC(nullptr, ECF_FN_ramboOpenDumpFileParser, ECF_FN__ossMemAlloc, allocRc, rc, 30, kLogLevelError, 1,
             &p.windowCapacity, 4u, OSS_LOG_TYPE_UNSIGNED);
    GTRACE_ERROR(ECF_FN_ramboOpenDumpFileParser, 30, &rc);
    GTRACE_EXIT(ECF_FN_ramboOpenDumpFileParser, &rc);
    return rc;
  }
  p.open = true;
  if (p.dumpType == RAMBO_DUMP_STREAM && forward && circularStream) {
    // A circular stream that has not wrapped still starts with its record of sequence 0.
    const std::uint64_t slots = p.dataSize / RAMBO_SLOT_SIZE;
    for (std::uint64_t s = 0; s < slots;) {
      std::uint32_t seq = 0, n = 0;
      const std::uint8_t* bytes = nullptr;
      const Group g = testGroup(file, &p, s, &seq, &n, &bytes);
      if (g == Group::kReadError) break;
      if (g == Group::kValid) {
        p.wrapped = seq != 0;
        break;
      }
      ++s;
    }
  }
  p.position = firstSlot;
  GTRACE_EXIT(ECF_FN_ramboOpenDumpFileParser, &rc);
  return 0;
}

std::uint32_t ramboParseDumpFile(RamboDumpFile* file, RamboDumpParser* p, std::uint64_t* offset, void* destination,
                                 std::uint32_t destinationSize) noexcept {
  if (file == nullptr || p == nullptr || !p->open) return 0;
  const bool image = p->dumpType == RAMBO_DUMP_INSTANTANEOUS;
  while (p->remaining >= RAMBO_SLOT_SIZE) {
    const std::uint64_t slot = p->position;
    std::uint32_t seq = 0, n = 0;
    const std::uint8_t* bytes = nullptr;
    const Group g = testGroup(file, p, slot, &seq, &n, &bytes);
    if (g == Group::kReadError) {
      // A read error ends the walk for good: the parser stays at the end.
      p->remaining = 0;
      return 0;
    }
    const std::uint64_t slots = p->dataSize / RAMBO_SLOT_SIZE;
    const std::uint32_t step = (g == Group::kValid && p->forward) ? n : 1;
    p->remaining -= static_cast<std::uint64_t>(step) * RAMBO_SLOT_SIZE;
    if (p->forward) {
      p->position = slot + step;
      if (image && p->position >= slots) p->position -= slots;
    } else {
      p->position = slot == 0 ? (image ? slots - 1 : 0) : slot - 1;
    }
    if (g == Group::kValid) {
      const std::uint32_t length = ramboRecordBytes(n);
      if (destination != nullptr && destinationSize != 0)
        std::memcpy(destination, bytes + RAMBO_SLOT_HEADER_SIZE, length < destinationSize ? length : destinationSize);
      if (offset != nullptr) *offset = p->dataStart + slot * RAMBO_SLOT_SIZE + RAMBO_SLOT_HEADER_SIZE;
      return length;
    }
  }
  return 0;
}

std::uint32_t ramboCloseDumpFileParser(RamboDumpParser* parser) noexcept {
  if (parser == nullptr) return ECF_INVALID_PARAMETER;
  if (parser->window != nullptr) freeWindow(parser->window);
  parser->window = nullptr;
  parser->windowLength = 0;
  parser->open = false;
  return 0;
}

std::uint32_t ramboDidBufferWrap(const RamboDumpParser* parser, std::uint8_t* wrapped) noexcept {
  if (parser == nullptr || wrapped == nullptr) return ECF_INVALID_PARAMETER;
  *wrapped = parser->wrapped ? 1 : 0;
  return 0;
}

std::uint32_t ramboWasBufferTruncated(const RamboDumpParser* parser, std::uint8_t* truncated) noexcept {
  if (parser == nullptr || truncated == nullptr) return ECF_INVALID_PARAMETER;
  *truncated = parser->truncated ? 1 : 0;
  return 0;
}
