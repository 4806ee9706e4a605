// The command runner: the command lines it builds, the SQL communication area reports it reads,
// the runs themselves (whole output on both streams, exit codes, a child that outlives the wait,
// the working directory, the stand-in Tarn command processor) and the thread layer under it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "install/commandrunner.h"
#include "test_root.h"

namespace fs = std::filesystem;
using tarn::isupport::CommandRunner;
namespace is = tarn::isupport;

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ---------------------------------------------------------------------------------------------
// Command lines

struct LineCase {
  const char* name;
  const char* command;  // "@DIR@" stands for a directory with a blank that holds "prog.exe"
  bool tarnCommand;
  bool useSqlcaReport;
  const char* expected;
};

class BuildCommandLine : public ::testing::TestWithParam<LineCase> {
 protected:
  static std::string Expand(std::string text, const std::string& dir) {
    for (auto at = text.find("@DIR@"); at != std::string::npos; at = text.find("@DIR@"))
      text.replace(at, 5, dir);
    return text;
  }
  tarn::test::TempPlatformRoot root_;
};

TEST_P(BuildCommandLine, FromTheCommandText) {
  const std::string dir = root_.path() + "/Program Files";
  fs::create_directories(dir);
  std::ofstream(dir + "/prog.exe") << "#!/bin/sh\n";
  const LineCase& c = GetParam();
  CommandRunner runner(Expand(c.command, dir).c_str(), nullptr, c.tarnCommand, c.useSqlcaReport);
  EXPECT_EQ(Expand(c.expected, dir), runner.GetCommandLine());
  EXPECT_EQ(-1, runner.GetWaitTime());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildCommandLine,
    ::testing::Values(
        // An existing program under a path with blanks: its (short) path is quoted.
        LineCase {"ExeExistingWithBlank", "@DIR@/prog.exe -x 1", false, false, "\"@DIR@/prog.exe\" -x 1"},
        LineCase {"ExeAlreadyQuoted", "\"@DIR@/prog.exe\" -x", false, false, "\"@DIR@/prog.exe\" -x"},
        LineCase {"ExeMissingStaysAsGiven", "/no such/prog.EXE -x", false, false, "/no such/prog.EXE -x"},
        LineCase {"BatWithBlanksAndFollowingQuote", "/opt/my dir/run.bat\" -a \"b c\"", false, false,
                  "\"/opt/my dir/run.bat\" -a \"b c\""},
        LineCase {"BatAlreadyQuoted", "\"/opt/my dir/run.bat\" -a", false, false, "\"/opt/my dir/run.bat\" -a"},
        LineCase {"BatUpperCase", "/opt/my dir/RUN.BAT", false, false, "\"/opt/my dir/RUN.BAT\""},
        LineCase {"Com", "/opt/tool.com arg", false, false, "/opt/tool.com arg"},
        LineCase {"Cmd", "/opt/a b/job.cmd arg", false, false, "\"/opt/a b/job.cmd\" arg"},
        // ".exe" is looked for before ".bat", wherever each occurs.
        LineCase {"ExeDecidesBeforeAnEarlierBat", "/opt/run.bat out.exe", false, false, "/opt/run.bat out.exe"},
        LineCase {"NoExtension", "/opt/tarn/cfg/install/velkupdateutil -display", false, false,
                  "/opt/tarn/cfg/install/velkupdateutil -display"},
        LineCase {"TarnCommand", "SELECT 1 FROM T", true, false, "tarn -ec -v \"SELECT 1 FROM T\""},
        LineCase {"TarnCommandWithSqlcaReport", "SELECT 1 FROM T", true, true, "tarn -a -v \"SELECT 1 FROM T\""},
        // The statement arrives as given, double quotes and backslashes included.
        LineCase {"TarnStatementWithQuotes", "SELECT \"C\" FROM T -- a\\", true, false,
                  "tarn -ec -v \"SELECT \\\"C\\\" FROM T -- a\\\\\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLine, TooLongIsRefusedAndStartsNothing) {
  tarn::test::TempPlatformRoot root;
  const std::string command = "/bin/echo " + std::string(790, 'x');
  for (const bool tarnCommand : {false, true}) {
    CommandRunner runner(command.c_str(), nullptr, tarnCommand, false);
    EXPECT_STREQ("", runner.GetCommandLine());
    EXPECT_EQ(is::RUNNER_NOT_STARTED, runner.Execute(true));
    tarn::platform::DWORD code = 0;
    EXPECT_EQ(is::RUNNER_NOT_STARTED, runner.WaitForExitCode(&code, 0));
  }
  // The longest command line that fits is kept.
  const std::string fits = "/bin/echo " + std::string(CommandRunner::kCommandLineSize - 11, 'y');
  CommandRunner runner(fits.c_str(), nullptr, false, false);
  EXPECT_EQ(fits, runner.GetCommandLine());
}

// ---------------------------------------------------------------------------------------------
// SQL communication area reports

std::string Report(const std::string& code, const std::string& length, const std::string& message,
                   bool withState = true) {
  std::string text = "SQLCA Information\n\n sqlcaid : SQLCA     sqlcabc: 136   sqlcode: " + code +
                     "   sqlerrml: " + length + "\n sqlerrmc: " + message +
                     "\n sqlerrp : SQLNQ1F0\n sqlerrd : (1) 0   (2) 0\n";
  if (withState) text += " sqlstate: 42704\n";
  return text;
}

struct ReportCase {
  const char* name;
  std::string text;
  std::uint32_t status;
  std::int32_t sqlcode;
  std::int16_t sqlerrml;
  std::string message;
  std::string state;
};

class ParseSqlcaReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ParseSqlcaReport, ReadsTheArea) {
  const ReportCase& c = GetParam();
  CommandRunner runner("SELECT 1", nullptr, true, true);
  ASSERT_EQ(c.status, runner.ParseSqlcaReport(c.text.c_str()));
  if (c.status == is::RUNNER_BAD_REPORT) return;
  const is::SQLCA& area = runner.GetSqlca();
  EXPECT_EQ(c.sqlcode, area.sqlcode);
  EXPECT_EQ(c.sqlerrml, area.sqlerrml);
  if (c.status != 0) return;
  EXPECT_EQ(c.message, std::string(area.sqlerrmc));
  EXPECT_EQ("SQLNQ1F0", std::string(area.sqlerrp, sizeof area.sqlerrp));
  EXPECT_EQ(c.state, std::string(area.sqlstate, strnlen(area.sqlstate, sizeof area.sqlstate)));
}

const std::string kSeventy(70, 'm');
const std::string kSixtyNine(69, 'm');

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseSqlcaReport,
    ::testing::Values(
        ReportCase {"Complete", Report("-204", "6", "NOSUCH"), 0, -204, 6, "NOSUCH", "42704"},
        ReportCase {"MessageOfSixtyNine", Report("-1", "69", kSixtyNine), 0, -1, 69, kSixtyNine, "42704"},
        ReportCase {"MessageOfSeventyIsTooLong", Report("-1", "70", kSeventy), is::RUNNER_BUFFER_TOO_SMALL, -1, 70, "", ""},
        ReportCase {"NoMessage", Report("0", "0", ""), 0, 0, 0, "", "42704"},
        ReportCase {"NoStateLabel", Report("100", "0", "", false), 0, 100, 0, "", ""},
        ReportCase {"Empty", "", is::RUNNER_BAD_REPORT, 0, 0, "", ""},
        ReportCase {"NoIdentifier", "sqlcode: 0 sqlerrml: 0 sqlerrp : X sqlstate: 00000", is::RUNNER_BAD_REPORT, 0, 0, "", ""},
        ReportCase {"NoCodeLabel", " sqlcaid : SQLCA sqlerrml: 0\n sqlerrp : X\n", is::RUNNER_BAD_REPORT, 0, 0, "", ""},
        ReportCase {"CodeNotANumber", Report("minus", "0", ""), is::RUNNER_BAD_REPORT, 0, 0, "", ""},
        ReportCase {"NoLengthLabel", " sqlcaid : SQLCA  sqlcode: 0\n sqlerrp : X\n", is::RUNNER_BAD_REPORT, 0, 0, "", ""},
        ReportCase {"NoProgramLabel", " sqlcaid : SQLCA sqlcode: 0 sqlerrml: 0\n sqlstate: 00000\n", is::RUNNER_BAD_REPORT, 0, 0, "", ""},
        ReportCase {"NoProgramToken", " sqlcaid : SQLCA sqlcode: 0 sqlerrml: 0\n sqlerrp :   \n", is::RUNNER_BAD_REPORT, 0, 0, "", ""},
        ReportCase {"NoStateToken", " sqlcaid : SQLCA sqlcode: 0 sqlerrml: 0\n sqlerrp : P\n sqlstate: ", is::RUNNER_BAD_REPORT, 0, 0, "", ""},
        // A message length beyond the end of the text is no report of ours.
        ReportCase {"MessageRunsPastTheEnd", " sqlcaid : SQLCA sqlcode: 1 sqlerrml: 40\n sqlerrmc: short", is::RUNNER_BAD_REPORT, 0, 0, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseSqlcaReportFields, LongTokensAreCutToTheirFields) {
  CommandRunner runner("SELECT 1", nullptr, true, false);
  ASSERT_EQ(0u, runner.ParseSqlcaReport(
                    " sqlcaid : SQLCA sqlcode: 7 sqlerrml: 0\n sqlerrp : ABCDEFGHIJK\n sqlstate: 0123456\n"));
  EXPECT_EQ("ABCDEFGH", std::string(runner.GetSqlca().sqlerrp, 8));
  EXPECT_EQ("01234", std::string(runner.GetSqlca().sqlstate, 5));
}

// ---------------------------------------------------------------------------------------------
// Runs

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_.path() + "/scripts dir";
    fs::create_directories(dir_);
  }
  // A batch file (run by the shell) under a directory with a blank.
  std::string Batch(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << content;
    return path;
  }
  static std::string Output(CommandRunner& runner, bool error = false) {
    const std::size_t length = error ? runner.GetErrorOutputLength() : runner.GetOutputLength();
    std::string text(length + 1, '\0');
    EXPECT_EQ(0u, error ? runner.GetErrorOutput(text.data(), text.size())
                        : runner.GetOutput(text.data(), text.size()));
    text.resize(length);
    return text;
  }

  tarn::test::TempPlatformRoot root_;
  std::string dir_;
};

