// The log's file destination: the I offset and H length stamped into each record, and appenders
// of several processes and threads that never interleave.
#include "osse/diag/logfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "test_root.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Record {
  std::size_t start;  // file offset of the leading "\r\n"
  std::string text;   // the whole record
};

// Walks the file from stamp to stamp. Every record must begin with "\r\n", carry at character 33
// "I<offset of its first line>H<its length less 2>" followed by a space, and end where the next
// begins; the last must end at the end of the file.
std::vector<Record> ParseRecords(const std::string& file, std::string* error) {
  std::vector<Record> records;
  std::size_t at = 0;
  while (at < file.size()) {
    char where[64];
    std::snprintf(where, sizeof where, "record %zu at %zu: ", records.size(), at);
    if (file.compare(at, 2, "\r\n") != 0) return *error = std::string(where) + "no leading line break", records;
    if (at + OSS_LOG_STAMP_OFFSET + OSS_LOG_STAMP_WIDTH > file.size())
      return *error = std::string(where) + "cut short", records;
    unsigned long long offset = 0;
    unsigned length = 0;
    int used = 0;
    if (std::sscanf(file.c_str() + at + OSS_LOG_STAMP_OFFSET, "I%lluH%u%n", &offset, &length, &used) != 2 ||
        file[at + OSS_LOG_STAMP_OFFSET + static_cast<std::size_t>(used)] != ' ')
      return *error = std::string(where) + "no stamp", records;
    if (offset != at + 2) return *error = std::string(where) + "I is " + std::to_string(offset), records;
    const std::size_t end = at + 2 + length;
    if (end > file.size()) return *error = std::string(where) + "H runs past the end", records;
    records.push_back(Record{at, file.substr(at, end - at)});
    at = end;
  }
  return records;
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = root_.path() + "/tarn.log"; }
  void TearDown() override { ossLogFacClose(nullptr); }

  void openFacility() const {
    OSSLogFacOpenParam param = {};
    param.version = OSS_VERSION_STAMP;
    std::snprintf(param.path, sizeof param.path, "%s", path_.c_str());
    std::snprintf(param.name, sizeof param.name, "logfile");
    param.level = 5;
    param.destination = OSS_LOG_DEST_FILE;
    param.permissions = 0640;
    ASSERT_EQ(ossLogFacOpen(&param, nullptr), 0u);
  }

  tarn::test::TempPlatformRoot root_;
  std::string path_;
};

TEST_F(LogFileTest, TwoRecordsInAnEmptyFile) {
  openFacility();
  const char first[] = "first";
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, ECF_FAILED, 10, 3, 1, first, 6u, OSS_LOG_TYPE_STRING), 0u);
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 20, 5, 0), 0u);
  const std::string file = ReadAll(path_);
  std::string error;
  const std::vector<Record> records = ParseRecords(file, &error);
  ASSERT_EQ(error, "") << file;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text.substr(OSS_LOG_STAMP_OFFSET, 2), "I2");
  EXPECT_EQ(records[1].start, records[0].text.size());
  EXPECT_EQ(records[1].text.substr(OSS_LOG_STAMP_OFFSET, std::to_string(records[0].text.size() + 2).size() + 1),
            "I" + std::to_string(records[0].text.size() + 2));
  // The stamp sits in the padding after the time-zone field: the field, one blank, the stamp,
  // blanks up to " LEVEL:".
  const std::string& line = records[0].text;
  EXPECT_EQ(line[OSS_LOG_STAMP_OFFSET - 1], ' ');
  EXPECT_EQ(line.substr(51, 8), " LEVEL: ") << line;
  EXPECT_NE(records[0].text.find("DATA #1 : String, 6 bytes\r\nfirst\r\n"), std::string::npos);
  EXPECT_NE(records[1].text.find("probe:20"), std::string::npos);
}

