// Processes, pipes, handles and threads of the platform layer: Windows command-line splitting,
// program lookup and batch files, standard handles on pipes, waits, exit codes, pipe ends without
// readers, inheritance, and threads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/winerror.h"
#include "test_root.h"

namespace fs = std::filesystem;
namespace tp = tarn::platform;

namespace {

using Words = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// Splitting a command line

struct SplitCase {
  const char* name;
  const char* line;
  Words words;
};

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, FollowsTheWindowsRules) { EXPECT_EQ(GetParam().words, tp::CommandLineToArgv(GetParam().line)); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Split,
    ::testing::Values(
        SplitCase {"Plain", "prog a b", {"prog", "a", "b"}},
        SplitCase {"BlanksAndTabs", "  prog \t a  b ", {"prog", "a", "b"}},
        SplitCase {"Empty", "   ", {}},
        SplitCase {"QuotedProgramWithBlank", "\"/opt/my dir/prog\" -x", {"/opt/my dir/prog", "-x"}},
        // The program takes no escapes: a backslash before a quote stays and the quote acts.
        SplitCase {"ProgramKeepsBackslash", "\"C:\\dir\\\" x", {"C:\\dir\\", "x"}},
        SplitCase {"ProgramQuoteInTheMiddle", "pro\"g x\"y z", {"prog xy", "z"}},
        SplitCase {"QuotedArgument", "p \"a b\" c", {"p", "a b", "c"}},
        SplitCase {"EmptyQuotedArgument", "p \"\" c", {"p", "", "c"}},
        SplitCase {"EscapedQuote", "p a\\\"b", {"p", "a\"b"}},
        SplitCase {"EvenBackslashesBeforeQuote", "p \"a\\\\\" b", {"p", "a\\", "b"}},
        SplitCase {"OddBackslashesBeforeQuote", "p a\\\\\\\"b", {"p", "a\\\"b"}},
        SplitCase {"BackslashesBeforeOtherText", "p a\\\\b\\", {"p", "a\\\\b\\"}},
        SplitCase {"DoubledQuoteInsideQuotes", "p \"a\"\"b c\"", {"p", "a\"b c"}},
        SplitCase {"QuotesJoinPieces", "p a\"b c\"d e", {"p", "ab cd", "e"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Split, QuotingGivesEveryWordBack) {
  const Words words = {"plain", "two words", "", "quo\"te", "trail\\", "back\\\"slash", "tab\there",
                       "\\\\server\\share dir\\"};
  std::string line = "prog";
  for (const std::string& word : words) line += " " + tp::QuoteCommandLineArgument(word);
  Words expected = {"prog"};
  expected.insert(expected.end(), words.begin(), words.end());
  EXPECT_EQ(expected, tp::CommandLineToArgv(line.c_str()));
  EXPECT_EQ("plain", tp::QuoteCommandLineArgument("plain"));
}

// ---------------------------------------------------------------------------------------------
// Processes

class Process : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = root_.path() + "/work dir"; fs::create_directories(dir_); }

  // Writes an executable file.
  std::string Write(const std::string& name, const std::string& content, bool executable = true) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << content;
    ::chmod(path.c_str(), executable ? 0755 : 0644);
    return path;
  }

  // Starts `line` with standard output on a pipe (standard error too when `bothStreams`) and
  // returns what it printed and its exit code.
  std::string RunCapturing(const std::string& line, tp::DWORD* exitCode, const char* cwd = nullptr) {
    tp::SECURITY_ATTRIBUTES inherit;
    inherit.bInheritHandle = 1;
    tp::HANDLE readEnd = nullptr, writeEnd = nullptr;
    EXPECT_TRUE(tp::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    tp::STARTUPINFO startup;
    startup.dwFlags = tp::STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    tp::PROCESS_INFORMATION info;
    const bool created = tp::CreateProcess(nullptr, line.c_str(), 1, 0, cwd, &startup, &info);
    EXPECT_TRUE(created) << line << ": error " << tp::GetLastError();
    tp::CloseHandle(writeEnd);
    std::string text;
    char buffer[256];
    tp::DWORD got = 0;
    while (tp::ReadFile(readEnd, buffer, sizeof buffer, &got) && got > 0) text.append(buffer, got);
    EXPECT_EQ(tp::ERROR_BROKEN_PIPE, tp::GetLastError());
    tp::CloseHandle(readEnd);
    if (created) {
      EXPECT_EQ(tp::WAIT_OBJECT_0, tp::WaitForSingleObject(info.hProcess, tp::INFINITE));
      EXPECT_TRUE(tp::GetExitCodeProcess(info.hProcess, exitCode));
      EXPECT_EQ(tp::WAIT_OBJECT_0, tp::WaitForSingleObject(info.hThread, 0));
      tp::CloseHandle(info.hProcess);
      tp::CloseHandle(info.hThread);
    }
    return text;
  }

  tarn::test::TempPlatformRoot root_;
  std::string dir_;
};

TEST_F(Process, ArgumentsArriveAsTheWindowsRulesSplitThem) {
  const std::string program = Write("show args", "#!/bin/sh\nfor a in \"$0\" \"$@\"; do echo \"[$a]\"; done\n");
  tp::DWORD code = 99;
  const std::string out = RunCapturing(
      tp::QuoteCommandLineArgument(program) + " one \"two words\" a\\\"b \"\"", &code);
  EXPECT_EQ("[" + program + "]\n[one]\n[two words]\n[a\"b]\n[]\n", out);
  EXPECT_EQ(0u, code);
}

TEST_F(Process, BatchFileRunsWithTheShellInTheWorkingDirectory) {
  const std::string batch = Write("job.BAT", "echo \"$1\"; pwd; exit 3\n", /*executable=*/false);
  tp::DWORD code = 0;
  const std::string out = RunCapturing("\"" + batch + "\" hello", &code, dir_.c_str());
  EXPECT_EQ("hello\n" + fs::canonical(dir_).string() + "\n", out);
  EXPECT_EQ(3u, code);
}

TEST_F(Process, BareNameIsFoundOnThePathAndExitCodeIsKept) {
  tp::DWORD code = 0;
  EXPECT_EQ("out\n", RunCapturing("sh -c \"echo out; exit 7\"", &code));
  EXPECT_EQ(7u, code);
}

TEST_F(Process, BareNameIsFoundBesideTheRunningProgramFirst) {
  char self[4096];
  const tp::DWORD n = tp::GetProgramFileName(self, sizeof self);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, sizeof self);
  const std::string program = fs::path(self).filename().string();
  // Started without a path, this very test program is found in its own directory and lists its
  // tests, which names this one.
  tp::DWORD code = 1;
  const std::string out = RunCapturing(program + " --gtest_list_tests --gtest_filter=Process.*", &code);
  EXPECT_NE(std::string::npos, out.find("BareNameIsFoundBesideTheRunningProgramFirst")) << out;
  EXPECT_EQ(0u, code);
}

