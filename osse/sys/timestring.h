// Time, strings and small utilities of the services library: wall-clock time and its breakdown,
// sleeping and yielding, bounded formatting, blank-padded comparison, boolean and 64-bit integer
// parsing, hex dumps for diagnostics, and three integer functions.
//
// None of these functions traces or logs (the trace and log code formats with them), and none
// keeps state between calls except where noted.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------

struct OSSTimeValue {
  std::int64_t seconds;        // seconds since 1970-01-01 00:00 UTC
  std::uint16_t milliseconds;  // 0 to 999
  std::uint32_t microseconds;  // milliseconds * 1000: the clock is read to the millisecond
};

// Reads the wall clock to the millisecond; fills *value when given; returns the seconds.
std::int64_t ossTimeGetUTC(OSSTimeValue* value) noexcept;

// Break the seconds down in the local time zone (with daylight saving) or in UTC into the
// caller's record and return it. Times before 1970 are broken down like any other. A time the
// calendar conversion refuses (a year beyond the record's range) or a null record gives null,
// and the record is left as it was.
struct tm* ossTimeLocalTime(std::int64_t seconds, struct tm* out) noexcept;
struct tm* ossTimeGmTime(std::int64_t seconds, struct tm* out) noexcept;

// Sleeps for the milliseconds given (a signal does not cut the sleep short); returns 0.
std::uint32_t ossSleep(std::uint32_t milliseconds) noexcept;
// Gives the processor away: sleeps 1 millisecond.
void ossYield() noexcept;

// ---------------------------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------------------------

// Bounded printf: formats into buffer with at most size bytes, always terminated (size > 0).
// Output that does not fit is cut to size - 1 characters. Returns the number of characters
// stored (0 when buffer is null or size is 0); a conversion the C library refuses leaves an empty
// text and gives 0. Besides the conversions of the C library, the 64-bit conversions "%I64d",
// "%I64u", "%I64x" and "%I64X" (with flags, width and precision before the "I64") take a 64-bit
// argument. The compiler's format checking is not applied: it would misread the "I64" forms.
std::uint32_t ossSnprintf(char* buffer, std::uint32_t size, const char* format, ...) noexcept;
// The same with an argument list, for functions that take a format of their own (logging).
std::uint32_t ossVsnprintf(char* buffer, std::uint32_t size, const char* format, va_list arguments) noexcept;

// Compares a and b as if the shorter were padded on the right with blanks to the length of the
// longer: byte by byte as unsigned characters when mode is 1, ignoring (ASCII) case otherwise.
// Returns negative, 0 or positive; "ABC" and "ABC  " are equal. A null string counts as empty.
// The padded copy is allocated; an allocation failure gives -1.
int ossStrCompWithPads(const char* a, const char* b, std::int32_t mode) noexcept;

// Converts one of the boolean words (case ignored, no blanks around):
//   true:  "1" "ON"  "Y" "YES" "T" "TRUE"
//   false: "0" "OFF" "N" "NO"  "F" "FALSE"
// Returns 0 with *value set, or ECF_OSS_NOT_BOOLEAN_STRING with *value false (also for a null
// string). A null value pointer gives ECF_INVALID_PARAMETER.
std::uint32_t ossStrToBoolean(const char* text, bool* value) noexcept;

// strtoull/strtoll-style conversion. Leading white space and one sign are accepted. Base 0
// chooses 16 for "0x"/"0X" followed by a hexadecimal digit, 8 for a "0" followed by another
// character, else 10; base 16 skips a "0x" prefix. Digits are 0-9 and letters (either case) for
// 10 to 35, read while below the base. "0x" without a hexadecimal digit after it converts the "0":
// result 0, *end at the "x". Nothing readable: 0 and *end = text. Overflow: all bits set
// (unsigned), INT64_MAX or INT64_MIN (signed), errno = ERANGE; every digit is still consumed.
// A "-" negates the unsigned result in two's complement. errno is left alone otherwise.
// A base other than 0 or 2 to 36, or a null text: 0, *end = text, errno = EINVAL.
std::uint64_t ossStrToUint64(const char* text, char** end, int base) noexcept;
std::int64_t ossStrToSint64(const char* text, char** end, int base) noexcept;