// Both streams are captured whole, well beyond the first 1024 bytes and in many chunks.
TEST_F(Run, CapturesLongOutputOnBothStreamsAndTheExitCode) {
  const std::string batch = Batch("talk.bat",
                                  "i=0; while [ $i -lt 700 ]; do printf 'out %04d\\n' $i; "
                                  "printf 'err %04d\\n' $i >&2; i=$((i+1)); done; exit 3\n");
  CommandRunner runner((batch + " ignored").c_str(), nullptr, false, false);
  ASSERT_EQ(0u, runner.Execute(true));
  std::string out, err;
  char line[16];
  for (int i = 0; i < 700; ++i) {
    std::snprintf(line, sizeof line, "out %04d\n", i);
    out += line;
    std::snprintf(line, sizeof line, "err %04d\n", i);
    err += line;
  }
  EXPECT_EQ(out, Output(runner));
  EXPECT_EQ(err, Output(runner, true));
  tarn::platform::DWORD code = 0;
  EXPECT_EQ(0u, runner.WaitForExitCode(&code, -1));
  EXPECT_EQ(3u, code);

  // A buffer too small gets the beginning, terminated.
  char small[10];
  EXPECT_EQ(is::RUNNER_BUFFER_TOO_SMALL, runner.GetOutput(small, sizeof small));
  EXPECT_STREQ("out 0000\n", small);
}

