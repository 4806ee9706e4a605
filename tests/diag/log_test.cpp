// Diagnostic logging: the facility, its filter, the record text, the destinations, the callback
// and the re-entry guard.
// GCC 12 warns inside std::regex's own headers when the sanitizers instrument them
// (-Wmaybe-uninitialized on std::function members it initialises); the warning is not about
// this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "osse/diag/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "osse/diag/ecf.h"
#include "osse/diag/trace.h"
#include "test_root.h"
#include "trace_support.h"

namespace {

// Standard error redirected into a string while the object lives. The stream's write function
// can be replaced, so that a test can act from inside the destination (log again, block).
class StderrCapture {
 public:
  StderrCapture() {
    cookie_io_functions_t functions = {};
    functions.write = &StderrCapture::Write;
    stream_ = fopencookie(this, "w", functions);
    std::setvbuf(stream_, nullptr, _IONBF, 0);
    saved_ = stderr;
    stderr = stream_;
  }
  ~StderrCapture() {
    stderr = saved_;
    std::fclose(stream_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
  }
  std::function<void()> onWrite;

 private:
  static ssize_t Write(void* cookie, const char* data, size_t size) {
    auto* self = static_cast<StderrCapture*>(cookie);
    if (self->onWrite) self->onWrite();
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->text_.append(data, size);
    return static_cast<ssize_t>(size);
  }
  FILE* stream_ = nullptr;
  FILE* saved_ = nullptr;
  std::mutex mutex_;
  std::string text_;
};

OSSLogFacOpenParam Param(std::uint32_t level, std::uint32_t destination, const char* name = "tarntest",
                         const char* path = "") {
  OSSLogFacOpenParam param = {};
  param.version = OSS_VERSION_STAMP;
  std::snprintf(param.path, sizeof param.path, "%s", path);
  std::snprintf(param.name, sizeof param.name, "%s", name);
  param.level = level;
  param.destination = destination;
  param.permissions = 0644;
  return param;
}

// Every test starts with the default facility closed and no callback, and leaves it so.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ossSetOSSeLogCallback(nullptr);
    ossLogFacClose(nullptr);
  }
  void TearDown() override {
    ossSetOSSeLogCallback(nullptr);
    ossLogFacClose(nullptr);
  }
  void OpenStderr(std::uint32_t level) {
    const OSSLogFacOpenParam param = Param(level, OSS_LOG_DEST_STDERR);
    ASSERT_EQ(ossLogFacOpen(&param, nullptr), 0u);
  }
  // The text of the items: everything after the fixed part of the record.
  static std::string ItemsOf(const std::string& record) {
    const std::size_t probe = record.find("probe:");
    if (probe == std::string::npos) return {};
    std::size_t start = record.find("\r\n", probe) + 2;
    // Skip MESSAGE, CALLED and RETCODE lines.
    for (const char* prefix : {"MESSAGE : ", "CALLED  : ", "RETCODE : "})
      if (record.compare(start, std::strlen(prefix), prefix) == 0) start = record.find("\r\n", start) + 2;
    return record.substr(start);
  }
  StderrCapture capture_;
};

TEST_F(LogTest, WithoutAnOpenFacilityNothingIsWritten) {
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, ECF_FAILED, 10, 1, 0), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossLogRC(nullptr, ECF_FN_ossLog, ECF_FN_ossLogRC, ECF_FAILED, ECF_FAILED, 10, 1, 0), ECF_INVALID_PARAMETER);
  OSSLogFac own = {};
  EXPECT_EQ(ossLog(&own, ECF_FN_ossLog, ECF_FAILED, 10, 6, 0), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossLogFacSetLevel(nullptr, 3), ECF_INVALID_PARAMETER);
  EXPECT_EQ(capture_.text(), "");

  // Closing an open facility drops records again.
  OpenStderr(5);
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0), 0u);
  EXPECT_NE(capture_.text(), "");
  capture_.clear();
  EXPECT_EQ(ossLogFacClose(nullptr), 0u);
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0), ECF_INVALID_PARAMETER);
  EXPECT_EQ(capture_.text(), "");
}

