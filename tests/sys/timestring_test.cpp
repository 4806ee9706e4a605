// Time, strings and small utilities: bounded formatting with the 64-bit conversions, padded
// comparison, boolean words, string-to-integer conversion, hex-dump lines and buffers, the
// integer functions and the calendar breakdown.
#include "osse/sys/timestring.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "osse/diag/ecf.h"

namespace {

// ---------------------------------------------------------------------------------------------
// ossSnprintf
// ---------------------------------------------------------------------------------------------

TEST(Snprintf, CutsAndTerminates) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(ossSnprintf(buffer, 4, "%s", "abcdef"), 3u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], 'x') << "nothing beyond size";
  EXPECT_EQ(ossSnprintf(buffer, 7, "abcdef"), 6u);  // exact fit
  EXPECT_STREQ(buffer, "abcdef");
  EXPECT_EQ(ossSnprintf(buffer, 1, "abc"), 0u);
  EXPECT_STREQ(buffer, "");
  buffer[0] = 'q';
  EXPECT_EQ(ossSnprintf(buffer, 0, "abc"), 0u);
  EXPECT_EQ(buffer[0], 'q');
  EXPECT_EQ(ossSnprintf(nullptr, 10, "abc"), 0u);
  EXPECT_EQ(ossSnprintf(buffer, sizeof buffer, nullptr), 0u);
  EXPECT_STREQ(buffer, "");
}

TEST(Snprintf, SixtyFourBitConversions) {
  const struct {
    const char* expected;
    std::string (*make)();
  } cases[] = {
      {"-9223372036854775808", [] { char b[64]; ossSnprintf(b, sizeof b, "%I64d", INT64_MIN); return std::string(b); }},
      {"18446744073709551615", [] { char b[64]; ossSnprintf(b, sizeof b, "%I64u", UINT64_MAX); return std::string(b); }},
      {"deadbeefcafe", [] { char b[64]; ossSnprintf(b, sizeof b, "%I64x", 0xDEADBEEFCAFEull); return std::string(b); }},
      {"0x00000000DEADBEEF", [] { char b[64]; ossSnprintf(b, sizeof b, "0x%016I64X", 0xDEADBEEFull); return std::string(b); }},
      {"[42   ]", [] { char b[64]; ossSnprintf(b, sizeof b, "[%-5I64d]", 42ll); return std::string(b); }},
      {"+0000000007", [] { char b[64]; ossSnprintf(b, sizeof b, "%+.10I64d", 7ll); return std::string(b); }},
      // Arguments after a 64-bit one are taken from the right place.
      {"1 4294967296 x 9", [] { char b[64]; ossSnprintf(b, sizeof b, "%d %I64u %s %d", 1, 4294967296ull, "x", 9); return std::string(b); }},
      {"%I64d", [] { char b[64]; ossSnprintf(b, sizeof b, "%%I64d"); return std::string(b); }},
      {"I64 outside a conversion", [] { char b[64]; ossSnprintf(b, sizeof b, "I64 outside a conversion"); return std::string(b); }},
      {"     -5", [] { char b[64]; ossSnprintf(b, sizeof b, "%*I64d", 7, -5ll); return std::string(b); }},
  };
  for (const auto& c : cases) EXPECT_EQ(c.make(), c.expected);
}

// A function with a format of its own forwards its arguments through ossVsnprintf.
std::uint32_t forward(char* buffer, std::uint32_t size, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const std::uint32_t stored = ossVsnprintf(buffer, size, format, arguments);
  va_end(arguments);
  return stored;
}

TEST(Snprintf, ArgumentListForm) {
  char buffer[32];
  EXPECT_EQ(forward(buffer, sizeof buffer, "%s=%I64X;", "rc", 0x90000004ull), 12u);
  EXPECT_STREQ(buffer, "rc=90000004;");
  EXPECT_EQ(forward(buffer, 6, "%I64u", 1234567890123ull), 5u);
  EXPECT_STREQ(buffer, "12345");
}

