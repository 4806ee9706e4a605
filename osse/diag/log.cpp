// Diagnostic logging. See log.h.
#include "osse/diag/log.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "osse/diag/ecf.h"
#include "osse/diag/logfile.h"
#include "osse/diag/syserror.h"
#include "osse/diag/tracepoints.h"
#include "osse/sys/timestring.h"
#include "platform/diagnostics.h"

namespace {

OSSLogFac g_defaultFacility = {};
std::atomic<OSSLogCallback> g_callback{nullptr};
// Set while a record is being written anywhere in the process. Taken with an exchange, so that
// of two threads arriving together exactly one writes and the other drops its record.
std::atomic<std::uint8_t> g_logInProgress{0};

constexpr std::uint32_t kRecordLimit = OSS_LOG_RECORD_SIZE - 1;  // characters of a whole record
constexpr std::uint32_t kHeaderLimit = OSS_LOG_RECORD_SIZE - 3;  // characters of the fixed part
constexpr std::uint32_t kDumpLineBudget = 61;                    // characters reserved per line
constexpr std::uint32_t kDumpHeadingBudget = 42;                 // heading and closing "\r\n"

enum class Caller { Log, LogRC, LogSysRC };

OSSLogFac* resolve(OSSLogFac* facility) noexcept { return facility != nullptr ? facility : &g_defaultFacility; }

bool isOpen(const OSSLogFac* facility) noexcept { return __atomic_load_n(&facility->open, __ATOMIC_ACQUIRE) != 0; }

const char* orEmpty(const char* text) noexcept { return text != nullptr ? text : ""; }

const char* levelName(std::uint32_t level) noexcept {
  switch (level) {
    case 1: return "Severe";
    case 2:
    case 3: return "Error";
    case 4: return "Warning";
    case 5: return "Info";
    case 6: return "Event";
    default: return "Unknown";
  }
}

// Step 4 of a record: severity 2 counts as 3; level 6 writes only events, any other level
// writes events and every non-zero severity up to the level.
bool passesFilter(std::uint32_t facilityLevel, std::uint32_t level) noexcept {
  const std::uint32_t severity = level == 2 ? 3 : level;
  if (facilityLevel == 6) return severity == 6;
  return severity == 6 || (severity != 0 && severity <= facilityLevel);
}

// Appends formatted text to the record, never past its limit: what does not fit is cut.
class RecordWriter {
 public:
  RecordWriter(char* buffer, std::uint32_t limit) noexcept : m_buffer(buffer), m_limit(limit) { m_buffer[0] = '\0'; }

  void setLimit(std::uint32_t limit) noexcept { m_limit = std::max(limit, m_length); }
  std::uint32_t length() const noexcept { return m_length; }
  std::uint32_t room() const noexcept { return m_limit - m_length; }
  bool full() const noexcept { return m_length >= m_limit; }
  const char* text() const noexcept { return m_buffer; }

  __attribute__((format(printf, 2, 3))) void append(const char* format, ...) noexcept {
    if (full()) return;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(m_buffer + m_length, m_limit - m_length + 1, format, arguments);
    va_end(arguments);
    if (written < 0) {
      m_buffer[m_length] = '\0';
      return;
    }
    m_length = std::min(m_limit, m_length + static_cast<std::uint32_t>(written));
  }

  void appendBytes(const char* text, std::uint32_t count) noexcept {
    count = std::min(count, room());
    std::memcpy(m_buffer + m_length, text, count);
    m_length += count;
    m_buffer[m_length] = '\0';
  }