TEST_F(LogTest, OpenRefusesInvalidParameterObjects) {
  struct Case {
    const char* what;
    OSSLogFacOpenParam param;
    std::uint32_t expected;
  };
  OSSLogFacOpenParam oldVersion = Param(3, OSS_LOG_DEST_STDERR);
  oldVersion.version = OSS_VERSION_MINIMUM - 1;
  OSSLogFacOpenParam minimumVersion = Param(3, OSS_LOG_DEST_STDERR);
  minimumVersion.version = OSS_VERSION_MINIMUM;
  const Case cases[] = {
      {"version below the minimum", oldVersion, ECF_INVALID_PARAMETER},
      {"the minimum version", minimumVersion, 0},
      {"destination 0", Param(3, 0), ECF_INVALID_PARAMETER},
      {"destination 3", Param(3, 3), ECF_INVALID_PARAMETER},
      {"destination 8", Param(3, 8), ECF_INVALID_PARAMETER},
      {"level 7", Param(7, OSS_LOG_DEST_STDERR), ECF_INVALID_PARAMETER},
      {"level 6", Param(6, OSS_LOG_DEST_STDERR), 0},
      {"level 0", Param(0, OSS_LOG_DEST_EVENTLOG), 0},
      {"empty name", Param(3, OSS_LOG_DEST_STDERR, ""), ECF_INVALID_PARAMETER},
      {"file without a path", Param(3, OSS_LOG_DEST_FILE, "tarntest", ""), ECF_INVALID_PARAMETER},
      {"file with a path", Param(3, OSS_LOG_DEST_FILE, "tarntest", "/tmp/x.log"), 0},
  };
  EXPECT_EQ(ossLogFacOpen(nullptr, nullptr), ECF_INVALID_PARAMETER);
  for (const Case& c : cases) {
    OSSLogFac facility = {};
    EXPECT_EQ(ossLogFacOpen(&c.param, &facility), c.expected) << c.what;
    EXPECT_EQ(facility.open, c.expected == 0 ? 1 : 0) << c.what;
  }
}

TEST_F(LogTest, RefusalsLeaveAnErrorPointAndRecordsNone) {
  tarn::test::PointCollector points({ECF_FN_ossLogFacOpen, ECF_FN_ossLogFacSetLevel, ECF_FN_ossLogFacClose, ECF_FN_ossLog});
  tarn::test::TraceBlock block;
  block.options().flags = GTRACE_FLAG_CALLBACK;
  ASSERT_EQ(block.start(&tarn::test::PointCollector::callback), 0u);
  OSSLogFac closed = {};
  EXPECT_EQ(ossLogFacOpen(nullptr, &closed), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossLogFacSetLevel(&closed, 3), ECF_INVALID_PARAMETER);
  OpenStderr(3);
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0), 0u);
  EXPECT_EQ(ossLogFacClose(nullptr), 0u);
  gtraceDetach();
  const std::vector<tarn::test::SeenPoint> expected = {{GTRACE_REC_ERROR, ECF_FN_ossLogFacOpen, 10, 0},
                                                       {GTRACE_REC_ERROR, ECF_FN_ossLogFacSetLevel, 10, 0}};
  EXPECT_EQ(points.points(), expected);
}

TEST_F(LogTest, NamesLongerThanTheirFieldsAreCut) {
  OSSLogFacOpenParam param = Param(3, OSS_LOG_DEST_STDERR);
  std::memset(param.name, 'n', sizeof param.name);  // no terminator at all
  std::memset(param.path, 'p', sizeof param.path);
  OSSLogFac facility = {};
  ASSERT_EQ(ossLogFacOpen(&param, &facility), 0u);
  EXPECT_EQ(std::strlen(facility.name), sizeof facility.name - 1);
  EXPECT_EQ(std::strlen(facility.path), sizeof facility.path - 1);
}

// Written or not, for each facility level (rows 0-6) and each severity (columns 0-7).
TEST_F(LogTest, LevelFilterForEveryLevelAndSeverity) {
  const char* const expected[7] = {
      //  severity 01234567
      "00000010",  // level 0: events only
      "01000010",  // level 1
      "01000010",  // level 2: 2 counts as 3, so level 2 writes neither 2 nor 3
      "01110010",  // level 3
      "01111010",  // level 4
      "01111110",  // level 5
      "00000010",  // level 6: events only
  };
  for (std::uint32_t level = 0; level <= 6; ++level) {
    OpenStderr(level);
    for (std::uint32_t severity = 0; severity <= 7; ++severity) {
      capture_.clear();
      EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, severity, 0), 0u);
      const bool written = !capture_.text().empty();
      EXPECT_EQ(written, expected[level][severity] == '1') << "level " << level << " severity " << severity;
    }
  }
}