TEST_F(Run, ExitCodeAfterExecuteWithoutWaiting) {
  CommandRunner runner("sh -c \"echo late; exit 9\"", nullptr, false, false);
  ASSERT_EQ(0u, runner.Execute(false));
  tarn::platform::DWORD code = 0;
  EXPECT_EQ(0u, runner.WaitForExitCode(&code, -1));
  EXPECT_EQ(9u, code);
  EXPECT_EQ("late\n", Output(runner));
}

// A child still running when the wait ends is left running: Execute returns, the readers stop,
// and the child later ends with its own exit code rather than by a signal.
TEST_F(Run, ChildOutlivingTheWaitIsNotKilled) {
  const std::string fifo = dir_ + "/release";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::string batch = Batch("linger.cmd", "echo before; read line < \"$1\"; echo after; exit 7\n");
  CommandRunner runner(("\"" + batch + "\" \"" + fifo + "\"").c_str(), nullptr, false, false);
  runner.SetWaitTime(50);
  ASSERT_EQ(0u, runner.Execute(true));
  EXPECT_EQ(tarn::platform::WAIT_TIMEOUT, runner.WaitForEnd(0));
  const std::string early = Output(runner);  // the reader has stopped: this returns
  EXPECT_TRUE(early.empty() || early == "before\n") << early;

  std::ofstream(fifo) << "go\n";  // let the child go on
  tarn::platform::DWORD code = 0;
  EXPECT_EQ(0u, runner.WaitForExitCode(&code, -1));
  EXPECT_EQ(7u, code);
  EXPECT_EQ(early, Output(runner));  // nothing is read after the readers stopped
}

