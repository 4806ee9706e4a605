// The trace facility (see trace.h).
#include "osse/diag/trace.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/ringbuffer_writer.h"
#include "osse/diag/tracemodes.h"
#include "osse/diag/tracepoints.h"
#include "osse/sys/latch.h"
#include "osse/sys/timestring.h"

GTCB* g_pGTCB = nullptr;

namespace {

constexpr char kDumpEye[8] = {'G', 'T', 'D', 'U', 'M', 'P', '1', '\0'};

// Process-wide state stamped into records and called back. Written by the control functions
// before tracing is enabled; read by trace points with relaxed loads.
std::uint32_t g_processId = 0xFFFFFFFF;
std::uint32_t g_fixedData1 = 0xFFFFFFFF;
std::uint32_t g_fixedData2 = 0xFFFFFFFF;
GTracePointCallback g_pointCallback = nullptr;
GTraceDisableCallback g_disableCallback = nullptr;

// Random-delay mode: the generator is seeded once per process, and the call counter runs from 1
// up to the period.
bool g_delaySeeded = false;
std::uint32_t g_delayCounter = 1;

template <typename T>
T loadRelaxed(const T& v) noexcept {
  return __atomic_load_n(&v, __ATOMIC_RELAXED);
}
template <typename T>
void storeRelaxed(T& v, T value) noexcept {
  __atomic_store_n(&v, value, __ATOMIC_RELAXED);
}

inline RamboCB* ringOf(GTCB* gtcb) noexcept {
  return reinterpret_cast<RamboCB*>(reinterpret_cast<char*>(gtcb) + sizeof(GTCB));
}

std::uint32_t attachedBlock(GTCB** out) noexcept {
  GTCB* gtcb = loadRelaxed(g_pGTCB);
  if (gtcb == nullptr) return ECF_GTRACE_NOT_ATTACHED;
  if (gtcb->initialized != 1) return ECF_GTRACE_NOT_INITIALIZED;
  *out = gtcb;
  return 0;
}

std::uint32_t modeOf(const GTCB* gtcb) noexcept { return gtcb->options.traceType & GTRACE_TYPE_MODE_MASK; }

inline bool bitSet(const std::uint8_t* bits, std::uint32_t n) noexcept { return (bits[n >> 3] >> (n & 7)) & 1; }

// ---------------------------------------------------------------------------------------------
// Items.
// ---------------------------------------------------------------------------------------------

struct Item {
  std::uint32_t type;
  std::uint32_t length;
  const void* data;
  bool tag;  // the {type, 0} descriptor in front of a tagged forwarded item
};

// Reads item triples from a copy of a variable-argument cursor. In the forwarded form (the list
// of _gtraceEventVar) a type from 70 to 77 is followed by the item's own type, length and data,
// and gives two descriptors; a first argument 0x40 redirects to another count and cursor.
class ItemReader {
 public:
  ItemReader(va_list* source, std::uint32_t count, bool forwarded) noexcept : left_(count), forwarded_(forwarded) {
    va_copy(ap_, *source);
    if (forwarded_ && left_ != 0) {
      const std::uint32_t first = va_arg(ap_, std::uint32_t);
      if (first == GTRACE_ITEM_LIST_REDIRECT) {
        left_ = va_arg(ap_, std::uint32_t);
        va_list* redirected = va_arg(ap_, va_list*);
        va_end(ap_);
        va_copy(ap_, *redirected);
      } else {
        peeked_ = true;
        peekedType_ = first;
      }
    }
  }
  ~ItemReader() { va_end(ap_); }
  ItemReader(const ItemReader&) = delete;
  ItemReader& operator=(const ItemReader&) = delete;

  bool next(Item* item) noexcept {
    if (pending_) {
      pending_ = false;
      *item = pendingItem_;
      return true;
    }
    if (left_ == 0) return false;
    --left_;
    const std::uint32_t type = peeked_ ? peekedType_ : va_arg(ap_, std::uint32_t);
    peeked_ = false;
    if (forwarded_ && type >= GTRACE_ITEM_TAGGED_FIRST && type <= GTRACE_ITEM_TAGGED_LAST) {
      pendingItem_.type = va_arg(ap_, std::uint32_t);
      pendingItem_.length = va_arg(ap_, std::uint32_t);
      pendingItem_.data = va_arg(ap_, const void*);
      pendingItem_.tag = false;
      pending_ = true;
      *item = Item{type, 0, nullptr, true};
      return true;
    }
    item->type = type;
    item->length = va_arg(ap_, std::uint32_t);
    item->data = va_arg(ap_, const void*);
    item->tag = false;
    return true;
  }

