// The platform's short path names, on which FindByPath relies: an existing path is its own short
// form, a missing one has none (2 for a missing last component, 3 for a missing directory).
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/winerror.h"
#include "test_root.h"

namespace tarn::platform {
namespace {

TEST(GetShortPathNameTest, ExistingPathsNameThemselvesMissingOnesFail) {
  test::TempPlatformRoot root;
  const std::string dir = root.path() + "/Program Files/Tarn Long Name";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/file.txt") << "x";

  struct Case {
    std::string path;
    bool exists;
    DWORD error;
  };
  const Case cases[] = {
      {dir, true, 0},
      {dir + "/", true, 0},
      {dir + "/file.txt", true, 0},
      {dir + "/missing", false, ERROR_FILE_NOT_FOUND},
      {dir + "/missing/deeper", false, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    char out[512];
    SetLastError(0);
    const DWORD length = GetShortPathName(c.path.c_str(), out, sizeof out);
    if (c.exists) {
      ASSERT_EQ(length, c.path.size()) << c.path;
      EXPECT_EQ(std::string(out), c.path);
    } else {
      EXPECT_EQ(length, 0u) << c.path;
      EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
  }
}

TEST(GetShortPathNameTest, ShortBufferGetsTheSizeNeededAndStaysUntouched) {
  test::TempPlatformRoot root;
  const std::string& path = root.path();
  std::string out(path.size(), '#');
  // One character short of the path and its zero.
  EXPECT_EQ(GetShortPathName(path.c_str(), out.data(), static_cast<DWORD>(path.size())),
            path.size() + 1);
  EXPECT_EQ(out, std::string(path.size(), '#'));
  EXPECT_EQ(GetShortPathName(path.c_str(), nullptr, 0), path.size() + 1);
  // The same buffer for both.
  std::string inPlace = path;
  inPlace.resize(path.size() + 1, '\0');
  EXPECT_EQ(GetShortPathName(inPlace.c_str(), inPlace.data(), static_cast<DWORD>(inPlace.size())),
            path.size());
  EXPECT_EQ(std::string(inPlace.c_str()), path);
  SetLastError(0);
  EXPECT_EQ(GetShortPathName(nullptr, out.data(), 8), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace tarn::platform