TEST(Snprintf, LongFormatWithSixtyFourBitConversion) {
  // A format longer than the rewrite's stack buffer.
  std::string format(600, 'a');
  format += "%I64u";
  char buffer[700];
  EXPECT_EQ(ossSnprintf(buffer, sizeof buffer, format.c_str(), 123ull), 603u);
  EXPECT_EQ(std::string(buffer), std::string(600, 'a') + "123");
}

// ---------------------------------------------------------------------------------------------
// ossStrCompWithPads
// ---------------------------------------------------------------------------------------------

int sign(int v) { return (v > 0) - (v < 0); }

TEST(StrCompWithPads, Table) {
  const struct {
    const char *a, *b;
    int mode, expectedSign;
  } cases[] = {
      {"ABC", "ABC  ", 0, 0},   {"ABC", "ABC  ", 1, 0},   {"ABC  ", "ABC", 1, 0},  {"abc", "ABC ", 0, 0},
      {"abc", "ABC ", 1, 1},    {"ab", "abc", 0, -1},     {"abc", "ab", 0, 1},     {"", "   ", 1, 0},
      {"", "", 0, 0},           {"ABC\t", "ABC ", 1, -1},  // a tab sorts below the pad blank
      {"ABC", "ABC\t", 1, 1},   {"a\x80", "a\x7f", 1, 1},  // unsigned bytes
      {"a_", "aA", 0, -1},      // case folds to lower case: '_' (95) < 'a' (97)
      {"a_", "aA", 1, 1},       {"x", nullptr, 1, 1},      {nullptr, " ", 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sign(ossStrCompWithPads(c.a, c.b, c.mode)), c.expectedSign)
        << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)") << " mode " << c.mode;
}

// ---------------------------------------------------------------------------------------------
// ossStrToBoolean
// ---------------------------------------------------------------------------------------------

TEST(StrToBoolean, Words) {
  const struct {
    const char* text;
    bool value;
  } words[] = {{"1", true},   {"ON", true},    {"on", true},   {"Y", true},     {"y", true},    {"YES", true},
               {"yes", true}, {"Yes", true},   {"T", true},    {"TRUE", true},  {"tRuE", true}, {"0", false},
               {"OFF", false}, {"Off", false}, {"N", false},   {"NO", false},   {"no", false},  {"F", false},
               {"FALSE", false}, {"false", false}};
  for (const auto& w : words) {
    bool value = !w.value;
    EXPECT_EQ(ossStrToBoolean(w.text, &value), 0u) << w.text;
    EXPECT_EQ(value, w.value) << w.text;
  }
}