 private:
  va_list ap_;
  std::uint32_t left_;
  bool forwarded_;
  bool peeked_ = false;
  std::uint32_t peekedType_ = 0;
  bool pending_ = false;
  Item pendingItem_{};
};

// The bytes an item stores and the length and type its descriptor records.
struct Stored {
  std::uint32_t type;
  std::uint32_t recordedLength;
  std::uint32_t bytes;
  const void* source;
  std::uintptr_t value;
};

Stored storedForm(const Item& item) noexcept {
  Stored s{item.type, item.length, item.length, item.data, 0};
  if (item.tag) {
    s.recordedLength = 0;
    s.bytes = 0;
  } else if (item.type == 1 || item.type == 2) {
    // The value travels in the pointer slot; at most 4 bytes of it are kept.
    s.value = reinterpret_cast<std::uintptr_t>(item.data);
    s.bytes = item.length < 4 ? item.length : 4;
    s.recordedLength = s.bytes;
    s.source = nullptr;
  } else if (item.data == nullptr) {
    s.bytes = 0;
    s.recordedLength = GTRACE_ITEM_NULL_LENGTH;
  }
  return s;
}

// What a list of items takes under the limit. `used` counts the item bytes already taken (the
// extra words of ErrorRcVar, the inline item of _gtraceEventVar).
struct Plan {
  std::uint32_t count = 0;   // descriptors
  std::uint32_t used = 0;    // item bytes in total, `used` at the start included
};

// Walks the items under the 65535-byte limit: a descriptor that would cross it is dropped, the
// item whose bytes cross it is cut (type 4); either ends the list. With descriptors null it only
// measures; otherwise it writes descriptors and bytes (the same walk, so both agree).
Plan walkItems(ItemReader& reader, std::uint32_t used, char* descriptors, char* bytes) noexcept {
  Plan plan;
  plan.used = used;
  Item item;
  while (reader.next(&item)) {
    if (plan.used + 8 > GTRACE_MAX_ITEM_BYTES) break;
    Stored s = storedForm(item);
    bool cut = false;
    if (plan.used + 8 + s.bytes > GTRACE_MAX_ITEM_BYTES) {
      s.bytes = GTRACE_MAX_ITEM_BYTES - plan.used - 8;
      s.recordedLength = s.bytes;
      s.type = GTRACE_ITEM_CUT;
      cut = true;
    }
    if (descriptors != nullptr) {
      const GTraceItemDescriptor d{s.type, s.recordedLength};
      std::memcpy(descriptors + 8 * plan.count, &d, sizeof d);
      if (s.bytes != 0) std::memcpy(bytes, s.source != nullptr ? s.source : static_cast<const void*>(&s.value), s.bytes);
      bytes += s.bytes;
    }
    plan.used += 8 + s.bytes;
    ++plan.count;
    if (cut) break;
  }
  return plan;
}

// ---------------------------------------------------------------------------------------------
// The trace point.
// ---------------------------------------------------------------------------------------------

enum class Counts { kNone, kExit, kError };

struct Point {
  std::uint64_t threadId;
  std::uint32_t functionId;
  std::uint32_t type;
  std::uint32_t recordFlags;
  std::uint32_t probe;
  std::uint32_t data1;
  std::uint32_t data2;
  std::uint32_t rcValue;          // field at 48
  const std::uint32_t* rc;        // exit kinds
  std::uint32_t extra1;
  std::uint32_t extra2;
  std::uint32_t header;           // 52 (one slot), 56, or 64 (extra words)
  bool items;                     // a kind with items
  Counts counts;
  // Items: the inline item of _gtraceEventVar, and the list (cursor, count, forwarded form).
  bool hasInline;
  std::uint32_t inlineType;
  std::uint32_t inlineLength;
  const void* inlineData;
  va_list* list;
  std::uint32_t listCount;
  bool forwarded;
};

Point makePoint(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t type,
                std::uint32_t probe = 0, std::uint32_t data1 = 0, std::uint32_t data2 = 0) noexcept {
  Point p{};
  p.threadId = static_cast<std::uint64_t>(tidLow) | (static_cast<std::uint64_t>(tidHigh) << 32);
  p.functionId = functionId;
  p.type = type;
  p.probe = probe;
  p.data1 = data1;
  p.data2 = data2;
  p.header = GTRACE_SHORT_RECORD;
  return p;
}

bool isErrorType(std::uint32_t type) noexcept {
  return type == 2 || type == 4 || type == 5 || type == 11 || type == 13;
}

// The filter of the filtered path. Record types from 16 on and function numbers from 4096 on
// have no bit in the bitmaps, so the bitmap filter can never select them: it rejects them.
bool passesFilter(const GTCB* gtcb, std::uint32_t flags, const Point& p, std::uint64_t* timestamp) noexcept {
  const GTraceOptions& o = gtcb->options;
  if (flags & GTRACE_FLAG_ERRORS_ONLY) {
    if (!isErrorType(p.type)) return false;
    if (p.counts == Counts::kExit && p.rcValue == 0) return false;  // a null return-code address reads as 0
  }
  if (flags & GTRACE_FLAG_PROCESS_THREAD) {
    const std::uint32_t count = o.filterCount < GTRACE_MAX_FILTERS ? o.filterCount : GTRACE_MAX_FILTERS;
    const std::uint32_t processId = loadRelaxed(g_processId);
    bool match = false;
    for (std::uint32_t i = 0; i < count && !match; ++i) {
      const GTraceFilter& f = o.filters[i];
      match = (f.filterFlags & GTRACE_FILTER_PROCESS) && f.processId == processId &&
              (!(f.filterFlags & GTRACE_FILTER_THREAD) || f.threadId == p.threadId);
    }
    if (!match) return false;
  }
  if (flags & GTRACE_FLAG_BITMAPS) {
    const std::uint32_t function = p.functionId & 0xFFFF;
    if (!bitSet(o.productBitmap, p.functionId >> 27)) return false;
    if (p.type >= 16 || !bitSet(o.typeBitmap, p.type)) return false;
    if (!bitSet(o.componentBitmap, (p.functionId >> 19) & 0xFF)) return false;
    if (function >= 4096 || !bitSet(o.functionBitmap, function)) return false;
    if (!bitSet(o.subfieldBitmap, (p.functionId >> 16) & 0x7)) return false;
  } else if (flags & GTRACE_FLAG_MASK) {
    if (!gtraceMaskFilter(&o, p.functionId, p.type, p.probe)) return false;
  }
  if (flags & GTRACE_FLAG_TIMESTAMP) *timestamp = OSSTick::now().ticks();
  return true;
}

void randomDelay(const GTCB* gtcb) noexcept {
  if (!__atomic_exchange_n(&g_delaySeeded, true, __ATOMIC_ACQ_REL)) std::srand(1020);
  const double x = std::rand() / 32768.0;
  const std::uint32_t period = gtcb->options.stopRc;
  const std::uint32_t counter = loadRelaxed(g_delayCounter);
  if (counter < period) {
    storeRelaxed(g_delayCounter, counter + 1);
    return;
  }
  storeRelaxed(g_delayCounter, 1u);
  ossSleep(static_cast<std::uint32_t>(200.0 * x * x * x * x));
}

void countStop(GTCB* gtcb) noexcept {
  const std::uint32_t previous = __atomic_fetch_add(&gtcb->stopCounter, 1u, __ATOMIC_ACQ_REL);
  if (previous >= gtcb->options.stopCount) gtraceDisable();
}

void tracePoint(Point& p) noexcept {
  GTCB* gtcb = loadRelaxed(g_pGTCB);
  if (gtcb == nullptr) return;  // detached under the caller's feet
  const std::uint32_t flags = gtcb->options.flags;
  if (p.rc != nullptr) p.rcValue = *p.rc;
  std::uint64_t timestamp = 0;
  if (__builtin_expect((flags & GTRACE_FILTERED_FLAGS) != 0, 0)) {
    const std::uint32_t mode = modeOf(gtcb);
    if (mode == GTRACE_TYPE_PROFILE) {
      if (p.type == GTRACE_REC_ENTRY || (p.type == GTRACE_REC_EXIT && p.counts == Counts::kExit))
        gtraceProfilePoint(gtcb, p.type, p.threadId, p.functionId, p.rc);
      return;
    }
    if (mode == GTRACE_TYPE_COVERAGE) {
      const bool entryOrExit = p.type == GTRACE_REC_ENTRY || p.counts == Counts::kExit;
      gtraceCoveragePoint(gtcb, p.functionId, entryOrExit ? 0 : p.probe, p.type, p.data1, p.data2);
      return;
    }
    if (!passesFilter(gtcb, flags, p, &timestamp)) return;
    if (gtcb->options.traceType & GTRACE_TYPE_RANDOM_DELAY) {
      randomDelay(gtcb);
      return;
    }
  }

  // Measure the items (first walk), reserve, then write them (second walk).
  std::uint32_t used = p.header == GTRACE_EXTRA_RECORD && p.items ? 8 : 0;  // ErrorRcVar's extra words
  std::uint32_t inlineBytes = 0, inlineRecorded = 0, inlineType = 0;
  bool forwardList = true;
  if (p.hasInline) {
    Stored s = storedForm(Item{p.inlineType, p.inlineLength, p.inlineData, false});
    inlineType = s.type;
    inlineBytes = s.bytes;
    inlineRecorded = s.recordedLength;
    if (s.bytes > GTRACE_MAX_INLINE_ITEM) {
      inlineBytes = inlineRecorded = GTRACE_MAX_INLINE_ITEM;
      inlineType = GTRACE_ITEM_CUT;
      forwardList = false;
    }
    used += 8 + inlineBytes;
  }
  Plan plan;
  plan.used = used;
  const bool walkList = p.items && p.list != nullptr && p.listCount != 0 && forwardList;
  if (walkList) {
    ItemReader reader(p.list, p.listCount, p.forwarded);
    plan = walkItems(reader, used, nullptr, nullptr);
  }
  const std::uint32_t descriptorCount = plan.count + (p.hasInline ? 1 : 0);
  const std::uint32_t descriptorsAt = p.items ? (p.header == GTRACE_EXTRA_RECORD ? 64u : 56u) : 0u;

  RamboCB* cb = ringOf(gtcb);
  RamboReservation reservation;
  char* record;
  if (!p.items && p.header == GTRACE_SHORT_RECORD) {
    record = ramboReserveInline(cb, 1, &reservation);
  } else {
    const std::uint32_t size = p.items ? 56 + plan.used : p.header;
    record = ramboReserveInline(cb, ramboSlotsFor(size), &reservation);
  }
  // A record that went to the scratch area of a full buffer is lost: not writing it keeps the
  // writers that lost the race for space from writing over each other.
  if (reservation.slot != ramboScratchInline(cb)) {
    // Field by field into the slot: a record assembled on the stack and copied would make the
    // processor wait for its own stores. The 4 bytes at 52 are inside the slot for every kind
    // (the trailer of a one-slot record is at 60).
    auto* r = reinterpret_cast<GTraceRecord*>(record);
    r->timestamp = timestamp;
    r->threadId = p.threadId;
    r->processId = loadRelaxed(g_processId);
    r->functionId = p.functionId;
    r->fixedData1 = loadRelaxed(g_fixedData1);
    r->fixedData2 = loadRelaxed(g_fixedData2);
    r->type = static_cast<std::uint16_t>(p.type);
    r->flags = static_cast<std::uint16_t>(p.recordFlags);
    r->probe = static_cast<std::uint16_t>(p.probe);
    r->itemBytes = static_cast<std::uint16_t>(p.items ? plan.used : 0);
    r->data1 = p.data1;
    r->data2 = p.data2;
    r->rc = p.rcValue;
    r->itemCount = descriptorCount;
    if (p.header == GTRACE_EXTRA_RECORD) {
      std::memcpy(record + 56, &p.extra1, 4);
      std::memcpy(record + 60, &p.extra2, 4);
    }
    if (p.items) {
      char* descriptors = record + descriptorsAt;
      char* bytes = descriptors + 8 * descriptorCount;
      if (p.hasInline) {
        const GTraceItemDescriptor d{inlineType, inlineRecorded};
        std::memcpy(descriptors, &d, sizeof d);
        descriptors += 8;
        if (inlineBytes != 0) {
          const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(p.inlineData);
          const bool byValue = p.inlineType == 1 || p.inlineType == 2;
          std::memcpy(bytes, byValue ? static_cast<const void*>(&value) : p.inlineData, inlineBytes);
          bytes += inlineBytes;
        }
      }
      if (walkList) {
        ItemReader reader(p.list, p.listCount, p.forwarded);
        walkItems(reader, used, descriptors, bytes);
      }
    }
  }
  ramboSyncInline(cb, &reservation);

  // Post actions.
  if ((flags & (GTRACE_FLAG_STOP_COUNT | GTRACE_FLAG_STOP_RC)) == (GTRACE_FLAG_STOP_COUNT | GTRACE_FLAG_STOP_RC) &&
      p.counts == Counts::kExit && p.rcValue == gtcb->options.stopRc)
    countStop(gtcb);
  else if ((flags & GTRACE_FLAG_STOP_COUNT) && p.counts == Counts::kError && p.type == GTRACE_REC_STOP_ERROR)
    countStop(gtcb);
  if (flags & GTRACE_FLAG_CALLBACK) {
    GTracePointCallback callback = loadRelaxed(g_pointCallback);
    if (callback != nullptr) {
      if (p.items && p.list != nullptr) {
        if (p.forwarded) {
          callback(p.type, p.functionId, p.probe, p.rc, descriptorCount, p.list);
        } else {
          va_list cursor;
          va_copy(cursor, *p.list);
          callback(p.type, p.functionId, p.probe, p.rc, descriptorCount, &cursor);
          va_end(cursor);
        }
      } else {
        callback(p.type, p.functionId, p.probe, p.rc, p.items ? descriptorCount : 0, nullptr);
      }
    }
  }
}

// The fast path of the one-slot kinds that need no post action: reserve, write 52 bytes, seal.
// Entry and exit points take it when the options ask for nothing that costs (no filter, no
// timestamp, no mode, no stop condition, no callback).
constexpr std::uint32_t kShortcutBlockers =
    GTRACE_FILTERED_FLAGS | GTRACE_FLAG_STOP_COUNT | GTRACE_FLAG_STOP_RC | GTRACE_FLAG_CALLBACK;

// The fixed part of a fast-path record, straight into the slot (8-byte aligned: the data area and
// the slot header are), field by field, without a copy on the stack.
__attribute__((always_inline)) inline void writeFixedFields(GTraceRecord* r, std::uint32_t tidLow,
                                                            std::uint32_t tidHigh, std::uint32_t functionId,
                                                            std::uint32_t type, std::uint32_t probe,
                                                            std::uint32_t itemBytes, std::uint32_t data1,
                                                            std::uint32_t data2, std::uint32_t rc) noexcept {
  r->timestamp = 0;
  r->threadId = static_cast<std::uint64_t>(tidLow) | (static_cast<std::uint64_t>(tidHigh) << 32);
  r->processId = g_processId;
  r->functionId = functionId;
  r->fixedData1 = g_fixedData1;
  r->fixedData2 = g_fixedData2;
  r->type = static_cast<std::uint16_t>(type);
  r->flags = 0;
  r->probe = static_cast<std::uint16_t>(probe);
  r->itemBytes = static_cast<std::uint16_t>(itemBytes);
  r->data1 = data1;
  r->data2 = data2;
  r->rc = rc;
}

inline void writeShort(GTCB* gtcb, std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId,
                       std::uint16_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t rc) noexcept {
  RamboCB* cb = ringOf(gtcb);
  RamboReservation reservation;
  char* record = ramboReserveInline(cb, 1, &reservation);
  if (__builtin_expect(reservation.slot != ramboScratchInline(cb), 1))
    writeFixedFields(reinterpret_cast<GTraceRecord*>(record), tidLow, tidHigh, functionId, type, 0, 0, data1, data2, rc);
  ramboSyncInline(cb, &reservation);
}

// The same for records with exactly one item (the data and error points of the trace-point
// macros), when the options ask for nothing that costs: the item is taken from the list and the
// record written, and true returned; otherwise nothing is read and false returned.
// Always inlined into its two callers: as a call of its own, the item went through memory, and
// reading its type and length back as one word where they were stored as two could not be
// forwarded from the stores, which stalled every data point.
__attribute__((always_inline)) inline bool writeOneItem(std::uint32_t tidLow, std::uint32_t tidHigh,
                                                        std::uint32_t functionId, std::uint32_t type,
                                                        std::uint32_t probe, std::uint32_t data1,
                                                        std::uint32_t data2, std::uint32_t itemCount,
                                                        va_list* list) noexcept {
  GTCB* gtcb = loadRelaxed(g_pGTCB);
  if (itemCount != 1 || gtcb == nullptr || (gtcb->options.flags & kShortcutBlockers) != 0) return false;
  Item item;
  item.type = va_arg(*list, std::uint32_t);
  item.length = va_arg(*list, std::uint32_t);
  item.data = va_arg(*list, const void*);
  item.tag = false;
  Stored stored = storedForm(item);
  if (stored.bytes > GTRACE_MAX_ITEM_BYTES - 8) {
    stored.bytes = stored.recordedLength = GTRACE_MAX_ITEM_BYTES - 8;
    stored.type = GTRACE_ITEM_CUT;
  }
  RamboCB* cb = ringOf(gtcb);
  RamboReservation reservation;
  char* record = ramboReserveInline(cb, ramboSlotsFor(56 + 8 + stored.bytes), &reservation);
  if (__builtin_expect(reservation.slot != ramboScratchInline(cb), 1)) {
    auto* r = reinterpret_cast<GTraceRecord*>(record);
    writeFixedFields(r, tidLow, tidHigh, functionId, type, probe, 8 + stored.bytes, data1, data2, 0);
    r->itemCount = 1;
    auto* descriptor = reinterpret_cast<GTraceItemDescriptor*>(record + 56);
    descriptor->type = stored.type;
    descriptor->length = stored.recordedLength;
    if (stored.bytes != 0)
      std::memcpy(record + 64, stored.source != nullptr ? stored.source : static_cast<const void*>(&stored.value),
                  stored.bytes);
  }
  ramboSyncInline(cb, &reservation);
  return true;
}

void withItems(Point& p, std::uint32_t count, va_list* list) noexcept {
  p.items = true;
  p.header = 56;
  p.list = list;
  p.listCount = count;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Control functions.
// ---------------------------------------------------------------------------------------------

std::uint64_t gtraceGetAllocSize(std::uint32_t bufferSize) noexcept {
  const std::uint64_t ring = ramboGetAllocSize(bufferSize);
  return ring == 0 ? 0 : sizeof(GTCB) + ring;
}

std::uint32_t gtraceInitialize(GTCB* gtcb, const GTraceOptions* options) noexcept {
  if (options == nullptr) return ECF_INVALID_PARAMETER;
  if (options->bufferSize < RAMBO_MIN_BUFFER_SIZE || options->bufferSize > RAMBO_MAX_BUFFER_SIZE)
    return ECF_GTRACE_INVALID_BUFFER_SIZE;
  if (gtcb == nullptr) return ECF_INVALID_PARAMETER;
  const std::uint32_t type = options->traceType;
  const std::uint32_t mode = type & GTRACE_TYPE_MODE_MASK;
  if (mode == GTRACE_TYPE_PROFILE) return gtraceProfileInitialize(gtcb, options);
  if (mode == GTRACE_TYPE_COVERAGE) return gtraceCoverageInitialize(gtcb, options);
  std::uint32_t kind;
  if (type & GTRACE_TYPE_CHUNKED) kind = RAMBO_KIND_CHUNKED;
  else if (type & GTRACE_TYPE_WRAP) kind = RAMBO_KIND_CIRCULAR;
  else if (type & (GTRACE_TYPE_FILL_ONCE | GTRACE_TYPE_RANDOM_DELAY)) kind = RAMBO_KIND_FILL_ONCE;
  else return ECF_INVALID_PARAMETER;
  // The ring buffer first: it checks the size before it writes anything, so a refused size
  // leaves the whole block as it was.
  const std::uint32_t rc = ramboInitialize(ringOf(gtcb), options->bufferSize, kind);
  if (rc != 0) return rc;
  std::memset(gtcb, 0, sizeof(GTCB));
  std::memcpy(&gtcb->options, options, sizeof(GTraceOptions));
  // The random-delay mode acts through the filtered path, so its flag is on from the start.
  if (type & GTRACE_TYPE_RANDOM_DELAY) gtcb->options.flags |= GTRACE_FLAG_RANDOM_DELAY;
  __atomic_store_n(&gtcb->enabled, 0u, __ATOMIC_RELAXED);
  gtcb->stopCounter = 1;
  gtcb->initialized = 1;
  return 0;
}

std::uint32_t gtraceAttach(GTCB* gtcb, std::uint32_t processId, GTracePointCallback pointCallback,
                           GTraceDisableCallback disableCallback) noexcept {
  if (gtcb == nullptr) return ECF_INVALID_PARAMETER;
  (void)ossCanUseRegister();
  storeRelaxed(g_processId, processId);
  storeRelaxed(g_pointCallback, pointCallback);
  storeRelaxed(g_disableCallback, disableCallback);
  ramboSetCallBack(&gtraceDisable);
  if (modeOf(gtcb) == GTRACE_TYPE_PROFILE && (gtcb->options.flags & GTRACE_FLAG_PROFILE_TIMING))
    gtraceProfileAttach(gtcb);
  __atomic_store_n(&g_pGTCB, gtcb, __ATOMIC_RELEASE);
  return 0;
}

std::uint32_t gtraceDetach() noexcept {
  __atomic_store_n(&g_pGTCB, static_cast<GTCB*>(nullptr), __ATOMIC_RELEASE);
  storeRelaxed(g_pointCallback, static_cast<GTracePointCallback>(nullptr));
  storeRelaxed(g_disableCallback, static_cast<GTraceDisableCallback>(nullptr));
  return 0;
}

std::uint32_t gtraceEnable() noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  __atomic_store_n(&gtcb->enabled, 1u, __ATOMIC_RELEASE);
  return 0;
}

std::uint32_t gtraceDisable() noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  __atomic_store_n(&gtcb->enabled, 0u, __ATOMIC_RELEASE);
  GTraceDisableCallback callback = loadRelaxed(g_disableCallback);
  if (callback != nullptr) callback();
  return 0;
}

