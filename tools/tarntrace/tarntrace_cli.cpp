// tarntrace: see tarntrace_cli.h for the command line.
#include "tools/tarntrace/tarntrace_cli.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "osse/diag/ecf.h"
#include "osse/diag/trace.h"
#include "osse/sys/timestring.h"

namespace tarn::tools {

namespace {

constexpr const char* kUsage =
    "usage: tarntrace format DUMP [--reverse]\n"
    "       tarntrace info DUMP\n";

std::string Hex32(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, v);
  return text;
}

std::string NameOr(const char* name) { return name != nullptr ? name : "?"; }

void ReportCode(std::ostream& err, const std::string& path, std::uint32_t rc) {
  err << "ERROR: " << path << ": " << NameOr(ecfErrorGetCodeName(rc)) << " (" << Hex32(rc)
      << "): " << NameOr(ecfErrorGetDescription(rc)) << "\n";
}

const char* TypeName(std::uint32_t type) {
  switch (type) {
    case 1: return "entry";
    case 2: return "exit";
    case 3: return "data";
    case 4: return "error";
    case 5: return "error (counted)";
    case 12: return "correlator";
    case 13: return "error translation";
    default: return nullptr;
  }
}

template <typename T>
T Load(const std::uint8_t* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

// Where a record's item descriptors start: 56, or 64 for records that carry two extra words
// before them. The item-bytes field tells which: it counts 8 per descriptor plus the lengths,
// and 8 more when the extra words are there. 0 when the items do not add up (a damaged record).
std::uint32_t ItemsAt(const std::uint8_t* rec, std::uint32_t length) {
  const std::uint32_t itemBytes = Load<std::uint16_t>(rec + 38);
  const std::uint32_t count = Load<std::uint32_t>(rec + 52);
  for (std::uint32_t at : {56u, 64u}) {
    if (count > itemBytes / 8 || at + 8ull * count > length) continue;
    std::uint64_t sum = at == 64 ? 8 : 0;
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint32_t itemLength = Load<std::uint32_t>(rec + at + 8 * k + 4);
      sum += 8 + (itemLength == GTRACE_ITEM_NULL_LENGTH ? 0 : itemLength);
    }
    if (sum == itemBytes && 56ull + itemBytes <= length) return at;
  }
  return 0;
}

void HexDump(std::ostream& out, const std::uint8_t* data, std::uint32_t length) {
  char line[OSS_HEXDUMP_LINE_SIZE];
  for (std::uint32_t at = 0; at < length; at += 16) {
    const std::uint32_t n = length - at < 16 ? length - at : 16;
    ossHexDumpLine(line, data + at, n, 0);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    out << "      " << text << "\n";
  }
}

void FormatRecord(std::ostream& out, std::uint64_t number, std::uint32_t sequence, std::uint64_t offset,
                  const std::uint8_t* rec, std::uint32_t length) {
  const std::uint32_t fid = Load<std::uint32_t>(rec + 20);
  const std::uint32_t type = Load<std::uint16_t>(rec + 32);
  const std::uint32_t rc = Load<std::uint32_t>(rec + 48);
  const char* typeName = TypeName(type);
  char text[64];
  const std::uint32_t slots = (length + 12) / RAMBO_SLOT_SIZE;
  out << "Record " << number << "  (file offset " << offset << ", " << slots << " slot" << (slots > 1 ? "s" : "")
      << ")\n";
  out << "  sequence    : " << sequence << "\n";
  std::snprintf(text, sizeof text, "0x%016" PRIX64, Load<std::uint64_t>(rec + 8));
  out << "  thread      : " << text << "\n";
  out << "  process     : " << Load<std::uint32_t>(rec + 16) << "\n";
  out << "  function    : " << NameOr(ecfGetProductName(fid)) << " " << NameOr(ecfGetComponentShortName(fid)) << " "
      << NameOr(ecfGetFunctionName(fid)) << " (" << Hex32(fid) << ")\n";
  out << "  type        : " << type;
  if (typeName != nullptr) out << " (" << typeName << ")";
  if (Load<std::uint16_t>(rec + 34) & 2) out << ", flagged";
  out << "\n";
  out << "  probe       : " << Load<std::uint16_t>(rec + 36) << "\n";
  out << "  data        : " << Hex32(Load<std::uint32_t>(rec + 40)) << " " << Hex32(Load<std::uint32_t>(rec + 44)) << "\n";
  if (type == GTRACE_REC_CORRELATOR) {
    out << "  correlator  : " << Hex32(rc) << "\n";
  } else if (type == GTRACE_REC_EXIT || rc != 0) {
    out << "  return code : " << Hex32(rc);
    if (const char* name = ecfErrorGetCodeName(rc)) out << " " << name;
    out << "\n";
  }
  const std::uint64_t timestamp = Load<std::uint64_t>(rec + 0);
  if (timestamp != 0) out << "  timestamp   : " << timestamp << "\n";
  const std::uint32_t itemBytes = Load<std::uint16_t>(rec + 38);
  if (itemBytes == 0) return;
  const std::uint32_t at = ItemsAt(rec, length);
  if (at == 0) {
    out << "  items       : damaged (" << Load<std::uint32_t>(rec + 52) << " items, " << itemBytes << " bytes)\n";
    return;
  }
  if (at == 64)
    out << "  extra       : " << Hex32(Load<std::uint32_t>(rec + 56)) << " " << Hex32(Load<std::uint32_t>(rec + 60)) << "\n";
  const std::uint32_t count = Load<std::uint32_t>(rec + 52);
  std::uint32_t bytesAt = at + 8 * count;
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t itemType = Load<std::uint32_t>(rec + at + 8 * k);
    const std::uint32_t itemLength = Load<std::uint32_t>(rec + at + 8 * k + 4);
    out << "  item " << (k + 1) << "      : type " << itemType << ", length ";
    if (itemLength == GTRACE_ITEM_NULL_LENGTH) {
      out << "none (null address)\n";
      continue;
    }
    out << itemLength << (itemType == GTRACE_ITEM_CUT ? " (cut)" : "") << "\n";
    HexDump(out, rec + bytesAt, itemLength);
    bytesAt += itemLength;
  }
}

