// 128-bit integers of the services library, for counters and conversions that outgrow 64 bits.
//
//   int128   the bits: four u32 words, least significant first (word 0 holds bits 0-31, word 3
//            bits 96-127), and the decimal text conversions;
//   Uint128  unsigned;
//   Sint128  signed two's complement (negative when bit 127 is set).
//
// Uint128 and Sint128 add no members, so either can overlay a 16-byte field. Arithmetic works in
// 32-bit pieces and wraps modulo 2^128, like the built-in unsigned types. Nothing here traces,
// logs or allocates.
//
// Defined results where the arithmetic has none:
//   - Division by zero does not trap. Uint128: x / 0 is all bits set (what long division gives
//     when the divisor is never larger than the remainder). Sint128: x / 0 is the largest
//     positive value for x >= 0 and the most negative value for x < 0.
//   - Sint128 most-negative / -1 wraps to the most negative value.
//   - Shifts by 128 or more: left shifts and Uint128 right shifts give 0; Sint128 right shifts
//     give 0 for a non-negative value and -1 (all bits set) for a negative one.
//
// Floating point:
//   - to double truncates: the top 53 significant bits are kept, lower bits are cut off
//     (2^64 + 1 gives exactly 2^64). A negative Sint128 converts its magnitude and negates.
//   - from double or float, fractions are cut toward zero. Uint128: negative numbers and
//     magnitudes below 1 give 0; 2^128 and beyond (and +infinity, NaN) give all bits set.
//     Sint128: beyond the range saturates to the largest positive or the most negative value
//     by the sign (NaN by its sign bit).
//
// Text:
//   - toString writes decimal digits (a "-" for a negative Sint128) and returns the length, or -1
//     when size is 0 or the text and its terminator do not fit.
//   - fromString skips white space and one "+", takes a "-" as negative, reads decimal digits
//     (modulo 2^128) up to the first non-digit; no digits give 0.
#pragma once

#include <concepts>
#include <cstdint>
#include <type_traits>

class int128 {
 public:
  int128() noexcept : w{0, 0, 0, 0} {}
  // From words, most significant first.
  int128(std::uint32_t w3, std::uint32_t w2, std::uint32_t w1, std::uint32_t w0) noexcept : w{w0, w1, w2, w3} {}

  std::uint32_t word(unsigned i) const noexcept { return w[i & 3]; }
  std::uint64_t low64() const noexcept { return (static_cast<std::uint64_t>(w[1]) << 32) | w[0]; }
  std::uint64_t high64() const noexcept { return (static_cast<std::uint64_t>(w[3]) << 32) | w[2]; }

  bool isZero() const noexcept { return (w[0] | w[1] | w[2] | w[3]) == 0; }
  // Bit i (0 to 127; larger positions read as 0).
  bool testBit(std::uint32_t i) const noexcept { return i < 128 && ((w[i >> 5] >> (i & 31)) & 1u); }
  bool signBit() const noexcept { return (w[3] >> 31) != 0; }

  friend bool operator==(const int128& a, const int128& b) noexcept {
    return a.w[0] == b.w[0] && a.w[1] == b.w[1] && a.w[2] == b.w[2] && a.w[3] == b.w[3];
  }

 protected:
  // Decimal text of the value, signed or not, into buffer; the length or -1.
  int tostr(char* buffer, std::uint32_t size, bool isSigned) const noexcept;
  // Value of a decimal text (see the header comment).
  static int128 strToInt128(const char* text) noexcept;

