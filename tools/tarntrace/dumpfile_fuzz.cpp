// Fuzz target of the trace dump reader: validation and the parser, forwards and backwards, over
// whatever bytes. The input is read from an exact-size copy, so AddressSanitizer catches any read
// past the file. Three shapes reach the reader's parts:
//   first byte 0: the bytes are a whole trace dump (trace header, buffer header, ...);
//   first byte 1: the bytes follow a valid stream buffer header (slot groups of any shape);
//   first byte 2: the bytes are laid into the image of a 512 KiB buffer at an offset they
//                 choose, with a tail whose counter, index and sequence start they give.
// Every record the parser returns must lie inside the data and have the length of whole slots.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "osse/diag/trace.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void ReadAll(const std::vector<std::uint8_t>& bytes, bool wholeTraceDump, bool circularStream) {
  // An exact-size heap copy: one byte more would hide a read past the end.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[bytes.size() + 1]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  const std::uint8_t* data = bytes.empty() ? nullptr : copy.get();
  std::vector<std::uint8_t> destination(RAMBO_MAX_RECORD_SLOTS * 64);
  for (bool forward : {true, false}) {
    RamboDumpFile file;
    file.openMemory(data, bytes.size());
    std::uint32_t rc;
    if (wholeTraceDump) {
      const std::uint32_t valid = gtraceValidateDumpFile(&file, 0);
      Check(file.position() == 0);
      GTraceDumpParser parser;
      rc = gtraceOpenDumpFileParser(&file, &parser, forward);
      if (valid != 0) Check(rc != 0);
      if (rc != 0) continue;
      std::uint64_t offset = 0;
      std::uint32_t length, count = 0;
      while ((length = gtraceParseRecords(&file, &parser, &offset, destination.data(),
                                          static_cast<std::uint32_t>(count % 3 == 0 ? 40 : destination.size()))) != 0) {
        Check((length + 12) % 64 == 0 && offset + length + 4 <= bytes.size());
        Check(++count <= bytes.size() / 64);
      }
      gtraceCloseDumpFileParser(&parser);
    } else {
      (void)ramboValidateDumpFile(&file);
      Check(file.position() == 0);
      RamboDumpParser parser;
      rc = ramboOpenDumpFileParser(&file, &parser, forward, circularStream);
      if (rc != 0) continue;
      std::uint64_t offset = 0;
      std::uint32_t length, count = 0;
      while ((length = ramboParseDumpFile(&file, &parser, &offset, count % 2 ? nullptr : destination.data(),
                                          static_cast<std::uint32_t>(destination.size()))) != 0) {
        Check((length + 12) % 64 == 0 && offset + length + 4 <= bytes.size());
        Check(++count <= bytes.size() / 64);
      }
      std::uint8_t flag = 0;
      ramboDidBufferWrap(&parser, &flag);
      ramboWasBufferTruncated(&parser, &flag);
      ramboCloseDumpFileParser(&parser);
    }
  }
}

template <typename T>
T Take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = size < sizeof(T) ? size : sizeof(T);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t shape = data[0] % 3;
  ++data;
  --size;
  if (shape == 0) {
    ReadAll(std::vector<std::uint8_t>(data, data + size), true, false);
  } else if (shape == 1) {
    RamboDumpHeader header{};
    std::memcpy(header.eyeCatcher, "@HEAD\r\n", 8);
    header.bufferSize = 0x80000;
    header.dumpType = RAMBO_DUMP_STREAM;
    std::vector<std::uint8_t> bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    bytes.insert(bytes.end(), data, data + size);
    ReadAll(bytes, false, false);
    ReadAll(bytes, false, true);
  } else {
    RamboDumpHeader header{};
    std::memcpy(header.eyeCatcher, "@HEAD\r\n", 8);
    header.bufferSize = 0x80000;
    header.dumpType = RAMBO_DUMP_INSTANTANEOUS;
    header.circular = Take<std::uint8_t>(data, size) & 1;
    RamboDumpTail tail{};
    std::memcpy(tail.eyeCatcher, "@TAIL\r\n", 8);
    tail.counter = Take<std::uint32_t>(data, size);
    tail.index = Take<std::uint16_t>(data, size) % 8192;
    tail.sequenceStart = Take<std::uint32_t>(data, size);
    tail.truncated = Take<std::uint8_t>(data, size) & 1;
    const std::size_t at = (Take<std::uint16_t>(data, size) % 8192) * 64;
    std::vector<std::uint8_t> bytes(sizeof header + 0x80000 + sizeof tail, 0);
    std::memcpy(bytes.data(), &header, sizeof header);
    const std::size_t n = size < 0x80000 - at ? size : 0x80000 - at;
    if (n != 0) std::memcpy(bytes.data() + sizeof header + at, data, n);
    std::memcpy(bytes.data() + sizeof header + 0x80000, &tail, sizeof tail);
    ReadAll(bytes, false, false);
  }
  return 0;
}
