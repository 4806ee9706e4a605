// System error handling: the mapping table with its levels, the symbolic names, the handler's log
// record, and the error analysis (path walk, allocation failure).
#include "osse/diag/syserror.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "test_root.h"

namespace {

struct MapCase {
  std::uint32_t sysId;
  std::uint32_t error;
  std::uint32_t code;
  std::uint32_t level;
  const char* name;  // ossErrorNameMapSystem, or null
};

// Every row of the table, the special functions first; the level column is 3 for the codes that
// point at the machine rather than the request.
const MapCase kMapCases[] = {
    {ECF_FN_access, 13, ECF_ACCESS_DENIED, 5, "EACCES"},
    {ECF_FN_access, 22, ECF_INVALID_PARAMETER, 5, "EINVAL"},
    {ECF_FN_access, 3, ECF_FILE_DOESNT_EXIST, 5, nullptr},
    {ECF_FN_access, 2, ECF_UNKNOWN, 3, nullptr},
    {ECF_FN_access, 0, ECF_UNKNOWN, 3, nullptr},
    {ECF_FN__stat, 2, ECF_FILE_DOESNT_EXIST, 5, "ENOENT"},
    {ECF_FN__stat, 22, ECF_FILE_DOESNT_EXIST, 5, nullptr},
    {ECF_FN__stat, 13, ECF_UNKNOWN, 3, nullptr},
    {ECF_FN_TlsGetValue, 0, ECF_INVALID_INVOCATION_SEQUENCE, 5, "NO_ERROR"},
    {ECF_FN_TlsGetValue, 5, ECF_ACCESS_DENIED, 5, "ERROR_ACCESS_DENIED"},
    {ECF_FN_CreateFileA, 0, ECF_UNKNOWN, 3, nullptr},
    {ECF_FN_CreateFileA, 2, ECF_FILE_DOESNT_EXIST, 5, "ERROR_FILE_NOT_FOUND"},
    {ECF_FN_CreateFileA, 126, ECF_FILE_DOESNT_EXIST, 5, "ERROR_MOD_NOT_FOUND"},
    {ECF_FN_CreateFileA, 3, ECF_FILE_PATH_DOESNT_EXIST, 5, "ERROR_PATH_NOT_FOUND"},
    {ECF_FN_CreateFileA, 1005, ECF_FILE_PATH_DOESNT_EXIST, 5, "ERROR_UNRECOGNIZED_VOLUME"},
    {ECF_FN_CreateFileA, 5, ECF_ACCESS_DENIED, 5, "ERROR_ACCESS_DENIED"},
    {ECF_FN_CreateFileA, 6, ECF_INVALID_PARAMETER, 5, "ERROR_INVALID_FLAGS"},
    {ECF_FN_CreateFileA, 87, ECF_INVALID_PARAMETER, 5, "ERROR_INVALID_FLAGS"},
    {ECF_FN_CreateFileA, 1004, ECF_INVALID_PARAMETER, 5, "ERROR_INVALID_FLAGS"},
    {ECF_FN_CreateFileA, 8, ECF_NO_MEMORY, 3, "ERROR_OUTOFMEMORY"},
    {ECF_FN_CreateFileA, 14, ECF_NO_MEMORY, 3, "ERROR_OUTOFMEMORY"},
    {ECF_FN_CreateFileA, 1455, ECF_NO_MEMORY, 3, nullptr},
    {ECF_FN_CreateFileA, 18, ECF_FILE_PROCESS_MAX, 3, "ERROR_NO_MORE_FILES"},
    {ECF_FN_CreateFileA, 21, ECF_FILE_DEVICE_UNAVAILABLE, 3, "ERROR_NOT_READY"},
    {ECF_FN_CreateFileA, 32, ECF_FILE_SHARE, 3, "ERROR_SHARING_VIOLATION"},
    {ECF_FN_LockFileEx, 33, ECF_FILE_LOCK, 5, "ERROR_LOCK_VIOLATION"},
    {ECF_FN_ReadFile, 38, ECF_FILE_EOF, 5, "ERROR_HANDLE_EOF"},
    {ECF_FN_CreateFileA, 80, ECF_FILE_EXISTS, 5, "ERROR_FILE_EXISTS"},
    {ECF_FN_CreateFileA, 86, ECF_SEC_INVALID_PASSWORD, 5, nullptr},
    {ECF_FN_WriteFile, 112, ECF_FILE_NO_SPACE, 5, "ERROR_DISK_FULL"},
    {ECF_FN_CreateFileA, 122, ECF_BUFFER_TOO_SMALL, 5, "ERROR_INSUFFICIENT_BUFFER"},
    {ECF_FN_CreateFileA, 234, ECF_BUFFER_TOO_SMALL, 5, "ERROR_MORE_DATA"},
    {ECF_FN_CreateFileA, 123, ECF_FILE_INVALID_NAME, 5, "ERROR_INVALID_NAME"},
    {ECF_FN_GetProcAddress, 127, ECF_LIB_FUNC_NOT_FOUND, 5, "ERROR_PROC_NOT_FOUND"},
    {ECF_FN_RemoveDirectoryA, 145, ECF_FILE_DIR_NOT_EMPTY, 5, "ERROR_DIR_NOT_EMPTY"},
    {ECF_FN_CreateFileMapping, 183, ECF_MEM_EXISTS, 5, "ERROR_ALREADY_EXISTS"},
    {ECF_FN_CreateSemaphore, 183, ECF_SEM_EXISTS, 5, "ERROR_ALREADY_EXISTS"},
    {ECF_FN_CreateDirectoryA, 183, ECF_FILE_EXISTS, 5, "ERROR_ALREADY_EXISTS"},
    {ECF_FN_CreateFileA, 206, ECF_FILE_NAME_TOO_LONG, 5, "ERROR_FILENAME_EXCED_RANGE"},
    {ECF_FN_CreateFileA, 240, ECF_SESSION_CANCELED, 5, "ERROR_VC_DISCONNECTED"},
    {ECF_FN_CreateFileA, 267, ECF_FILE_NOT_A_DIRECTORY, 5, "ERROR_DIRECTORY"},
    {ECF_FN_MapViewOfFileEx, 487, ECF_INVALID_ADDRESS, 5, "ERROR_INVALID_ADDRESS"},
    {ECF_FN_MapViewOfFileEx, 1132, ECF_INVALID_ADDRESS, 5, nullptr},
    {ECF_FN_CreateFileA, 1113, ECF_NO_UNICODE_TRANSLATION, 5, "ERROR_NO_UNICODE_TRANSLATION"},
    {ECF_FN_CreateFileA, 4, ECF_UNKNOWN, 3, nullptr},
    {ECF_FN_CreateFileA, 158, ECF_UNKNOWN, 3, nullptr},
    {ECF_FN_CreateFileA, 0xFFFFFFFFu, ECF_UNKNOWN, 3, nullptr},
};

class MapTest : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapTest, CodeLevelAndName) {
  const MapCase& c = GetParam();
  std::uint32_t level = 0;
  EXPECT_EQ(ossErrorMapSystem(ECF_FN_ossLog, 10, c.sysId, c.error, &level), c.code);
  EXPECT_EQ(level, c.level);
  EXPECT_EQ(ossErrorMapSystem(ECF_FN_ossLog, 10, c.sysId, c.error, nullptr), c.code);  // level optional
  const char* name = ossErrorNameMapSystem(c.sysId, c.error);
  if (c.name == nullptr) {
    EXPECT_EQ(name, nullptr) << name;
  } else {
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, c.name);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, MapTest, ::testing::ValuesIn(kMapCases), [](const auto& info) {
  char name[64];
  std::snprintf(name, sizeof name, "fn%08X_err%u", info.param.sysId, info.param.error);
  return std::string(name);
});

