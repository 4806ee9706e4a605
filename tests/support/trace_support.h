// A trace control block for one test: allocated, initialised with the options the test sets,
// attached and enabled; dumps of it written into memory or a file and read back record by record.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <vector>

#include "osse/diag/trace.h"

namespace tarn::test {

class TraceBlock {
 public:
  // Options start zeroed with the given buffer size and type.
  explicit TraceBlock(std::uint32_t traceType = GTRACE_TYPE_WRAP, std::uint32_t bufferSize = 0x80000)
      : options_(static_cast<GTraceOptions*>(std::calloc(1, sizeof(GTraceOptions)))) {
    options_->bufferSize = bufferSize;
    options_->traceType = traceType;
    const std::uint64_t size = gtraceGetAllocSize(bufferSize == 0 ? 0x80000 : bufferSize);
    bytes_ = size == 0 ? gtraceGetAllocSize(0x80000) : size;
    memory_ = static_cast<char*>(std::aligned_alloc(64, (bytes_ + 63) / 64 * 64));
    std::memset(memory_, 0x5A, bytes_);
  }
  ~TraceBlock() {
    gtraceDetach();
    std::free(memory_);
    std::free(options_);
  }
  TraceBlock(const TraceBlock&) = delete;
  TraceBlock& operator=(const TraceBlock&) = delete;

  GTraceOptions& options() { return *options_; }
  GTCB* gtcb() { return reinterpret_cast<GTCB*>(memory_); }
  RamboCB* ring() { return reinterpret_cast<RamboCB*>(memory_ + sizeof(GTCB)); }
  std::uint64_t bytes() const { return bytes_; }

  std::uint32_t initialize() { return gtraceInitialize(gtcb(), options_); }
  // Initialise, attach (process id 4242) and enable; 0 when all went well.
  std::uint32_t start(GTracePointCallback point = nullptr, GTraceDisableCallback disable = nullptr) {
    std::uint32_t rc = initialize();
    if (rc == 0) rc = gtraceAttach(gtcb(), 4242, point, disable);
    if (rc == 0) rc = gtraceEnable();
    return rc;
  }

  // An instantaneous dump of the attached block, as a controlling tool writes it.
  std::vector<std::uint8_t> imageDump() {
    auto header = std::make_unique<GTraceDumpHeader>();
    void* data = nullptr;
    std::uint32_t size = 0;
    RamboDumpTail tail{};
    if (gtraceGetDumpHeaderBuffer(true, header.get(), &data, &size) != 0) return {};
    if (gtraceGetDumpTail(&tail) != 0) return {};
    std::vector<std::uint8_t> out(sizeof(GTraceDumpHeader) + size + sizeof tail);
    std::memcpy(out.data(), header.get(), sizeof(GTraceDumpHeader));
    std::memcpy(out.data() + sizeof(GTraceDumpHeader), data, size);
    std::memcpy(out.data() + sizeof(GTraceDumpHeader) + size, &tail, sizeof tail);
    return out;
  }

  // Every record of the block, oldest first; each the bytes the reader returns (64n - 12).
  std::vector<std::vector<std::uint8_t>> records() { return readRecords(imageDump(), true); }

  static std::vector<std::vector<std::uint8_t>> readRecords(const std::vector<std::uint8_t>& dump, bool forward) {
    std::vector<std::vector<std::uint8_t>> out;
    RamboDumpFile file;
    file.openMemory(dump.data(), dump.size());
    GTraceDumpParser parser;
    if (gtraceOpenDumpFileParser(&file, &parser, forward) != 0) return out;
    std::vector<std::uint8_t> buffer(RAMBO_MAX_RECORD_SLOTS * 64);
    std::uint64_t offset = 0;
    for (;;) {
      const std::uint32_t length =
          gtraceParseRecords(&file, &parser, &offset, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
      if (length == 0) break;
      out.emplace_back(buffer.begin(), buffer.begin() + length);
    }
    gtraceCloseDumpFileParser(&parser);
    return out;
  }

 private:
  GTraceOptions* options_;
  std::uint64_t bytes_;
  char* memory_;
};

// A trace point as the point callback sees it: its kind, function and probe, and for the exit
// kinds the return code (0 for the others).
struct SeenPoint {
  std::uint32_t type;
  std::uint32_t functionId;
  std::uint32_t probe;
  std::uint32_t rc;
  bool operator==(const SeenPoint&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const SeenPoint& p) {
  return out << "{type " << p.type << ", function 0x" << std::hex << p.functionId << std::dec << ", probe " << p.probe
             << ", rc 0x" << std::hex << p.rc << std::dec << "}";
}

// Collects, in order, the trace points of the functions a test names, through the point
// callback of a TraceBlock started with PointCollector::callback. One collector at a time.
class PointCollector {
 public:
  explicit PointCollector(std::initializer_list<std::uint32_t> functions) : functions_(functions) { current() = this; }
  ~PointCollector() { current() = nullptr; }
  PointCollector(const PointCollector&) = delete;
  PointCollector& operator=(const PointCollector&) = delete;

  static void callback(std::uint32_t type, std::uint32_t functionId, std::uint32_t probe, const std::uint32_t* rc,
                       std::uint32_t, void*) {
    PointCollector* self = current();
    if (self == nullptr) return;
    if (std::find(self->functions_.begin(), self->functions_.end(), functionId) == self->functions_.end()) return;
    const bool exit = type == GTRACE_REC_EXIT;
    self->points_.push_back({type, functionId, probe, exit && rc != nullptr ? *rc : 0u});
  }

  const std::vector<SeenPoint>& points() const { return points_; }
  void clear() { points_.clear(); }

 private:
  static PointCollector*& current() {
    static PointCollector* collector = nullptr;
    return collector;
  }
  std::vector<std::uint32_t> functions_;
  std::vector<SeenPoint> points_;
};

template <typename T>
T field(const std::vector<std::uint8_t>& record, std::size_t offset) {
  T value{};
  if (offset + sizeof(T) <= record.size()) std::memcpy(&value, record.data() + offset, sizeof(T));
  return value;
}

}  // namespace tarn::test