TEST_F(LogTest, SetLevelChangesTheFilter) {
  OpenStderr(3);
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 4, 0), 0u);
  EXPECT_EQ(capture_.text(), "");
  EXPECT_EQ(ossLogFacSetLevel(nullptr, 4), 0u);
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 4, 0), 0u);
  EXPECT_NE(capture_.text(), "");
}

TEST_F(LogTest, HeaderMessageAndCalledLines) {
  OpenStderr(5);
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, ECF_INVALID_PARAMETER, 10, 2, 0), 0u);
  const std::string record = capture_.text();

  // The offset from UTC, from an independent source.
  std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  char zone[32];
  std::snprintf(zone, sizeof zone, "%+.3d", static_cast<int>(local.tm_gmtoff / 60));

  char pid[32];
  std::snprintf(pid, sizeof pid, "%-21lu", static_cast<unsigned long>(getpid()));
  const std::string head = std::string("\r\n\\d{4}-\\d{2}-\\d{2}-\\d{2}\\.\\d{2}\\.\\d{2}\\.\\d{3}000\\") + zone +
                           " {19} LEVEL: Error\r\nPID     : " + pid + "TID : " + std::to_string(gettid()) +
                           "\r\nFUNCTION: OSS, OSSE, ossLog, probe:10\r\nMESSAGE : ECF=0x9000000C " +
                           ecfErrorGetDescription(ECF_INVALID_PARAMETER) + "\r\n";
  EXPECT_TRUE(std::regex_match(record, std::regex(head))) << record;

  capture_.clear();
  ASSERT_EQ(ossLogRC(nullptr, ECF_FN_ossLogFacOpen, ECF_FN_ossLogFacSetLevel, ECF_NO_MEMORY, 0, 30, 1, 0), 0u);
  const std::string rc = capture_.text();
  EXPECT_NE(rc.find(" LEVEL: Severe\r\n"), std::string::npos) << rc;
  EXPECT_EQ(rc.find("MESSAGE"), std::string::npos) << "no code, no MESSAGE line";
  const std::string called = std::string("FUNCTION: OSS, OSSE, ossLogFacOpen, probe:30\r\nCALLED  : OSS, OSSE, "
                                         "ossLogFacSetLevel\r\nRETCODE : ECF=0x9000000D ") +
                             ecfErrorGetDescription(ECF_NO_MEMORY) + "\r\n";
  ASSERT_GE(rc.size(), called.size());
  EXPECT_EQ(rc.substr(rc.size() - called.size()), called);

  // An id without names prints empty names; a called id of 0 prints no CALLED line.
  capture_.clear();
  ASSERT_EQ(ossLogRC(nullptr, 0x00000001u, 0, ECF_NO_MEMORY, 0, 40, 4, 0), 0u);
  EXPECT_NE(capture_.text().find("LEVEL: Warning\r\n"), std::string::npos);
  EXPECT_NE(capture_.text().find("FUNCTION: , , , probe:40\r\n"), std::string::npos) << capture_.text();
  EXPECT_EQ(capture_.text().find("CALLED"), std::string::npos);
}

