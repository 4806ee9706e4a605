// Time, strings and small utilities. See timestring.h.
#include "osse/sys/timestring.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/memory.h"

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------

std::int64_t ossTimeGetUTC(OSSTimeValue* value) noexcept {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t seconds = static_cast<std::int64_t>(now.tv_sec);
  if (value != nullptr) {
    const auto milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000L);
    value->seconds = seconds;
    value->milliseconds = milliseconds;
    value->microseconds = static_cast<std::uint32_t>(milliseconds) * 1000u;
  }
  return seconds;
}

namespace {
// The conversion writes into a record of our own first, so that a refused time leaves the
// caller's record untouched.
struct tm* breakDown(std::int64_t seconds, struct tm* out, bool local) noexcept {
  if (out == nullptr) return nullptr;
  const time_t t = static_cast<time_t>(seconds);
  struct tm record;
  std::memset(&record, 0, sizeof record);
  if ((local ? localtime_r(&t, &record) : gmtime_r(&t, &record)) == nullptr) return nullptr;
  *out = record;
  return out;
}
}  // namespace

struct tm* ossTimeLocalTime(std::int64_t seconds, struct tm* out) noexcept { return breakDown(seconds, out, true); }

struct tm* ossTimeGmTime(std::int64_t seconds, struct tm* out) noexcept { return breakDown(seconds, out, false); }

std::uint32_t ossSleep(std::uint32_t milliseconds) noexcept {
  struct timespec request;
  request.tv_sec = milliseconds / 1000;
  request.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  struct timespec remaining;
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
  return 0;
}

void ossYield() noexcept { ossSleep(1); }

// ---------------------------------------------------------------------------------------------
// Bounded formatting
// ---------------------------------------------------------------------------------------------

namespace {

// Rewrites the system's "I64" size prefix into the C library's "ll". The rewrite only shortens,
// so the result fits in strlen(format) + 1 bytes. Anything else is copied unchanged: the C
// library's own "I" flag (locale digits) is not used by this system, and without the rewrite
// "%I64d" would mean that flag with a width of 64.
void rewriteFormat(const char* format, char* out) noexcept {
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      *out++ = *p++;
      continue;
    }
    *out++ = *p++;  // '%'
    if (*p == '%') {
      *out++ = *p++;
      continue;
    }
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) *out++ = *p++;  // flags
    while ((*p >= '0' && *p <= '9') || *p == '*') *out++ = *p++;               // width
    if (*p == '.') {                                                              // precision
      *out++ = *p++;
      while ((*p >= '0' && *p <= '9') || *p == '*') *out++ = *p++;
    }
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      *out++ = 'l';
      *out++ = 'l';
      p += 3;
    }
  }
  *out = '\0';
}

}  // namespace

std::uint32_t ossVsnprintf(char* buffer, std::uint32_t size, const char* format, va_list arguments) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  if (format == nullptr) {
    buffer[0] = '\0';
    return 0;
  }

  // Most formats are short: rewrite on the stack, go to the heap only for long ones.
  char local[512];
  std::unique_ptr<char[]> heap;
  const char* effective = format;
  if (std::strstr(format, "I64") != nullptr) {
    const std::size_t length = std::strlen(format);
    char* target = local;
    if (length >= sizeof local) {
      heap.reset(new (std::nothrow) char[length + 1]);
      if (!heap) {
        buffer[0] = '\0';
        return 0;
      }
      target = heap.get();
    }
    rewriteFormat(format, target);
    effective = target;
  }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int written = std::vsnprintf(buffer, size, effective, arguments);
#pragma GCC diagnostic pop

  if (written < 0) {
    // What a failed conversion left in the buffer is not defined: hand back an empty text.
    buffer[0] = '\0';
    return 0;
  }
  if (static_cast<std::uint32_t>(written) >= size) return size - 1;  // cut
  return static_cast<std::uint32_t>(written);
}

std::uint32_t ossSnprintf(char* buffer, std::uint32_t size, const char* format, ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  const std::uint32_t stored = ossVsnprintf(buffer, size, format, arguments);
  va_end(arguments);
  return stored;
}