std::uint32_t gtraceSetOptions(GTraceOptions* options) noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  if (options == nullptr) return ECF_INVALID_PARAMETER;
  const std::uint32_t type = gtcb->options.traceType;
  if ((type & GTRACE_TYPE_MODE_MASK) == GTRACE_TYPE_PROFILE)
    options->flags &= ~(GTRACE_FLAG_TIMESTAMP | GTRACE_FLAG_PROFILE_TIMING);
  constexpr std::size_t from = offsetof(GTraceOptions, flags);
  std::memcpy(reinterpret_cast<char*>(&gtcb->options) + from, reinterpret_cast<const char*>(options) + from,
              sizeof(GTraceOptions) - from);
  if (type & GTRACE_TYPE_PROFILE) gtcb->options.flags |= GTRACE_FLAG_PROFILE;
  if (type & GTRACE_TYPE_RANDOM_DELAY) gtcb->options.flags |= GTRACE_FLAG_RANDOM_DELAY;
  if (type & GTRACE_TYPE_COVERAGE) gtcb->options.flags |= GTRACE_FLAG_COVERAGE;
  return 0;
}

std::uint32_t gtraceGetOptions(GTraceOptions* destination) noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  if (destination == nullptr) return ECF_INVALID_PARAMETER;
  std::memcpy(destination, &gtcb->options, sizeof(GTraceOptions));
  return 0;
}