// ---------------------------------------------------------------------------------------------
// Hex dumps
// ---------------------------------------------------------------------------------------------

// Options of ossHexDumpLine and ossHexDumpToBuffer.
inline constexpr std::uint32_t OSS_HEXDUMP_AS_NUMBER = 0x1;     // 1, 2, 4 or 8 bytes shown as one number
inline constexpr std::uint32_t OSS_HEXDUMP_ADDRESS = 0x2;       // line starts with the data's address
inline constexpr std::uint32_t OSS_HEXDUMP_NO_CHARACTERS = 0x4;  // no character column

// Layout of a line. The address is shown at the pointer width of this platform,
// "0x%016I64X : " (21 characters), so the character column and the longest line move right by
// the 8 digits a 32-bit address would not need.
inline constexpr std::uint32_t OSS_HEXDUMP_ADDRESS_WIDTH = 2 + 2 * sizeof(void*) + 3;
inline constexpr std::uint32_t OSS_HEXDUMP_CHAR_COLUMN = 43;  // without the address
inline constexpr std::uint32_t OSS_HEXDUMP_LINE_MAX = 61 + OSS_HEXDUMP_ADDRESS_WIDTH;  // characters, "\r\n" included
inline constexpr std::uint32_t OSS_HEXDUMP_LINE_SIZE = OSS_HEXDUMP_LINE_MAX + 1;        // buffer size needed
static_assert(OSS_HEXDUMP_LINE_MAX == 82);

// Formats one line of at most 16 bytes (more are not shown) into line, which must hold
// OSS_HEXDUMP_LINE_SIZE bytes:
//   hex:        "%02X" per byte, a blank after every second byte (groups of 4 digits), or with
//               OSS_HEXDUMP_AS_NUMBER and 1, 2, 4 or 8 bytes the value as one number
//               ("0x%02X", "0x%04hX", "0x%08X", "0x%016I64X") followed by a blank;
//   characters: from column 43 (column 43 + the address width with OSS_HEXDUMP_ADDRESS), bytes
//               32 to 126 as themselves, others as ".", unless OSS_HEXDUMP_NO_CHARACTERS;
//   then "\r\n" and the terminator.
// Returns the line's length without "\r\n", plus 3.
std::uint32_t ossHexDumpLine(char* line, const void* data, std::uint32_t length, std::uint32_t options) noexcept;

// Dumps length bytes as lines of 16 (the last holds the rest), each preceded by prefix (may be
// null), into buffer (always terminated). A null buffer or size 0 does nothing and returns 0; a
// length of 0 leaves an empty string and returns size. A line is appended only when the prefix,
// the line and 2 more bytes are less than the space left; the dump stops at the first line that
// does not fit. Returns the number of lines written: all of them when everything fit.
// Null data with a length above 0 leaves an empty string and returns 0.
std::uint32_t ossHexDumpToBuffer(const void* data, std::uint32_t length, char* buffer, std::uint32_t size,
                                 const char* prefix, std::uint32_t options) noexcept;

// ---------------------------------------------------------------------------------------------
// Integer functions
// ---------------------------------------------------------------------------------------------

// Euclid on unsigned 32-bit numbers; GCD(a, 0) = a, GCD(0, 0) = 0.
std::uint32_t ossComputeGCD(std::uint32_t a, std::uint32_t b) noexcept;
// (a * b, wrapping in 32 bits) / GCD(a, b); 0 when the GCD is 0.
std::uint32_t ossComputeLCM(std::uint32_t a, std::uint32_t b) noexcept;
// The x with m * x == 0xFFFFFFFF modulo 2^32, m being n without its trailing zero bits (the
// negated inverse used in Montgomery reduction). n = 0 has no odd part: returns 0.
std::uint32_t ossComputeMontgomeryInverse32(std::uint32_t n) noexcept;