// The default facility writes to a file of a temporary directory; each test reads back what the
// handler wrote.
class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = root_.path() + "/diag.log";
    OSSLogFacOpenParam param = {};
    param.version = OSS_VERSION_STAMP;
    std::snprintf(param.path, sizeof param.path, "%s", logPath_.c_str());
    std::snprintf(param.name, sizeof param.name, "syserror");
    param.level = 5;
    param.destination = OSS_LOG_DEST_FILE;
    param.permissions = 0600;
    ASSERT_EQ(ossLogFacOpen(&param, nullptr), 0u);
  }
  void TearDown() override { ossLogFacClose(nullptr); }

  std::string logText() const {
    std::ifstream in(logPath_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  tarn::test::TempPlatformRoot root_;
  std::string logPath_;
};

OSSErrorDetail NameDetail(const char* name) {
  OSSErrorDetail detail = {};
  detail.version = OSS_VERSION_STAMP;
  detail.validMask = OSS_ERROR_DETAIL_FILE_NAME;
  detail.fileName = name;
  return detail;
}

const char kAnalysisHint[] = "Search for ossError*Analysis probe point after this log entry";

TEST_F(HandlerTest, RecordWithoutDetailOrItems) {
  EXPECT_EQ(ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_CreateFileA, 2, 70, 1, 0, nullptr, 0),
            ECF_FILE_DOESNT_EXIST);
  const std::string log = logText();
  EXPECT_EQ(count(log, "PID     : "), 1u) << log;
  // The caller's level 1 is below the mapped 5, so it stays.
  EXPECT_NE(log.find("LEVEL: Severe (OS)\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("FUNCTION: OSS, OSSE, OSSHFile::open, probe:70\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("MESSAGE : ECF=0x9000001A "), std::string::npos) << log;
  EXPECT_NE(log.find("CALLED  : OS, -, CreateFileA" + std::string(22, ' ') + "OSERR: ERROR_FILE_NOT_FOUND (2)\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("DATA #"), std::string::npos) << log;
}

TEST_F(HandlerTest, ErrorWithoutNamePrintsTheNumber) {
  EXPECT_EQ(ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_CreateFileA, 4, 70, 3, 0, nullptr, 0), ECF_UNKNOWN);
  EXPECT_NE(logText().find("OSERR: 4\r\n"), std::string::npos) << logText();
}

TEST_F(HandlerTest, LevelIsTheLowerOfCallerAndMappingUnlessEvent) {
  struct Case {
    std::uint32_t error;  // of CreateFileA: 2 maps at level 5, 32 at level 3
    std::uint32_t callerLevel;
    const char* printed;
  };
  const Case cases[] = {{2, 4, "Warning"}, {2, 5, "Info"}, {32, 4, "Error"}, {32, 1, "Severe"}, {32, 6, "Event"}};
  for (const Case& c : cases) {
    std::filesystem::remove(logPath_);
    ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_CreateFileA, c.error, 10, c.callerLevel, 0, nullptr, 0);
    EXPECT_NE(logText().find(std::string("LEVEL: ") + c.printed + " (OS)"), std::string::npos)
        << c.error << " " << c.callerLevel << "\n" << logText();
  }
}

TEST_F(HandlerTest, ItemsWithoutDetailAreNestedWithoutHint) {
  const std::uint32_t mode = 7;
  const char name[] = "target-name";
  ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_CreateFileA, 5, 20, 1, 0, nullptr, 2, name,
                        static_cast<std::uint32_t>(sizeof name), OSS_LOG_TYPE_STRING, &mode, 4u,
                        OSS_LOG_TYPE_UNSIGNED);
  const std::string log = logText();
  // One outer item holding the caller's two.
  EXPECT_NE(log.find("DATA #1 : DATA #1 : String, 12 bytes\r\ntarget-name\r\nDATA #2 : Uint32, 4 bytes\r\n7\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("DATA #2 : DATA"), std::string::npos) << log;
  EXPECT_EQ(log.find(kAnalysisHint), std::string::npos) << log;
  EXPECT_EQ(log.find("ossErrorIOAnalysis"), std::string::npos) << log;
}

TEST_F(HandlerTest, ItemsWithDetailCarryTheHintAndTheAnalysisFollows) {
  const std::string missing = root_.path() + "/gone";
  const OSSErrorDetail detail = NameDetail(missing.c_str());
  const std::uint32_t mode = 7;
  EXPECT_EQ(ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_stat, 13, 20, 1, 0, &detail, 1, &mode, 4u,
                                  OSS_LOG_TYPE_UNSIGNED),
            ECF_UNKNOWN);  // errno 13 is no Windows error the table knows
  const std::string log = logText();
  // The caller's item nested as the first, the hint as the second item.
  EXPECT_NE(log.find("DATA #1 : DATA #1 : Uint32, 4 bytes\r\n7\r\nDATA #2 : String, "), std::string::npos) << log;
  const std::size_t hint = log.find(std::string(kAnalysisHint) + " for further\nself-diagnosis of this problem.\r\n");
  EXPECT_NE(hint, std::string::npos) << log;
  const std::size_t analysis = log.find("FUNCTION: OSS, OSSE, ossErrorIOAnalysis, probe:100\r\n");
  ASSERT_NE(analysis, std::string::npos) << log;
  EXPECT_LT(hint, analysis);
  EXPECT_EQ(count(log, "PID     : "), 2u);
}

TEST_F(HandlerTest, NoLogFlagWritesNothing) {
  const OSSErrorDetail detail = NameDetail("/no/such/dir/file");
  const std::uint32_t mode = 1;
  EXPECT_EQ(ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_stat, 13, 20, 1, OSS_ERROR_HANDLER_NO_LOG, &detail, 1,
                                  &mode, 4u, OSS_LOG_TYPE_UNSIGNED),
            ECF_UNKNOWN);
  EXPECT_EQ(ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_CreateFileMapping, 183, 20, 1,
                                  OSS_ERROR_HANDLER_NO_LOG, nullptr, 0),
            ECF_MEM_EXISTS);
  EXPECT_FALSE(std::filesystem::exists(logPath_));
}