TEST_F(LogTest, SystemCallLineNamesTheOperatingSystemCall) {
  OpenStderr(5);
  ASSERT_EQ(ossLogSysRC(nullptr, ECF_FN_ossLog, 0x0814009Du, 2, ECF_FILE_DOESNT_EXIST, 20, 3, 0), 0u);
  const std::string record = capture_.text();
  EXPECT_NE(record.find(" LEVEL: Error (OS)\r\n"), std::string::npos) << record;
  // The OSERR field starts in column 50 of the CALLED line and names the error symbolically.
  const std::string called = "CALLED  : OS, -, _stat" + std::string(28, ' ') + "OSERR: ENOENT (2)\r\n";
  EXPECT_NE(record.find("\r\n" + called), std::string::npos) << record;
  EXPECT_EQ(record.find("RETCODE"), std::string::npos);

  // A called id of another component prints its own names; a CALLED text of 50 characters or
  // more is followed by one blank.
  struct Case {
    std::uint32_t calledId;
    const char* line;
  };
  const Case cases[] = {
      {ECF_FN_ossSetOSSeLogCallback, "CALLED  : OSS, OSSE, ossSetOSSeLogCallback        OSERR: ERROR_ACCESS_DENIED (5)\r\n"},
      {ECF_FN_ossMemIsMemFFDCAndOSSeMemDebugPathSet,
       "CALLED  : OSS, OSSE, ossMemIsMemFFDCAndOSSeMemDebugPathSet OSERR: ERROR_ACCESS_DENIED (5)\r\n"},
  };
  for (const Case& c : cases) {
    capture_.clear();
    ASSERT_EQ(ossLogSysRC(nullptr, ECF_FN_ossLog, c.calledId, 5, 0, 20, 3, 0), 0u);
    EXPECT_NE(capture_.text().find(c.line), std::string::npos) << capture_.text();
  }
}

struct ItemCase {
  const char* what;
  std::vector<unsigned char> bytes;
  std::uint32_t length;
  std::int32_t type;
  const char* rendering;
};

std::vector<unsigned char> Bytes(std::initializer_list<int> values) {
  std::vector<unsigned char> bytes;
  for (int v : values) bytes.push_back(static_cast<unsigned char>(v));
  return bytes;
}

class LogItemTest : public LogTest, public ::testing::WithParamInterface<ItemCase> {};

TEST_P(LogItemTest, RendersTheItem) {
  const ItemCase& c = GetParam();
  OpenStderr(5);
  const void* data = c.bytes.empty() ? nullptr : c.bytes.data();
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 1, data, c.length, c.type), 0u);
  EXPECT_EQ(ItemsOf(capture_.text()), std::string("DATA #1 : ") + c.rendering);
}

const ItemCase kItemCases[] = {
    {"hex 1", Bytes({0xAB}), 1, -1, "Hex, 1 bytes\r\n0xAB\r\n"},
    {"hex 2", Bytes({0x34, 0x12}), 2, -1, "Hex, 2 bytes\r\n0x1234\r\n"},
    {"hex 4", Bytes({0xEF, 0xBE, 0xAD, 0xDE}), 4, -1, "Hex, 4 bytes\r\n0xDEADBEEF\r\n"},
    {"hex 8", Bytes({8, 7, 6, 5, 4, 3, 2, 0xF1}), 8, -1, "Hex, 8 bytes\r\n0xF102030405060708\r\n"},
    {"sint 1", Bytes({0xFE}), 1, -2, "Sint8, 1 bytes\r\n-2\r\n"},
    {"sint 2", Bytes({0x00, 0x80}), 2, -2, "Sint16, 2 bytes\r\n-32768\r\n"},
    {"sint 4", Bytes({0xFF, 0xFF, 0xFF, 0xFF}), 4, -2, "Sint32, 4 bytes\r\n-1\r\n"},
    {"sint 8", Bytes({0, 0, 0, 0, 0, 0, 0, 0x80}), 8, -2, "Sint64, 8 bytes\r\n-9223372036854775808\r\n"},
    {"uint 1", Bytes({0xFE}), 1, -3, "Uint8, 1 bytes\r\n254\r\n"},
    {"uint 2", Bytes({0x00, 0x80}), 2, -3, "Uint16, 2 bytes\r\n32768\r\n"},
    {"uint 4", Bytes({0xFF, 0xFF, 0xFF, 0xFF}), 4, -3, "Uint32, 4 bytes\r\n4294967295\r\n"},
    {"uint 8", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 8, -3,
     "Uint64, 8 bytes\r\n18446744073709551615\r\n"},
    {"char", Bytes({'x', 'y'}), 2, -4, "Char, 2 bytes\r\nx\r\n"},
    {"string with its terminator", Bytes({'a', 'b', 'c', 0}), 4, -5, "String, 4 bytes\r\nabc\r\n"},
    {"string cut by its length", Bytes({'a', 'b', 'c', 'd'}), 2, -5, "String, 2 bytes\r\nab\r\n"},
    {"bool 1 true", Bytes({1}), 1, -6, "Bool, 1 bytes\r\ntrue\r\n"},
    {"bool 2 false", Bytes({0, 0}), 2, -6, "Bool, 2 bytes\r\nfalse\r\n"},
    {"bool 4 high byte", Bytes({0, 0, 0, 1}), 4, -6, "Bool, 4 bytes\r\ntrue\r\n"},
    {"bool 8 false", Bytes({0, 0, 0, 0, 0, 0, 0, 0}), 8, -6, "Bool, 8 bytes\r\nfalse\r\n"},
    {"null pointer", {}, 4, -3, "\r\nNULL\r\n"},
    {"hex of 3 bytes is a dump", Bytes({0x41, 0x00, 0x7E}), 3, -1,
     "<hexdump>, 3 bytes\r\n41007E                                    A.~\r\n"},
    {"uint of 16 bytes is a dump", Bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 0x7F}),
     16, -3, "<hexdump>, 16 bytes\r\n30313233  34353637  38396162  6364657F    0123456789abcde.\r\n"},
    {"dump of 18 bytes",
     Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0x20, 0x5A}), 18, 0,
     "<hexdump>, 18 bytes\r\n00010203  04050607  08090A0B  0C0D0E0F    ................\r\n"
     "205A                                       Z\r\n"},
    {"char of no bytes", Bytes({'x'}), 0, -4, "<hexdump>, 0 bytes\r\n"},
    {"unknown type", Bytes({0xC3}), 1, -9, "<hexdump>, 1 bytes\r\nC3                                        .\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Types, LogItemTest, ::testing::ValuesIn(kItemCases),
                         [](const ::testing::TestParamInfo<ItemCase>& info) { return "case" + std::to_string(info.index); });