struct DumpFacts {
  std::uint32_t rc = 0;
  std::unique_ptr<GTraceDumpHeader> header;
  RamboDumpTail tail{};
  bool hasTail = false;
};

// Opens and validates a dump; reports a failure on err.
bool OpenDump(const std::string& path, RamboDumpFile& file, DumpFacts& facts, std::ostream& err) {
  std::uint32_t rc = file.open(path.c_str());
  if (rc == 0) rc = gtraceValidateDumpFile(&file, 0);
  if (rc != 0) {
    ReportCode(err, path, rc);
    return false;
  }
  facts.header = std::make_unique<GTraceDumpHeader>();
  std::uint32_t got = 0;
  file.seek(0);
  file.read(facts.header.get(), sizeof(GTraceDumpHeader), &got);
  if (facts.header->buffer.dumpType == RAMBO_DUMP_INSTANTANEOUS) {
    file.seek(sizeof(GTraceDumpHeader) + static_cast<std::uint64_t>(facts.header->buffer.bufferSize));
    file.read(&facts.tail, sizeof facts.tail, &got);
    facts.hasTail = got == sizeof facts.tail;
  }
  file.seek(0);
  return true;
}

int Format(const std::string& path, bool reverse, std::ostream& out, std::ostream& err) {
  RamboDumpFile file;
  DumpFacts facts;
  if (!OpenDump(path, file, facts, err)) return 1;
  GTraceDumpParser parser;
  const std::uint32_t rc = gtraceOpenDumpFileParser(&file, &parser, !reverse);
  if (rc != 0) {
    ReportCode(err, path, rc);
    return 1;
  }
  std::vector<std::uint8_t> record(ramboRecordBytes(RAMBO_MAX_RECORD_SLOTS));
  std::uint64_t number = 0;
  std::uint64_t offset = 0;
  for (;;) {
    const std::uint32_t length =
        gtraceParseRecords(&file, &parser, &offset, record.data(), static_cast<std::uint32_t>(record.size()));
    if (length == 0) break;
    // The slot header in front of the record holds its sequence.
    const std::uint64_t keep = file.position();
    std::uint32_t sequence = 0, got = 0;
    file.seek(offset - RAMBO_SLOT_HEADER_SIZE);
    file.read(&sequence, sizeof sequence, &got);
    file.seek(keep);
    FormatRecord(out, ++number, sequence, offset, record.data(), length);
  }
  gtraceCloseDumpFileParser(&parser);
  out << number << " record" << (number == 1 ? "" : "s") << "\n";
  return 0;
}