 private:
  char* m_buffer;
  std::uint32_t m_limit;
  std::uint32_t m_length = 0;
};

// The hex dump: a heading with the bytes shown (and "of" the full length when fewer are shown),
// then whole lines of 16 bytes, as many as the rest of the record has room for.
void renderDump(RecordWriter& out, const unsigned char* data, std::uint32_t length) noexcept {
  std::uint32_t shown = std::min(length, OSS_LOG_ITEM_MAX_BYTES);
  const std::uint32_t room = out.room() > kDumpHeadingBudget ? out.room() - kDumpHeadingBudget : 0;
  const std::uint32_t linesThatFit = room / kDumpLineBudget;
  if ((shown + 15) / 16 > linesThatFit) shown = linesThatFit * 16;

  out.append("<hexdump>, %u bytes", shown);
  if (shown < length) out.append("of %u", length);
  for (std::uint32_t offset = 0; offset < shown; offset += 16) {
    const std::uint32_t count = std::min<std::uint32_t>(16, shown - offset);
    char line[80];
    std::uint32_t used = 0;
    line[used++] = '\r';
    line[used++] = '\n';
    for (std::uint32_t i = 0; i < 16; ++i) {
      if (i < count) {
        static const char kDigits[] = "0123456789ABCDEF";
        line[used++] = kDigits[data[offset + i] >> 4];
        line[used++] = kDigits[data[offset + i] & 0xF];
      } else {
        line[used++] = ' ';
        line[used++] = ' ';
      }
      if (i % 4 == 3) {
        line[used++] = ' ';
        line[used++] = ' ';
      }
    }
    line[used++] = ' ';
    line[used++] = ' ';
    for (std::uint32_t i = 0; i < count; ++i) {
      const unsigned char c = data[offset + i];
      line[used++] = (c >= 32 && c <= 126) ? static_cast<char>(c) : '.';
    }
    out.appendBytes(line, used);
  }
  out.append("\r\n");
}

template <typename T>
T readValue(const void* data) noexcept {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

bool isNumericLength(std::uint32_t length) noexcept { return length == 1 || length == 2 || length == 4 || length == 8; }

void renderItems(RecordWriter& out, const OSSLogItem* items, std::int32_t countOrMask, std::uint32_t depth) noexcept;

void renderItem(RecordWriter& out, const OSSLogItem& item, std::uint32_t depth) noexcept {
  const std::uint32_t length = item.length;
  if (item.data == nullptr) {
    out.append("\r\nNULL\r\n");
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(item.data);
  switch (item.type) {
    case OSS_LOG_TYPE_HEX:
      if (length == 1) return out.append("Hex, %u bytes\r\n0x%hX\r\n", length, static_cast<unsigned short>(bytes[0]));
      if (length == 2) return out.append("Hex, %u bytes\r\n0x%hX\r\n", length, readValue<std::uint16_t>(bytes));
      if (length == 4) return out.append("Hex, %u bytes\r\n0x%X\r\n", length, readValue<std::uint32_t>(bytes));
      if (length == 8) return out.append("Hex, %u bytes\r\n0x%" PRIX64 "\r\n", length, readValue<std::uint64_t>(bytes));
      break;
    case OSS_LOG_TYPE_SIGNED:
      if (length == 1) return out.append("Sint8, %u bytes\r\n%hd\r\n", length, static_cast<short>(readValue<std::int8_t>(bytes)));
      if (length == 2) return out.append("Sint16, %u bytes\r\n%hd\r\n", length, readValue<std::int16_t>(bytes));
      if (length == 4) return out.append("Sint32, %u bytes\r\n%d\r\n", length, readValue<std::int32_t>(bytes));
      if (length == 8) return out.append("Sint64, %u bytes\r\n%" PRId64 "\r\n", length, readValue<std::int64_t>(bytes));
      break;
    case OSS_LOG_TYPE_UNSIGNED:
      if (length == 1) return out.append("Uint8, %u bytes\r\n%hu\r\n", length, static_cast<unsigned short>(bytes[0]));
      if (length == 2) return out.append("Uint16, %u bytes\r\n%hu\r\n", length, readValue<std::uint16_t>(bytes));
      if (length == 4) return out.append("Uint32, %u bytes\r\n%u\r\n", length, readValue<std::uint32_t>(bytes));
      if (length == 8) return out.append("Uint64, %u bytes\r\n%" PRIu64 "\r\n", length, readValue<std::uint64_t>(bytes));
      break;
    case OSS_LOG_TYPE_CHAR:
      // A zero-length item has no first byte to show: it falls through to the (empty) dump.
      if (length >= 1) return out.append("Char, %u bytes\r\n%c\r\n", length, static_cast<char>(bytes[0]));
      break;
    case OSS_LOG_TYPE_STRING: {
      // Bounded by the item's length as well as by its terminator: a caller's length must not
      // make us read past a short string, nor a missing terminator past the item.
      const std::uint32_t limit = std::min(length, OSS_LOG_ITEM_MAX_BYTES);
      const auto* end = static_cast<const char*>(std::memchr(bytes, '\0', limit));
      const std::uint32_t count = end != nullptr ? static_cast<std::uint32_t>(end - reinterpret_cast<const char*>(bytes)) : limit;
      out.append("String, %u bytes\r\n", length);
      out.appendBytes(reinterpret_cast<const char*>(bytes), count);
      out.append("\r\n");
      return;
    }
    case OSS_LOG_TYPE_BOOL:
      if (isNumericLength(length)) {
        bool value = false;
        for (std::uint32_t i = 0; i < length; ++i) value = value || bytes[i] != 0;
        return out.append("Bool, %u bytes\r\n%s\r\n", length, value ? "true" : "false");
      }
      break;
    case OSS_LOG_TYPE_LIST:
      if (depth < OSS_LOG_MAX_NESTING)
        renderItems(out, static_cast<const OSSLogItem*>(item.data), static_cast<std::int32_t>(length), depth + 1);
      return;
    default:
      break;
  }
  renderDump(out, bytes, length);
}

// A count of 0 or more: that many items labelled "DATA #n : ". A negative value: a bit mask,
// each present argument labelled "ARG  #n : " with its argument number.
void renderItems(RecordWriter& out, const OSSLogItem* items, std::int32_t countOrMask, std::uint32_t depth) noexcept {
  if (countOrMask >= 0) {
    const std::int32_t count = std::min(countOrMask, OSS_LOG_MAX_ITEMS);
    for (std::int32_t i = 0; i < count && !out.full(); ++i) {
      out.append("DATA #%-2u: ", static_cast<unsigned>(i + 1));
      renderItem(out, items[i], depth);
    }
    return;
  }
  const auto mask = static_cast<std::uint32_t>(countOrMask);
  std::uint32_t next = 0;
  for (std::uint32_t argument = 1; argument <= 31 && !out.full(); ++argument) {
    if ((mask & (1u << (argument - 1))) == 0) continue;
    out.append("ARG  #%-2u: ", argument);
    renderItem(out, items[next++], depth);
  }
}

// Number of triples a call carries.
std::int32_t itemsPassed(std::int32_t countOrMask) noexcept {
  if (countOrMask >= 0) return std::min(countOrMask, OSS_LOG_MAX_ITEMS);
  return __builtin_popcount(static_cast<std::uint32_t>(countOrMask) & 0x7FFFFFFFu);
}

void collectItems(va_list arguments, std::int32_t count, OSSLogItem* items) noexcept {
  for (std::int32_t i = 0; i < count; ++i) {
    items[i].data = va_arg(arguments, const void*);
    items[i].length = va_arg(arguments, std::uint32_t);
    items[i].type = va_arg(arguments, std::int32_t);
  }
}

// Local time as "%04d-%02d-%02d-%02d.%02d.%02d.%06d" and its offset from UTC in minutes.
void formatTime(char* timeText, std::size_t timeSize, char* zoneText, std::size_t zoneSize) noexcept {
  OSSTimeValue now;
  ossTimeGetUTC(&now);
  struct tm local = {};
  struct tm utc = {};
  ossTimeLocalTime(now.seconds, &local);
  ossTimeGmTime(now.seconds, &utc);
  std::snprintf(timeText, timeSize, "%04d-%02d-%02d-%02d.%02d.%02d.%06d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.microseconds));
  const int localDay = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const int utcDay = utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec;
  int offset = localDay - utcDay;
  if (offset > 43199 || offset < -43199) {
    offset += localDay > utcDay ? -86400 : 86400;
    if (offset == -43200) offset = 43200;
  }
  std::snprintf(zoneText, zoneSize, "%+.3d", offset / 60);
}

void formatRecord(RecordWriter& out, Caller caller, std::uint32_t functionId, std::uint32_t calledFunctionId,
                  std::uint32_t calledResult, std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t level,
                  const OSSLogItem* items, std::int32_t countOrMask) noexcept {
  char timeText[64];
  char zoneText[16];
  formatTime(timeText, sizeof timeText, zoneText, sizeof zoneText);

  out.setLimit(kHeaderLimit);
  out.append("\r\n");
  out.append("%s%-23s LEVEL: %s%s\r\nPID     : %-21luTID : %" PRIu64 "\r\nFUNCTION: %.40s, %.40s, %.40s, probe:%u\r\n",
             timeText, zoneText, levelName(level), caller == Caller::LogSysRC ? " (OS)" : "",
             static_cast<unsigned long>(::getpid()), static_cast<std::uint64_t>(::gettid()),
             orEmpty(ecfGetProductName(functionId)), orEmpty(ecfGetComponentShortName(functionId)),
             orEmpty(ecfGetFunctionName(functionId)), probe);
  if (ecfCode != 0) out.append("MESSAGE : ECF=0x%X %.128s\r\n", ecfCode, orEmpty(ecfErrorGetDescription(ecfCode)));
  if (calledFunctionId != 0) {
    if (caller == Caller::LogSysRC) {
      const bool osCall = (calledFunctionId >> 27) == 1 && ((calledFunctionId >> 19) & 0xFFu) == 2;
      char called[160];
      const int calledLength =
          std::snprintf(called, sizeof called, "CALLED  : %.40s, %.40s, %.40s",
                        osCall ? "OS" : orEmpty(ecfGetProductName(calledFunctionId)),
                        osCall ? "-" : orEmpty(ecfGetComponentShortName(calledFunctionId)),
                        orEmpty(ecfGetFunctionName(calledFunctionId)));
      out.append("%s", called);
      const int width = calledLength < 50 ? 50 - calledLength : 0;
      // The symbolic name of the error comes from the system error handler's table.
      if (const char* name = ossErrorNameMapSystem(calledFunctionId, calledResult); name != nullptr)
        out.append("%*s%s%s (%d)\r\n", width, " ", "OSERR: ", name, static_cast<int>(calledResult));
      else
        out.append("%*s%s%d\r\n", width, " ", "OSERR: ", static_cast<int>(calledResult));
    } else {
      out.append("CALLED  : %.40s, %.40s, %.40s\r\nRETCODE : ECF=0x%X %.128s\r\n",
                 orEmpty(ecfGetProductName(calledFunctionId)), orEmpty(ecfGetComponentShortName(calledFunctionId)),
                 orEmpty(ecfGetFunctionName(calledFunctionId)), calledResult,
                 orEmpty(ecfErrorGetDescription(calledResult)));
    }
  }
  out.setLimit(kRecordLimit);
  renderItems(out, items, countOrMask, 0);
}

std::uint32_t writeToEventLog(const OSSLogFac* facility, std::uint32_t level, const char* text) noexcept {
  const std::uint32_t severity = level == 2 ? 3 : level;
  tarn::platform::WORD type;
  if (severity >= 1 && severity <= 3) type = tarn::platform::EVENTLOG_ERROR_TYPE;
  else if (severity == 4) type = tarn::platform::EVENTLOG_WARNING_TYPE;
  else if (severity == 5) type = tarn::platform::EVENTLOG_INFORMATION_TYPE;
  else if (severity == 6) type = tarn::platform::EVENTLOG_SUCCESS;
  else return ECF_FAILED;
  return tarn::platform::ReportEvent(facility->name, type, text) ? 0 : ECF_FAILED;
}

std::uint32_t writeToStandardError(const char* text) noexcept {
  if (std::fprintf(stderr, "%s", text) < 0) return ECF_FAILED;
  return std::fflush(stderr) == 0 ? 0 : ECF_FAILED;
}

std::uint32_t logRecord(Caller caller, OSSLogFac* facility, std::uint32_t functionId, std::uint32_t calledFunctionId,
                        std::uint32_t calledResult, std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t level,
                        std::int32_t countOrMask, va_list arguments) noexcept {
  if (caller == Caller::Log && countOrMask < 0) return ECF_INVALID_PARAMETER;

  OSSLogItem items[OSS_LOG_MAX_ITEMS];
  const std::int32_t passed = itemsPassed(countOrMask);
  collectItems(arguments, passed, items);

  if (OSSLogCallback callback = g_callback.load(std::memory_order_acquire); callback != nullptr) {
    std::uint32_t flags = 0;
    if (caller == Caller::Log) flags = OSS_LOG_FLAG_LOG;
    else if (caller == Caller::LogSysRC) flags = OSS_LOG_FLAG_SYSTEM;
    if (caller != Caller::Log && countOrMask <= 0) flags |= OSS_LOG_FLAG_MASK;
    const OSSLogItem* first = items;
    const std::int32_t handed = countOrMask >= 0 ? passed : countOrMask;
    return callback(facility, functionId, calledFunctionId, calledResult, ecfCode, probe, level, flags, handed, &first);
  }

  if (g_logInProgress.exchange(1, std::memory_order_acquire) != 0) return 0;

  std::uint32_t result = 0;
  OSSLogFac* fac = resolve(facility);
  if (!isOpen(fac)) {
    result = ECF_INVALID_PARAMETER;
  } else {
    fac->latch.get();
    if (!isOpen(fac)) {
      result = ECF_INVALID_PARAMETER;
    } else if (passesFilter(fac->level, level)) {
      char buffer[OSS_LOG_RECORD_SIZE];
      RecordWriter out(buffer, kRecordLimit);
      formatRecord(out, caller, functionId, calledFunctionId, calledResult, ecfCode, probe, level, items, countOrMask);
      switch (fac->destination) {
        case OSS_LOG_DEST_FILE:
          result = ossLogWriteFileRecord(fac->path, fac->permissions, buffer, out.length()) == 0 ? 0 : ECF_FAILED;
          break;
        case OSS_LOG_DEST_EVENTLOG: result = writeToEventLog(fac, level, out.text()); break;
        case OSS_LOG_DEST_STDERR: result = writeToStandardError(out.text()); break;
        default: result = ECF_INVALID_PARAMETER; break;
      }
    }
    fac->latch.release();
  }
  g_logInProgress.store(0, std::memory_order_release);
  return result;
}

// Copies at most capacity - 1 characters and always terminates.
void copyBounded(char* target, const char* source, std::size_t capacity) noexcept {
  std::size_t length = 0;
  while (length + 1 < capacity && source[length] != '\0') ++length;
  std::memcpy(target, source, length);
  target[length] = '\0';
}

}  // namespace

std::uint32_t ossLog(OSSLogFac* facility, std::uint32_t functionId, std::uint32_t ecfCode, std::uint32_t probe,
                     std::uint32_t level, std::int32_t itemCount, ...) noexcept {
  va_list arguments;
  va_start(arguments, itemCount);
  const std::uint32_t result =
      logRecord(Caller::Log, facility, functionId, 0, 0, ecfCode, probe, level, itemCount, arguments);
  va_end(arguments);
  return result;
}

std::uint32_t ossLogRC(OSSLogFac* facility, std::uint32_t functionId, std::uint32_t calledFunctionId,
                       std::uint32_t calledResult, std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t level,
                       std::int32_t itemCountOrMask, ...) noexcept {
  va_list arguments;
  va_start(arguments, itemCountOrMask);
  const std::uint32_t result = logRecord(Caller::LogRC, facility, functionId, calledFunctionId, calledResult, ecfCode,
                                         probe, level, itemCountOrMask, arguments);
  va_end(arguments);
  return result;
}

std::uint32_t ossLogSysRC(OSSLogFac* facility, std::uint32_t functionId, std::uint32_t systemFunctionId,
                          std::uint32_t systemError, std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t level,
                          std::int32_t itemCountOrMask, ...) noexcept {
  va_list arguments;
  va_start(arguments, itemCountOrMask);
  const std::uint32_t result = logRecord(Caller::LogSysRC, facility, functionId, systemFunctionId, systemError,
                                         ecfCode, probe, level, itemCountOrMask, arguments);
  va_end(arguments);
  return result;
}

namespace {

bool validOpenParam(const OSSLogFacOpenParam* param) noexcept {
  if (param == nullptr || param->version < OSS_VERSION_MINIMUM) return false;
  const std::uint32_t destination = param->destination;
  if (destination != OSS_LOG_DEST_FILE && destination != OSS_LOG_DEST_EVENTLOG && destination != OSS_LOG_DEST_STDERR)
    return false;
  if (param->level > 6) return false;
  if (destination == OSS_LOG_DEST_FILE && param->path[0] == '\0') return false;
  return param->name[0] != '\0';
}

}  // namespace

// The facility functions leave an error point when they refuse and trace nothing else; the
// record functions trace nothing, since the trace facility logs its own failures through them.
std::uint32_t ossLogFacOpen(const OSSLogFacOpenParam* param, OSSLogFac* facility) noexcept {
  if (!validOpenParam(param)) {
    const std::uint32_t rc = ECF_INVALID_PARAMETER;
    GTRACE_ERROR(ECF_FN_ossLogFacOpen, 10, &rc);
    return rc;
  }
  const std::uint32_t destination = param->destination;
  OSSLogFac* fac = resolve(facility);
  // A facility in use keeps its latch: re-initialising it under a writer would let a second
  // record in. A closed one may hold anything (a caller's fresh object), so it starts free.
  if (!isOpen(fac)) fac->latch.init();
  fac->latch.get();
  copyBounded(fac->path, param->path, sizeof fac->path);
  copyBounded(fac->name, param->name, sizeof fac->name);
  fac->level = param->level;
  fac->destination = destination;
  fac->permissions = param->permissions;
  __atomic_store_n(&fac->open, 1, __ATOMIC_RELEASE);
  fac->latch.release();
  return 0;
}

std::uint32_t ossLogFacClose(OSSLogFac* facility) noexcept {
  OSSLogFac* fac = resolve(facility);
  fac->latch.get();
  __atomic_store_n(&fac->open, 0, __ATOMIC_RELEASE);
  fac->latch.release();
  return 0;
}

std::uint32_t ossLogFacSetLevel(OSSLogFac* facility, std::uint32_t level) noexcept {
  OSSLogFac* fac = resolve(facility);
  if (!isOpen(fac)) {
    const std::uint32_t rc = ECF_INVALID_PARAMETER;
    GTRACE_ERROR(ECF_FN_ossLogFacSetLevel, 10, &rc);
    return rc;
  }
  fac->latch.get();
  fac->level = level;
  fac->latch.release();
  return 0;
}

OSSLogCallback ossSetOSSeLogCallback(OSSLogCallback callback) noexcept {
  g_callback.store(callback, std::memory_order_release);
  return callback;
}

OSSLogFac* ossLogDefaultFacility() noexcept { return &g_defaultFacility; }