  // Helpers for the derived classes: all work modulo 2^128 on the bits.
  void setWords64(std::uint64_t high, std::uint64_t low) noexcept {
    w[0] = static_cast<std::uint32_t>(low);
    w[1] = static_cast<std::uint32_t>(low >> 32);
    w[2] = static_cast<std::uint32_t>(high);
    w[3] = static_cast<std::uint32_t>(high >> 32);
  }
  template <std::integral T>
  void setFromInteger(T v) noexcept {
    std::uint64_t high = 0;
    if constexpr (std::is_signed_v<T>) high = v < 0 ? ~0ull : 0;
    setWords64(high, static_cast<std::uint64_t>(static_cast<std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>(v)));
  }
  void addBits(const int128& b) noexcept {
    std::uint64_t carry = 0;
    for (int i = 0; i < 4; ++i) {
      carry += static_cast<std::uint64_t>(w[i]) + b.w[i];
      w[i] = static_cast<std::uint32_t>(carry);
      carry >>= 32;
    }
  }
  void subBits(const int128& b) noexcept {
    std::uint64_t borrow = 0;
    for (int i = 0; i < 4; ++i) {
      const std::uint64_t d = static_cast<std::uint64_t>(w[i]) - b.w[i] - borrow;
      w[i] = static_cast<std::uint32_t>(d);
      borrow = (d >> 63) & 1;  // the difference went below 0
    }
  }
  void negateBits() noexcept {
    for (auto& x : w) x = ~x;
    addBits(int128(0, 0, 0, 1));
  }
  void shiftLeftBits(std::uint32_t n) noexcept {
    if (n >= 128) {
      w[0] = w[1] = w[2] = w[3] = 0;
      return;
    }
    const unsigned words = n >> 5, bits = n & 31;
    for (int i = 3; i >= 0; --i) {
      const int from = i - static_cast<int>(words);
      std::uint32_t v = from >= 0 ? w[from] << bits : 0;
      if (bits != 0 && from - 1 >= 0) v |= w[from - 1] >> (32 - bits);
      w[i] = v;
    }
  }
  // Right shift filling with `fill` (0 or all bits set) from the top.
  void shiftRightBits(std::uint32_t n, std::uint32_t fill) noexcept {
    if (n >= 128) {
      w[0] = w[1] = w[2] = w[3] = fill;
      return;
    }
    const unsigned words = n >> 5, bits = n & 31;
    std::uint32_t src[5] = {w[0], w[1], w[2], w[3], fill};
    for (unsigned i = 0; i < 4; ++i) {
      const unsigned from = i + words;
      const std::uint32_t lo = from < 4 ? src[from] : fill;
      const std::uint32_t hi = from + 1 < 4 ? src[from + 1] : fill;
      w[i] = bits == 0 ? lo : (lo >> bits) | (hi << (32 - bits));
    }
  }
  // Unsigned comparison: negative, 0 or positive.
  static int compareUnsigned(const int128& a, const int128& b) noexcept {
    for (int i = 3; i >= 0; --i)
      if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
    return 0;
  }

  std::uint32_t w[4];
};
static_assert(sizeof(int128) == 16);

class Uint128 : public int128 {
 public:
  Uint128() noexcept = default;
  Uint128(const int128& bits) noexcept : int128(bits) {}
  Uint128(std::uint32_t w3, std::uint32_t w2, std::uint32_t w1, std::uint32_t w0) noexcept : int128(w3, w2, w1, w0) {}
  // From any built-in integer, modulo 2^128 (a negative value is sign-extended).
  template <std::integral T>
  Uint128(T v) noexcept { setFromInteger(v); }
  Uint128(std::uint64_t high, std::uint64_t low) noexcept { setWords64(high, low); }
  explicit Uint128(double v) noexcept;
  explicit Uint128(float v) noexcept;

  static Uint128 max() noexcept { return Uint128(~0u, ~0u, ~0u, ~0u); }
  static Uint128 fromString(const char* text) noexcept { return Uint128(strToInt128(text)); }
  int toString(char* buffer, std::uint32_t size) const noexcept { return tostr(buffer, size, false); }

  explicit operator double() const noexcept;

  Uint128& operator+=(const Uint128& b) noexcept { addBits(b); return *this; }
  Uint128& operator-=(const Uint128& b) noexcept { subBits(b); return *this; }
  Uint128& operator<<=(std::uint32_t n) noexcept { shiftLeftBits(n); return *this; }
  Uint128& operator>>=(std::uint32_t n) noexcept { shiftRightBits(n, 0); return *this; }
  Uint128& operator*=(const Uint128& b) noexcept;
  Uint128& operator/=(const Uint128& b) noexcept;