TEST_F(Run, WorkingDirectoryIsTheChilds) {
  const std::string other = root_.path() + "/other dir";
  fs::create_directories(other);
  CommandRunner runner("sh -c pwd", dir_.c_str(), false, false);
  runner.SetWorkingDirectory(other.c_str());
  ASSERT_EQ(0u, runner.Execute(true));
  EXPECT_EQ(fs::canonical(other).string() + "\n", Output(runner));
}

TEST_F(Run, ProgramThatCannotStartStartsNothing) {
  CommandRunner runner((dir_ + "/missing.exe -x").c_str(), nullptr, false, false);
  EXPECT_EQ(is::RUNNER_NOT_STARTED, runner.Execute(true));
  tarn::platform::DWORD code = 0;
  EXPECT_EQ(is::RUNNER_NOT_STARTED, runner.WaitForExitCode(&code, 0));
  EXPECT_EQ(0u, runner.GetOutputLength());
  char buffer[4] = "xyz";
  EXPECT_EQ(0u, runner.GetOutput(buffer, sizeof buffer));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(tarn::platform::ERROR_INVALID_HANDLE, runner.WaitForEnd(0));
}

// The lowest descriptor number not in use.
int LowestFreeDescriptor() {
  const int fd = ::dup(0);
  if (fd >= 0) ::close(fd);
  return fd;
}

// Which of the `count` descriptors from `first` on are open, one bit each.
unsigned OpenDescriptors(int first, int count) {
  unsigned open = 0;
  for (int i = 0; i < count; ++i) open |= (::fcntl(first + i, F_GETFD) != -1 ? 1u : 0u) << i;
  return open;
}

