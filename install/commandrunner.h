// The command runner: one command line run as a hidden child process, its standard output and
// standard error captured through pipes that two reader threads drain, with a bounded wait.
//
// Use:
//   CommandRunner runner(command, workingDirectory or null, tarnCommand, useSqlcaReport, 0);
//   runner.SetWaitTime(ms);                 // optional; -1 (no limit) to start with
//   runner.Execute(true);                   // start, wait up to the wait time, stop the readers
//   runner.WaitForExitCode(&code, 0);       // the exit code once the process has ended
//   runner.GetOutput(buffer, capacity);     // what the child wrote, whole or cut to the buffer
//
// The command line is a Windows command line (platform/process.h splits it). The runner builds it
// from the command text: a program part ending in ".bat" or ".cmd" is put in double quotes, so a
// batch file under a path with blanks runs with its arguments; a program part ending in ".exe" or
// ".com" that names an existing file is given in its short form and, because here that form can
// still hold blanks, in double quotes when it does. Any other text is used as it is: whoever
// builds a command naming a program under a path with blanks quotes the program part.
//
// In Tarn-command mode the command text is a statement for the Tarn command processor, "tarn":
// the command line is tarn -ec -v "STATEMENT" (or -a -v with useSqlcaReport), the statement
// quoted so that the processor receives it exactly, and ParseSqlcaReport reads the SQL
// communication area report the processor prints.
//
// Pipes and threads. Execute makes one pipe for each stream; the child writes into the write
// ends, and one reader thread per stream reads the other end in chunks of up to 512 bytes into a
// text that starts at 1024 bytes and doubles whenever it must, so the output is captured whole
// however long it is. A reader stops at the end of its pipe, at a failed read, or when the cancel
// flag is set, and then closes its read end. A child that outlives the wait time is not killed:
// Execute sets the cancel flag, writes three zero bytes into each pipe to wake readers blocked on
// an empty pipe, closes its write ends and returns; the child runs on (its later writes fail).
// The main thread looks at a captured text only after joining its reader (output getters,
// WaitForExitCode, destructor); joining waits for the child to close its output, so after
// Execute(false) a getter waits for the child's end.
//
// Statuses: 0 success; thread statuses 5002, 5003, 5111 (below); runner statuses 5006 (output or
// message longer than the buffer), 5030 (nothing was started: the command line did not fit, the
// pipes could not be made, or the process could not be created), 5082 (no exit code), 5580 (a
// report without the expected form); a failed wait gives the platform's error (258 when the time
// ran out).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/handle.h"
#include "platform/process.h"
#include "platform/wintypes.h"

namespace tarn::isupport {

using platform::DWORD;
using platform::HANDLE;

// Thread statuses.
inline constexpr std::uint32_t THREAD_MISSING_ARGUMENT = 5003;  // no function or no record
inline constexpr std::uint32_t THREAD_NO_START_BLOCK = 5002;    // the start block was not made
inline constexpr std::uint32_t THREAD_NOT_CREATED = 5111;       // the platform refused the thread
// Runner statuses.
inline constexpr std::uint32_t RUNNER_NO_PROGRAM_EXTENSION = 5005;
inline constexpr std::uint32_t RUNNER_BUFFER_TOO_SMALL = 5006;
inline constexpr std::uint32_t RUNNER_NOT_STARTED = 5030;
inline constexpr std::uint32_t RUNNER_NO_EXIT_CODE = 5082;
inline constexpr std::uint32_t RUNNER_BAD_REPORT = 5580;

// The install support's trace entry. The installer's build records events through it; in this
// system it records nothing, so failures of the thread layer reach the caller only as statuses.
void ReportEvent(const char* function, std::uint32_t status, DWORD platformError);

// One thread of the thread layer.
struct ThreadRecord {
  DWORD threadId = 0;
  DWORD stackSize = 0;  // 0: the platform's default
  HANDLE thread = nullptr;
};

using ThreadFunction = DWORD (*)(void* argument);

// Starts `function(argument)` on a new thread with the record's stack size; on success the record
// holds the thread's id and handle. 0, THREAD_MISSING_ARGUMENT, THREAD_NO_START_BLOCK or
// THREAD_NOT_CREATED (failures are reported under the name "ureCreateThread").
std::uint32_t ureCreateThread(ThreadFunction function, void* argument, ThreadRecord* record);

// Waits without limit for the record's thread, closes its handle and clears handle and id.
// A record without a thread (never started, or already joined) gives 0 at once; a failed wait
// gives the platform's error.
std::uint32_t JoinThread(ThreadRecord* record);

// A thread as an object: Start runs ThreadBody on a new thread, Join waits for it. A class that
// derives from it must Join in its own destructor: by the time this destructor joins, the
// derived members the body may use are already gone.
class IThreaded {
 public:
  IThreaded() = default;
  IThreaded(const IThreaded&) = delete;
  IThreaded& operator=(const IThreaded&) = delete;

  // Joins a thread started before, then starts a new one; the statuses of ureCreateThread.
  virtual std::uint32_t Start();
  // As JoinThread; 0 when no thread was started.
  virtual std::uint32_t Join();
  virtual DWORD ThreadBody() = 0;
  // Joins the thread and frees its record.
  virtual ~IThreaded();

