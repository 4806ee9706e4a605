// A temporary platform root for one test: a fresh directory that TARN_PLATFORM_ROOT points at
// while the object lives, removed with everything in it afterwards. Tests that start programs
// pass the variable on through the environment.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tarn::test {

class TempPlatformRoot {
 public:
  TempPlatformRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarn-root-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    const char* old = std::getenv("TARN_PLATFORM_ROOT");
    if (old != nullptr) previous_ = old, hadPrevious_ = true;
    ::setenv("TARN_PLATFORM_ROOT", path_.c_str(), 1);
  }
  ~TempPlatformRoot() {
    if (hadPrevious_) ::setenv("TARN_PLATFORM_ROOT", previous_.c_str(), 1);
    else ::unsetenv("TARN_PLATFORM_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempPlatformRoot(const TempPlatformRoot&) = delete;
  TempPlatformRoot& operator=(const TempPlatformRoot&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
  bool hadPrevious_ = false;
};

}  // namespace tarn::test