// Pipes that cannot be set up start nothing and say so (not the 0 of a start), with the standard
// handles given back and every descriptor made on the way closed again. The descriptor limit
// leaves room for none, one or both pipes, so each step of the set-up fails in turn.
TEST_F(Run, PipesThatCannotBeSetUpStartNothing) {
  const auto runs = [this](const char* word) {
    CommandRunner runner((std::string("sh -c \"echo ") + word + "\"").c_str(), nullptr, false,
                         false);
    ASSERT_EQ(0u, runner.Execute(true));
    EXPECT_EQ(std::string(word) + "\n", Output(runner));
  };
  // A run first, so that the sanitizer build has checked the handle types before the limit
  // leaves its checker no descriptor of its own.
  runs("before");
  const int first = LowestFreeDescriptor();
  ASSERT_GE(first, 0);
  // The set-up takes at most five descriptors; the limit leaves it the first four at most.
  const unsigned before = OpenDescriptors(first, 8);
  ASSERT_EQ(0u, before & 0xFu);
  const tarn::platform::HANDLE output = tarn::platform::GetStdHandle(tarn::platform::STD_OUTPUT_HANDLE);
  const tarn::platform::HANDLE error = tarn::platform::GetStdHandle(tarn::platform::STD_ERROR_HANDLE);
  struct rlimit saved {};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
  for (const int room : {1, 3, 4}) {  // the output pipe, the error pipe, the read end's copy
    SCOPED_TRACE(room);
    CommandRunner runner("sh -c \"echo never\"", nullptr, false, false);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(first + room);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &tight));
    const std::uint32_t status = runner.Execute(true);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(is::RUNNER_NOT_STARTED, status);
    EXPECT_EQ(0u, runner.GetProcessId());
    EXPECT_EQ(output, tarn::platform::GetStdHandle(tarn::platform::STD_OUTPUT_HANDLE));
    EXPECT_EQ(error, tarn::platform::GetStdHandle(tarn::platform::STD_ERROR_HANDLE));
    EXPECT_EQ(before, OpenDescriptors(first, 8));
    tarn::platform::DWORD code = 0;
    EXPECT_EQ(is::RUNNER_NOT_STARTED, runner.WaitForExitCode(&code, 0));
  }
  runs("after");  // with room again, a command runs
}

TEST_F(Run, SecondExecuteStartsNothing) {
  CommandRunner runner("sh -c \"echo once\"", nullptr, false, false);
  ASSERT_EQ(0u, runner.Execute(true));
  EXPECT_EQ(is::RUNNER_NOT_STARTED, runner.Execute(true));
  EXPECT_EQ("once\n", Output(runner));
}

// The runner can be destroyed while its child still runs (after Execute without waiting).
TEST_F(Run, DestroyedWhileTheChildRuns) {
  const std::string fifo = dir_ + "/hold";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  {
    CommandRunner runner(("sh -c \"read line < '" + fifo + "'\"").c_str(), nullptr, false, false);
    ASSERT_EQ(0u, runner.Execute(false));
  }
  std::ofstream(fifo) << "go\n";  // the child, reaped by the platform, may end now
}

// Tarn-command mode against the stand-in command processor "tarn" from the bin directory.
TEST_F(Run, TarnStatementReportsItsSqlca) {
  const std::string replies = dir_ + "/replies";
  std::ofstream(replies) << "# answers of the test\n"
                            "statement: SELECT \"C\" FROM NOSUCH\n"
                            "sqlcode: -204\nsqlerrmc: NOSUCH\nsqlstate: 42704\n"
                            "statement: *\nsqlcode: 100\n";
  ASSERT_EQ(0, ::setenv("TARN_STANDIN_REPLIES", replies.c_str(), 1));
  for (const bool sqlcaReport : {false, true}) {
    CommandRunner runner("SELECT \"C\" FROM NOSUCH", nullptr, true, sqlcaReport);
    ASSERT_EQ(0u, runner.Execute(true));
    EXPECT_EQ(0u, runner.ParseSqlcaReport(Output(runner).c_str()));
    EXPECT_EQ(-204, runner.GetSqlca().sqlcode);
    EXPECT_STREQ("NOSUCH", runner.GetSqlca().sqlerrmc);
    EXPECT_EQ("42704", std::string(runner.GetSqlca().sqlstate, 5));
    tarn::platform::DWORD code = 0;
    EXPECT_EQ(0u, runner.WaitForExitCode(&code, -1));
    EXPECT_EQ(4u, code);
  }
  CommandRunner other("DELETE FROM T", nullptr, true, false);
  ASSERT_EQ(0u, other.Execute(true));
  EXPECT_EQ(0u, other.ParseSqlcaReport(Output(other).c_str()));
  EXPECT_EQ(100, other.GetSqlca().sqlcode);
  ::unsetenv("TARN_STANDIN_REPLIES");
  EXPECT_EQ((std::vector<std::string> {"-ec SELECT \"C\" FROM NOSUCH", "-a SELECT \"C\" FROM NOSUCH",
                                       "-ec DELETE FROM T"}),
            ReadLines(root_.path() + "/tarn/statements.log"));
}

