// GetEnvironmentVariable and SetEnvironmentVariable: the Windows contract over the process
// environment (not-set versus empty, the size needed when a buffer is short, refused names).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/environment.h"
#include "platform/winerror.h"

namespace tp = tarn::platform;

namespace {

constexpr const char* kName = "TARN_ENVIRONMENT_TEST";

class Environment : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv(kName); }
  void TearDown() override { ::unsetenv(kName); }
};

TEST_F(Environment, NotSetIsError203) {
  char buffer[16] = "untouched";
  tp::SetLastError(0);
  EXPECT_EQ(tp::GetEnvironmentVariable(kName, buffer, sizeof buffer), 0u);
  EXPECT_EQ(tp::GetLastError(), tp::ERROR_ENVVAR_NOT_FOUND);
  EXPECT_STREQ(buffer, "untouched");
}

TEST_F(Environment, EmptyIsSuccessWithLengthZero) {
  ::setenv(kName, "", 1);
  char buffer[4] = "xyz";
  tp::SetLastError(tp::ERROR_ENVVAR_NOT_FOUND);
  EXPECT_EQ(tp::GetEnvironmentVariable(kName, buffer, sizeof buffer), 0u);
  EXPECT_EQ(tp::GetLastError(), tp::ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "");
}

// The length without the zero when it fits; the size with the zero, buffer untouched, when not.
TEST_F(Environment, BufferSizes) {
  ::setenv(kName, "abcdef", 1);
  struct {
    tp::DWORD size;
    tp::DWORD expected;
    const char* buffer;
  } const cases[] = {
      {0, 7, "--------"}, {6, 7, "--------"}, {7, 6, "abcdef"}, {9, 6, "abcdef"},
  };
  for (const auto& c : cases) {
    char buffer[9] = "--------";
    EXPECT_EQ(tp::GetEnvironmentVariable(kName, buffer, c.size), c.expected) << c.size;
    EXPECT_STREQ(buffer, c.buffer) << c.size;
  }
  EXPECT_EQ(tp::GetEnvironmentVariable(kName, nullptr, 100), 7u);
}

TEST_F(Environment, ValueLongerThanWindowsLimit) {
  const std::string value(70000, 'v');
  ASSERT_NE(tp::SetEnvironmentVariable(kName, value.c_str()), 0);
  EXPECT_EQ(tp::GetEnvironmentVariable(kName, nullptr, 0), 70001u);
  std::string read(70001, '\0');
  EXPECT_EQ(tp::GetEnvironmentVariable(kName, read.data(), 70001), 70000u);
  read.resize(70000);
  EXPECT_EQ(read, value);
}

TEST_F(Environment, SetAndRemove) {
  ASSERT_NE(tp::SetEnvironmentVariable(kName, "one"), 0);
  EXPECT_STREQ(std::getenv(kName), "one");
  ASSERT_NE(tp::SetEnvironmentVariable(kName, "two"), 0);
  EXPECT_STREQ(std::getenv(kName), "two");
  ASSERT_NE(tp::SetEnvironmentVariable(kName, nullptr), 0);
  EXPECT_EQ(std::getenv(kName), nullptr);
  // Removing what is not set succeeds, as on Windows.
  EXPECT_NE(tp::SetEnvironmentVariable(kName, nullptr), 0);
}

// A name holding '=' would otherwise read another variable's tail: "A=B" is a prefix of the
// entry "A=B=x" of variable A.
TEST_F(Environment, InvalidNamesRefused) {
  ::setenv(kName, "B=x", 1);
  const std::string withEquals = std::string(kName) + "=B";
  char buffer[16];
  for (const char* name : {static_cast<const char*>(nullptr), "", withEquals.c_str()}) {
    tp::SetLastError(0);
    EXPECT_EQ(tp::GetEnvironmentVariable(name, buffer, sizeof buffer), 0u);
    EXPECT_EQ(tp::GetLastError(), tp::ERROR_INVALID_PARAMETER);
    tp::SetLastError(0);
    EXPECT_EQ(tp::SetEnvironmentVariable(name, "v"), 0);
    EXPECT_EQ(tp::GetLastError(), tp::ERROR_INVALID_PARAMETER);
  }
  EXPECT_STREQ(std::getenv(kName), "B=x");
}

}  // namespace