 protected:
  ThreadRecord* record = nullptr;
};

// The SQL communication area in its standard 136-byte layout.
struct SQLCA {
  char sqlcaid[8];
  std::int32_t sqlabc;
  std::int32_t sqlcode;
  std::int16_t sqlerrml;
  char sqlerrmc[70];
  char sqlerrp[8];
  std::int32_t sqlerrd[6];
  char sqlwarn[11];
  char sqlstate[5];
};
static_assert(sizeof(SQLCA) == 136);
static_assert(offsetof(SQLCA, sqlcode) == 12);
static_assert(offsetof(SQLCA, sqlerrml) == 16);
static_assert(offsetof(SQLCA, sqlerrmc) == 18);
static_assert(offsetof(SQLCA, sqlerrp) == 88);
static_assert(offsetof(SQLCA, sqlerrd) == 96);
static_assert(offsetof(SQLCA, sqlwarn) == 120);
static_assert(offsetof(SQLCA, sqlstate) == 131);

class CommandRunner {
 public:
  static constexpr std::size_t kCommandLineSize = 780;  // with the terminating zero
  // The Tarn command processor (a program of the product, without ".exe" here).
  static constexpr const char* kTarnProgram = "tarn";

  // Builds the command line from `command` (the statement in Tarn-command mode); a command line
  // or statement that does not fit 779 characters leaves the command line empty, and Execute then
  // starts nothing. `workingDirectory` null: the caller's. `unused` is accepted for the
  // installer's call sites. The wait time starts at -1 (no limit) in both modes.
  CommandRunner(const char* command, const char* workingDirectory, bool tarnCommand,
                bool useSqlcaReport, bool unused = false);
  ~CommandRunner();
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  void SetWaitTime(std::int32_t milliseconds) { waitTime = milliseconds; }
  std::int32_t GetWaitTime() const { return waitTime; }

  // Starts the command once (see the top of this file). With `wait`, waits up to the wait time
  // and then closes the pipes' write ends. The status of starting the readers (0 when both
  // started), or RUNNER_NOT_STARTED when nothing was started (also for a second call).
  std::uint32_t Execute(bool wait);
  // Waits for the process up to `milliseconds` (-1: no limit); 0 when it has ended, else the
  // platform's error (258 when the time ran out, 6 when nothing was started).
  std::uint32_t WaitForEnd(std::int32_t milliseconds);
  // RUNNER_NOT_STARTED when nothing was started; the error of WaitForEnd; RUNNER_NO_EXIT_CODE
  // when the exit code cannot be read; else 0 with the code in `*exitCode`, both readers joined.
  std::uint32_t WaitForExitCode(DWORD* exitCode, std::int32_t milliseconds);

  // Joins the reader and copies its text, cut to `capacity` (always terminated when capacity is
  // not 0): RUNNER_BUFFER_TOO_SMALL when cut, else 0. No text gives an empty buffer.
  std::uint32_t GetOutput(char* buffer, std::size_t capacity);
  std::uint32_t GetErrorOutput(char* buffer, std::size_t capacity);
  // Joins the reader; the length of its text (0 when there is none).
  std::size_t GetOutputLength();
  std::size_t GetErrorOutputLength();

  void SetWorkingDirectory(const char* directory);

  // Reads a report of the Tarn command processor into the SQL communication area: 0,
  // RUNNER_BUFFER_TOO_SMALL for a message longer than 69 characters, RUNNER_BAD_REPORT for a
  // missing or malformed label or token.
  std::uint32_t ParseSqlcaReport(const char* text);

  const char* GetCommandLine() const { return commandLine; }
  const char* GetStatement() const { return statement; }
  const SQLCA& GetSqlca() const { return sqlca; }
  // The started process's id; 0 before Execute or when nothing was started.
  DWORD GetProcessId() const { return processInfo.dwProcessId; }

 private:
  void BuildCommandLine(const char* command);
  // Waits up to `milliseconds`; when the process has not ended, stops the readers; then closes
  // the write ends.
  void WaitAndCloseWriteEnds(std::int32_t milliseconds);
  // Wakes readers blocked on an empty pipe and makes them stop.
  void CancelReaders();
  void CloseWriteEnds();
  std::uint32_t CopyText(ThreadRecord* reader, const char* const* text, char* buffer,
                         std::size_t capacity);
  std::size_t TextLength(ThreadRecord* reader, const char* const* text);

  char commandLine[kCommandLineSize] = {};
  char statement[kCommandLineSize] = {};
  char* stderrText = nullptr;
  char* stdoutText = nullptr;
  SQLCA sqlca = {};
  bool useSqlcaReport = false;
  ThreadRecord stdoutReader;
  ThreadRecord stderrReader;
  HANDLE stderrWrite = nullptr;
  HANDLE stdoutWrite = nullptr;
  std::atomic<unsigned char>* cancelFlag = nullptr;
  platform::PROCESS_INFORMATION processInfo;
  std::int32_t waitTime = -1;
  bool started = false;
  bool tarnCommand = false;
  char* workingDirectory = nullptr;
};

}  // namespace tarn::isupport