TEST_F(Run, BrokenReplyFileShowsOnStandardError) {
  const std::string replies = dir_ + "/replies";
  std::ofstream(replies) << "statement: *\nsqlcod: 1\n";
  ASSERT_EQ(0, ::setenv("TARN_STANDIN_REPLIES", replies.c_str(), 1));
  CommandRunner runner("COMMIT", nullptr, true, false);
  ASSERT_EQ(0u, runner.Execute(true));
  ::unsetenv("TARN_STANDIN_REPLIES");
  EXPECT_NE(std::string::npos, Output(runner, true).find("unknown key sqlcod"));
  EXPECT_EQ(is::RUNNER_BAD_REPORT, runner.ParseSqlcaReport(Output(runner).c_str()));
  tarn::platform::DWORD code = 0;
  EXPECT_EQ(0u, runner.WaitForExitCode(&code, -1));
  EXPECT_EQ(8u, code);
}

// ---------------------------------------------------------------------------------------------
// Thread layer

tarn::platform::DWORD Count(void* counter) {
  ++*static_cast<std::atomic<int>*>(counter);
  return 0;
}

TEST(ThreadLayer, CreateAndJoin) {
  tarn::test::TempPlatformRoot root;
  std::atomic<int> counter {0};
  is::ThreadRecord record;
  record.stackSize = 128 * 1024;
  ASSERT_EQ(0u, is::ureCreateThread(Count, &counter, &record));
  EXPECT_NE(nullptr, record.thread);
  EXPECT_NE(0u, record.threadId);
  EXPECT_EQ(0u, is::JoinThread(&record));
  EXPECT_EQ(1, counter.load());
  EXPECT_EQ(nullptr, record.thread);
  EXPECT_EQ(0u, record.threadId);
  EXPECT_EQ(0u, is::JoinThread(&record));  // nothing left to join

  EXPECT_EQ(is::THREAD_MISSING_ARGUMENT, is::ureCreateThread(nullptr, &counter, &record));
  EXPECT_EQ(is::THREAD_MISSING_ARGUMENT, is::ureCreateThread(Count, &counter, nullptr));
  // The install support's trace entry records nothing.
  EXPECT_FALSE(fs::exists(root.path() + "/eventlog/Application.log"));
}

class Counter : public is::IThreaded {
 public:
  ~Counter() override { Join(); }
  tarn::platform::DWORD ThreadBody() override {
    ++runs;
    return 0;
  }
  std::atomic<int> runs {0};
};

TEST(ThreadLayer, ThreadedObjectRunsItsBodyOncePerStart) {
  Counter counter;
  EXPECT_EQ(0u, counter.Join());  // not started yet
  ASSERT_EQ(0u, counter.Start());
  ASSERT_EQ(0u, counter.Start());  // waits for the first run
  EXPECT_EQ(0u, counter.Join());
  EXPECT_EQ(2, counter.runs.load());
}

}  // namespace
