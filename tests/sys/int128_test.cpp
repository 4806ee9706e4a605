// Wide integers: text and floating point there and back (extremes included), arithmetic checked
// against the compiler's own 128-bit type, and the defined results of division by zero and of
// long shifts.
#include "osse/sys/int128.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using u128 = unsigned __int128;

u128 native(const int128& v) { return (static_cast<u128>(v.high64()) << 64) | v.low64(); }
Uint128 fromNative(u128 v) { return Uint128(static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v)); }

std::string text(const Uint128& v) {
  char b[64];
  return v.toString(b, sizeof b) < 0 ? "<fail>" : b;
}
std::string text(const Sint128& v) {
  char b[64];
  return v.toString(b, sizeof b) < 0 ? "<fail>" : b;
}

const Uint128 kTwoTo127(0x80000000u, 0u, 0u, 0u);

// ---------------------------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------------------------

TEST(Int128Text, Extremes) {
  EXPECT_EQ(text(Sint128(kTwoTo127)), "-170141183460469231731687303715884105728");
  EXPECT_EQ(text(kTwoTo127), "170141183460469231731687303715884105728");
  EXPECT_EQ(text(Uint128::max()), "340282366920938463463374607431768211455");
  EXPECT_EQ(text(Sint128(Uint128::max())), "-1");
  EXPECT_EQ(text(Sint128::max()), "170141183460469231731687303715884105727");
  EXPECT_EQ(text(Uint128()), "0");
  EXPECT_EQ(text(Sint128()), "0");
  EXPECT_EQ(text(Uint128(std::uint64_t{18446744073709551615ull})), "18446744073709551615");
  EXPECT_EQ(text(Sint128(std::int64_t{INT64_MIN})), "-9223372036854775808");
}

TEST(Int128Text, BufferSizes) {
  const struct {
    std::int64_t value;
    std::uint32_t size;
    int result;
    const char* text;
  } cases[] = {
      {12345, 5, -1, nullptr}, {12345, 6, 5, "12345"}, {12345, 0, -1, nullptr}, {0, 1, -1, nullptr},
      {0, 2, 1, "0"},          {0, 0, -1, nullptr},    {-12, 3, -1, nullptr},   {-12, 4, 3, "-12"},
  };
  for (const auto& c : cases) {
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(Sint128(c.value).toString(buffer, c.size), c.result) << c.value << " size " << c.size;
    if (c.text != nullptr) {
      EXPECT_STREQ(buffer, c.text);
    }
    if (c.size < sizeof buffer) {
      EXPECT_EQ(buffer[c.size], '#') << "nothing written past size";
    }
  }
  EXPECT_EQ(Uint128(5u).toString(nullptr, 10), -1);
  // The longest text, exactly fitting.
  char exact[40];
  EXPECT_EQ(Uint128::max().toString(exact, sizeof exact), 39);
  EXPECT_EQ(Uint128::max().toString(exact, 39), -1);
}