std::uint32_t gtraceGetOptionsPtr(GTraceOptions** options) noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  if (options == nullptr) return ECF_INVALID_PARAMETER;
  *options = &gtcb->options;
  return 0;
}

std::uint32_t gtraceClear() noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  const std::uint32_t mode = modeOf(gtcb);
  if (mode == GTRACE_TYPE_PROFILE) return gtraceProfileClear(gtcb);
  if (mode == GTRACE_TYPE_COVERAGE) return gtraceCoverageClear(gtcb);
  return ramboNewSequence(ringOf(gtcb));
}

std::uint32_t gtraceSetProcessID(std::uint32_t processId) noexcept {
  storeRelaxed(g_processId, processId);
  return processId;
}
std::uint32_t gtraceSetFixedData1(std::uint32_t value) noexcept {
  storeRelaxed(g_fixedData1, value);
  return value;
}
std::uint32_t gtraceSetFixedData2(std::uint32_t value) noexcept {
  storeRelaxed(g_fixedData2, value);
  return value;
}

RamboCB* gtraceRingBuffer() noexcept {
  GTCB* gtcb = loadRelaxed(g_pGTCB);
  return gtcb == nullptr ? nullptr : ringOf(gtcb);
}

namespace {
// The initial-exec model reads the variable at a fixed offset from the thread pointer instead of
// asking the dynamic linker each time; the library's one such variable fits the static TLS space
// that the C library keeps for libraries loaded later.
__attribute__((tls_model("initial-exec"))) thread_local std::uint32_t t_threadId = 0;
}  // namespace

