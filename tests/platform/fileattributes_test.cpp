// GetFileAttributes: the attribute bits derived from a file's status, and Windows' errors.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/fileattributes.h"
#include "platform/winerror.h"

namespace fs = std::filesystem;
namespace tp = tarn::platform;

namespace {

class FileAttributes : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarn-attr-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_F(FileAttributes, KindsAndPermissions) {
  std::ofstream(dir_ + "/file") << "x";
  std::ofstream(dir_ + "/readonly") << "x";
  ::chmod((dir_ + "/readonly").c_str(), 0444);
  fs::create_directory(dir_ + "/sub");
  fs::create_symlink(dir_ + "/sub", dir_ + "/link");
  struct {
    const char* name;
    tp::DWORD expected;
  } const cases[] = {
      {"file", tp::FILE_ATTRIBUTE_NORMAL},
      {"readonly", tp::FILE_ATTRIBUTE_READONLY},
      {"sub", tp::FILE_ATTRIBUTE_DIRECTORY},
      {"link", tp::FILE_ATTRIBUTE_DIRECTORY},  // a link answers for what it names
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tp::GetFileAttributes((dir_ + "/" + c.name).c_str()), c.expected) << c.name;
  }
}

TEST_F(FileAttributes, MissingPaths) {
  struct {
    std::string path;
    tp::DWORD error;
  } const cases[] = {
      {dir_ + "/missing", tp::ERROR_FILE_NOT_FOUND},
      {dir_ + "/missing/file", tp::ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    tp::SetLastError(0);
    EXPECT_EQ(tp::GetFileAttributes(c.path.c_str()), tp::INVALID_FILE_ATTRIBUTES) << c.path;
    EXPECT_EQ(tp::GetLastError(), c.error) << c.path;
  }
  tp::SetLastError(0);
  EXPECT_EQ(tp::GetFileAttributes(nullptr), tp::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(tp::GetLastError(), tp::ERROR_INVALID_PARAMETER);
}

}  // namespace