TEST(StrToBoolean, Refusals) {
  const char* refused[] = {"2", "", " YES", "YES ", "YE", "TRUEX", "yess", "O", "-1", "nO!", nullptr};
  for (const char* text : refused) {
    bool value = true;
    EXPECT_EQ(ossStrToBoolean(text, &value), ECF_OSS_NOT_BOOLEAN_STRING) << (text ? text : "(null)");
    EXPECT_FALSE(value);
  }
  EXPECT_EQ(ossStrToBoolean("YES", nullptr), ECF_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------
// ossStrToUint64 / ossStrToSint64
// ---------------------------------------------------------------------------------------------

struct U64Case {
  const char* text;
  int base;
  std::uint64_t value;
  std::ptrdiff_t endOffset;
  int error;  // errno expected (0: untouched)
};

class StrToUint64 : public ::testing::TestWithParam<U64Case> {};

TEST_P(StrToUint64, Converts) {
  const U64Case& c = GetParam();
  char* end = nullptr;
  errno = 0;
  EXPECT_EQ(ossStrToUint64(c.text, &end, c.base), c.value);
  EXPECT_EQ(errno, c.error);
  EXPECT_EQ(end - c.text, c.endOffset);
  // The end pointer is optional.
  EXPECT_EQ(ossStrToUint64(c.text, nullptr, c.base), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrToUint64,
    ::testing::Values(
        U64Case{"  0x1F", 0, 31, 6, 0}, U64Case{"017", 0, 15, 3, 0}, U64Case{"0X1fg", 0, 31, 4, 0},
        U64Case{"42", 0, 42, 2, 0}, U64Case{"0", 0, 0, 1, 0}, U64Case{"08", 0, 0, 1, 0},
        // "0x" without a hexadecimal digit: the "0" is read, the end is at the "x".
        U64Case{"0x", 16, 0, 1, 0}, U64Case{"0xg", 0, 0, 1, 0}, U64Case{" 0xZ", 16, 0, 2, 0},
        U64Case{"0x0x", 16, 0, 3, 0}, U64Case{"0X1f", 16, 31, 4, 0}, U64Case{"ff", 16, 255, 2, 0},
        U64Case{"777", 8, 511, 3, 0}, U64Case{"0777", 8, 511, 4, 0}, U64Case{"778", 8, 63, 2, 0},
        U64Case{"08", 8, 0, 1, 0}, U64Case{"12a", 10, 12, 2, 0}, U64Case{"+7", 10, 7, 2, 0},
        U64Case{"\t\n 9", 10, 9, 4, 0}, U64Case{"z", 36, 35, 1, 0}, U64Case{"Z1", 36, 1261, 2, 0},
        U64Case{"101", 2, 5, 3, 0},
        // A minus sign negates in two's complement.
        U64Case{"-1", 10, UINT64_MAX, 2, 0}, U64Case{"-0x10", 0, static_cast<std::uint64_t>(-16), 5, 0},
        // Nothing readable: 0, end at the start.
        U64Case{"", 10, 0, 0, 0}, U64Case{"   ", 10, 0, 0, 0}, U64Case{"+", 10, 0, 0, 0},
        U64Case{" -x", 0, 0, 0, 0}, U64Case{"abc", 10, 0, 0, 0}, U64Case{"+-1", 10, 0, 0, 0},
        // The range: all digits are consumed past the overflow.
        U64Case{"18446744073709551615", 10, UINT64_MAX, 20, 0},
        U64Case{"18446744073709551616", 10, UINT64_MAX, 20, ERANGE},
        U64Case{"99999999999999999999", 10, UINT64_MAX, 20, ERANGE},
        U64Case{"0xFFFFFFFFFFFFFFFF", 0, UINT64_MAX, 18, 0},
        U64Case{"0x10000000000000000z", 0, UINT64_MAX, 19, ERANGE},
        U64Case{"-99999999999999999999", 10, UINT64_MAX, 21, ERANGE},
        // Bases outside 0 and 2 to 36.
        U64Case{"11", 1, 0, 0, EINVAL}, U64Case{"11", 37, 0, 0, EINVAL}, U64Case{"11", -2, 0, 0, EINVAL}));

struct S64Case {
  const char* text;
  int base;
  std::int64_t value;
  std::ptrdiff_t endOffset;
  int error;
};

class StrToSint64 : public ::testing::TestWithParam<S64Case> {};

TEST_P(StrToSint64, Converts) {
  const S64Case& c = GetParam();
  char* end = nullptr;
  errno = 0;
  EXPECT_EQ(ossStrToSint64(c.text, &end, c.base), c.value);
  EXPECT_EQ(errno, c.error);
  EXPECT_EQ(end - c.text, c.endOffset);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrToSint64,
    ::testing::Values(S64Case{"-9223372036854775809", 10, INT64_MIN, 20, ERANGE},
                      S64Case{"-9223372036854775808", 10, INT64_MIN, 20, 0},
                      S64Case{"9223372036854775807", 10, INT64_MAX, 19, 0},
                      S64Case{"9223372036854775808", 10, INT64_MAX, 19, ERANGE},
                      S64Case{"99999999999999999999999", 0, INT64_MAX, 23, ERANGE},
                      S64Case{"-0x8000000000000000", 16, INT64_MIN, 19, 0}, S64Case{" -017", 0, -15, 5, 0},
                      S64Case{"+42", 10, 42, 3, 0}, S64Case{"-", 10, 0, 0, 0}, S64Case{"-0x", 0, 0, 2, 0},
                      S64Case{"-7f", 16, -127, 3, 0}, S64Case{"5", 99, 0, 0, EINVAL}));

// The conversions follow the C library's strtoull and strtoll for every base they share; a
// deterministic walk over texts built from signs, prefixes, digits of every kind and blanks
// compares value, end pointer and errno.
TEST(StrToInteger, AgreesWithTheCLibrary) {
  static const char kAlphabet[] = " \t+-00xX1789aAfFgGzZ";
  std::uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  for (int i = 0; i < 20000; ++i) {
    char text[32];
    const std::uint32_t length = next() % 24;
    for (std::uint32_t k = 0; k < length; ++k) text[k] = kAlphabet[next() % (sizeof kAlphabet - 1)];
    text[length] = '\0';
    // Long runs of digits reach the overflow paths.
    if (next() % 4 == 0) std::strcat(text, "99999999");
    for (int base : {0, 2, 8, 10, 16, 36}) {
      char *ourEnd = nullptr, *theirEnd = nullptr;
      errno = 0;
      const std::uint64_t ours = ossStrToUint64(text, &ourEnd, base);
      const int ourErrno = errno;
      errno = 0;
      const std::uint64_t theirs = std::strtoull(text, &theirEnd, base);
      ASSERT_EQ(ours, theirs) << "\"" << text << "\" base " << base;
      ASSERT_EQ(ourEnd, theirEnd) << "\"" << text << "\" base " << base;
      ASSERT_EQ(ourErrno, errno) << "\"" << text << "\" base " << base;

      errno = 0;
      const std::int64_t ourSigned = ossStrToSint64(text, &ourEnd, base);
      const int ourSignedErrno = errno;
      errno = 0;
      const long long theirSigned = std::strtoll(text, &theirEnd, base);
      ASSERT_EQ(ourSigned, theirSigned) << "\"" << text << "\" base " << base;
      ASSERT_EQ(ourEnd, theirEnd) << "\"" << text << "\" base " << base;
      ASSERT_EQ(ourSignedErrno, errno) << "\"" << text << "\" base " << base;
    }
  }
}

TEST(StrToInteger, NullText) {
  char* end = reinterpret_cast<char*>(0x1);
  errno = 0;
  EXPECT_EQ(ossStrToUint64(nullptr, &end, 10), 0u);
  EXPECT_EQ(end, nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ossStrToSint64(nullptr, nullptr, 10), 0);
}

// ---------------------------------------------------------------------------------------------
// Hex dumps
// ---------------------------------------------------------------------------------------------

const unsigned char kData[16] = {'H', 'e', 'l', 'l', 'o', ',', ' ', 'W', 'o', 'r', 'l', 'd', '!', 0x00, 0x01, 0xFF};

std::string addressOf(const void* p) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%016llX : ", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
  return b;
}

struct LineCase {
  const char* name;
  std::uint32_t length, options;
  const char* expected;  // without the address, which depends on where the data sits
};

class HexDumpLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(HexDumpLine, Formats) {
  const LineCase& c = GetParam();
  alignas(8) unsigned char data[16];
  std::memcpy(data, kData, sizeof data);
  char line[OSS_HEXDUMP_LINE_SIZE + 8];
  std::memset(line, '#', sizeof line);
  const std::uint32_t rc = ossHexDumpLine(line, data, c.length, c.options);
  std::string expected = c.expected;
  if (c.options & OSS_HEXDUMP_ADDRESS) expected = addressOf(data) + expected;
  EXPECT_EQ(std::string(line), expected);
  EXPECT_EQ(rc, expected.size() - 2 + 3) << "the line without \\r\\n, plus 3";
  EXPECT_LE(std::strlen(line), OSS_HEXDUMP_LINE_MAX);
  EXPECT_EQ(line[OSS_HEXDUMP_LINE_SIZE], '#') << "nothing written past the line buffer";
}

// The character column is 43 without the address and 43 + 21 with it.
INSTANTIATE_TEST_SUITE_P(
    Options, HexDumpLine,
    ::testing::Values(
        LineCase{"Full", 16, 0, "4865 6C6C 6F2C 2057 6F72 6C64 2100 01FF    Hello, World!...\r\n"},
        LineCase{"FullNoChars", 16, 0x4, "4865 6C6C 6F2C 2057 6F72 6C64 2100 01FF \r\n"},
        LineCase{"Odd", 3, 0, "4865 6C                                    Hel\r\n"},
        LineCase{"OddNoChars", 3, 0x4, "4865 6C\r\n"},
        LineCase{"Empty", 0, 0, "\r\n"},
        LineCase{"Byte", 1, 0x1, "0x48                                       H\r\n"},
        LineCase{"Word", 2, 0x1, "0x6548                                     He\r\n"},
        LineCase{"DWord", 4, 0x1, "0x6C6C6548                                 Hell\r\n"},
        LineCase{"QWord", 8, 0x5, "0x57202C6F6C6C6548 \r\n"},
        LineCase{"QWordChars", 8, 0x1, "0x57202C6F6C6C6548                         Hello, W\r\n"},
        LineCase{"NotANumberLength", 3, 0x1, "4865 6C                                    Hel\r\n"},
        LineCase{"Address", 16, 0x2, "4865 6C6C 6F2C 2057 6F72 6C64 2100 01FF    Hello, World!...\r\n"},
        LineCase{"AddressNoChars", 5, 0x6, "4865 6C6C 6F\r\n"},
        LineCase{"AddressNumber", 4, 0x3, "0x6C6C6548                                 Hell\r\n"},
        LineCase{"AllOptions", 2, 0x7, "0x6548 \r\n"},
        LineCase{"MoreThan16", 40, 0x4, "4865 6C6C 6F2C 2057 6F72 6C64 2100 01FF \r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HexDumpLine, LongestLineFitsTheBuffer) {
  char line[OSS_HEXDUMP_LINE_SIZE];
  const std::uint32_t rc = ossHexDumpLine(line, kData, 16, OSS_HEXDUMP_ADDRESS);
  EXPECT_EQ(std::strlen(line), OSS_HEXDUMP_LINE_MAX);
  EXPECT_EQ(rc, OSS_HEXDUMP_LINE_MAX + 1);
}

TEST(HexDumpToBuffer, TwentyBytesMakeTwoLines) {
  unsigned char data[20];
  for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>('a' + i);
  char buffer[512];
  EXPECT_EQ(ossHexDumpToBuffer(data, 20, buffer, sizeof buffer, "> ", 0), 2u);
  EXPECT_STREQ(buffer,
               "> 6162 6364 6566 6768 696A 6B6C 6D6E 6F70    abcdefghijklmnop\r\n"
               "> 7172 7374                                  qrst\r\n");
  // Without a prefix, with addresses: each line shows its own bytes' address.
  EXPECT_EQ(ossHexDumpToBuffer(data, 20, buffer, sizeof buffer, nullptr, OSS_HEXDUMP_ADDRESS | OSS_HEXDUMP_NO_CHARACTERS), 2u);
  EXPECT_EQ(std::string(buffer), addressOf(data) + "6162 6364 6566 6768 696A 6B6C 6D6E 6F70 \r\n" + addressOf(data + 16) +
                                     "7172 7374 \r\n");
  EXPECT_EQ(ossHexDumpToBuffer(data, 20, buffer, sizeof buffer, "", 0x4), 2u);  // empty prefix
  EXPECT_EQ(std::string(buffer).find("6162"), 0u);
}

TEST(HexDumpToBuffer, StopsAtTheFirstLineThatDoesNotFit) {
  unsigned char data[20] = {};
  const std::string prefix = "pp";
  const std::size_t firstLine = std::strlen("0000 0000 0000 0000 0000 0000 0000 0000    ................\r\n");
  // A line goes in only when prefix + line + 2 is less than the space left.
  const std::uint32_t oneLine = static_cast<std::uint32_t>(prefix.size() + firstLine + 3);
  char buffer[256];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(ossHexDumpToBuffer(data, 20, buffer, oneLine - 1, prefix.c_str(), 0), 0u);
  EXPECT_STREQ(buffer, "");
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(ossHexDumpToBuffer(data, 20, buffer, oneLine, prefix.c_str(), 0), 1u);
  EXPECT_EQ(std::strlen(buffer), prefix.size() + firstLine);
  EXPECT_EQ(buffer[oneLine], '#') << "nothing written past size";
}

TEST(HexDumpToBuffer, EdgeArguments) {
  unsigned char data[4] = {1, 2, 3, 4};
  char buffer[128] = "junk";
  EXPECT_EQ(ossHexDumpToBuffer(data, 4, nullptr, 100, nullptr, 0), 0u);
  EXPECT_EQ(ossHexDumpToBuffer(data, 4, buffer, 0, nullptr, 0), 0u);
  EXPECT_STREQ(buffer, "junk");
  EXPECT_EQ(ossHexDumpToBuffer(data, 0, buffer, sizeof buffer, nullptr, 0), sizeof buffer);
  EXPECT_STREQ(buffer, "");
  std::strcpy(buffer, "junk");
  EXPECT_EQ(ossHexDumpToBuffer(nullptr, 4, buffer, sizeof buffer, nullptr, 0), 0u);
  EXPECT_STREQ(buffer, "");
}

TEST(HexDumpToBuffer, LargeDumpIsBounded) {
  // A dump much larger than the buffer, as a trap file's 4096-byte rendering does.
  std::string data(10000, '\x5A');
  std::string buffer(4096 + 16, '#');
  const std::uint32_t lines = ossHexDumpToBuffer(data.data(), static_cast<std::uint32_t>(data.size()), buffer.data(),
                                                 4096, nullptr, OSS_HEXDUMP_ADDRESS);
  EXPECT_GT(lines, 0u);
  EXPECT_LT(lines, 10000u / 16);
  EXPECT_LT(std::strlen(buffer.c_str()), 4096u);
  EXPECT_EQ(buffer[4096], '#');
}

// ---------------------------------------------------------------------------------------------
// Integer functions
// ---------------------------------------------------------------------------------------------

TEST(IntegerFunctions, GcdAndLcm) {
  const struct {
    std::uint32_t a, b, gcd, lcm;
  } cases[] = {{12, 18, 6, 36},       {4, 6, 2, 12},  {0, 5, 5, 0},       {5, 0, 5, 0},
               {0, 0, 0, 0},          {7, 13, 1, 91}, {0xFFFFFFFFu, 1, 1, 0xFFFFFFFFu},
               // the product wraps in 32 bits: 65536 * 65537 = 2^32 + 65536
               {65536, 65537, 1, 65536}};
  for (const auto& c : cases) {
    EXPECT_EQ(ossComputeGCD(c.a, c.b), c.gcd) << c.a << "," << c.b;
    EXPECT_EQ(ossComputeLCM(c.a, c.b), c.lcm) << c.a << "," << c.b;
  }
}

TEST(IntegerFunctions, MontgomeryInverse) {
  EXPECT_EQ(ossComputeMontgomeryInverse32(3), 0x55555555u);
  EXPECT_EQ(ossComputeMontgomeryInverse32(12), 0x55555555u);  // the factor 4 is dropped
  EXPECT_EQ(ossComputeMontgomeryInverse32(1), 0xFFFFFFFFu);
  EXPECT_EQ(ossComputeMontgomeryInverse32(0x80000000u), 0xFFFFFFFFu);
  EXPECT_EQ(ossComputeMontgomeryInverse32(0), 0u);
  for (std::uint32_t n : {5u, 7u, 0x12345u, 0xFFFFFFFFu, 0x7FFFFFFFu, 1000000007u, 0x2468ACE0u}) {
    const std::uint32_t m = n >> __builtin_ctz(n);
    EXPECT_EQ(m * ossComputeMontgomeryInverse32(n), 0xFFFFFFFFu) << n;
  }
}

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------

TEST(Time, GetUTC) {
  OSSTimeValue v;
  std::memset(&v, 0xFF, sizeof v);
  const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  const std::int64_t s = ossTimeGetUTC(&v);
  const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_EQ(s, v.seconds);
  EXPECT_GE(s, before);
  EXPECT_LE(s, after);
  EXPECT_LT(v.milliseconds, 1000);
  EXPECT_EQ(v.microseconds, v.milliseconds * 1000u);
  EXPECT_GE(ossTimeGetUTC(nullptr), s);
}

struct CalendarCase {
  std::int64_t seconds;
  int year, month, day, hour, minute, second, weekday, yearday;
};

TEST(Time, GmTimeBreakdown) {
  const CalendarCase cases[] = {
      {0, 70, 0, 1, 0, 0, 0, 4, 0},                   // Thursday 1970-01-01
      {-1, 69, 11, 31, 23, 59, 59, 3, 364},           // the second before
      {951782400, 100, 1, 29, 0, 0, 0, 2, 59},        // 2000-02-29, a leap day
      {4102444799, 199, 11, 31, 23, 59, 59, 4, 364},  // 2099-12-31 23:59:59
      {32503680000, 1100, 0, 1, 0, 0, 0, 3, 0},       // 3000-01-01, beyond 32-bit time
  };
  for (const CalendarCase& c : cases) {
    struct tm t;
    std::memset(&t, 0x55, sizeof t);
    ASSERT_EQ(ossTimeGmTime(c.seconds, &t), &t) << c.seconds;
    EXPECT_EQ(t.tm_year, c.year);
    EXPECT_EQ(t.tm_mon, c.month);
    EXPECT_EQ(t.tm_mday, c.day);
    EXPECT_EQ(t.tm_hour, c.hour);
    EXPECT_EQ(t.tm_min, c.minute);
    EXPECT_EQ(t.tm_sec, c.second);
    EXPECT_EQ(t.tm_wday, c.weekday);
    EXPECT_EQ(t.tm_yday, c.yearday);
    EXPECT_EQ(t.tm_isdst, 0);
  }
}

TEST(Time, RefusedTimesGiveNull) {
  struct tm t;
  std::memset(&t, 0x55, sizeof t);
  const struct tm before = t;
  // Years beyond the record's int range.
  for (std::int64_t s : {INT64_MAX, INT64_MIN, std::int64_t{1} << 62}) {
    EXPECT_EQ(ossTimeGmTime(s, &t), nullptr) << s;
    EXPECT_EQ(ossTimeLocalTime(s, &t), nullptr) << s;
  }
  EXPECT_EQ(0, std::memcmp(&t, &before, sizeof t)) << "a refused time leaves the record alone";
  EXPECT_EQ(ossTimeGmTime(0, nullptr), nullptr);
  EXPECT_EQ(ossTimeLocalTime(0, nullptr), nullptr);
}

class LocalZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadZone_ = tz != nullptr;
    if (hadZone_) savedZone_ = tz;
  }
  void TearDown() override {
    if (hadZone_) setenv("TZ", savedZone_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  static void useZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  bool hadZone_ = false;
  std::string savedZone_;
};

TEST_F(LocalZone, DaylightSavingApplies) {
  // A rule written out in the TZ variable itself, so no zone database is needed.
  useZone("EST5EDT,M3.2.0,M11.1.0");
  struct tm t;
  ASSERT_NE(ossTimeLocalTime(1593604800, &t), nullptr);  // 2020-07-01 12:00 UTC
  EXPECT_EQ(t.tm_hour, 8);
  EXPECT_EQ(t.tm_isdst, 1);
  ASSERT_NE(ossTimeLocalTime(1577880000, &t), nullptr);  // 2020-01-01 12:00 UTC
  EXPECT_EQ(t.tm_hour, 7);
  EXPECT_EQ(t.tm_isdst, 0);
  // The UTC breakdown ignores the zone.
  ASSERT_NE(ossTimeGmTime(1593604800, &t), nullptr);
  EXPECT_EQ(t.tm_hour, 12);
}

TEST_F(LocalZone, EastOfGreenwich) {
  useZone("XST-3");
  struct tm t;
  ASSERT_NE(ossTimeLocalTime(0, &t), nullptr);
  EXPECT_EQ(t.tm_year, 70);
  EXPECT_EQ(t.tm_hour, 3);
}

TEST(Sleep, ReturnsZero) {
  EXPECT_EQ(ossSleep(0), 0u);
  EXPECT_EQ(ossSleep(1), 0u);
  ossYield();
}

}  // namespace
