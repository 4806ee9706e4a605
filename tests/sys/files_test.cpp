// Files: OSSHFile's open modes and access, the parameter rule, the one-byte lock within a process
// and between processes, short reads and failed writes, seek and setSize, mapping, permissions;
// OSSPrimitiveFileOp.
#include "osse/sys/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/trace.h"
#include "test_root.h"
#include "trace_support.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

OSSFileOpenParam OpenParam(const std::string& path, std::uint32_t mode, std::uint32_t access,
                           std::uint32_t options = 0, std::uint32_t permissions = 0600) {
  return OSSFileOpenParam{OSS_VERSION_STAMP, path.c_str(), mode, access, options, permissions, 0};
}

// Every test logs to a file of its own temporary directory, so that it can tell whether a failure
// wrote a record.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_.path();
    path_ = dir_ + "/data.bin";
    logPath_ = dir_ + "/diag.log";
    OSSLogFacOpenParam param = {};
    param.version = OSS_VERSION_STAMP;
    std::snprintf(param.path, sizeof param.path, "%s", logPath_.c_str());
    std::snprintf(param.name, sizeof param.name, "files");
    param.level = 5;
    param.destination = OSS_LOG_DEST_FILE;
    param.permissions = 0600;
    ASSERT_EQ(ossLogFacOpen(&param, nullptr), 0u);
  }
  void TearDown() override { ossLogFacClose(nullptr); }

  std::string log() const { return ReadAll(logPath_); }
  void clearLog() const { std::filesystem::remove(logPath_); }

  // Opens path_ read-write (creating it with `content` first when given).
  void openData(OSSHFile& file, const std::string& content, std::uint32_t access = OSS_FILE_ACCESS_READWRITE) {
    WriteAll(path_, content);
    const OSSFileOpenParam param = OpenParam(path_, OSS_FILE_OPEN_EXISTING, access);
    ASSERT_EQ(file.open(&param), 0u);
  }

  tarn::test::TempPlatformRoot root_;
  std::string dir_;
  std::string path_;
  std::string logPath_;
};

// ---------------------------------------------------------------------------------------------
// open: every mode against an existing and a missing file, with every access.
// ---------------------------------------------------------------------------------------------

struct OpenCase {
  std::uint32_t mode;
  bool exists;
  std::uint32_t result;
  const char* contentAfter;  // the file's content after the open (null: the file must not exist)
};

const OpenCase kOpenCases[] = {
    {OSS_FILE_OPEN_EXISTING, true, 0, "old"},
    {OSS_FILE_OPEN_EXISTING, false, ECF_FILE_DOESNT_EXIST, nullptr},
    {OSS_FILE_OPEN_ALWAYS, true, 0, "old"},
    {OSS_FILE_OPEN_ALWAYS, false, 0, ""},
    {OSS_FILE_OPEN_TRUNCATE, true, 0, ""},
    {OSS_FILE_OPEN_TRUNCATE, false, ECF_FILE_DOESNT_EXIST, nullptr},
    {OSS_FILE_CREATE_NEW, true, ECF_FILE_EXISTS, "old"},
    {OSS_FILE_CREATE_NEW, false, 0, ""},
    {OSS_FILE_CREATE_ALWAYS, true, 0, ""},
    {OSS_FILE_CREATE_ALWAYS, false, 0, ""},
};

class OpenTest : public FileTest, public ::testing::WithParamInterface<std::tuple<OpenCase, std::uint32_t>> {};

