// A trace control block for one test: allocated, initialised with the options the test sets,
// attached and enabled; dumps of it written into memory or a file and read back record by record.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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

template <typename T>
T field(const std::vector<std::uint8_t>& record, std::size_t offset) {
  T value{};
  if (offset + sizeof(T) <= record.size()) std::memcpy(&value, record.data() + offset, sizeof(T));
  return value;
}

}  // namespace tarn::test