TEST_F(LogFileTest, CreatedWithTheFacilityPermissions) {
  const mode_t saved = ::umask(022);
  openFacility();
  ASSERT_EQ(ossLog(nullptr, ECF_FN_ossLog, 0, 10, 1, 0), 0u);
  ::umask(saved);
  struct stat status {};
  ASSERT_EQ(::stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST_F(LogFileTest, RefusesArgumentsAndReportsFailedAppends) {
  char record[64];
  std::memset(record, ' ', sizeof record);
  EXPECT_EQ(ossLogWriteFileRecord(path_.c_str(), 0600, record, OSS_LOG_STAMP_OFFSET + OSS_LOG_STAMP_WIDTH),
            ECF_INVALID_PARAMETER)
      << "too short to hold the stamp";
  EXPECT_EQ(ossLogWriteFileRecord(nullptr, 0600, record, sizeof record), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossLogWriteFileRecord((root_.path() + "/missing/x.log").c_str(), 0600, record, sizeof record),
            ECF_FILE_PATH_DOESNT_EXIST);
  EXPECT_EQ(ossLogWriteFileRecord(root_.path().c_str(), 0600, record, sizeof record), ECF_ACCESS_DENIED)
      << "a directory";
}

// Four processes append 500 records each through the logging functions: the file holds exactly
// 2000 whole records, each stamped with its own position, each process's records all there in
// their order.
TEST_F(LogFileTest, FourProcessesAppendWithoutInterleaving) {
  constexpr int kProcesses = 4;
  constexpr int kRecords = 500;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      openFacility();
      // Records of different lengths, so that a wrong offset cannot line up by chance.
      std::string padding;
      for (int i = 0; i < kRecords; ++i) {
        char tag[64];
        std::snprintf(tag, sizeof tag, "writer %d record %d", p, i);
        padding.assign(static_cast<std::size_t>((i * 7 + p * 13) % 90), static_cast<char>('a' + p));
        if (ossLog(nullptr, ECF_FN_ossLog, ECF_FAILED, 10, 3, 2, tag, static_cast<std::uint32_t>(std::strlen(tag) + 1),
                   OSS_LOG_TYPE_STRING, padding.c_str(), static_cast<std::uint32_t>(padding.size() + 1),
                   OSS_LOG_TYPE_STRING) != 0)
          ::_exit(10);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string file = ReadAll(path_);
  std::string error;
  const std::vector<Record> records = ParseRecords(file, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kProcesses * kRecords));
  int next[kProcesses] = {};
  for (const Record& record : records) {
    int p = -1;
    int i = -1;
    const std::size_t tag = record.text.find("writer ");
    ASSERT_NE(tag, std::string::npos) << record.text;
    ASSERT_EQ(std::sscanf(record.text.c_str() + tag, "writer %d record %d", &p, &i), 2);
    ASSERT_TRUE(p >= 0 && p < kProcesses);
    EXPECT_EQ(i, next[p]++) << "records of one writer out of order";
    EXPECT_EQ(record.text.find("writer ", tag + 1), std::string::npos) << "two records in one";
    EXPECT_EQ(record.text.find("\r\n20", 2), std::string::npos) << "a record header inside another record";
    const std::string padding(static_cast<std::size_t>((i * 7 + p * 13) % 90), static_cast<char>('a' + p));
    EXPECT_NE(record.text.find("\r\n" + padding + "\r\n"), std::string::npos) << record.text;
  }
  for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(next[p], kRecords);
}

// Threads of one process appending directly (the logging functions' in-progress flag would drop a
// record that meets another; the file append itself must not need it).
TEST_F(LogFileTest, ThreadsAppendWholeRecords) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 200;
  std::vector<std::thread> threads;
  std::vector<std::uint32_t> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i) {
        // A record shaped like the logging functions' own: "\r\n", the time, the zone field.
        char record[256];
        const int length = std::snprintf(record, sizeof record,
                                         "\r\n2026-01-01-00.00.00.000000+000                    LEVEL: Info\r\n"
                                         "thread %d record %d %.*s\r\n",
                                         t, i, (i * 5 + t) % 60, "..............................................................");
        if (ossLogWriteFileRecord(path_.c_str(), 0600, record, static_cast<std::uint32_t>(length)) != 0)
          ++failures[static_cast<std::size_t>(t)];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0u);
  const std::string file = ReadAll(path_);
  std::string error;
  const std::vector<Record> records = ParseRecords(file, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads * kRecords));
  std::set<std::string> seen;
  for (const Record& record : records) {
    const std::size_t tag = record.text.find("thread ");
    ASSERT_NE(tag, std::string::npos);
    seen.insert(record.text.substr(tag, record.text.find(' ', record.text.find("record ", tag) + 7) - tag));
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kRecords));
}

}  // namespace