std::uint32_t _gtraceThreadID() noexcept {
  // The kernel's thread id, the counterpart of the Windows thread id; asked once per thread.
  std::uint32_t id = t_threadId;
  if (__builtin_expect(id == 0, 0)) t_threadId = id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  return id;
}

// ---------------------------------------------------------------------------------------------
// Dumps.
// ---------------------------------------------------------------------------------------------

std::uint32_t gtraceGetDumpHeaderBuffer(bool instantaneous, GTraceDumpHeader* header, void** data,
                                        std::uint32_t* size) noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  if (header == nullptr) return ECF_INVALID_PARAMETER;
  std::memcpy(header->eyeCatcher, kDumpEye, sizeof kDumpEye);
  std::memcpy(&header->options, &gtcb->options, sizeof(GTraceOptions));
  header->tickFactor.initialize();
  const std::uint32_t mode = modeOf(gtcb);
  if (mode == GTRACE_TYPE_PROFILE || mode == GTRACE_TYPE_COVERAGE) {
    // The table is the trace data itself; the buffer header stays empty.
    std::memset(&header->buffer, 0, sizeof header->buffer);
    if (data != nullptr) *data = ringOf(gtcb);
    if (size != nullptr) *size = gtcb->options.bufferSize;
    return 0;
  }
  return ramboGetDumpHeaderBuffer(ringOf(gtcb), instantaneous, &header->buffer, data, size);
}