TEST_F(HandlerTest, NoAnalysisFlagKeepsTheRecordAlone) {
  const OSSErrorDetail detail = NameDetail("/no/such/dir/file");
  ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_stat, 13, 20, 1, OSS_ERROR_HANDLER_NO_ANALYSIS, &detail, 0);
  const std::string log = logText();
  EXPECT_EQ(count(log, "PID     : "), 1u) << log;
  EXPECT_EQ(log.find("Analysis"), std::string::npos) << log;
}

// A file deep in a tree whose fourth directory is missing: the walk lists the directories down to
// the last one that exists, then says it cannot go further.
TEST_F(HandlerTest, PathWalkStopsAtTheFirstInaccessibleDirectory) {
  const std::string base = root_.path() + "/walk";
  std::filesystem::create_directories(base + "/one/two");
  ::chmod((base + "/one").c_str(), 0750);
  const std::string target = base + "/one/two/three/four/file.dat";
  const OSSErrorDetail detail = NameDetail(target.c_str());
  ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_open, 13, 30, 1, 0, &detail, 0);
  const std::string log = logText();
  const std::size_t record = log.find("FUNCTION: OSS, OSSE, ossErrorIOAnalysis, probe:100\r\n");
  ASSERT_NE(record, std::string::npos) << log;
  const std::string analysis = log.substr(record);
  EXPECT_NE(analysis.find("CALLED  : OS, -, open"), std::string::npos) << analysis;
  EXPECT_NE(analysis.find("A total of 2 analysis will be performed :\n - User info\n - Path access permission\n"
                          "\n Target file = " + target + "\n"),
            std::string::npos)
      << analysis;
  EXPECT_NE(analysis.find("Real / Effective user ID = "), std::string::npos) << analysis;
  EXPECT_NE(analysis.find("Information of each subdirectory leading up to the first inaccessible one is shown in "
                          "the format below :\n   <UID>:<GID>:<permissions> (subdirectories)\n\n"),
            std::string::npos);
  const std::string uidGid = std::to_string(::getuid()) + ":" + std::to_string(::getgid()) + ":";
  EXPECT_NE(analysis.find("   " + uidGid + "750 (one/)\n"), std::string::npos) << analysis;
  EXPECT_NE(analysis.find(" (two/)\n\n Cannot descend any further than the above subdirectory."), std::string::npos)
      << analysis;
  EXPECT_EQ(analysis.find("(three"), std::string::npos) << analysis;
  EXPECT_EQ(analysis.find("(file.dat"), std::string::npos) << analysis;
}