int Info(const std::string& path, std::ostream& out, std::ostream& err) {
  RamboDumpFile file;
  DumpFacts facts;
  if (!OpenDump(path, file, facts, err)) return 1;
  const GTraceOptions& o = facts.header->options;
  const RamboDumpHeader& b = facts.header->buffer;
  out << "Dump            : " << path << "\n";
  out << "Buffer size     : " << Hex32(o.bufferSize) << "\n";
  out << "Trace type      : " << Hex32(o.traceType) << "\n";
  out << "Flags           : " << Hex32(o.flags) << "\n";
  out << "Stream limit    : " << o.streamDumpLimit << "\n";
  out << "Stop count      : " << o.stopCount << "\n";
  out << "Stop rc         : " << Hex32(o.stopRc) << "\n";
  out << "Filters         : " << o.filterCount << "\n";
  if (o.traceType & GTRACE_TYPE_PROFILE) {
    out << "Dump type       : profile\n";
    return 0;
  }
  out << "Dump type       : " << (b.dumpType == RAMBO_DUMP_INSTANTANEOUS ? "instantaneous" : "stream") << "\n";
  out << "Circular        : " << (b.circular ? "yes" : "no") << "\n";
  if (facts.hasTail) {
    out << "Counter         : " << facts.tail.counter << "\n";
    out << "Next slot       : " << facts.tail.index << "\n";
    out << "Sequence start  : " << facts.tail.sequenceStart << "\n";
  }
  GTraceDumpParser parser;
  const std::uint32_t rc = gtraceOpenDumpFileParser(&file, &parser, true);
  if (rc != 0) {
    ReportCode(err, path, rc);
    return 1;
  }
  std::uint8_t wrapped = 0, truncated = 0;
  ramboDidBufferWrap(&parser.rambo, &wrapped);
  ramboWasBufferTruncated(&parser.rambo, &truncated);
  std::uint64_t records = 0, offset = 0;
  while (gtraceParseRecords(&file, &parser, &offset, nullptr, 0) != 0) ++records;
  gtraceCloseDumpFileParser(&parser);
  out << "Wrapped         : " << (wrapped ? "yes" : "no") << "\n";
  out << "Truncated       : " << (truncated ? "yes" : "no") << "\n";
  out << "Records         : " << records << "\n";
  return 0;
}

}  // namespace

int RunTarntrace(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if ((args.size() == 2 || args.size() == 3) && args[0] == "format") {
    bool reverse = false, ok = true;
    std::string path;
    for (std::size_t k = 1; k < args.size(); ++k) {
      if (args[k] == "--reverse" && !reverse) reverse = true;
      else if (path.empty() && args[k] != "--reverse") path = args[k];
      else ok = false;
    }
    if (ok && !path.empty()) return Format(path, reverse, out, err);
  } else if (args.size() == 2 && args[0] == "info") {
    return Info(args[1], out, err);
  }
  err << "ERROR: wrong arguments\n" << kUsage;
  return 1;
}

std::uint32_t WriteTraceDump(const char* path) {
  if (path == nullptr) return ECF_INVALID_PARAMETER;
  auto header = std::make_unique<GTraceDumpHeader>();
  void* data = nullptr;
  std::uint32_t size = 0;
  std::uint32_t rc = gtraceGetDumpHeaderBuffer(true, header.get(), &data, &size);
  if (rc != 0) return rc;
  RamboDumpTail tail{};
  rc = gtraceGetDumpTail(&tail);
  if (rc != 0) return rc;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(header.get()), sizeof(GTraceDumpHeader));
  file.write(static_cast<const char*>(data), size);
  file.write(reinterpret_cast<const char*>(&tail), sizeof tail);
  file.close();
  return file ? 0 : ECF_FAILED;
}

}  // namespace tarn::tools