std::uint32_t gtraceGetDumpTail(RamboDumpTail* tail) noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  if (tail == nullptr) return ECF_INVALID_PARAMETER;
  const std::uint32_t mode = modeOf(gtcb);
  if (mode == GTRACE_TYPE_PROFILE || mode == GTRACE_TYPE_COVERAGE) return 0;
  return ramboGetDumpTail(ringOf(gtcb), tail);
}

std::uint32_t gtraceInitializeChunkWalker(RamboChunkWalker* walker) noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  return ramboInitializeChunkWalker(ringOf(gtcb), walker);
}

std::uint32_t gtraceAutoDumpEnabled(bool on) noexcept {
  GTCB* gtcb = nullptr;
  const std::uint32_t rc = attachedBlock(&gtcb);
  if (rc != 0) return rc;
  return ramboAutoDumpEnabled(ringOf(gtcb), on);
}

namespace {

struct TraceHeaderFacts {
  std::uint32_t kind;
  std::uint32_t traceType;
  std::uint32_t bufferSize;
  std::uint64_t streamDumpLimit;
};

// Reads the facts of the trace header at the file's position and leaves the file at the buffer
// header.
std::uint32_t readTraceHeader(RamboDumpFile* file, TraceHeaderFacts* facts) noexcept {
  const std::uint64_t start = file->position();
  if (file->size() < start || file->size() - start < GTRACE_DUMP_TRACE_HEADER_SIZE)
    return ECF_GTRACE_DUMP_HEADER_TRUNCATED;
  unsigned char head[8 + 16];
  std::uint32_t got = 0, total = 0;
  while (total < sizeof head) {
    if (file->read(head + total, sizeof head - total, &got) != 0 || got == 0) return ECF_GTRACE_DUMP_HEADER_TRUNCATED;
    total += got;
  }
  if (std::memcmp(head, kDumpEye, sizeof kDumpEye) != 0) return ECF_GTRACE_INVALID_DUMP_EYE_CATCHER;
  std::memcpy(&facts->bufferSize, head + 8, 4);
  std::memcpy(&facts->traceType, head + 12, 4);
  std::memcpy(&facts->streamDumpLimit, head + 16, 8);
  facts->kind = (facts->traceType & GTRACE_TYPE_PROFILE) ? GTRACE_DUMP_KIND_PROFILE : GTRACE_DUMP_KIND_RING;
  file->seek(start + GTRACE_DUMP_TRACE_HEADER_SIZE);
  return 0;
}

}  // namespace

namespace {
std::uint32_t validateDump(RamboDumpFile* file, std::uint32_t expectedKind, std::uint32_t* called) noexcept;

// The record of a failed dump function: with the ring-buffer function that failed under it when
// there is one, else the function's own code; the item is the offset of the dump in the file.
void logDumpFailure(std::uint32_t functionId, std::uint32_t called, std::uint32_t rc, std::uint32_t probe,
                    std::uint64_t start) noexcept {
  if (called != 0)
    ossLogRC(nullptr, functionId, called, rc, rc, probe, 3, 1, &start, 8u, OSS_LOG_TYPE_UNSIGNED);
  else
    ossLog(nullptr, functionId, rc, probe, 3, 1, &start, 8u, OSS_LOG_TYPE_UNSIGNED);
}
}  // namespace