TEST_F(LogTest, LongStringShowsAtMost512Characters) {
  OpenStderr(5);
  const std::string text(700, 's');
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 1, text.c_str(), 701u, OSS_LOG_TYPE_STRING), 0u);
  EXPECT_EQ(ItemsOf(capture_.text()), "DATA #1 : String, 701 bytes\r\n" + std::string(512, 's') + "\r\n");
}

TEST_F(LogTest, LongItemDumpShows512BytesOfItsLength) {
  OpenStderr(5);
  std::vector<unsigned char> data(600, 0x41);
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 1, data.data(), 600u, 0), 0u);
  const std::string items = ItemsOf(capture_.text());
  const std::string line = "\r\n41414141  41414141  41414141  41414141    AAAAAAAAAAAAAAAA";
  std::string expected = "DATA #1 : <hexdump>, 512 bytesof 600";
  for (int i = 0; i < 32; ++i) expected += line;
  expected += "\r\n";
  EXPECT_EQ(items, expected);
}

TEST_F(LogTest, DumpIsCutToWholeLinesThatFitTheRecord) {
  OpenStderr(5);
  const std::string text(600, 't');
  std::vector<unsigned char> data(600, 0x42);
  // Six long strings fill about 3100 characters; the dump gets what is left, in whole lines.
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 7, text.c_str(), 600u, -5, text.c_str(), 600u, -5,
                   text.c_str(), 600u, -5, text.c_str(), 600u, -5, text.c_str(), 600u, -5, text.c_str(), 600u, -5,
                   data.data(), 600u, 0),
            0u);
  const std::string record = capture_.text();
  EXPECT_LE(record.size(), OSS_LOG_RECORD_SIZE - 1);
  const std::size_t label = record.find("DATA #7 : <hexdump>, ");
  ASSERT_NE(label, std::string::npos) << record;
  unsigned shown = 0, total = 0;
  ASSERT_EQ(std::sscanf(record.c_str() + label, "DATA #7 : <hexdump>, %u bytesof %u", &shown, &total), 2);
  EXPECT_EQ(total, 600u);
  EXPECT_GT(shown, 0u);
  EXPECT_LT(shown, 512u);
  EXPECT_EQ(shown % 16, 0u);
  const std::string dump = record.substr(label);
  std::size_t lines = 0;
  for (std::size_t at = dump.find("\r\n42424242"); at != std::string::npos; at = dump.find("\r\n42424242", at + 2))
    ++lines;
  EXPECT_EQ(lines * 16, shown);
  EXPECT_EQ(record.substr(record.size() - 2), "\r\n");
}

