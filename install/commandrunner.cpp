#include "install/commandrunner.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/paths.h"
#include "platform/thread.h"
#include "platform/winerror.h"

namespace tarn::isupport {

namespace p = tarn::platform;

void ReportEvent(const char*, std::uint32_t, DWORD) {}

// ---------------------------------------------------------------------------------------------
// Thread layer

namespace {
struct StartBlock {
  ThreadFunction function;
  void* argument;
};

DWORD ThreadStart(void* parameter) {
  StartBlock* block = static_cast<StartBlock*>(parameter);
  const ThreadFunction function = block->function;
  void* argument = block->argument;
  delete block;
  return function(argument);
}
}  // namespace

std::uint32_t ureCreateThread(ThreadFunction function, void* argument, ThreadRecord* record) {
  if (function == nullptr || record == nullptr) {
    ReportEvent("ureCreateThread", THREAD_MISSING_ARGUMENT, 0);
    return THREAD_MISSING_ARGUMENT;
  }
  StartBlock* block = new (std::nothrow) StartBlock {function, argument};
  if (block == nullptr) {
    ReportEvent("ureCreateThread", THREAD_NO_START_BLOCK, p::ERROR_NOT_ENOUGH_MEMORY);
    return THREAD_NO_START_BLOCK;
  }
  DWORD id = 0;
  HANDLE thread = p::CreateThread(record->stackSize, ThreadStart, block, &id);
  if (thread == nullptr) {
    ReportEvent("ureCreateThread", THREAD_NOT_CREATED, p::GetLastError());
    delete block;
    return THREAD_NOT_CREATED;
  }
  record->threadId = id;
  record->thread = thread;
  return 0;
}

std::uint32_t JoinThread(ThreadRecord* record) {
  if (record == nullptr || record->thread == nullptr) return 0;
  if (p::WaitForSingleObject(record->thread, p::INFINITE) != p::WAIT_OBJECT_0)
    return p::GetLastError();
  p::CloseHandle(record->thread);
  record->thread = nullptr;
  record->threadId = 0;
  return 0;
}

namespace {
DWORD RunThreadBody(void* object) { return static_cast<IThreaded*>(object)->ThreadBody(); }
}  // namespace

std::uint32_t IThreaded::Start() {
  // A thread still running from an earlier Start is waited for first: dropping its record would
  // lose its handle and run two bodies at once.
  Join();
  delete record;
  record = new (std::nothrow) ThreadRecord {};
  if (record == nullptr) return THREAD_NO_START_BLOCK;
  return ureCreateThread(RunThreadBody, this, record);
}

std::uint32_t IThreaded::Join() { return JoinThread(record); }

IThreaded::~IThreaded() {
  JoinThread(record);
  delete record;
}

// ---------------------------------------------------------------------------------------------
// Readers

namespace {
constexpr std::size_t kFirstTextSize = 1024;
constexpr DWORD kChunkSize = 512;

struct ReaderBlock {
  char** text;
  HANDLE readEnd;
  std::atomic<unsigned char>* cancel;
};

bool Cancelled(const ReaderBlock* block) { return block->cancel->load() == 1; }

DWORD ReaderThread(void* parameter) {
  ReaderBlock* block = static_cast<ReaderBlock*>(parameter);
  std::size_t capacity = kFirstTextSize;
  char* text = static_cast<char*>(std::malloc(capacity));
  *block->text = text;
  if (text != nullptr) {
    std::size_t length = 0;
    char chunk[kChunkSize];
    while (!Cancelled(block)) {
      DWORD got = 0;
      if (!p::ReadFile(block->readEnd, chunk, sizeof chunk, &got) || got == 0) break;
      if (length + got + 1 > capacity) {
        std::size_t grown = capacity;
        while (length + got + 1 > grown) grown *= 2;
        char* larger = static_cast<char*>(std::malloc(grown));
        if (larger == nullptr) break;  // keep what was read; the closed pipe tells the child
        std::memcpy(larger, text, length);
        std::free(text);
        text = larger;
        capacity = grown;
        *block->text = text;
      }
      std::memcpy(text + length, chunk, got);
      length += got;
    }
    text[length] = '\0';
  }
  // The read end is this reader's: nobody else reads the pipe.
  p::CloseHandle(block->readEnd);
  delete block;
  return 0;
}

// Starts a reader of `readEnd` into `*text`; on failure the read end is closed.
std::uint32_t StartReader(ThreadRecord* record, char** text, HANDLE readEnd,
                          std::atomic<unsigned char>* cancel) {
  ReaderBlock* block = new (std::nothrow) ReaderBlock {text, readEnd, cancel};
  if (block == nullptr) {
    p::CloseHandle(readEnd);
    return THREAD_NO_START_BLOCK;
  }
  const std::uint32_t status = ureCreateThread(ReaderThread, block, record);
  if (status != 0) {
    delete block;
    p::CloseHandle(readEnd);
  }
  return status;
}

char* HeapCopy(const char* text) {
  if (text == nullptr) return nullptr;
  const std::size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

// Finds `needle` in `haystack` ignoring letter case; npos when absent.
std::size_t FindNoCase(const std::string& haystack, const char* needle) {
  const std::size_t n = std::strlen(needle);
  for (std::size_t i = 0; i + n <= haystack.size(); ++i)
    if (::strncasecmp(haystack.c_str() + i, needle, n) == 0) return i;
  return std::string::npos;
}

// `text` as one argument in double quotes that the Windows rules read back exactly.
std::string QuotedArgument(const char* text) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(*c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += *c;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

bool HoldsBlank(const std::string& text) { return text.find_first_of(" \t") != std::string::npos; }
}  // namespace

// ---------------------------------------------------------------------------------------------
// CommandRunner

CommandRunner::CommandRunner(const char* command, const char* directory, bool tarn,
                             bool sqlcaReport, bool /*unused*/)
    : useSqlcaReport(sqlcaReport), tarnCommand(tarn) {
  BuildCommandLine(command);
  workingDirectory = HeapCopy(directory);
}

void CommandRunner::BuildCommandLine(const char* command) {
  const char* given = command != nullptr ? command : "";
  std::string text;
  if (tarnCommand) {
    if (std::strlen(given) >= sizeof statement) return;  // refused: the command line stays empty
    std::strcpy(statement, given);
    text = kTarnProgram;
  } else {
    text = given;
  }

  // The first of the four extensions in this order that occurs anywhere decides, not the first
  // position.
  static const char* const kExtensions[] = {".exe", ".bat", ".com", ".cmd"};
  std::size_t at = std::string::npos;
  const char* extension = nullptr;
  for (const char* candidate : kExtensions) {
    at = FindNoCase(text, candidate);
    if (at != std::string::npos) {
      extension = candidate;
      break;
    }
  }

  std::string line;
  if (extension == nullptr) {
    line = text;
  } else {
    const std::size_t end = at + 4;  // just after the extension
    std::string part = text.substr(0, end);
    std::size_t rest = end;
    const bool batch = std::strcmp(extension, ".bat") == 0 || std::strcmp(extension, ".cmd") == 0;
    if (batch) {
      if (text[0] != '"') line += '"';
      line += part;
      line += '"';
      if (rest < text.size() && text[rest] == '"') ++rest;
    } else {
      // An existing program is named by its short form, which on Windows holds no blank. Here
      // the short form is the path itself, so a blank in it is quoted instead.
      char shortForm[kCommandLineSize];
      const DWORD length = p::GetShortPathName(part.c_str(), shortForm, sizeof shortForm);
      const bool exists = length > 0 && length < sizeof shortForm;
      if (exists) part = shortForm;
      if (exists && text[0] != '"' && HoldsBlank(part)) {
        line += '"';
        line += part;
        line += '"';
        if (rest < text.size() && text[rest] == '"') ++rest;
      } else {
        line += part;
      }
    }
    line += text.substr(rest);
  }
  if (tarnCommand) {
    line += useSqlcaReport ? " -a -v " : " -ec -v ";
    line += QuotedArgument(statement);
  }
  if (line.size() >= sizeof commandLine) return;  // refused: Execute starts nothing
  std::memcpy(commandLine, line.c_str(), line.size() + 1);
}

void CommandRunner::CloseWriteEnds() {
  if (stdoutWrite != nullptr) p::CloseHandle(stdoutWrite);
  if (stderrWrite != nullptr) p::CloseHandle(stderrWrite);
  stdoutWrite = nullptr;
  stderrWrite = nullptr;
}

void CommandRunner::CancelReaders() {
  if (cancelFlag != nullptr) cancelFlag->store(1);
  // A reader blocked on an empty pipe sees the flag only when its read returns.
  static const char kWakeUp[3] = {0, 0, 0};
  DWORD written = 0;
  if (stdoutWrite != nullptr) p::WriteFile(stdoutWrite, kWakeUp, sizeof kWakeUp, &written);
  if (stderrWrite != nullptr) p::WriteFile(stderrWrite, kWakeUp, sizeof kWakeUp, &written);
}

void CommandRunner::WaitAndCloseWriteEnds(std::int32_t milliseconds) {
  const DWORD limit = milliseconds < 0 ? p::INFINITE : static_cast<DWORD>(milliseconds);
  if (processInfo.hProcess == nullptr ||
      p::WaitForSingleObject(processInfo.hProcess, limit) != p::WAIT_OBJECT_0)
    CancelReaders();
  CloseWriteEnds();
}

std::uint32_t CommandRunner::Execute(bool wait) {
  if (commandLine[0] == '\0' || started) return RUNNER_NOT_STARTED;

  const HANDLE savedOutput = p::GetStdHandle(p::STD_OUTPUT_HANDLE);
  const HANDLE savedError = p::GetStdHandle(p::STD_ERROR_HANDLE);
  const auto restore = [&] {
    p::SetStdHandle(p::STD_OUTPUT_HANDLE, savedOutput);
    p::SetStdHandle(p::STD_ERROR_HANDLE, savedError);
  };

  // The pipes: inheritable write ends for the child, read ends kept in this process only.
  p::SECURITY_ATTRIBUTES inheritable;
  inheritable.bInheritHandle = 1;
  HANDLE outputRead = nullptr;
  HANDLE errorRead = nullptr;
  HANDLE outputReader = nullptr;
  HANDLE errorReader = nullptr;
  bool ready = p::CreatePipe(&outputRead, &stdoutWrite, &inheritable, 0) &&
               p::SetStdHandle(p::STD_OUTPUT_HANDLE, stdoutWrite) &&
               p::CreatePipe(&errorRead, &stderrWrite, &inheritable, 0) &&
               p::SetStdHandle(p::STD_ERROR_HANDLE, stderrWrite) &&
               p::DuplicateHandle(outputRead, &outputReader, 0) &&
               p::DuplicateHandle(errorRead, &errorReader, 0);
  if (outputRead != nullptr) p::CloseHandle(outputRead);
  if (errorRead != nullptr) p::CloseHandle(errorRead);
  if (ready) {
    cancelFlag = new (std::nothrow) std::atomic<unsigned char>(0);
    ready = cancelFlag != nullptr;
  }
  if (!ready) {
    restore();
    if (outputReader != nullptr) p::CloseHandle(outputReader);
    if (errorReader != nullptr) p::CloseHandle(errorReader);
    CloseWriteEnds();
    return RUNNER_NOT_STARTED;
  }

  p::STARTUPINFO startup;
  startup.dwFlags = p::STARTF_USESHOWWINDOW | p::STARTF_USESTDHANDLES;
  startup.wShowWindow = p::SW_HIDE;
  startup.hStdInput = nullptr;
  startup.hStdOutput = stdoutWrite;
  startup.hStdError = stderrWrite;

  const std::uint32_t outputStatus = StartReader(&stdoutReader, &stdoutText, outputReader, cancelFlag);
  const std::uint32_t errorStatus = StartReader(&stderrReader, &stderrText, errorReader, cancelFlag);
  if (outputStatus != 0 || errorStatus != 0) {
    // A stream without a reader would fill up and block the child: start nothing.
    CancelReaders();
    CloseWriteEnds();
    JoinThread(&stdoutReader);
    JoinThread(&stderrReader);
    restore();
    return outputStatus != 0 ? outputStatus : errorStatus;
  }

  const bool created = p::CreateProcess(nullptr, commandLine, 1, p::NORMAL_PRIORITY_CLASS,
                                        workingDirectory, &startup, &processInfo) != 0;
  if (wait && created) WaitAndCloseWriteEnds(waitTime);
  started = true;
  if (!created) {
    processInfo = p::PROCESS_INFORMATION {};
    waitTime = 0;
    WaitAndCloseWriteEnds(waitTime);
    JoinThread(&stdoutReader);
    JoinThread(&stderrReader);
  }
  restore();
  return created ? errorStatus : RUNNER_NOT_STARTED;
}

std::uint32_t CommandRunner::WaitForEnd(std::int32_t milliseconds) {
  const DWORD limit = milliseconds < 0 ? p::INFINITE : static_cast<DWORD>(milliseconds);
  if (p::WaitForSingleObject(processInfo.hProcess, limit) != p::WAIT_OBJECT_0)
    return p::GetLastError();
  // The child has ended; with the write ends closed the readers see the end of their pipes.
  CloseWriteEnds();
  return 0;
}

std::uint32_t CommandRunner::WaitForExitCode(DWORD* exitCode, std::int32_t milliseconds) {
  if (processInfo.hProcess == nullptr) return RUNNER_NOT_STARTED;
  const std::uint32_t status = WaitForEnd(milliseconds);
  if (status != 0) return status;
  DWORD code = 0;
  if (exitCode == nullptr || !p::GetExitCodeProcess(processInfo.hProcess, &code))
    return RUNNER_NO_EXIT_CODE;
  *exitCode = code;
  JoinThread(&stdoutReader);
  JoinThread(&stderrReader);
  return 0;
}

std::uint32_t CommandRunner::CopyText(ThreadRecord* reader, const char* const* text, char* buffer,
                                      std::size_t capacity) {
  // Our write ends would keep the reader from ever seeing the end of its pipe.
  CloseWriteEnds();
  JoinThread(reader);
  const char* source = *text != nullptr ? *text : "";
  const std::size_t length = std::strlen(source);
  if (buffer == nullptr || capacity == 0) return length > 0 ? RUNNER_BUFFER_TOO_SMALL : 0;
  const std::size_t copied = length < capacity ? length : capacity - 1;
  std::memcpy(buffer, source, copied);
  buffer[copied] = '\0';
  return copied < length ? RUNNER_BUFFER_TOO_SMALL : 0;
}

std::size_t CommandRunner::TextLength(ThreadRecord* reader, const char* const* text) {
  CloseWriteEnds();
  JoinThread(reader);
  return *text != nullptr ? std::strlen(*text) : 0;
}

std::uint32_t CommandRunner::GetOutput(char* buffer, std::size_t capacity) {
  return CopyText(&stdoutReader, &stdoutText, buffer, capacity);
}
std::uint32_t CommandRunner::GetErrorOutput(char* buffer, std::size_t capacity) {
  return CopyText(&stderrReader, &stderrText, buffer, capacity);
}
std::size_t CommandRunner::GetOutputLength() { return TextLength(&stdoutReader, &stdoutText); }
std::size_t CommandRunner::GetErrorOutputLength() { return TextLength(&stderrReader, &stderrText); }

void CommandRunner::SetWorkingDirectory(const char* directory) {
  std::free(workingDirectory);
  workingDirectory = HeapCopy(directory);
}

CommandRunner::~CommandRunner() {
  // A child still running after Execute(false) would keep the readers waiting: stop them.
  if (stdoutWrite != nullptr || stderrWrite != nullptr) CancelReaders();
  CloseWriteEnds();
  JoinThread(&stdoutReader);
  JoinThread(&stderrReader);
  if (processInfo.hProcess != nullptr) p::CloseHandle(processInfo.hProcess);
  if (processInfo.hThread != nullptr) p::CloseHandle(processInfo.hThread);
  delete cancelFlag;
  std::free(stdoutText);
  std::free(stderrText);
  std::free(workingDirectory);
}

// ---------------------------------------------------------------------------------------------
// SQL communication area report

namespace {
constexpr const char* kBlanks = " \t\r\n";

// The blank-separated token that follows position `from`; false when there is none.
bool TokenAfter(const std::string& text, std::size_t from, std::string* token) {
  const std::size_t begin = text.find_first_not_of(kBlanks, from);
  if (begin == std::string::npos) return false;
  const std::size_t end = text.find_first_of(kBlanks, begin);
  *token = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  return true;
}

// The value of the token after `label` (searched from `from`) as a decimal number within
// [low, high]; false when the label, the token or a number is missing or out of range.
bool NumberAfter(const std::string& text, std::size_t from, const char* label, long low, long high,
                 long* value) {
  const std::size_t at = text.find(label, from);
  std::string token;
  if (at == std::string::npos || !TokenAfter(text, at + std::strlen(label), &token)) return false;
  errno = 0;
  char* end = nullptr;
  const long number = std::strtol(token.c_str(), &end, 10);
  if (errno != 0 || end == token.c_str() || *end != '\0' || number < low || number > high)
    return false;
  *value = number;
  return true;
}

// Copies at most `size` characters of the token after `label` into a field without terminator.
// 1 when copied, 0 when the label is absent, -1 when the label has no token.
int FieldAfter(const std::string& text, std::size_t from, const char* label, char* field,
               std::size_t size) {
  const std::size_t at = text.find(label, from);
  if (at == std::string::npos) return 0;
  std::string token;
  if (!TokenAfter(text, at + std::strlen(label), &token)) return -1;
  std::memcpy(field, token.data(), token.size() < size ? token.size() : size);
  return 1;
}
}  // namespace

std::uint32_t CommandRunner::ParseSqlcaReport(const char* text) {
  if (text == nullptr || text[0] == '\0') return RUNNER_BAD_REPORT;
  sqlca = SQLCA {};
  const std::string report(text);  // the private copy

  const std::size_t header = report.find("sqlcaid : SQLCA");
  if (header == std::string::npos) return RUNNER_BAD_REPORT;
  long code = 0;
  if (!NumberAfter(report, header, "sqlcode:", INT32_MIN, INT32_MAX, &code)) return RUNNER_BAD_REPORT;
  sqlca.sqlcode = static_cast<std::int32_t>(code);

  long messageLength = 0;
  if (!NumberAfter(report, header, "sqlerrml:", INT16_MIN, INT16_MAX, &messageLength))
    return RUNNER_BAD_REPORT;
  sqlca.sqlerrml = static_cast<std::int16_t>(messageLength);
  if (messageLength > 0) {
    const std::size_t at = report.find("sqlerrmc:", header);
    if (at == std::string::npos) return RUNNER_BAD_REPORT;
    if (messageLength > 69) return RUNNER_BUFFER_TOO_SMALL;
    // The message starts after the label and one blank.
    const std::size_t begin = at + 10;
    if (begin + static_cast<std::size_t>(messageLength) > report.size()) return RUNNER_BAD_REPORT;
    std::memcpy(sqlca.sqlerrmc, report.data() + begin, static_cast<std::size_t>(messageLength));
    sqlca.sqlerrmc[messageLength] = '\0';
  }

  if (FieldAfter(report, header, "sqlerrp :", sqlca.sqlerrp, sizeof sqlca.sqlerrp) != 1)
    return RUNNER_BAD_REPORT;
  if (FieldAfter(report, header, "sqlstate:", sqlca.sqlstate, sizeof sqlca.sqlstate) < 0)
    return RUNNER_BAD_REPORT;
  return 0;
}

}  // namespace tarn::isupport