std::uint32_t gtraceValidateDumpFile(RamboDumpFile* file, std::uint32_t expectedKind) noexcept {
  std::uint32_t rc = ECF_INVALID_PARAMETER;
  GTRACE_ENTRY(ECF_FN_gtraceValidateDumpFile);
  std::uint32_t called = 0;
  const std::uint64_t start = file != nullptr ? file->position() : 0;
  if (file != nullptr) rc = validateDump(file, expectedKind, &called);
  if (rc != 0) {
    logDumpFailure(ECF_FN_gtraceValidateDumpFile, called, rc, 10, start);
    GTRACE_ERROR(ECF_FN_gtraceValidateDumpFile, 10, &rc);
  }
  GTRACE_EXIT(ECF_FN_gtraceValidateDumpFile, &rc);
  return rc;
}

namespace {

std::uint32_t validateDump(RamboDumpFile* file, std::uint32_t expectedKind, std::uint32_t* called) noexcept {
  const std::uint64_t start = file->position();
  TraceHeaderFacts facts{};
  std::uint32_t rc = readTraceHeader(file, &facts);
  if (rc == 0 && expectedKind != 0 && expectedKind != facts.kind) rc = ECF_INVALID_PARAMETER;
  if (rc == 0) {
    if (facts.kind == GTRACE_DUMP_KIND_PROFILE) {
      // A profile dump has no buffer header (its 16 bytes are left empty) but the whole table
      // after it; that is what it is checked against.
      const std::uint64_t need = start + sizeof(GTraceDumpHeader) + facts.bufferSize;
      if (file->size() < need) rc = ECF_RAMBO_DUMP_TRUNCATED;
    } else {
      rc = ramboValidateDumpFile(file);
      if (rc != 0) *called = ECF_FN_ramboValidateDumpFile;
    }
  }
  file->seek(start);
  return rc;
}

std::uint32_t openParser(RamboDumpFile* file, GTraceDumpParser* parser, bool forward, std::uint32_t* called) noexcept {
  std::memset(parser, 0, sizeof *parser);
  TraceHeaderFacts facts{};
  const std::uint32_t rc = readTraceHeader(file, &facts);
  if (rc != 0) return rc;
  parser->kind = facts.kind;
  parser->traceType = facts.traceType;
  parser->streamDumpLimit = facts.streamDumpLimit;
  if (facts.kind == GTRACE_DUMP_KIND_PROFILE) return gtraceProfileOpenParser(file, parser);
  *called = ECF_FN_ramboOpenDumpFileParser;
  return ramboOpenDumpFileParser(file, &parser->rambo, forward, facts.streamDumpLimit != 0);
}

}  // namespace

std::uint32_t gtraceOpenDumpFileParser(RamboDumpFile* file, GTraceDumpParser* parser, bool forward) noexcept {
  std::uint32_t rc = ECF_INVALID_PARAMETER;
  GTRACE_ENTRY(ECF_FN_gtraceOpenDumpFileParser);
  std::uint32_t called = 0;
  const std::uint64_t start = file != nullptr ? file->position() : 0;
  if (file != nullptr && parser != nullptr) rc = openParser(file, parser, forward, &called);
  if (rc != 0) {
    logDumpFailure(ECF_FN_gtraceOpenDumpFileParser, called, rc, 10, start);
    GTRACE_ERROR(ECF_FN_gtraceOpenDumpFileParser, 10, &rc);
  }
  GTRACE_EXIT(ECF_FN_gtraceOpenDumpFileParser, &rc);
  return rc;
}

std::uint32_t gtraceParseRecords(RamboDumpFile* file, GTraceDumpParser* parser, std::uint64_t* offset,
                                 void* destination, std::uint32_t destinationSize) noexcept {
  if (file == nullptr || parser == nullptr) return 0;
  if (parser->kind == GTRACE_DUMP_KIND_PROFILE)
    return gtraceProfileParse(file, parser, offset, destination, destinationSize);
  return ramboParseDumpFile(file, &parser->rambo, offset, destination, destinationSize);
}

std::uint32_t gtraceCloseDumpFileParser(GTraceDumpParser* parser) noexcept {
  if (parser == nullptr) return ECF_INVALID_PARAMETER;
  return ramboCloseDumpFileParser(&parser->rambo);
}

// ---------------------------------------------------------------------------------------------
// Trace points.
// ---------------------------------------------------------------------------------------------

void _gtraceEntry(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t data1,
                  std::uint32_t data2) noexcept {
  GTCB* gtcb = loadRelaxed(g_pGTCB);
  if (gtcb != nullptr && (gtcb->options.flags & kShortcutBlockers) == 0) {
    writeShort(gtcb, tidLow, tidHigh, functionId, GTRACE_REC_ENTRY, data1, data2, 0);
    return;
  }
  Point p = makePoint(tidLow, tidHigh, functionId, GTRACE_REC_ENTRY, 0, data1, data2);
  tracePoint(p);
}

void _gtraceEntryVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t data1,
                     std::uint32_t data2, std::uint32_t itemCount, ...) noexcept {
  va_list ap;
  va_start(ap, itemCount);
  Point p = makePoint(tidLow, tidHigh, functionId, GTRACE_REC_ENTRY, 0, data1, data2);
  withItems(p, itemCount, &ap);
  tracePoint(p);
  va_end(ap);
}