TEST_F(LogTest, RecordIsCutAt4095Characters) {
  OpenStderr(5);
  const std::string text(512, 'u');
  std::vector<OSSLogItem> list(20, OSSLogItem{text.c_str(), 512u, OSS_LOG_TYPE_STRING});
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 1, list.data(), 20u, OSS_LOG_TYPE_LIST), 0u);
  EXPECT_EQ(capture_.text().size(), OSS_LOG_RECORD_SIZE - 1);
}

TEST_F(LogTest, ArgumentMaskLabelsThePresentArguments) {
  OpenStderr(5);
  const std::uint32_t first = 7, second = 9, third = 11;
  ASSERT_EQ(ossLogRC(nullptr, ECF_FN_ossLog, ECF_FN_ossLogRC, 0, 0, 10, 1, static_cast<std::int32_t>(0x80000003u),
                     &first, 4u, -3, &second, 4u, -3),
            0u);
  EXPECT_EQ(ItemsOf(capture_.text()), "ARG  #1 : Uint32, 4 bytes\r\n7\r\nARG  #2 : Uint32, 4 bytes\r\n9\r\n");

  capture_.clear();
  ASSERT_EQ(ossLogSysRC(nullptr, ECF_FN_ossLog, 0, 0, 0, 10, 1, static_cast<std::int32_t>(0xC0000005u), &first, 4u,
                        -3, &second, 4u, -3, &third, 4u, -3),
            0u);
  EXPECT_EQ(ItemsOf(capture_.text()),
            "ARG  #1 : Uint32, 4 bytes\r\n7\r\nARG  #3 : Uint32, 4 bytes\r\n9\r\nARG  #31: Uint32, 4 bytes\r\n11\r\n");

  capture_.clear();
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, -1), ECF_INVALID_PARAMETER);
  EXPECT_EQ(capture_.text(), "");
}

TEST_F(LogTest, NestedListsRenderTheirItemsAndStopAtTheNestingLimit) {
  OpenStderr(5);
  const std::uint32_t value = 5;
  const OSSLogItem inner[] = {{&value, 4u, OSS_LOG_TYPE_UNSIGNED}, {"hi", 3u, OSS_LOG_TYPE_STRING}};
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 2, inner, 2u, OSS_LOG_TYPE_LIST, &value, 4u, -1), 0u);
  EXPECT_EQ(ItemsOf(capture_.text()),
            "DATA #1 : DATA #1 : Uint32, 4 bytes\r\n5\r\nDATA #2 : String, 3 bytes\r\nhi\r\n"
            "DATA #2 : Hex, 4 bytes\r\n0x5\r\n");

  // A list that holds itself ends at the nesting limit.
  capture_.clear();
  OSSLogItem loop[1];
  loop[0] = {loop, 1u, OSS_LOG_TYPE_LIST};
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 1, loop, 1u, OSS_LOG_TYPE_LIST), 0u);
  std::string expected;
  for (std::uint32_t i = 0; i <= OSS_LOG_MAX_NESTING; ++i) expected += "DATA #1 : ";
  EXPECT_EQ(ItemsOf(capture_.text()), expected);
}

struct CallbackRecord {
  OSSLogFac* facility;
  std::uint32_t functionId, calledFunctionId, calledResult, ecfCode, probe, level, flags;
  std::int32_t countOrMask;
  std::vector<OSSLogItem> items;
};
CallbackRecord g_seen;
std::uint32_t RecordingCallback(OSSLogFac* facility, std::uint32_t functionId, std::uint32_t calledFunctionId,
                                std::uint32_t calledResult, std::uint32_t ecfCode, std::uint32_t probe,
                                std::uint32_t level, std::uint32_t flags, std::int32_t countOrMask,
                                const OSSLogItem* const* items) {
  g_seen = {facility, functionId, calledFunctionId, calledResult, ecfCode, probe, level, flags, countOrMask, {}};
  const int count = countOrMask >= 0 ? countOrMask : __builtin_popcount(static_cast<unsigned>(countOrMask) & 0x7FFFFFFFu);
  g_seen.items.assign(*items, *items + count);
  return 0x12345678u;
}

