// 128-bit integers: multiplication, division, floating-point and text conversions. See int128.h.
#include "osse/sys/int128.h"

#include <cstring>

namespace {

// 64 x 64 -> 128 bits from four 32 x 32 partial products.
Uint128 multiply64(std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32;
  const std::uint64_t b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  // Middle column: the high half of p00 plus the low halves of the cross products.
  const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
  const std::uint64_t low = (middle << 32) | (p00 & 0xFFFFFFFFu);
  const std::uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
  return Uint128(high, low);
}

// n / d and n % d for d != 0.
void divideUnsigned(const Uint128& n, const Uint128& d, Uint128& quotient, Uint128& remainder) noexcept {
  if (n < d) {
    quotient = Uint128();
    remainder = n;
    return;
  }
  if (n.high64() == 0 && d.high64() == 0) {
    quotient = Uint128(n.low64() / d.low64());
    remainder = Uint128(n.low64() % d.low64());
    return;
  }
  // Restoring long division, one bit of n at a time from bit 127 down.
  Uint128 q, r;
  for (int bit = 127; bit >= 0; --bit) {
    r <<= 1;
    if (n.testBit(static_cast<std::uint32_t>(bit))) r += Uint128(1u);
    if (r >= d) {
      r -= d;
      q += Uint128(1u) << static_cast<std::uint32_t>(bit);
    }
  }
  quotient = q;
  remainder = r;
}

Uint128 magnitude(const Sint128& v) noexcept { return v.isNegative() ? Uint128(-v) : Uint128(v); }

double bitsToDouble(std::uint64_t bits) noexcept {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

unsigned bitLength(const Uint128& v) noexcept {
  if (v.high64() != 0) return 128 - static_cast<unsigned>(__builtin_clzll(v.high64()));
  if (v.low64() != 0) return 64 - static_cast<unsigned>(__builtin_clzll(v.low64()));
  return 0;
}

// Truncating conversion of an unsigned value: the top 53 significant bits become the double.
double unsignedToDouble(const Uint128& v) noexcept {
  const unsigned b = bitLength(v);
  if (b == 0) return 0.0;
  std::uint64_t top53 = b > 53 ? (v >> (b - 53)).low64() : v.low64() << (53 - b);
  const std::uint64_t mantissa = top53 & ((1ull << 52) - 1);  // the leading 1 is implied
  const std::uint64_t exponent = static_cast<std::uint64_t>(b) + 1022;
  return bitsToDouble((exponent << 52) | mantissa);
}

// The pieces of a floating-point number: sign, unbiased exponent, mantissa with its leading 1.
struct FloatParts {
  bool negative;
  int exponent;
  std::uint64_t mantissa;
  int mantissaBits;
};

FloatParts partsOf(double v) noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return {(bits >> 63) != 0, static_cast<int>((bits >> 52) & 0x7FF) - 1023, (bits & ((1ull << 52) - 1)) | (1ull << 52),
          52};
}

FloatParts partsOf(float v) noexcept {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return {(bits >> 31) != 0, static_cast<int>((bits >> 23) & 0xFF) - 127,
          static_cast<std::uint64_t>((bits & ((1u << 23) - 1)) | (1u << 23)), 23};
}

// Magnitude of a number whose exponent is 0 to 127: fractions cut off.
Uint128 magnitudeOf(const FloatParts& p) noexcept {
  if (p.exponent < p.mantissaBits) return Uint128(p.mantissa >> (p.mantissaBits - p.exponent));
  return Uint128(p.mantissa) << static_cast<std::uint32_t>(p.exponent - p.mantissaBits);
}

Uint128 unsignedFrom(const FloatParts& p) noexcept {
  if (p.negative || p.exponent < 0) return Uint128();
  if (p.exponent >= 128) return Uint128::max();  // also infinity and NaN
  return magnitudeOf(p);
}

Sint128 signedFrom(const FloatParts& p) noexcept {
  if (p.exponent < 0) return Sint128();
  if (p.exponent > 126) return p.negative ? Sint128::min() : Sint128::max();
  const Sint128 m(magnitudeOf(p));
  return p.negative ? -m : m;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Uint128
// ---------------------------------------------------------------------------------------------

Uint128::Uint128(double v) noexcept : int128(unsignedFrom(partsOf(v))) {}
Uint128::Uint128(float v) noexcept : int128(unsignedFrom(partsOf(v))) {}

Uint128::operator double() const noexcept { return unsignedToDouble(*this); }

Uint128 operator*(const Uint128& a, const Uint128& b) noexcept {
  // The low halves multiplied fully; each cross product of a high half with a low half only
  // reaches the high half of the result (modulo 2^64 there). high x high is beyond 2^128.
  Uint128 product = multiply64(a.low64(), b.low64());
  const std::uint64_t cross = a.high64() * b.low64() + a.low64() * b.high64();
  return product + Uint128(cross, 0ull);
}

Uint128 operator/(const Uint128& a, const Uint128& b) noexcept {
  if (b.isZero()) return Uint128::max();
  Uint128 q, r;
  divideUnsigned(a, b, q, r);
  return q;
}

Uint128& Uint128::operator*=(const Uint128& b) noexcept { return *this = *this * b; }
Uint128& Uint128::operator/=(const Uint128& b) noexcept { return *this = *this / b; }

// ---------------------------------------------------------------------------------------------
// Sint128
// ---------------------------------------------------------------------------------------------

Sint128::Sint128(double v) noexcept : int128(signedFrom(partsOf(v))) {}
Sint128::Sint128(float v) noexcept : int128(signedFrom(partsOf(v))) {}

Sint128::operator double() const noexcept {
  const double m = unsignedToDouble(magnitude(*this));
  return isNegative() ? -m : m;
}

Sint128& Sint128::operator>>=(std::uint32_t n) noexcept {
  shiftRightBits(n, signBit() ? ~0u : 0u);
  return *this;
}

Sint128 operator*(const Sint128& a, const Sint128& b) noexcept {
  const Sint128 m(magnitude(a) * magnitude(b));
  return a.isNegative() != b.isNegative() ? -m : m;
}

Sint128 operator/(const Sint128& a, const Sint128& b) noexcept {
  if (b.isZero()) return a.isNegative() ? Sint128::min() : Sint128::max();
  const Sint128 m(magnitude(a) / magnitude(b));
  return a.isNegative() != b.isNegative() ? -m : m;
}

Sint128& Sint128::operator*=(const Sint128& b) noexcept { return *this = *this * b; }
Sint128& Sint128::operator/=(const Sint128& b) noexcept { return *this = *this / b; }

// ---------------------------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------------------------

int int128::tostr(char* buffer, std::uint32_t size, bool isSigned) const noexcept {
  if (buffer == nullptr || size == 0) return -1;
  if (isZero()) {
    if (size < 2) return -1;
    buffer[0] = '0';
    buffer[1] = '\0';
    return 1;
  }
  const bool negative = isSigned && signBit();
  Uint128 value(*this);
  if (negative) value = -value;

  char digits[40];  // 2^128 has 39 decimal digits
  unsigned count = 0;
  const Uint128 ten(10u);
  while (!value.isZero()) {
    Uint128 q, r;
    divideUnsigned(value, ten, q, r);
    digits[count++] = static_cast<char>('0' + r.low64());
    value = q;
  }
  const unsigned length = count + (negative ? 1 : 0);
  if (length > size - 1) return -1;
  char* out = buffer;
  if (negative) *out++ = '-';
  while (count > 0) *out++ = digits[--count];
  *out = '\0';
  return static_cast<int>(length);
}

int128 int128::strToInt128(const char* text) noexcept {
  Uint128 value;
  if (text == nullptr) return value;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  if (*p == '+') ++p;
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  while (*p == '0') ++p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // value * 10 as (value << 3) + (value << 1), modulo 2^128
    value = (value << 3) + (value << 1) + Uint128(static_cast<std::uint32_t>(*p - '0'));
  }
  if (negative) value = -value;
  return value;
}