void _gtraceExit(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, const std::uint32_t* rc,
                 std::uint32_t data1, std::uint32_t data2) noexcept {
  GTCB* gtcb = loadRelaxed(g_pGTCB);
  if (gtcb != nullptr && (gtcb->options.flags & kShortcutBlockers) == 0) {
    writeShort(gtcb, tidLow, tidHigh, functionId, GTRACE_REC_EXIT, data1, data2, rc != nullptr ? *rc : 0);
    return;
  }
  Point p = makePoint(tidLow, tidHigh, functionId, GTRACE_REC_EXIT, 0, data1, data2);
  p.rc = rc;
  p.counts = Counts::kExit;
  tracePoint(p);
}

void _gtraceExitVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, const std::uint32_t* rc,
                    std::uint32_t data1, std::uint32_t data2, std::uint32_t itemCount, ...) noexcept {
  va_list ap;
  va_start(ap, itemCount);
  Point p = makePoint(tidLow, tidHigh, functionId, GTRACE_REC_EXIT, 0, data1, data2);
  p.rc = rc;
  p.counts = Counts::kExit;
  withItems(p, itemCount, &ap);
  tracePoint(p);
  va_end(ap);
}

void _gtraceVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                std::uint32_t type, std::uint32_t itemCount, ...) noexcept {
  va_list ap;
  va_start(ap, itemCount);
  if (!writeOneItem(tidLow, tidHigh, functionId, type, probe, 0, 0, itemCount, &ap)) {
    Point p = makePoint(tidLow, tidHigh, functionId, type, probe);
    withItems(p, itemCount, &ap);
    tracePoint(p);
  }
  va_end(ap);
}

void _gtraceError(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                  std::uint32_t type, std::uint32_t data1, std::uint32_t data2) noexcept {
  Point p = makePoint(tidLow, tidHigh, functionId, type, probe, data1, data2);
  p.counts = Counts::kError;
  tracePoint(p);
}

void _gtraceErrorVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                     std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t itemCount,
                     ...) noexcept {
  va_list ap;
  va_start(ap, itemCount);
  if (!writeOneItem(tidLow, tidHigh, functionId, type, probe, data1, data2, itemCount, &ap)) {
    Point p = makePoint(tidLow, tidHigh, functionId, type, probe, data1, data2);
    p.counts = Counts::kError;
    withItems(p, itemCount, &ap);
    tracePoint(p);
  }
  va_end(ap);
}

void _gtraceErrorRc(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                    std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t rc,
                    std::uint32_t extra1, std::uint32_t extra2) noexcept {
  Point p = makePoint(tidLow, tidHigh, functionId, type, probe, data1, data2);
  p.rcValue = rc;
  p.extra1 = extra1;
  p.extra2 = extra2;
  p.header = GTRACE_EXTRA_RECORD;
  tracePoint(p);
}

void _gtraceErrorRcVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                       std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t rc,
                       std::uint32_t extra1, std::uint32_t extra2, std::uint32_t itemCount, ...) noexcept {
  va_list ap;
  va_start(ap, itemCount);
  Point p = makePoint(tidLow, tidHigh, functionId, type, probe, data1, data2);
  p.rcValue = rc;
  p.extra1 = extra1;
  p.extra2 = extra2;
  withItems(p, itemCount, &ap);
  p.header = GTRACE_EXTRA_RECORD;
  tracePoint(p);
  va_end(ap);
}

void _gtraceErrorTrans(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                       std::uint32_t data1, std::uint32_t data2, std::uint32_t extra1, std::uint32_t extra2) noexcept {
  Point p = makePoint(tidLow, tidHigh, functionId, GTRACE_REC_ERROR_TRANS, probe, data1, data2);
  p.extra1 = extra1;
  p.extra2 = extra2;
  p.header = GTRACE_EXTRA_RECORD;
  tracePoint(p);
}

void _gtraceMarker(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                   std::uint32_t typeArg) noexcept {
  Point p = makePoint(tidLow, tidHigh, functionId, typeArg & 0xFFFF, probe);
  p.recordFlags = (typeArg & 0x10000) ? 2 : 0;
  tracePoint(p);
}

void _gtraceMarkerVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                      std::uint32_t typeArg, std::uint32_t itemCount, ...) noexcept {
  va_list ap;
  va_start(ap, itemCount);
  Point p = makePoint(tidLow, tidHigh, functionId, typeArg & 0xFFFF, probe);
  p.recordFlags = (typeArg & 0x10000) ? 2 : 0;
  withItems(p, itemCount, &ap);
  tracePoint(p);
  va_end(ap);
}

void _gtraceEvent(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                  std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t itemType,
                  std::uint32_t itemLength, const void* itemData) noexcept {
  Point p = makePoint(tidLow, tidHigh, functionId, type, probe, data1, data2);
  withItems(p, 0, nullptr);
  p.hasInline = true;
  p.inlineType = itemType;
  p.inlineLength = itemLength;
  p.inlineData = itemData;
  tracePoint(p);
}

void _gtraceEventVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                     std::uint32_t type, std::uint32_t data1, std::uint32_t data2, std::uint32_t itemType,
                     std::uint32_t itemLength, const void* itemData, std::uint32_t itemCount,
                     va_list* itemList) noexcept {
  Point p = makePoint(tidLow, tidHigh, functionId, type, probe, data1, data2);
  withItems(p, itemCount, itemList);
  p.forwarded = true;
  p.hasInline = true;
  p.inlineType = itemType;
  p.inlineLength = itemLength;
  p.inlineData = itemData;
  tracePoint(p);
}

void _gtraceCorrelatorVar(std::uint32_t tidLow, std::uint32_t tidHigh, std::uint32_t functionId, std::uint32_t probe,
                          std::uint32_t correlator, std::uint32_t data1, std::uint32_t data2, std::uint32_t itemCount,
                          ...) noexcept {
  va_list ap;
  va_start(ap, itemCount);
  Point p = makePoint(tidLow, tidHigh, functionId, GTRACE_REC_CORRELATOR, probe, data1, data2);
  p.rcValue = correlator;
  withItems(p, itemCount, &ap);
  tracePoint(p);
  va_end(ap);
}