TEST(Int128Text, Parse) {
  const struct {
    const char* text;
    const char* signedValue;
  } cases[] = {
      {"  +00042", "42"},
      {"-12x", "-12"},
      {"", "0"},
      {"   ", "0"},
      {"-", "0"},
      {"abc", "0"},
      {"\t\n7", "7"},
      {"+-5", "-5"},  // one "+" is skipped, then the "-" counts
      {"-+5", "0"},   // but a "+" after the "-" stops the reading
      {"000", "0"},
      {"170141183460469231731687303715884105727", "170141183460469231731687303715884105727"},
      {"-170141183460469231731687303715884105728", "-170141183460469231731687303715884105728"},
      {"340282366920938463463374607431768211455", "-1"},  // all bits set
      {"340282366920938463463374607431768211456", "0"},   // 2^128 wraps
      {"340282366920938463463374607431768211457", "1"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(Sint128::fromString(c.text)), c.signedValue) << c.text;
  EXPECT_TRUE(Uint128::fromString(nullptr).isZero());
  EXPECT_EQ(Uint128::fromString("340282366920938463463374607431768211455"), Uint128::max());
}

TEST(Int128Text, RoundTrip) {
  const Uint128 values[] = {Uint128(), Uint128(1u), Uint128::max(), kTwoTo127, kTwoTo127 - Uint128(1u),
                            Uint128(0x12345678u, 0x9ABCDEF0u, 0x0FEDCBA9u, 0x87654321u), Uint128(1ull, 0ull)};
  for (const Uint128& v : values) {
    EXPECT_EQ(Uint128::fromString(text(v).c_str()), v) << text(v);
    EXPECT_EQ(Sint128::fromString(text(Sint128(v)).c_str()), Sint128(v)) << text(Sint128(v));
  }
}

// ---------------------------------------------------------------------------------------------
// Floating point
// ---------------------------------------------------------------------------------------------

TEST(Int128Float, FromDouble) {
  EXPECT_TRUE(Uint128(-1.5).isZero());
  EXPECT_TRUE(Uint128(-0.0).isZero());
  EXPECT_TRUE(Uint128(0.99).isZero());
  EXPECT_EQ(Uint128(3.99), Uint128(3u));
  EXPECT_EQ(Uint128(1e40), Uint128::max());
  EXPECT_EQ(Uint128(0x1p128), Uint128::max());
  EXPECT_EQ(Uint128(0x1p127), kTwoTo127);
  EXPECT_EQ(Uint128(0x1p64), Uint128(1ull, 0ull));
  EXPECT_EQ(Uint128(9007199254740993.0), Uint128(9007199254740992ull));  // the double's own value
  EXPECT_EQ(Uint128(1.2345678901234567e30), Uint128::fromString("1234567890123456708408451792896"));
  EXPECT_EQ(Uint128(INFINITY), Uint128::max());
  EXPECT_TRUE(Uint128(-INFINITY).isZero());

  EXPECT_EQ(Sint128(-1e40), Sint128::min());
  EXPECT_EQ(Sint128(1e40), Sint128::max());
  EXPECT_EQ(Sint128(-2.5), Sint128(-2));
  EXPECT_EQ(Sint128(2.5), Sint128(2));
  EXPECT_TRUE(Sint128(-0.5).isZero());
  EXPECT_EQ(Sint128(0x1p126), Sint128(Uint128(0x40000000u, 0u, 0u, 0u)));
  EXPECT_EQ(Sint128(-0x1p126), -Sint128(Uint128(0x40000000u, 0u, 0u, 0u)));
  EXPECT_EQ(Sint128(-0x1p127), Sint128::min());  // saturates, and is exact
  EXPECT_EQ(Sint128(0x1p127), Sint128::max());
  EXPECT_EQ(Sint128(-INFINITY), Sint128::min());
}

TEST(Int128Float, FromFloat) {
  EXPECT_EQ(Uint128(3.99f), Uint128(3u));
  EXPECT_TRUE(Uint128(-1.5f).isZero());
  EXPECT_EQ(Uint128(16777216.0f), Uint128(16777216u));
  EXPECT_EQ(Uint128(0x1p100f), Uint128(1u) << 100);
  EXPECT_EQ(Uint128(static_cast<float>(INFINITY)), Uint128::max());
  EXPECT_EQ(Sint128(-2.5f), Sint128(-2));
  EXPECT_EQ(Sint128(-0x1p100f), -(Sint128(1) << 100));
  EXPECT_EQ(Sint128(static_cast<float>(-INFINITY)), Sint128::min());
}

TEST(Int128Float, ToDoubleTruncates) {
  EXPECT_EQ(static_cast<double>(Uint128()), 0.0);
  EXPECT_EQ(static_cast<double>(Uint128(1u)), 1.0);
  EXPECT_EQ(static_cast<double>(Uint128(1ull, 1ull)), 0x1p64);  // 2^64 + 1 gives exactly 2^64
  // All bits set: the top 53 bits, not rounded up to 2^128.
  EXPECT_EQ(static_cast<double>(Uint128::max()), 0x1.fffffffffffffp127);
  EXPECT_EQ(static_cast<double>(Uint128(9007199254740993ull)), 9007199254740992.0);
  EXPECT_EQ(static_cast<double>(Uint128(9007199254740991ull)), 9007199254740991.0);
  EXPECT_EQ(static_cast<double>(kTwoTo127), 0x1p127);
  EXPECT_EQ(static_cast<double>(Sint128::min()), -0x1p127);
  EXPECT_EQ(static_cast<double>(Sint128::max()), 0x1.fffffffffffffp126);
  EXPECT_EQ(static_cast<double>(Sint128(-3)), -3.0);
  EXPECT_EQ(static_cast<double>(Sint128(-1)), -1.0);
}

TEST(Int128Float, RoundTripOfExactValues) {
  const double values[] = {1.0, 3.0, 123456789.0, 0x1p52, 0x1p53 + 2, 0x1p64, 0x1p100, 0x1.23456789abcdep120,
                           0x1.fffffffffffffp127};
  for (double d : values) {
    EXPECT_EQ(static_cast<double>(Uint128(d)), d) << d;
    if (d < 0x1p127) {
      EXPECT_EQ(static_cast<double>(Sint128(-d)), -d) << d;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Arithmetic
// ---------------------------------------------------------------------------------------------

TEST(Int128Arithmetic, PartExamplesAndSigns) {
  const Uint128 twoTo100 = Uint128(1u) << 100;
  EXPECT_EQ(text(twoTo100 / Uint128(3u)), "422550200076076467165567735125");
  EXPECT_EQ(Uint128::max() * Uint128::max(), Uint128(1u));
  const Uint128 a(1ull, 3ull), b(1ull, 5ull);  // (2^64 + 3)(2^64 + 5) = 2^128 + 8 * 2^64 + 15
  EXPECT_EQ(a * b, Uint128(8ull, 15ull));

  EXPECT_EQ(Sint128(-7) / Sint128(2), Sint128(-3));
  EXPECT_EQ(Sint128(7) / Sint128(-2), Sint128(-3));
  EXPECT_EQ(Sint128(-7) / Sint128(-2), Sint128(3));
  EXPECT_EQ(Sint128(-7) * Sint128(3), Sint128(-21));
  EXPECT_EQ(Sint128(-7) * Sint128(-3), Sint128(21));
  EXPECT_EQ(Sint128::min() / Sint128(-1), Sint128::min());  // wraps
  EXPECT_EQ(Sint128::min() * Sint128(-1), Sint128::min());
  EXPECT_TRUE(Sint128(-1) < Sint128(0));
  EXPECT_TRUE(Sint128::min() < Sint128::max());
  EXPECT_TRUE(Uint128(0u) < Uint128::max());
  EXPECT_EQ(Sint128::max() + Sint128(1), Sint128::min());
  EXPECT_EQ(Uint128() - Uint128(1u), Uint128::max());
}

TEST(Int128Arithmetic, DivisionByZeroIsDefined) {
  EXPECT_EQ(Uint128(5u) / Uint128(), Uint128::max());
  EXPECT_EQ(Uint128() / Uint128(), Uint128::max());
  EXPECT_EQ(Uint128::max() / Uint128(), Uint128::max());
  EXPECT_EQ(Sint128(5) / Sint128(), Sint128::max());
  EXPECT_EQ(Sint128() / Sint128(), Sint128::max());
  EXPECT_EQ(Sint128(-5) / Sint128(), Sint128::min());
  Uint128 u(9u);
  u /= Uint128();
  EXPECT_EQ(u, Uint128::max());
}

TEST(Int128Arithmetic, ShiftsIncludingLongOnes) {
  const Sint128 min = Sint128::min();
  EXPECT_EQ(min >> 1, Sint128(Uint128(0xC0000000u, 0u, 0u, 0u)));
  EXPECT_EQ(min >> 64, Sint128(Uint128(~0u, ~0u, 0x80000000u, 0u)));
  EXPECT_EQ(min >> 95, Sint128(Uint128(~0u, ~0u, ~0u, 0u)));
  EXPECT_EQ(min >> 127, Sint128(-1));
  EXPECT_EQ(min >> 128, Sint128(-1));
  EXPECT_EQ(min >> 0xFFFFFFFFu, Sint128(-1));
  EXPECT_EQ(Sint128::max() >> 126, Sint128(1));
  EXPECT_TRUE((Sint128::max() >> 128).isZero());
  EXPECT_TRUE((Uint128::max() >> 128).isZero());
  EXPECT_TRUE((Uint128::max() << 128).isZero());
  EXPECT_TRUE((Sint128(-1) << 200).isZero());
  EXPECT_EQ(Uint128::max() >> 127, Uint128(1u));
  EXPECT_EQ(Uint128(1u) << 127, kTwoTo127);
  EXPECT_TRUE(kTwoTo127.testBit(127));
  EXPECT_FALSE(kTwoTo127.testBit(126));
  EXPECT_FALSE(Uint128::max().testBit(128));
}

TEST(Int128Arithmetic, AgreesWithTheCompilersType) {
  // A fixed pseudo-random walk over operands of every size, checked against unsigned __int128.
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  auto operand = [&] {
    const u128 raw = (static_cast<u128>(next()) << 64) | next();
    return raw >> (next() % 128);  // every magnitude from 128 bits down to 1
  };
  for (int i = 0; i < 3000; ++i) {
    const u128 x = operand(), y = operand();
    const Uint128 a = fromNative(x), b = fromNative(y);
    const unsigned shift = static_cast<unsigned>(next() % 140);
    ASSERT_EQ(native(a + b), x + y);
    ASSERT_EQ(native(a - b), x - y);
    ASSERT_EQ(native(a * b), x * y);
    if (y != 0) {
      ASSERT_EQ(native(a / b), x / y) << text(a) << " / " << text(b);
    }
    ASSERT_EQ(native(a << shift), shift >= 128 ? 0 : x << shift);
    ASSERT_EQ(native(a >> shift), shift >= 128 ? 0 : x >> shift);
    const __int128 sx = static_cast<__int128>(x);
    const __int128 expectShift = shift >= 128 ? (sx < 0 ? -1 : 0) : sx >> shift;
    ASSERT_EQ(native(Sint128(a) >> shift), static_cast<u128>(expectShift));
    ASSERT_EQ(a < b, x < y);
    ASSERT_EQ(Sint128(a) < Sint128(b), static_cast<__int128>(x) < static_cast<__int128>(y));
    const __int128 sy = static_cast<__int128>(y);
    // Signed division, away from the one overflowing case.
    if (sy != 0 && !(sy == -1 && sx == static_cast<__int128>(static_cast<u128>(1) << 127))) {
      ASSERT_EQ(native(Sint128(a) / Sint128(b)), static_cast<u128>(sx / sy));
    }
    ASSERT_EQ(text(a), text(Uint128::fromString(text(a).c_str())));
  }
}

TEST(Int128Construction, FromIntegersAndWords) {
  EXPECT_EQ(Sint128(-1), Sint128(Uint128::max()));
  EXPECT_EQ(Sint128(std::int64_t{-2}).word(3), 0xFFFFFFFFu);
  EXPECT_EQ(Sint128(0xFFFFFFFFu).word(1), 0u);  // unsigned values are zero-extended
  EXPECT_EQ(Uint128(-1), Uint128::max());         // modulo 2^128
  const Uint128 w(1u, 2u, 3u, 4u);
  EXPECT_EQ(w.word(0), 4u);
  EXPECT_EQ(w.word(3), 1u);
  EXPECT_EQ(w.low64(), 0x0000000300000004ull);
  EXPECT_EQ(w.high64(), 0x0000000100000002ull);
  EXPECT_EQ(sizeof(Uint128), 16u);
  EXPECT_EQ(sizeof(Sint128), 16u);
}

}  // namespace