TEST_F(LogTest, CallbackTakesEveryRecordWithItsTenArguments) {
  EXPECT_EQ(ossSetOSSeLogCallback(&RecordingCallback), &RecordingCallback);
  OSSLogFac own = {};
  const std::uint32_t a = 1, b = 2;
  struct Case {
    const char* what;
    std::function<std::uint32_t()> call;
    OSSLogFac* facility;
    std::uint32_t calledFunctionId, calledResult, flags;
    std::int32_t count;
  };
  const Case cases[] = {
      {"ossLog", [&] { return ossLog(&own, ECF_FN_ossLog, ECF_FAILED, 11, 2, 2, &a, 4u, -3, &b, 4u, -2); }, &own, 0,
       0, 1, 2},
      {"ossLog without items", [&] { return ossLog(nullptr, ECF_FN_ossLog, ECF_FAILED, 11, 2, 0); }, nullptr, 0, 0, 1, 0},
      {"ossLogRC with a count",
       [&] { return ossLogRC(nullptr, ECF_FN_ossLog, ECF_FN_ossLogRC, 77, ECF_FAILED, 11, 2, 1, &a, 4u, -3); },
       nullptr, ECF_FN_ossLogRC, 77, 0, 1},
      {"ossLogRC without items",
       [&] { return ossLogRC(nullptr, ECF_FN_ossLog, ECF_FN_ossLogRC, 77, ECF_FAILED, 11, 2, 0); }, nullptr,
       ECF_FN_ossLogRC, 77, 2, 0},
      {"ossLogRC with a mask",
       [&] {
         return ossLogRC(nullptr, ECF_FN_ossLog, ECF_FN_ossLogRC, 77, ECF_FAILED, 11, 2,
                         static_cast<std::int32_t>(0x80000006u), &a, 4u, -3, &b, 4u, -2);
       },
       nullptr, ECF_FN_ossLogRC, 77, 2, static_cast<std::int32_t>(0x80000006u)},
      {"ossLogSysRC with a count",
       [&] { return ossLogSysRC(&own, ECF_FN_ossLog, 0x0814009Du, 2, ECF_FAILED, 11, 2, 2, &a, 4u, -3, &b, 4u, -2); },
       &own, 0x0814009Du, 2, 4, 2},
      {"ossLogSysRC without items",
       [&] { return ossLogSysRC(nullptr, ECF_FN_ossLog, 0x0814009Du, 2, ECF_FAILED, 11, 2, 0); }, nullptr,
       0x0814009Du, 2, 6, 0},
      {"ossLogSysRC with a mask",
       [&] {
         return ossLogSysRC(nullptr, ECF_FN_ossLog, 0x0814009Du, 2, ECF_FAILED, 11, 2,
                            static_cast<std::int32_t>(0x80000001u), &a, 4u, -3);
       },
       nullptr, 0x0814009Du, 2, 6, static_cast<std::int32_t>(0x80000001u)},
  };
  for (const Case& c : cases) {
    g_seen = {};
    EXPECT_EQ(c.call(), 0x12345678u) << c.what;
    EXPECT_EQ(g_seen.facility, c.facility) << c.what;
    EXPECT_EQ(g_seen.functionId, ECF_FN_ossLog) << c.what;
    EXPECT_EQ(g_seen.calledFunctionId, c.calledFunctionId) << c.what;
    EXPECT_EQ(g_seen.calledResult, c.calledResult) << c.what;
    EXPECT_EQ(g_seen.ecfCode, ECF_FAILED) << c.what;
    EXPECT_EQ(g_seen.probe, 11u) << c.what;
    EXPECT_EQ(g_seen.level, 2u) << "the level as passed: " << c.what;
    EXPECT_EQ(g_seen.flags, c.flags) << c.what;
    EXPECT_EQ(g_seen.countOrMask, c.count) << c.what;
    if (!g_seen.items.empty()) {
      EXPECT_EQ(g_seen.items[0].data, &a) << c.what;
      EXPECT_EQ(g_seen.items[0].length, 4u) << c.what;
      EXPECT_EQ(g_seen.items[0].type, -3) << c.what;
    }
    if (g_seen.items.size() == 2) {
      EXPECT_EQ(g_seen.items[1].data, &b) << c.what;
    }
  }
  // A negative count of ossLog is refused before the callback.
  g_seen = {};
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, -2), ECF_INVALID_PARAMETER);
  EXPECT_EQ(g_seen.functionId, 0u);
  EXPECT_EQ(capture_.text(), "");

  // Removing the callback gives the records back to the facility.
  EXPECT_EQ(ossSetOSSeLogCallback(nullptr), nullptr);
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0), ECF_INVALID_PARAMETER);
}