TEST_P(OpenTest, ModeAndAccess) {
  const OpenCase& c = std::get<0>(GetParam());
  const std::uint32_t access = std::get<1>(GetParam());
  if (c.exists) WriteAll(path_, "old");
  std::uint32_t expected = c.result;
  const char* contentAfter = c.contentAfter;
  if (c.mode == OSS_FILE_OPEN_TRUNCATE && access == OSS_FILE_ACCESS_READ) {
    expected = ECF_INVALID_PARAMETER;  // refused before the path is looked at
    contentAfter = c.exists ? "old" : nullptr;
  }
  OSSHFile file;
  const OSSFileOpenParam param = OpenParam(path_, c.mode, access);
  ASSERT_EQ(file.open(&param), expected);
  if (expected != 0) {
    EXPECT_EQ(file.getFileHandle(), OSS_INVALID_FILE_HANDLE);
    EXPECT_NE(log().find("FUNCTION: OSS, OSSE, OSSHFile::open"), std::string::npos) << log();
  } else {
    EXPECT_NE(file.getFileHandle(), OSS_INVALID_FILE_HANDLE);
    // The access decides what the handle may do.
    const bool canRead = access != OSS_FILE_ACCESS_WRITE;
    const bool canWrite = access != OSS_FILE_ACCESS_READ;
    char byte = 0;
    std::uint32_t count = 0;
    const OSSFileReadParam read = {OSS_VERSION_STAMP, 1, 0};
    const std::uint32_t readRc = file.read(&read, &byte, &count);
    EXPECT_EQ(readRc == 0 || readRc == ECF_FILE_EOF, canRead) << std::hex << readRc;
    const OSSFileSeekParam seekEnd = {OSS_VERSION_STAMP, 0, OSS_FILE_SEEK_END, 0};
    ASSERT_EQ(file.seek(&seekEnd, nullptr), 0u);
    clearLog();
    const OSSFileWriteParam write = {OSS_VERSION_STAMP, "!", 1, 0};
    EXPECT_EQ(file.write(&write, &count) == 0, canWrite);
    if (!canWrite) {
      EXPECT_NE(log().find("CALLED  : OS, -, WriteFile"), std::string::npos) << log();
    }
    ASSERT_EQ(file.close(), 0u);
    EXPECT_EQ(file.getFileHandle(), OSS_INVALID_FILE_HANDLE);
    if (canWrite) {
      ASSERT_NE(contentAfter, nullptr);
      EXPECT_EQ(ReadAll(path_), std::string(contentAfter) + "!");
      return;
    }
  }
  if (contentAfter == nullptr) {
    EXPECT_FALSE(std::filesystem::exists(path_));
  } else {
    EXPECT_EQ(ReadAll(path_), contentAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, OpenTest,
                         ::testing::Combine(::testing::ValuesIn(kOpenCases),
                                            ::testing::Values(OSS_FILE_ACCESS_READ, OSS_FILE_ACCESS_WRITE,
                                                              OSS_FILE_ACCESS_READWRITE)),
                         [](const auto& info) {
                           const OpenCase& c = std::get<0>(info.param);
                           return "mode" + std::to_string(c.mode) + (c.exists ? "_existing" : "_missing") +
                                  "_access" + std::to_string(std::get<1>(info.param));
                         });

TEST_F(FileTest, OpenRefusesBadParameters) {
  struct Case {
    const char* what;
    OSSFileOpenParam param;
    std::uint32_t result;
    const char* probe;
  };
  const std::string path = path_;
  const Case cases[] = {
      {"version 20040701", {20040701u, path.c_str(), 2, 4, 0, 0600, 0}, ECF_INVALID_VERSION, "probe:1112"},
      {"open mode 3", {OSS_VERSION_STAMP, path.c_str(), 3, 4, 0, 0600, 0}, ECF_INVALID_PARAMETER, "probe:20"},
      {"open mode 0", {OSS_VERSION_STAMP, path.c_str(), 0, 4, 0, 0600, 0}, ECF_INVALID_PARAMETER, "probe:20"},
      {"access 3", {OSS_VERSION_STAMP, path.c_str(), 2, 3, 0, 0600, 0}, ECF_INVALID_PARAMETER, "probe:10"},
      {"no file name", {OSS_VERSION_STAMP, nullptr, 2, 4, 0, 0600, 0}, ECF_INVALID_PARAMETER, "probe:40"},
  };
  for (const Case& c : cases) {
    clearLog();
    OSSHFile file;
    EXPECT_EQ(file.open(&c.param), c.result) << c.what;
    EXPECT_NE(log().find(c.probe), std::string::npos) << c.what << "\n" << log();
    EXPECT_FALSE(std::filesystem::exists(path_)) << c.what;
  }
  clearLog();
  OSSHFile file;
  EXPECT_EQ(file.open(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_NE(log().find("probe:1111"), std::string::npos) << log();
  // The lowest accepted stamp.
  const OSSFileOpenParam lowest = {20040702u, path.c_str(), 2, 4, 0, 0600, 0};
  EXPECT_EQ(file.open(&lowest), 0u);
  EXPECT_EQ(file.close(), 0u);
}

TEST_F(FileTest, OpenFailuresOfTheSystemGoThroughTheHandler) {
  OSSHFile file;
  // A directory is no file, and a missing directory on the way is a missing path.
  const OSSFileOpenParam directory = OpenParam(dir_, OSS_FILE_OPEN_ALWAYS, OSS_FILE_ACCESS_READ);
  EXPECT_EQ(file.open(&directory), ECF_ACCESS_DENIED);
  EXPECT_NE(log().find("CALLED  : OS, -, CreateFileA"), std::string::npos) << log();
  const std::string deep = dir_ + "/missing/file";
  const OSSFileOpenParam missingDir = OpenParam(deep, OSS_FILE_OPEN_ALWAYS, OSS_FILE_ACCESS_READWRITE);
  EXPECT_EQ(file.open(&missingDir), ECF_FILE_PATH_DOESNT_EXIST);
  EXPECT_NE(log().find("OSERR: ERROR_PATH_NOT_FOUND (3)"), std::string::npos) << log();
  EXPECT_NE(log().find(deep), std::string::npos) << "the record carries the file name";
  EXPECT_EQ(file.getFileHandle(), OSS_INVALID_FILE_HANDLE);
}

TEST_F(FileTest, CreatedFileGetsItsPermissionsAndDeleteOnCloseRemovesTheName) {
  const mode_t saved = ::umask(022);
  OSSHFile file;
  const OSSFileOpenParam create = OpenParam(path_, OSS_FILE_CREATE_NEW, OSS_FILE_ACCESS_READWRITE, 0, 0640);
  ASSERT_EQ(file.open(&create), 0u);
  struct stat status {};
  ASSERT_EQ(::stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  ASSERT_EQ(file.close(), 0u);
  ::umask(saved);

  const std::string temporary = dir_ + "/scratch.tmp";
  const OSSFileOpenParam scratch =
      OpenParam(temporary, OSS_FILE_CREATE_ALWAYS, OSS_FILE_ACCESS_READWRITE, OSS_FILE_OPTION_DELETE_ON_CLOSE);
  ASSERT_EQ(file.open(&scratch), 0u);
  EXPECT_FALSE(std::filesystem::exists(temporary));
  const OSSFileWriteParam write = {OSS_VERSION_STAMP, "kept", 4, 0};
  std::uint32_t count = 0;
  ASSERT_EQ(file.write(&write, &count), 0u);
  const OSSFileSeekParam begin = {OSS_VERSION_STAMP, 0, OSS_FILE_SEEK_BEGIN, 0};
  ASSERT_EQ(file.seek(&begin, nullptr), 0u);
  char back[4];
  const OSSFileReadParam read = {OSS_VERSION_STAMP, 4, 0};
  ASSERT_EQ(file.read(&read, back, &count), 0u);
  EXPECT_EQ(std::string(back, 4), "kept");
  EXPECT_EQ(file.close(), 0u);
}

// A file of mode 0400 refuses a later open for writing. Tests run as root, who may write
// anything, so the check runs in a child that has given up root for good.
TEST_F(FileTest, ReadOnlyPermissionsRefuseALaterWrite) {
  OSSHFile file;
  const OSSFileOpenParam create = OpenParam(path_, OSS_FILE_CREATE_NEW, OSS_FILE_ACCESS_READWRITE, 0, 0400);
  ASSERT_EQ(file.open(&create), 0u);
  const OSSFileWriteParam write = {OSS_VERSION_STAMP, "data", 4, 0};
  std::uint32_t count = 0;
  EXPECT_EQ(file.write(&write, &count), 0u) << "the creator's handle may write";
  ASSERT_EQ(file.close(), 0u);
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);  // the child's file, as it would be its own

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(10);
    OSSHFile again;
    const OSSFileOpenParam forWrite = OpenParam(path_, OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_WRITE);
    if (again.open(&forWrite) != ECF_ACCESS_DENIED) ::_exit(11);
    const OSSFileOpenParam forRead = OpenParam(path_, OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_READ);
    if (again.open(&forRead) != 0) ::_exit(12);
    again.close();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: could not drop privileges, 11: write open not refused, 12: read refused";
}

// ---------------------------------------------------------------------------------------------
// read, write
// ---------------------------------------------------------------------------------------------

TEST_F(FileTest, ShortReadIsEndOfFileWithoutRecord) {
  OSSHFile file;
  openData(file, "0123456789");
  const OSSFileSeekParam seek = {OSS_VERSION_STAMP, 6, OSS_FILE_SEEK_BEGIN, 0};
  ASSERT_EQ(file.seek(&seek, nullptr), 0u);
  char buffer[16] = {};
  std::uint32_t count = 99;
  const OSSFileReadParam ten = {OSS_VERSION_STAMP, 10, 0};
  EXPECT_EQ(file.read(&ten, buffer, &count), ECF_FILE_EOF);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(file.read(&ten, buffer, &count), ECF_FILE_EOF);
  EXPECT_EQ(count, 0u);
  const OSSFileReadParam none = {OSS_VERSION_STAMP, 0, 0};
  EXPECT_EQ(file.read(&none, buffer, &count), 0u);
  EXPECT_FALSE(std::filesystem::exists(logPath_)) << log();
  EXPECT_EQ(file.read(nullptr, buffer, &count), ECF_INVALID_PARAMETER);
  EXPECT_EQ(file.close(), 0u);
}

TEST_F(FileTest, WriteOfZeroBytesSucceeds) {
  OSSHFile file;
  openData(file, "abc");
  std::uint32_t count = 5;
  const OSSFileWriteParam none = {OSS_VERSION_STAMP, nullptr, 0, 0};
  EXPECT_EQ(file.write(&none, &count), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(file.close(), 0u);
  EXPECT_EQ(ReadAll(path_), "abc");
}

// A write that fails part-way reports the system's failure and a count of 0, even though part of
// the data reached the file: here the file-size limit lets 10 of 20 bytes through.
TEST_F(FileTest, WriteFailingPartWayReportsTheFailure) {
  OSSHFile file;
  openData(file, "");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {10, 10};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    std::uint32_t count = 99;
    const OSSFileWriteParam twenty = {OSS_VERSION_STAMP, "01234567890123456789", 20, 0};
    if (file.write(&twenty, &count) != ECF_FILE_NO_SPACE) ::_exit(11);
    if (count != 0) ::_exit(12);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::uint64_t size = 0;
  ASSERT_EQ(file.getSize(&size), 0u);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(file.close(), 0u);
}

TEST_F(FileTest, WriteOnAFullDeviceFails) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this machine";
  OSSHFile file;
  const std::string device = "/dev/full";
  const OSSFileOpenParam full = OpenParam(device, OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_WRITE);
  ASSERT_EQ(file.open(&full), 0u);
  std::uint32_t count = 99;
  const OSSFileWriteParam some = {OSS_VERSION_STAMP, "abc", 3, 0};
  EXPECT_EQ(file.write(&some, &count), ECF_FILE_NO_SPACE);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(file.close(), 0u);
}

TEST_F(FileTest, OperationsOnAnIdleObjectFail) {
  OSSHFile file;
  std::uint64_t size = 0;
  EXPECT_EQ(file.getSize(&size), ECF_INVALID_PARAMETER);  // a bad handle (Windows error 6)
  EXPECT_EQ(file.sync(), ECF_INVALID_PARAMETER);
  EXPECT_EQ(file.close(), ECF_INVALID_PARAMETER);
  EXPECT_NE(log().find("OSERR: ERROR_INVALID_FLAGS (6)"), std::string::npos) << log();
}

// ---------------------------------------------------------------------------------------------
// seek, setSize
// ---------------------------------------------------------------------------------------------

TEST_F(FileTest, SeekEdgeCases) {
  struct Case {
    const char* what;
    std::int64_t start;  // absolute position before the seek
    std::uint32_t whence;
    std::int64_t offset;
    std::uint32_t result;
    std::uint64_t position;  // after the call
  };
  const Case cases[] = {
      {"to the size", 0, OSS_FILE_SEEK_BEGIN, 10, 0, 10},
      {"one past the size", 3, OSS_FILE_SEEK_BEGIN, 11, ECF_FILE_SEEK_BEYOND_EOF, 3},
      {"negative from the beginning", 3, OSS_FILE_SEEK_BEGIN, -1, 0, 0},
      {"back past the beginning", 3, OSS_FILE_SEEK_CURRENT, -5, 0, 0},
      {"forward from the current", 3, OSS_FILE_SEEK_CURRENT, 4, 0, 7},
      {"from the end", 3, OSS_FILE_SEEK_END, -3, 0, 7},
      {"at the end", 3, OSS_FILE_SEEK_END, 0, 0, 10},
      {"past the end", 3, OSS_FILE_SEEK_END, 1, ECF_FILE_SEEK_BEYOND_EOF, 3},  // and the position stays
      {"largest offset", 3, OSS_FILE_SEEK_CURRENT, INT64_MAX, ECF_FILE_SEEK_BEYOND_EOF, 3},
      {"smallest offset", 3, OSS_FILE_SEEK_END, INT64_MIN, 0, 0},
      {"unknown base", 3, 3, 0, ECF_INVALID_PARAMETER, 3},
  };
  OSSHFile file;
  openData(file, "0123456789");
  for (const Case& c : cases) {
    const OSSFileSeekParam start = {OSS_VERSION_STAMP, c.start, OSS_FILE_SEEK_BEGIN, 0};
    ASSERT_EQ(file.seek(&start, nullptr), 0u) << c.what;
    clearLog();
    std::uint64_t position = 12345;
    const OSSFileSeekParam seek = {OSS_VERSION_STAMP, c.offset, c.whence, 0};
    EXPECT_EQ(file.seek(&seek, &position), c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(position, c.position) << c.what;
    } else {
      EXPECT_NE(log().find("OSSHFile::seek"), std::string::npos) << c.what;
    }
    // Where the file pointer really is: read what follows.
    char next = 0;
    std::uint32_t count = 0;
    const OSSFileReadParam one = {OSS_VERSION_STAMP, 1, 0};
    file.read(&one, &next, &count);
    if (c.position < 10) {
      EXPECT_EQ(next, static_cast<char>('0' + c.position)) << c.what;
    } else {
      EXPECT_EQ(count, 0u) << c.what;
    }
  }
  EXPECT_EQ(file.close(), 0u);
}

TEST_F(FileTest, SetSizeKeepsOrClampsThePosition) {
  struct Case {
    std::uint64_t position;
    std::uint64_t newSize;
    std::uint64_t positionAfter;
  };
  const Case cases[] = {
      {3, 10, 3},   // same size: nothing changes
      {8, 4, 4},    // shrinking below the position leaves it at the new end
      {3, 20, 3},   // growing keeps it
      {10, 5, 5},   //
      {2, 5, 2},    // shrinking above the position keeps it
      {0, 0, 0},    // emptied
      {10, 16, 10}, //
  };
  for (const Case& c : cases) {
    OSSHFile file;
    openData(file, "0123456789");
    const OSSFileSeekParam seek = {OSS_VERSION_STAMP, static_cast<std::int64_t>(c.position), OSS_FILE_SEEK_BEGIN, 0};
    ASSERT_EQ(file.seek(&seek, nullptr), 0u);
    const OSSFileSetSizeParam size = {OSS_VERSION_STAMP, c.newSize, 0};
    ASSERT_EQ(file.setSize(&size), 0u) << c.newSize;
    std::uint64_t now = 0;
    ASSERT_EQ(file.getSize(&now), 0u);
    EXPECT_EQ(now, c.newSize);
    const OSSFileSeekParam here = {OSS_VERSION_STAMP, 0, OSS_FILE_SEEK_CURRENT, 0};
    std::uint64_t position = 0;
    ASSERT_EQ(file.seek(&here, &position), 0u);
    EXPECT_EQ(position, c.positionAfter) << c.position << " -> " << c.newSize;
    ASSERT_EQ(file.close(), 0u);
    const std::string content = ReadAll(path_);
    ASSERT_EQ(content.size(), c.newSize);
    EXPECT_EQ(content.substr(0, std::min<std::size_t>(10, c.newSize)),
              std::string("0123456789").substr(0, std::min<std::size_t>(10, c.newSize)));
    if (c.newSize > 10) {
      EXPECT_EQ(content.substr(10), std::string(c.newSize - 10, '\0'));
    }
  }
  OSSHFile file;
  openData(file, "0123456789");
  const OSSFileSetSizeParam withOptions = {OSS_VERSION_STAMP, 4, 1};
  EXPECT_EQ(file.setSize(&withOptions), ECF_INVALID_PARAMETER);
  const OSSFileSetSizeParam old = {20040701u, 4, 0};
  EXPECT_EQ(file.setSize(&old), ECF_INVALID_VERSION);
  std::uint64_t now = 0;
  ASSERT_EQ(file.getSize(&now), 0u);
  EXPECT_EQ(now, 10u);
  EXPECT_EQ(file.close(), 0u);
}

// ---------------------------------------------------------------------------------------------
// lock
// ---------------------------------------------------------------------------------------------

struct LockCase {
  std::uint32_t held;       // lock type held by the first object
  std::uint32_t requested;  // lock type asked for by the second, without waiting
  std::uint32_t result;
};

class LockTest : public FileTest, public ::testing::WithParamInterface<LockCase> {};

// Two objects of one process exclude each other as two processes would.
TEST_P(LockTest, TwoObjectsOfOneProcess) {
  const LockCase& c = GetParam();
  OSSHFile first;
  OSSHFile second;
  openData(first, "");  // an empty file locks as well
  const OSSFileOpenParam again = OpenParam(path_, OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_READWRITE);
  ASSERT_EQ(second.open(&again), 0u);
  const OSSFileLockParam hold = {OSS_VERSION_STAMP, c.held, OSS_FILE_LOCK_NOWAIT};
  ASSERT_EQ(first.lock(&hold), 0u);
  const OSSFileLockParam ask = {OSS_VERSION_STAMP, c.requested, OSS_FILE_LOCK_NOWAIT};
  EXPECT_EQ(second.lock(&ask), c.result);
  EXPECT_FALSE(std::filesystem::exists(logPath_)) << "a lock held elsewhere is no logged failure";
  // Released by unlock: now it is free.
  ASSERT_EQ(first.unlock(), 0u);
  if (c.result != 0) {
    EXPECT_EQ(second.lock(&ask), 0u);
  }
  EXPECT_EQ(second.unlock(), 0u);
  EXPECT_EQ(second.unlock(), 0u) << "unlocking an unlocked file";
  // Released by close as well.
  ASSERT_EQ(first.lock(&hold), 0u);
  ASSERT_EQ(first.close(), 0u);
  EXPECT_EQ(second.lock(&ask), 0u);
  EXPECT_EQ(second.close(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Types, LockTest,
                         ::testing::Values(LockCase{OSS_FILE_LOCK_SHARED, OSS_FILE_LOCK_SHARED, 0},
                                           LockCase{OSS_FILE_LOCK_SHARED, OSS_FILE_LOCK_EXCLUSIVE, ECF_FILE_LOCK},
                                           LockCase{OSS_FILE_LOCK_EXCLUSIVE, OSS_FILE_LOCK_SHARED, ECF_FILE_LOCK},
                                           LockCase{OSS_FILE_LOCK_EXCLUSIVE, OSS_FILE_LOCK_EXCLUSIVE, ECF_FILE_LOCK}),
                         [](const auto& info) {
                           return std::string(info.param.held == OSS_FILE_LOCK_SHARED ? "shared" : "exclusive") +
                                  "_then_" + (info.param.requested == OSS_FILE_LOCK_SHARED ? "shared" : "exclusive");
                         });

TEST_F(FileTest, LockRefusesBadParameters) {
  OSSHFile file;
  openData(file, "x");
  const OSSFileLockParam badType = {OSS_VERSION_STAMP, 3, OSS_FILE_LOCK_WAIT};
  EXPECT_EQ(file.lock(&badType), ECF_INVALID_PARAMETER);
  const OSSFileLockParam badWait = {OSS_VERSION_STAMP, OSS_FILE_LOCK_SHARED, 0};
  EXPECT_EQ(file.lock(&badWait), ECF_INVALID_PARAMETER);
  EXPECT_EQ(file.lock(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(file.close(), 0u);
  // An exclusive lock needs a handle that may write (Linux's rule).
  OSSHFile reader;
  openData(reader, "x", OSS_FILE_ACCESS_READ);
  const OSSFileLockParam exclusive = {OSS_VERSION_STAMP, OSS_FILE_LOCK_EXCLUSIVE, OSS_FILE_LOCK_NOWAIT};
  EXPECT_EQ(reader.lock(&exclusive), ECF_INVALID_PARAMETER);
  EXPECT_NE(log().find("CALLED  : OS, -, LockFileEx"), std::string::npos) << log();
  EXPECT_EQ(reader.close(), 0u);
}

// Another process holds the lock: a no-wait request fails, a waiting one gets the lock once the
// holder lets go, and not before (the holder writes a mark before it unlocks).
TEST_F(FileTest, LockBetweenProcesses) {
  for (const std::uint32_t held : {OSS_FILE_LOCK_EXCLUSIVE, OSS_FILE_LOCK_SHARED}) {
    WriteAll(path_, "");
    int toChild[2];
    int toParent[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      OSSHFile mine;
      const OSSFileOpenParam open = OpenParam(path_, OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_READWRITE);
      const OSSFileLockParam lock = {OSS_VERSION_STAMP, held, OSS_FILE_LOCK_NOWAIT};
      if (mine.open(&open) != 0 || mine.lock(&lock) != 0) ::_exit(10);
      char go = 1;
      if (::write(toParent[1], &go, 1) != 1 || ::read(toChild[0], &go, 1) != 1) ::_exit(11);
      const OSSFileWriteParam mark = {OSS_VERSION_STAMP, "M", 1, 0};
      std::uint32_t count = 0;
      if (mine.write(&mark, &count) != 0) ::_exit(12);
      mine.unlock();
      ::_exit(mine.close() == 0 ? 0 : 13);
    }
    char go = 0;
    ASSERT_EQ(::read(toParent[0], &go, 1), 1);

    OSSHFile mine;
    const OSSFileOpenParam open = OpenParam(path_, OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_READWRITE);
    ASSERT_EQ(mine.open(&open), 0u);
    const OSSFileLockParam shared = {OSS_VERSION_STAMP, OSS_FILE_LOCK_SHARED, OSS_FILE_LOCK_NOWAIT};
    EXPECT_EQ(mine.lock(&shared), held == OSS_FILE_LOCK_SHARED ? 0u : ECF_FILE_LOCK);
    if (held == OSS_FILE_LOCK_SHARED) {
      ASSERT_EQ(mine.unlock(), 0u);
    }
    const OSSFileLockParam noWait = {OSS_VERSION_STAMP, OSS_FILE_LOCK_EXCLUSIVE, OSS_FILE_LOCK_NOWAIT};
    EXPECT_EQ(mine.lock(&noWait), ECF_FILE_LOCK);

    std::uint32_t waited = 1;
    std::string seen;
    std::thread waiter([&] {
      const OSSFileLockParam wait = {OSS_VERSION_STAMP, OSS_FILE_LOCK_EXCLUSIVE, OSS_FILE_LOCK_WAIT};
      waited = mine.lock(&wait);
      seen = ReadAll(path_);
    });
    ASSERT_EQ(::write(toChild[1], &go, 1), 1);
    waiter.join();
    EXPECT_EQ(waited, 0u);
    EXPECT_EQ(seen, "M") << "the waiting lock was granted while the other process held it";
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(mine.close(), 0u);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
  }
}

// ---------------------------------------------------------------------------------------------
// map, unmap
// ---------------------------------------------------------------------------------------------

TEST_F(FileTest, MapEachAccess) {
  struct Case {
    std::uint32_t access;
    bool writeReachesFile;
  };
  const Case cases[] = {{OSS_FILE_MAP_READ, false}, {OSS_FILE_MAP_COPY, false}, {OSS_FILE_MAP_READWRITE, true}};
  for (const Case& c : cases) {
    OSSHFile file;
    openData(file, "0123456789");
    void* address = nullptr;
    const OSSFileMapParam whole = {OSS_VERSION_STAMP, 0, c.access, 0};
    ASSERT_EQ(file.map(&whole, &address), 0u) << c.access;
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(address), 10), "0123456789");
    if (c.access != OSS_FILE_MAP_READ) {
      static_cast<char*>(address)[0] = 'X';
      EXPECT_EQ(static_cast<const char*>(address)[0], 'X');
    }
    EXPECT_EQ(file.unmap(nullptr), 0u) << c.access;
    EXPECT_EQ(file.unmap(nullptr), ECF_INVALID_ADDRESS) << "nothing left to unmap";
    // A part of the file, at a preferred address: the one just freed.
    void* preferred = address;
    const OSSFileMapParam part = {OSS_VERSION_STAMP, 4, c.access, 0};
    ASSERT_EQ(file.map(&part, &preferred), 0u);
    EXPECT_EQ(preferred, address);
    EXPECT_EQ(file.unmap(preferred), 0u);
    EXPECT_EQ(file.close(), 0u);
    EXPECT_EQ(ReadAll(path_), c.writeReachesFile ? "X123456789" : "0123456789") << c.access;
  }
}

TEST_F(FileTest, MapRefusals) {
  OSSHFile file;
  openData(file, "0123456789", OSS_FILE_ACCESS_READ);
  void* address = nullptr;
  const OSSFileMapParam readWrite = {OSS_VERSION_STAMP, 0, OSS_FILE_MAP_READWRITE, 0};
  EXPECT_EQ(file.map(&readWrite, &address), ECF_ACCESS_DENIED) << "a read-only handle cannot share writes";
  EXPECT_NE(log().find("CALLED  : OS, -, MapViewOfFileEx"), std::string::npos) << log();
  const OSSFileMapParam tooLong = {OSS_VERSION_STAMP, 11, OSS_FILE_MAP_READ, 0};
  EXPECT_EQ(file.map(&tooLong, &address), ECF_INVALID_PARAMETER) << "a view past the end of the file";
  const OSSFileMapParam badAccess = {OSS_VERSION_STAMP, 0, 3, 0};
  EXPECT_EQ(file.map(&badAccess, &address), ECF_INVALID_PARAMETER);
  // A preferred address that is taken.
  void* taken = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(taken, MAP_FAILED);
  address = taken;
  const OSSFileMapParam read = {OSS_VERSION_STAMP, 0, OSS_FILE_MAP_READ, 0};
  EXPECT_EQ(file.map(&read, &address), ECF_INVALID_ADDRESS);
  ::munmap(taken, 4096);
  EXPECT_EQ(file.close(), 0u);

  OSSHFile empty;
  openData(empty, "");
  address = nullptr;
  EXPECT_EQ(empty.map(&read, &address), ECF_INVALID_PARAMETER) << "an empty file has nothing to map";
  EXPECT_EQ(empty.close(), 0u);
}

// ---------------------------------------------------------------------------------------------
// OSSPrimitiveFileOp
// ---------------------------------------------------------------------------------------------

TEST_F(FileTest, PrimitiveFileOp) {
  OSSPrimitiveFileOp op;
  EXPECT_FALSE(op.isValid());
  std::uint32_t count = 7;
  char buffer[64] = {};
  EXPECT_EQ(op.read(4, buffer, &count), 6u) << "invalid handle";
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(op.write("ignored", 0), 0u) << "writing on an invalid handle does nothing";
  EXPECT_EQ(op.open(path_.c_str(), OSSPrimitiveFileOp::MODE_READWRITE | OSSPrimitiveFileOp::MODE_OPEN_EXISTING), 2u);
  EXPECT_FALSE(op.isValid());
  EXPECT_EQ(op.open((dir_ + "/no/such").c_str(), 0x14), 3u);

  ASSERT_EQ(op.open(path_.c_str(), 0x14), 0u);  // read and write, created when missing
  ASSERT_TRUE(op.isValid());
  EXPECT_EQ(op.write("text\0hidden", 0), 0u) << "a count of 0 writes the string without its NUL";
  EXPECT_EQ(op.write("AB", 2), 0u);
  EXPECT_EQ(op.fwrite("[%d:%s]", 42, "x"), 0u);
  OSSPrimitiveFileOp::offsetType size = -1;
  EXPECT_EQ(op.getSize(&size), 0u);
  EXPECT_EQ(size, 12);
  EXPECT_EQ(op.getCurrentOffset(), 12);
  op.seekToOffset(4);
  EXPECT_EQ(op.read(10, buffer, &count), 0u);
  EXPECT_EQ(std::string(buffer, count), "AB[42:x]");
  op.seekToOffset(0);
  op.seekToEnd();
  EXPECT_EQ(op.getCurrentOffset(), 12);
  op.close();
  EXPECT_FALSE(op.isValid());
  op.close();  // a second close touches no descriptor
  EXPECT_EQ(ReadAll(path_), "textAB[42:x]");

  // fwrite stops at 2047 characters.
  ASSERT_EQ(op.open(path_.c_str(), OSSPrimitiveFileOp::MODE_WRITE | OSSPrimitiveFileOp::MODE_OPEN_EXISTING), 0u);
  const std::string longText(3000, 'z');
  EXPECT_EQ(op.fwrite("%s", longText.c_str()), 0u);
  op.close();
  EXPECT_EQ(ReadAll(path_), std::string(2047, 'z'));
  EXPECT_FALSE(std::filesystem::exists(logPath_)) << "the primitive wrapper never logs";

  // The console is a duplicate: closing it leaves the process's standard output alone.
  ASSERT_EQ(op.openConsole(), 0u);
  op.close();
  EXPECT_NE(::fcntl(STDOUT_FILENO, F_GETFD), -1);
}

}  // namespace

namespace {

// Trace points of the file layer: entry and exit around every operation, the parameter object as
// a data point, an error point with the log record's probe, and the mapping's data point.
TEST_F(FileTest, TracePoints) {
  tarn::test::PointCollector points({ECF_FN_OSSHFile_open});
  tarn::test::TraceBlock block;
  ossLogFacClose(nullptr);  // no log file: its appends would open files as well
  block.options().flags = GTRACE_FLAG_CALLBACK;
  ASSERT_EQ(block.start(&tarn::test::PointCollector::callback), 0u);
  OSSHFile file;
  const std::string missing = dir_ + "/missing";
  const OSSFileOpenParam open = OpenParam(missing, OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_READ);
  EXPECT_EQ(file.open(&open), ECF_FILE_DOESNT_EXIST);
  const std::string deep = dir_ + "/no/such";
  const OSSFileOpenParam create = OpenParam(deep, OSS_FILE_CREATE_NEW, OSS_FILE_ACCESS_READWRITE);
  EXPECT_EQ(file.open(&create), ECF_FILE_PATH_DOESNT_EXIST);
  gtraceDetach();
  const std::uint32_t fn = ECF_FN_OSSHFile_open;
  const std::vector<tarn::test::SeenPoint> expected = {
      {GTRACE_REC_ENTRY, fn, 0, 0},
      {GTRACE_REC_DATA, fn, 1, 0},
      {GTRACE_REC_ERROR, fn, 60, 0},
      {GTRACE_REC_EXIT, fn, 0, ECF_FILE_DOESNT_EXIST},
      {GTRACE_REC_ENTRY, fn, 0, 0},
      {GTRACE_REC_DATA, fn, 1, 0},
      {GTRACE_REC_DATA, fn, 70, 0},  // the mapping of the system error
      {GTRACE_REC_ERROR, fn, 70, 0},
      {GTRACE_REC_EXIT, fn, 0, ECF_FILE_PATH_DOESNT_EXIST},
  };
  EXPECT_EQ(points.points(), expected);
}

}  // namespace