  friend Uint128 operator+(Uint128 a, const Uint128& b) noexcept { return a += b; }
  friend Uint128 operator-(Uint128 a, const Uint128& b) noexcept { return a -= b; }
  friend Uint128 operator-(Uint128 a) noexcept { a.negateBits(); return a; }
  friend Uint128 operator<<(Uint128 a, std::uint32_t n) noexcept { return a <<= n; }
  friend Uint128 operator>>(Uint128 a, std::uint32_t n) noexcept { return a >>= n; }
  friend Uint128 operator*(const Uint128& a, const Uint128& b) noexcept;
  friend Uint128 operator/(const Uint128& a, const Uint128& b) noexcept;

  friend bool operator<(const Uint128& a, const Uint128& b) noexcept { return compareUnsigned(a, b) < 0; }
  friend bool operator>(const Uint128& a, const Uint128& b) noexcept { return compareUnsigned(a, b) > 0; }
  friend bool operator<=(const Uint128& a, const Uint128& b) noexcept { return compareUnsigned(a, b) <= 0; }
  friend bool operator>=(const Uint128& a, const Uint128& b) noexcept { return compareUnsigned(a, b) >= 0; }
};
static_assert(sizeof(Uint128) == 16);

class Sint128 : public int128 {
 public:
  Sint128() noexcept = default;
  Sint128(const int128& bits) noexcept : int128(bits) {}
  Sint128(std::uint32_t w3, std::uint32_t w2, std::uint32_t w1, std::uint32_t w0) noexcept : int128(w3, w2, w1, w0) {}
  // From any built-in integer: signed ones are sign-extended, unsigned ones zero-extended.
  template <std::integral T>
  Sint128(T v) noexcept { setFromInteger(v); }
  explicit Sint128(double v) noexcept;
  explicit Sint128(float v) noexcept;

  static Sint128 max() noexcept { return Sint128(0x7FFFFFFFu, ~0u, ~0u, ~0u); }
  static Sint128 min() noexcept { return Sint128(0x80000000u, 0u, 0u, 0u); }
  static Sint128 fromString(const char* text) noexcept { return Sint128(strToInt128(text)); }
  int toString(char* buffer, std::uint32_t size) const noexcept { return tostr(buffer, size, true); }

  bool isNegative() const noexcept { return signBit(); }
  explicit operator double() const noexcept;

  Sint128& operator+=(const Sint128& b) noexcept { addBits(b); return *this; }
  Sint128& operator-=(const Sint128& b) noexcept { subBits(b); return *this; }
  Sint128& operator<<=(std::uint32_t n) noexcept { shiftLeftBits(n); return *this; }
  // Arithmetic shift: fills with copies of bit 127.
  Sint128& operator>>=(std::uint32_t n) noexcept;
  Sint128& operator*=(const Sint128& b) noexcept;
  Sint128& operator/=(const Sint128& b) noexcept;

  friend Sint128 operator+(Sint128 a, const Sint128& b) noexcept { return a += b; }
  friend Sint128 operator-(Sint128 a, const Sint128& b) noexcept { return a -= b; }
  friend Sint128 operator-(Sint128 a) noexcept { a.negateBits(); return a; }
  friend Sint128 operator<<(Sint128 a, std::uint32_t n) noexcept { return a <<= n; }
  friend Sint128 operator>>(Sint128 a, std::uint32_t n) noexcept { return a >>= n; }
  friend Sint128 operator*(const Sint128& a, const Sint128& b) noexcept;
  friend Sint128 operator/(const Sint128& a, const Sint128& b) noexcept;

  friend bool operator<(const Sint128& a, const Sint128& b) noexcept { return compareSigned(a, b) < 0; }
  friend bool operator>(const Sint128& a, const Sint128& b) noexcept { return compareSigned(a, b) > 0; }
  friend bool operator<=(const Sint128& a, const Sint128& b) noexcept { return compareSigned(a, b) <= 0; }
  friend bool operator>=(const Sint128& a, const Sint128& b) noexcept { return compareSigned(a, b) >= 0; }

 private:
  static int compareSigned(const Sint128& a, const Sint128& b) noexcept {
    if (a.signBit() != b.signBit()) return a.signBit() ? -1 : 1;
    return compareUnsigned(a, b);  // same sign: two's complement orders like unsigned
  }
};
static_assert(sizeof(Sint128) == 16);