TEST_F(HandlerTest, PathWalkReachesAnExistingTarget) {
  const std::string target = root_.path() + "/here.dat";
  std::ofstream(target) << "x";
  ::chmod(target.c_str(), 0640);
  const std::string withSeparator = target + "/";  // a trailing separator is dropped
  const OSSErrorDetail detail = NameDetail(withSeparator.c_str());
  ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_stat, 20, 30, 1, 0, &detail, 0);
  const std::string log = logText();
  // errno 20 on a path call adds the target file information to user info and the walk.
  EXPECT_NE(log.find("A total of 3 analysis will be performed :\n - User info\n - Target file info\n"
                     " - Path access permission\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(":640 (here.dat)\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Cannot descend"), std::string::npos) << log;
}

TEST_F(HandlerTest, HandleTargetAndTransferAnalysis) {
  OSSErrorDetail detail = {};
  detail.version = OSS_VERSION_STAMP;
  detail.validMask = OSS_ERROR_DETAIL_FILE_HANDLE | OSS_ERROR_DETAIL_32;
  detail.fileHandle = 17;
  detail.detail32 = 4096;
  ossSystemErrorHandler(ECF_FN_OSSHFile_read, ECF_FN_read, 5, 20, 1, 0, &detail, 0);
  const std::string log = logText();
  EXPECT_NE(log.find("A total of 3 analysis will be performed :\n - User info\n - Target file info\n"
                     " - I/O attempt\n\n Target file handle = 17\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("I/O attempt not implemented yet.\n"), std::string::npos) << log;
}

TEST_F(HandlerTest, AnalysisWithNothingToFindWritesNoRecord) {
  const OSSErrorDetail detail = NameDetail("/tmp");
  ossSystemErrorHandler(ECF_FN_OSSHFile_open, ECF_FN_CreateFileA, 2, 30, 1, 0, &detail, 0);
  const std::string log = logText();
  EXPECT_EQ(count(log, "PID     : "), 1u) << log;
}

TEST_F(HandlerTest, FailedAllocationAnalysis) {
  OSSErrorDetail detail = {};
  detail.version = OSS_VERSION_STAMP;
  detail.validMask = OSS_ERROR_DETAIL_REQUESTED_SIZE;
  detail.requestedSize = 1u << 30;
  EXPECT_EQ(ossSystemErrorHandler(ECF_FN__ossMemAlloc, ECF_FN_malloc, 12, 10, 1, 0, &detail, 0), ECF_UNKNOWN);
  const std::string log = logText();
  const std::size_t record = log.find("FUNCTION: OSS, OSSE, ossErrorMemoryAnalysis, probe:100\r\n");
  ASSERT_NE(record, std::string::npos) << log;
  const std::string analysis = log.substr(record);
  EXPECT_NE(analysis.find("CALLED  : OS, -, malloc"), std::string::npos) << analysis;
  // Heading, then the physical-memory, swap and virtual-memory texts (empty until the library
  // can query them).
  EXPECT_NE(analysis.find("A total of 4 analysis will be performed :\n - ulimit info\n"
                          " - Memory info\n\r\nDATA #2 : String, 1 bytes\r\n\r\nDATA #3 : String, 1 bytes\r\n\r\n"
                          "DATA #4 : String, 1 bytes\r\n\r\n"),
            std::string::npos)
      << analysis;
  EXPECT_EQ(analysis.find("DATA #5"), std::string::npos) << analysis;
}

TEST(AnalysisTest, BitsByKindCallAndError) {
  struct Case {
    OSSErrorAnalysisKind kind;
    std::uint32_t sysId;
    std::uint32_t error;
    std::uint32_t bits;
  };
  const Case cases[] = {
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_rename, 1, 0x21},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_mkdir, 20, 0x29},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_fork, 11, 0x03},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_ftruncate, 13, 0x21},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_ftruncate, 22, 0x09},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_mmap, 13, 0x08},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_pwrite, 0, 0x19},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_CreateFileA, 12, 0x07},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_CreateFileA, 24, 0x0B},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_CreateFileA, 28, 0x4B},
      {OSSErrorAnalysisKind::InputOutput, ECF_FN_CreateFileA, 13, 0},
      {OSSErrorAnalysisKind::Memory, ECF_FN_malloc, 12, 0x06},
      {OSSErrorAnalysisKind::Memory, ECF_FN_malloc, 23, 0x02},
      {OSSErrorAnalysisKind::Memory, ECF_FN_malloc, 8, 0},
      {OSSErrorAnalysisKind::None, ECF_FN_malloc, 12, 0x06},
      {OSSErrorAnalysisKind::None, ECF_FN_malloc, 24, 0},
  };
  for (const Case& c : cases) {
    OSSErrorAnalysisRequest request = {};
    request.kind = c.kind;
    request.fileHandle = 0xFFFFFFFFu;
    request.systemFunctionId = c.sysId;
    request.systemError = c.error;
    request.level = 3;
    EXPECT_EQ(ossErrorAnalysis(&request), c.bits) << std::hex << c.sysId << " " << std::dec << c.error;
  }
  EXPECT_EQ(ossErrorAnalysis(nullptr), 0u);
}

}  // namespace