// ---------------------------------------------------------------------------------------------
// Comparison and parsing
// ---------------------------------------------------------------------------------------------

namespace {

// ASCII case folding, independent of the process's locale: the boolean words and the padded
// comparison must give the same answer whatever locale a host program has set.
inline unsigned char foldCase(unsigned char c) noexcept { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool equalsIgnoringCase(const char* a, const char* b) noexcept {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (foldCase(static_cast<unsigned char>(*a)) != foldCase(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

// The padded copy of ossStrCompWithPads comes from the library's allocator; a failure is logged
// and the comparison gives -1.
char* allocatePadCopy(std::size_t bytes) noexcept {
  void* copy = nullptr;
  const std::uint32_t rc = bytes > UINT32_MAX ? ECF_INVALID_PARAMETER
                                              : _ossMemAlloc(&copy, nullptr, static_cast<std::uint32_t>(bytes), 0,
                                                             __FILE__, __LINE__);
  if (rc != 0) {
    ossLogRC(nullptr, ECF_FN_ossStrCompWithPads, ECF_FN_ossMemAlloc, rc, rc, 10, 3, 0);
    return nullptr;
  }
  return static_cast<char*>(copy);
}
void freePadCopy(char* copy) noexcept {
  void* block = copy;
  _ossMemFree(&block, nullptr, 0, __FILE__, __LINE__);
}

}  // namespace

int ossStrCompWithPads(const char* a, const char* b, std::int32_t mode) noexcept {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  const std::size_t lengthA = std::strlen(a);
  const std::size_t lengthB = std::strlen(b);
  const bool aShorter = lengthA < lengthB;
  const char* shorter = aShorter ? a : b;
  const std::size_t shortLength = aShorter ? lengthA : lengthB;
  const std::size_t longLength = aShorter ? lengthB : lengthA;

  char* padded = allocatePadCopy(longLength + 1);
  if (padded == nullptr) return -1;
  std::memcpy(padded, shorter, shortLength);
  std::memset(padded + shortLength, ' ', longLength - shortLength);
  padded[longLength] = '\0';

  const auto* left = reinterpret_cast<const unsigned char*>(aShorter ? padded : a);
  const auto* right = reinterpret_cast<const unsigned char*>(aShorter ? b : padded);
  int result = 0;
  for (std::size_t i = 0; i < longLength && result == 0; ++i) {
    const unsigned char x = mode == 1 ? left[i] : foldCase(left[i]);
    const unsigned char y = mode == 1 ? right[i] : foldCase(right[i]);
    result = static_cast<int>(x) - static_cast<int>(y);
  }
  freePadCopy(padded);
  return result;
}

std::uint32_t ossStrToBoolean(const char* text, bool* value) noexcept {
  static const char* const kTrueWords[] = {"1", "ON", "Y", "YES", "T", "TRUE"};
  static const char* const kFalseWords[] = {"0", "OFF", "N", "NO", "F", "FALSE"};
  if (value == nullptr) return ECF_INVALID_PARAMETER;
  *value = false;
  if (text == nullptr) return ECF_OSS_NOT_BOOLEAN_STRING;
  for (const char* word : kTrueWords) {
    if (equalsIgnoringCase(text, word)) {
      *value = true;
      return 0;
    }
  }
  for (const char* word : kFalseWords)
    if (equalsIgnoringCase(text, word)) return 0;
  return ECF_OSS_NOT_BOOLEAN_STRING;
}

namespace {

int digitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

bool isBlank(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct ParsedNumber {
  std::uint64_t magnitude = 0;  // the digits' value, or all bits set after an overflow
  bool negative = false;
  bool overflow = false;
  bool valid = true;  // false: bad base or null text
};

// The common reading of ossStrToUint64 and ossStrToSint64: sign, base, digits, end pointer.
ParsedNumber parseNumber(const char* text, char** end, int base) noexcept {
  ParsedNumber result;
  if (text == nullptr || base < 0 || base == 1 || base > 36) {
    result.valid = false;
    if (end != nullptr) *end = const_cast<char*>(text);
    return result;
  }
  const char* p = text;
  while (isBlank(*p)) ++p;
  if (*p == '+' || *p == '-') result.negative = (*p++ == '-');

  const bool hexPrefix = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  if (base == 0) {
    if (hexPrefix && digitValue(p[2]) < 16) base = 16;
    else if (p[0] == '0' && p[1] != '\0') base = 8;
    else base = 10;
  }
  // Where the reading ends when no digit follows: the start of the text, or just after a "0"
  // that a prefix consumed (that "0" is the number read).
  const char* stop = text;
  if (base == 16 && hexPrefix) {
    if (digitValue(p[2]) >= 16) {
      if (end != nullptr) *end = const_cast<char*>(p + 1);  // at the "x"
      return result;
    }
    p += 2;
  } else if (base == 8 && p[0] == '0') {
    ++p;
    stop = p;
  }

  const std::uint64_t limit = UINT64_MAX / static_cast<unsigned>(base);
  const unsigned lastDigit = static_cast<unsigned>(UINT64_MAX % static_cast<unsigned>(base));
  for (int d; (d = digitValue(*p)) < base; ++p) {
    stop = p + 1;
    if (result.overflow) continue;  // every digit is consumed even past the range
    const auto digit = static_cast<unsigned>(d);
    if (result.magnitude > limit || (result.magnitude == limit && digit > lastDigit)) {
      result.overflow = true;
      result.magnitude = UINT64_MAX;
      continue;
    }
    result.magnitude = result.magnitude * static_cast<unsigned>(base) + digit;
  }
  if (end != nullptr) *end = const_cast<char*>(stop);
  return result;
}

}  // namespace

std::uint64_t ossStrToUint64(const char* text, char** end, int base) noexcept {
  const ParsedNumber n = parseNumber(text, end, base);
  if (!n.valid) {
    errno = EINVAL;
    return 0;
  }
  if (n.overflow) {
    errno = ERANGE;
    return UINT64_MAX;
  }
  return n.negative ? (~n.magnitude + 1) : n.magnitude;
}

std::int64_t ossStrToSint64(const char* text, char** end, int base) noexcept {
  const ParsedNumber n = parseNumber(text, end, base);
  if (!n.valid) {
    errno = EINVAL;
    return 0;
  }
  const std::uint64_t bound = n.negative ? (static_cast<std::uint64_t>(INT64_MAX) + 1) : INT64_MAX;
  if (n.overflow || n.magnitude > bound) {
    errno = ERANGE;
    return n.negative ? INT64_MIN : INT64_MAX;
  }
  if (!n.negative) return static_cast<std::int64_t>(n.magnitude);
  return static_cast<std::int64_t>(~n.magnitude + 1);  // two's complement, also for 2^63
}

// ---------------------------------------------------------------------------------------------
// Hex dumps
// ---------------------------------------------------------------------------------------------

std::uint32_t ossHexDumpLine(char* line, const void* data, std::uint32_t length, std::uint32_t options) noexcept {
  if (line == nullptr) return 0;
  if (data == nullptr) length = 0;
  if (length > 16) length = 16;
  const auto* bytes = static_cast<const unsigned char*>(data);

  std::memset(line, ' ', OSS_HEXDUMP_LINE_MAX);
  line[OSS_HEXDUMP_LINE_MAX] = '\0';
  std::uint32_t column = 0;
  char field[24];

  // Every piece is formatted into `field` and copied without its terminator, so the blanks
  // around it stay.
  auto put = [&](std::uint32_t at, const char* text) noexcept {
    const std::size_t n = std::strlen(text);
    std::memcpy(line + at, text, n);
    return at + static_cast<std::uint32_t>(n);
  };

  std::uint32_t charColumn = OSS_HEXDUMP_CHAR_COLUMN;
  if (options & OSS_HEXDUMP_ADDRESS) {
    ossSnprintf(field, sizeof field, "0x%016I64X : ",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(data)));
    column = put(column, field);
    charColumn += OSS_HEXDUMP_ADDRESS_WIDTH;
  }

  const bool asNumber = (options & OSS_HEXDUMP_AS_NUMBER) && (length == 1 || length == 2 || length == 4 || length == 8);
  if (asNumber) {
    if (length == 1) {
      ossSnprintf(field, sizeof field, "0x%02X ", static_cast<unsigned>(bytes[0]));
    } else if (length == 2) {
      std::uint16_t v;
      std::memcpy(&v, bytes, 2);
      ossSnprintf(field, sizeof field, "0x%04hX ", static_cast<unsigned short>(v));
    } else if (length == 4) {
      std::uint32_t v;
      std::memcpy(&v, bytes, 4);
      ossSnprintf(field, sizeof field, "0x%08X ", static_cast<unsigned>(v));
    } else {
      std::uint64_t v;
      std::memcpy(&v, bytes, 8);
      ossSnprintf(field, sizeof field, "0x%016I64X ", static_cast<unsigned long long>(v));
    }
    column = put(column, field);
  } else {
    static const char kHex[] = "0123456789ABCDEF";
    for (std::uint32_t i = 0; i < length; ++i) {
      line[column++] = kHex[bytes[i] >> 4];
      line[column++] = kHex[bytes[i] & 0xF];
      if (i & 1) ++column;  // the blank after every second byte
    }
  }

  if (!(options & OSS_HEXDUMP_NO_CHARACTERS) && length > 0) {
    column = charColumn;
    for (std::uint32_t i = 0; i < length; ++i)
      line[column++] = (bytes[i] >= 32 && bytes[i] <= 126) ? static_cast<char>(bytes[i]) : '.';
  }

  // The line ends with "\r\n"; it never passes the longest line (it cannot with 16 bytes, the
  // guard keeps the buffer bound should the layout change).
  if (column + 2 > OSS_HEXDUMP_LINE_MAX) column = OSS_HEXDUMP_LINE_MAX - 2;
  line[column] = '\r';
  line[column + 1] = '\n';
  line[column + 2] = '\0';
  return column + 3;
}

std::uint32_t ossHexDumpToBuffer(const void* data, std::uint32_t length, char* buffer, std::uint32_t size,
                                 const char* prefix, std::uint32_t options) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  if (length == 0) return size;
  if (data == nullptr) return 0;

  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t prefixLength = prefix != nullptr ? std::strlen(prefix) : 0;
  std::size_t used = 0;
  std::uint32_t lines = 0;
  char line[OSS_HEXDUMP_LINE_SIZE];
  for (std::uint32_t offset = 0; offset < length; offset += 16) {
    const std::uint32_t count = (length - offset < 16) ? length - offset : 16;
    ossHexDumpLine(line, bytes + offset, count, options);
    const std::size_t lineLength = std::strlen(line);
    if (prefixLength + lineLength + 2 >= size - used) break;
    if (prefixLength > 0) {
      std::memcpy(buffer + used, prefix, prefixLength);
      used += prefixLength;
    }
    std::memcpy(buffer + used, line, lineLength);
    used += lineLength;
    buffer[used] = '\0';
    ++lines;
  }
  return lines;
}

// ---------------------------------------------------------------------------------------------
// Integer functions
// ---------------------------------------------------------------------------------------------

std::uint32_t ossComputeGCD(std::uint32_t a, std::uint32_t b) noexcept {
  while (b != 0) {
    const std::uint32_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

std::uint32_t ossComputeLCM(std::uint32_t a, std::uint32_t b) noexcept {
  const std::uint32_t g = ossComputeGCD(a, b);
  if (g == 0) return 0;
  return (a * b) / g;  // the product wraps in 32 bits, as callers of this function expect
}

std::uint32_t ossComputeMontgomeryInverse32(std::uint32_t n) noexcept {
  if (n == 0) return 0;  // no odd part, no inverse
  const std::uint32_t m = n >> __builtin_ctz(n);
  std::uint32_t x = 1;
  std::uint32_t p = m;
  for (unsigned i = 1; i < 32; ++i) {
    if (!(p & (1u << i))) {
      x += 1u << i;
      p += m << i;
    }
  }
  return x;
}