TEST_F(Process, ProgramSignalledByItsOwnDeathReportsTheShellsCode) {
  tp::DWORD code = 0;
  RunCapturing("sh -c \"kill -TERM $$\"", &code);
  EXPECT_EQ(128u + 15u, code);
}

struct StartFailure {
  const char* name;
  const char* program;  // below the test's directory; %s is replaced by it
  const char* cwd;      // null: none, else below the test's directory
  tp::DWORD error;
};

class StartFailures : public Process, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailures, GiveTheWindowsError) {
  Write("not executable", "#!/bin/sh\n", false);
  Write("no program", "\x7f" "ELF garbage", true);
  const std::string program = tp::QuoteCommandLineArgument(
      GetParam().program[0] == '/' ? std::string(GetParam().program)
                                   : dir_ + "/" + GetParam().program);
  const std::string cwd = GetParam().cwd != nullptr ? dir_ + "/" + GetParam().cwd : std::string();
  tp::STARTUPINFO startup;
  tp::PROCESS_INFORMATION info;
  EXPECT_FALSE(tp::CreateProcess(nullptr, (program + " x").c_str(), 0, 0,
                                 GetParam().cwd != nullptr ? cwd.c_str() : nullptr, &startup, &info));
  EXPECT_EQ(GetParam().error, tp::GetLastError());
  EXPECT_EQ(nullptr, info.hProcess);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartFailures,
    ::testing::Values(StartFailure {"MissingProgram", "missing", nullptr, tp::ERROR_FILE_NOT_FOUND},
                      StartFailure {"MissingDirectory", "nodir/prog", nullptr, tp::ERROR_PATH_NOT_FOUND},
                      StartFailure {"NotExecutable", "not executable", nullptr, tp::ERROR_ACCESS_DENIED},
                      StartFailure {"NoProgram", "no program", nullptr, tp::ERROR_BAD_EXE_FORMAT},
                      StartFailure {"Directory", "/tmp", nullptr, tp::ERROR_ACCESS_DENIED},
                      StartFailure {"MissingWorkingDirectory", "/bin/sh", "missing", tp::ERROR_DIRECTORY}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Process, EmptyCommandLineIsRefused) {
  tp::STARTUPINFO startup;
  tp::PROCESS_INFORMATION info;
  EXPECT_FALSE(tp::CreateProcess(nullptr, "  ", 0, 0, nullptr, &startup, &info));
  EXPECT_EQ(tp::ERROR_INVALID_PARAMETER, tp::GetLastError());
  EXPECT_FALSE(tp::CreateProcess(nullptr, nullptr, 0, 0, nullptr, &startup, &info));
}

// A child blocked reading a pipe we hold: the wait times out, the exit code is STILL_ACTIVE, and
// both end once the pipe closes.
TEST_F(Process, WaitTimesOutWhileTheChildRuns) {
  tp::SECURITY_ATTRIBUTES inherit;
  inherit.bInheritHandle = 1;
  tp::HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(tp::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  tp::STARTUPINFO startup;
  startup.dwFlags = tp::STARTF_USESTDHANDLES;
  startup.hStdInput = readEnd;
  tp::PROCESS_INFORMATION info;
  ASSERT_TRUE(tp::CreateProcess(nullptr, "sh -c \"read line; exit 4\"", 0, 0, nullptr, &startup, &info));
  tp::CloseHandle(readEnd);
  EXPECT_EQ(tp::WAIT_TIMEOUT, tp::WaitForSingleObject(info.hProcess, 0));
  EXPECT_EQ(tp::WAIT_TIMEOUT, tp::GetLastError());
  tp::DWORD code = 0;
  EXPECT_TRUE(tp::GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(tp::STILL_ACTIVE, code);
  EXPECT_EQ(static_cast<tp::DWORD>(info.dwProcessId), tp::GetProcessId(info.hProcess));

  tp::DWORD written = 0;
  EXPECT_TRUE(tp::WriteFile(writeEnd, "go\n", 3, &written));
  EXPECT_EQ(3u, written);
  EXPECT_EQ(tp::WAIT_OBJECT_0, tp::WaitForSingleObject(info.hProcess, tp::INFINITE));
  EXPECT_TRUE(tp::GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(4u, code);
  tp::CloseHandle(writeEnd);
  tp::CloseHandle(info.hProcess);
  tp::CloseHandle(info.hThread);
}

// Writing into a pipe nobody reads fails, for this process and for the child alike: neither is
// ended by a signal.
TEST_F(Process, PipeWithoutReaderFailsTheWriteWithoutEndingTheWriter) {
  tp::SECURITY_ATTRIBUTES inherit;
  inherit.bInheritHandle = 1;
  tp::HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(tp::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  tp::CloseHandle(readEnd);
  tp::DWORD written = 0;
  EXPECT_FALSE(tp::WriteFile(writeEnd, "x", 1, &written));
  EXPECT_EQ(tp::ERROR_BROKEN_PIPE, tp::GetLastError());

  tp::STARTUPINFO startup;
  startup.dwFlags = tp::STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  tp::PROCESS_INFORMATION info;
  ASSERT_TRUE(tp::CreateProcess(nullptr, "sh -c \"echo lost; exit 5\"", 1, 0, nullptr, &startup, &info));
  tp::CloseHandle(writeEnd);
  ASSERT_EQ(tp::WAIT_OBJECT_0, tp::WaitForSingleObject(info.hProcess, tp::INFINITE));
  tp::DWORD code = 0;
  EXPECT_TRUE(tp::GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(5u, code);  // 141 had SIGPIPE ended it
  tp::CloseHandle(info.hProcess);
  tp::CloseHandle(info.hThread);
}

// The pipes a process holds, by their names in /proc ("pipe:[inode]").
std::set<std::string> PipesOf(const std::string& process) {
  std::set<std::string> pipes;
  for (const auto& entry : fs::directory_iterator("/proc/" + process + "/fd")) {
    std::error_code ignored;
    const std::string target = fs::read_symlink(entry.path(), ignored).string();
    if (target.rfind("pipe:", 0) == 0) pipes.insert(target);
  }
  return pipes;
}

// Whether the child holds a pipe of ours shows in its descriptor table.
TEST_F(Process, OnlyAskedForInheritancePassesInheritableHandles) {
  for (const tp::BOOL inheritHandles : {0, 1}) {
    tp::SECURITY_ATTRIBUTES inherit;
    inherit.bInheritHandle = 1;
    const std::set<std::string> before = PipesOf("self");
    tp::HANDLE marker = nullptr, markerWrite = nullptr;
    ASSERT_TRUE(tp::CreatePipe(&marker, &markerWrite, &inherit, 0));
    std::set<std::string> added = PipesOf("self");
    for (const std::string& name : before) added.erase(name);
    ASSERT_EQ(1u, added.size());

    tp::HANDLE stdinRead = nullptr, stdinWrite = nullptr;
    ASSERT_TRUE(tp::CreatePipe(&stdinRead, &stdinWrite, nullptr, 0));
    tp::STARTUPINFO startup;
    startup.dwFlags = tp::STARTF_USESTDHANDLES;
    startup.hStdInput = stdinRead;
    tp::PROCESS_INFORMATION info;
    ASSERT_TRUE(tp::CreateProcess(nullptr, "sh -c \"read line\"", inheritHandles, 0, nullptr,
                                  &startup, &info));
    // The child is blocked reading its standard input, which is ours to write.
    EXPECT_EQ(inheritHandles != 0, PipesOf(std::to_string(info.dwProcessId)).count(*added.begin()) == 1)
        << "inheritHandles " << inheritHandles;
    tp::DWORD written = 0;
    EXPECT_TRUE(tp::WriteFile(stdinWrite, "\n", 1, &written));
    EXPECT_EQ(tp::WAIT_OBJECT_0, tp::WaitForSingleObject(info.hProcess, tp::INFINITE));
    for (tp::HANDLE h : {marker, markerWrite, stdinRead, stdinWrite, info.hProcess, info.hThread})
      tp::CloseHandle(h);
  }
}

TEST(Handles, AreValidated) {
  EXPECT_FALSE(tp::CloseHandle(nullptr));
  EXPECT_EQ(tp::ERROR_INVALID_HANDLE, tp::GetLastError());
  tp::HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(tp::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  // A pipe end has nothing to wait for.
  EXPECT_EQ(tp::WAIT_FAILED, tp::WaitForSingleObject(readEnd, 0));
  EXPECT_EQ(tp::ERROR_INVALID_HANDLE, tp::GetLastError());
  tp::DWORD code = 0;
  EXPECT_FALSE(tp::GetExitCodeProcess(readEnd, &code));
  EXPECT_TRUE(tp::CloseHandle(readEnd));
  EXPECT_FALSE(tp::CloseHandle(readEnd));
  EXPECT_EQ(tp::ERROR_INVALID_HANDLE, tp::GetLastError());
  char byte = 0;
  tp::DWORD got = 0;
  EXPECT_FALSE(tp::ReadFile(readEnd, &byte, 1, &got));
  EXPECT_EQ(tp::ERROR_INVALID_HANDLE, tp::GetLastError());
  EXPECT_TRUE(tp::CloseHandle(writeEnd));
  EXPECT_EQ(tp::INVALID_HANDLE_VALUE, tp::GetStdHandle(12345));
}

TEST(Handles, DuplicateReadsTheSamePipe) {
  tp::HANDLE readEnd = nullptr, writeEnd = nullptr, copy = nullptr;
  ASSERT_TRUE(tp::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  ASSERT_TRUE(tp::DuplicateHandle(readEnd, &copy, 0));
  tp::CloseHandle(readEnd);
  tp::DWORD n = 0;
  ASSERT_TRUE(tp::WriteFile(writeEnd, "abc", 3, &n));
  tp::CloseHandle(writeEnd);
  char buffer[8] = {};
  ASSERT_TRUE(tp::ReadFile(copy, buffer, sizeof buffer, &n));
  EXPECT_EQ("abc", std::string(buffer, n));
  EXPECT_FALSE(tp::ReadFile(copy, buffer, sizeof buffer, &n));
  EXPECT_EQ(tp::ERROR_BROKEN_PIPE, tp::GetLastError());
  tp::CloseHandle(copy);
}

// SetStdHandle changes the table a child inherits by default, not this process's descriptors.
TEST_F(Process, ChildGetsTheStandardHandlesOfTheTable) {
  const tp::HANDLE saved = tp::GetStdHandle(tp::STD_OUTPUT_HANDLE);
  tp::HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(tp::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  ASSERT_TRUE(tp::SetStdHandle(tp::STD_OUTPUT_HANDLE, writeEnd));
  EXPECT_EQ(writeEnd, tp::GetStdHandle(tp::STD_OUTPUT_HANDLE));
  tp::PROCESS_INFORMATION info;
  const bool created = tp::CreateProcess(nullptr, "sh -c \"echo via table\"", 0, 0, nullptr, nullptr, &info);
  tp::SetStdHandle(tp::STD_OUTPUT_HANDLE, saved);
  ASSERT_TRUE(created);
  tp::CloseHandle(writeEnd);
  std::string text;
  char buffer[64];
  tp::DWORD got = 0;
  while (tp::ReadFile(readEnd, buffer, sizeof buffer, &got)) text.append(buffer, got);
  EXPECT_EQ("via table\n", text);
  tp::WaitForSingleObject(info.hProcess, tp::INFINITE);
  for (tp::HANDLE h : {readEnd, info.hProcess, info.hThread}) tp::CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// Threads

struct Gate {
  std::atomic<bool> open {false};
  std::atomic<tp::DWORD> ranOn {0};
};

tp::DWORD WaitAtGate(void* parameter) {
  auto* gate = static_cast<Gate*>(parameter);
  gate->ranOn = tp::GetCurrentThreadId();
  while (!gate->open) ::usleep(1000);
  return 42;
}

TEST(Thread, RunsWaitsAndReportsItsCode) {
  Gate gate;
  tp::DWORD id = 0;
  tp::HANDLE thread = tp::CreateThread(64 * 1024, WaitAtGate, &gate, &id);
  ASSERT_NE(nullptr, thread);
  EXPECT_NE(tp::GetCurrentThreadId(), id);
  EXPECT_EQ(tp::WAIT_TIMEOUT, tp::WaitForSingleObject(thread, 0));
  tp::DWORD code = 0;
  EXPECT_TRUE(tp::GetExitCodeThread(thread, &code));
  EXPECT_EQ(tp::STILL_ACTIVE, code);
  gate.open = true;
  EXPECT_EQ(tp::WAIT_OBJECT_0, tp::WaitForSingleObject(thread, tp::INFINITE));
  EXPECT_EQ(id, gate.ranOn.load());
  EXPECT_TRUE(tp::GetExitCodeThread(thread, &code));
  EXPECT_EQ(42u, code);
  EXPECT_TRUE(tp::CloseHandle(thread));
}

TEST(Thread, ClosedHandleLetsItRunOn) {
  Gate gate;
  tp::HANDLE thread = tp::CreateThread(0, WaitAtGate, &gate, nullptr);
  ASSERT_NE(nullptr, thread);
  tp::HANDLE second = nullptr;
  ASSERT_TRUE(tp::DuplicateHandle(thread, &second, 0));
  EXPECT_TRUE(tp::CloseHandle(thread));
  gate.open = true;
  EXPECT_EQ(tp::WAIT_OBJECT_0, tp::WaitForSingleObject(second, tp::INFINITE));
  tp::CloseHandle(second);
}

TEST(Thread, NullRoutineIsRefused) {
  EXPECT_EQ(nullptr, tp::CreateThread(0, nullptr, nullptr, nullptr));
  EXPECT_EQ(tp::ERROR_INVALID_PARAMETER, tp::GetLastError());
}

}  // namespace
