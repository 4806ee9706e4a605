// Fuzz target for the text parsers of the services library: the 64-bit conversions must agree
// with the C library's strtoull/strtoll (value, end pointer, errno) for every base, and a 128-bit
// value read from any text must print and read back to itself.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "osse/sys/int128.h"
#include "osse/sys/timestring.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int base = data[0] % 37 == 1 ? 0 : data[0] % 37;  // 0 and 2 to 36
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const char* s = text.c_str();

  char *ourEnd = nullptr, *theirEnd = nullptr;
  errno = 0;
  const std::uint64_t ours = ossStrToUint64(s, &ourEnd, base);
  const int ourErrno = errno;
  errno = 0;
  const unsigned long long theirs = std::strtoull(s, &theirEnd, base);
  if (ours != theirs || ourEnd != theirEnd || ourErrno != errno) std::abort();

  errno = 0;
  const std::int64_t ourSigned = ossStrToSint64(s, &ourEnd, base);
  const int ourSignedErrno = errno;
  errno = 0;
  const long long theirSigned = std::strtoll(s, &theirEnd, base);
  if (ourSigned != theirSigned || ourEnd != theirEnd || ourSignedErrno != errno) std::abort();

  const Sint128 value = Sint128::fromString(s);
  char printed[48];
  if (value.toString(printed, sizeof printed) <= 0) std::abort();
  if (!(Sint128::fromString(printed) == value)) std::abort();
  return 0;
}
