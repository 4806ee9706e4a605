// Fixture of the path and file-operation tests: a fresh platform root, a scratch directory
// readable by every user (the tests that drop privileges work in it), a known umask, and the
// log records written meanwhile, caught through the log callback.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "osse/diag/log.h"
#include "test_root.h"

namespace tarn::test {

struct CaughtRecord {
  std::uint32_t functionId;
  std::uint32_t calledFunctionId;
  std::uint32_t ecfCode;
  std::uint32_t probe;
};

inline std::mutex g_caughtMutex;
inline std::vector<CaughtRecord> g_caught;

inline std::uint32_t CatchRecord(OSSLogFac*, std::uint32_t functionId, std::uint32_t calledFunctionId, std::uint32_t,
                                 std::uint32_t ecfCode, std::uint32_t probe, std::uint32_t, std::uint32_t, std::int32_t,
                                 const OSSLogItem* const*) {
  std::lock_guard<std::mutex> lock(g_caughtMutex);
  g_caught.push_back({functionId, calledFunctionId, ecfCode, probe});
  return 0;
}

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousUmask_ = ::umask(022);
    dir_ = root_.path() + "/scratch";
    std::filesystem::create_directory(dir_);
    ::chmod(root_.path().c_str(), 0755);
    ::chmod(dir_.c_str(), 0777);
    clearLog();
    ossSetOSSeLogCallback(&CatchRecord);
  }
  void TearDown() override {
    ossSetOSSeLogCallback(nullptr);
    ::umask(previousUmask_);
  }

  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }

  std::string makeFile(const std::string& relative, const std::string& contents = "x", mode_t mode = 0644) const {
    const std::string p = path(relative);
    std::ofstream(p, std::ios::binary) << contents;
    ::chmod(p.c_str(), mode);
    return p;
  }
  std::string makeDir(const std::string& relative, mode_t mode = 0755) const {
    const std::string p = path(relative);
    std::filesystem::create_directories(p);
    ::chmod(p.c_str(), mode);
    return p;
  }
  static std::string readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static mode_t modeOf(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
  }
  static bool exists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
  }

  static void clearLog() {
    std::lock_guard<std::mutex> lock(g_caughtMutex);
    g_caught.clear();
  }
  static std::size_t logCount() {
    std::lock_guard<std::mutex> lock(g_caughtMutex);
    return g_caught.size();
  }
  static std::size_t logCountFor(std::uint32_t functionId) {
    std::lock_guard<std::mutex> lock(g_caughtMutex);
    std::size_t n = 0;
    for (const auto& r : g_caught) n += r.functionId == functionId ? 1 : 0;
    return n;
  }

  TempPlatformRoot root_;
  std::string dir_;
  mode_t previousUmask_ = 022;
};

}  // namespace tarn::test