TEST_F(LogTest, LoggingFromInsideTheDestinationIsDropped) {
  OpenStderr(5);
  std::vector<std::uint32_t> innerResults;
  capture_.onWrite = [&] { innerResults.push_back(ossLog(nullptr, ECF_FN_ossLogRC, 0, 99, 1, 0)); };
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0), 0u);
  capture_.onWrite = nullptr;
  ASSERT_FALSE(innerResults.empty());
  for (std::uint32_t result : innerResults) EXPECT_EQ(result, 0u);
  const std::string text = capture_.text();
  EXPECT_NE(text.find("probe:10"), std::string::npos);
  EXPECT_EQ(text.find("probe:99"), std::string::npos);
  // The guard is released afterwards.
  capture_.clear();
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 12, 1, 0), 0u);
  EXPECT_NE(capture_.text().find("probe:12"), std::string::npos);
}

TEST_F(LogTest, SecondThreadLoggingMeanwhileIsDropped) {
  OpenStderr(5);
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false, release = false;
  capture_.onWrite = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    inside = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  };
  std::thread writer([] { ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return inside; });
  }
  const std::uint32_t second = ossLog(nullptr, ECF_FN_ossLog, 0, 20, 1, 0);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  writer.join();
  capture_.onWrite = nullptr;
  EXPECT_EQ(second, 0u);
  EXPECT_NE(capture_.text().find("probe:10"), std::string::npos);
  EXPECT_EQ(capture_.text().find("probe:20"), std::string::npos);
}

TEST_F(LogTest, EventLogDestinationReportsOneEventOfTheSeverity) {
  tarn::test::TempPlatformRoot root;
  const OSSLogFacOpenParam param = Param(6 - 1, OSS_LOG_DEST_EVENTLOG, "tarnsrc");
  ASSERT_EQ(ossLogFacOpen(&param, nullptr), 0u);
  struct Case {
    std::uint32_t level;
    const char* type;
  };
  const Case cases[] = {{1, "Error"}, {2, "Error"}, {3, "Error"}, {4, "Warning"}, {5, "Information"}, {6, "Success"}};
  for (const Case& c : cases) ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, ECF_FAILED, 100 + c.level, c.level, 0), 0u);
  std::ifstream log(root.path() + "/eventlog/Application.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find(std::string(" tarnsrc ") + cases[i].type + " "), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find("probe:" + std::to_string(100 + cases[i].level)), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find("MESSAGE : ECF=0x90000002"), std::string::npos) << lines[i];
  }
  EXPECT_EQ(capture_.text(), "");
}

TEST_F(LogTest, FileDestinationRefusesRecordsItCannotAppend) {
  // The file's directory does not exist, so the append fails.
  const OSSLogFacOpenParam param =
      Param(5, OSS_LOG_DEST_FILE, "tarntest", "/tmp/tarn-no-such-directory-for-logs/never-written.log");
  ASSERT_EQ(ossLogFacOpen(&param, nullptr), 0u);
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0), ECF_FAILED);
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 5 + 1 + 1, 0), 0u) << "filtered out before the destination";
}

TEST_F(LogTest, OwnFacilitiesAreIndependentOfTheDefault) {
  OSSLogFac own = {};
  const OSSLogFacOpenParam param = Param(1, OSS_LOG_DEST_STDERR);
  ASSERT_EQ(ossLogFacOpen(&param, &own), 0u);
  EXPECT_EQ(ossLog(&own, ECF_FN_ossLog, 0, 10, 1, 0), 0u);
  EXPECT_NE(capture_.text(), "");
  EXPECT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossLogFacSetLevel(&own, 0), 0u);
  capture_.clear();
  EXPECT_EQ(ossLog(&own, ECF_FN_ossLog, 0, 10, 1, 0), 0u);
  EXPECT_EQ(capture_.text(), "");
  ossLogFacClose(&own);
}

}  // namespace
