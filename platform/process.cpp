#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/pidfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/kernelobject.h"
#include "platform/module.h"
#include "platform/winerror.h"

extern char** environ;

namespace tarn::platform {

namespace {

// ---------------------------------------------------------------------------------------------
// Pipe ends and standard handles: one descriptor each.

class DescriptorObject : public KernelObject {
 public:
  DescriptorObject(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~DescriptorObject() override {
    if (owned_) ::close(fd_);
  }
  int Descriptor() const override { return fd_; }
  KernelObject* Duplicate(bool inheritable) override {
    const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
      SetLastErrorFromErrno();
      return nullptr;
    }
    if (inheritable) ::fcntl(copy, F_SETFD, 0);
    return new DescriptorObject(copy, true);
  }

 private:
  int fd_;
  bool owned_;
};

int DescriptorOf(HANDLE handle) {
  KernelObject* object = FindHandle(handle);
  if (object == nullptr) return -1;
  const int fd = object->Descriptor();
  if (fd < 0) SetLastError(ERROR_INVALID_HANDLE);
  return fd;
}

// ---------------------------------------------------------------------------------------------
// Processes. One state per started child, shared by its process and thread handles.

class ProcessState {
 public:
  ProcessState(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  ~ProcessState() {
    if (reaped_) {
      if (pidfd_ >= 0) ::close(pidfd_);
      return;
    }
    // Nobody will wait for this child any more; collect it when it ends so that it does not stay
    // a zombie. Should no thread be available, the zombie is the lesser evil.
    const pid_t pid = pid_;
    const int pidfd = pidfd_;
    try {
      std::thread([pid, pidfd] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (pidfd >= 0) ::close(pidfd);
      }).detach();
    } catch (...) {
      if (pidfd >= 0) ::close(pidfd);
    }
  }

  pid_t Pid() const { return pid_; }

  // True once the child has ended (and been reaped here).
  bool Collect(bool block) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reaped_) return true;
    int status = 0;
    pid_t done;
    do {
      done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done != pid_) return false;
    reaped_ = true;
    exitCode_ = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status))
                                  : static_cast<DWORD>(128 + WTERMSIG(status));
    return true;
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(mutex_);
    return exitCode_;
  }

  DWORD Wait(DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      if (Collect(false)) return WAIT_OBJECT_0;
      int timeout = -1;
      if (milliseconds != INFINITE) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        timeout = PollTimeout(static_cast<DWORD>(left));
      }
      if (pidfd_ >= 0) {
        // The process descriptor becomes readable when the child ends.
        pollfd entry {pidfd_, POLLIN, 0};
        if (::poll(&entry, 1, timeout) < 0 && errno != EINTR) {
          SetLastErrorFromErrno();
          return WAIT_FAILED;
        }
      } else {
        // Without process descriptors (an old kernel), look again in short steps.
        const int step = timeout < 0 || timeout > 10 ? 10 : timeout;
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
      }
    }
    SetLastError(WAIT_TIMEOUT);
    return WAIT_TIMEOUT;
  }

 private:
  std::mutex mutex_;
  const pid_t pid_;
  const int pidfd_;
  bool reaped_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
};

class ProcessObject : public KernelObject {
 public:
  explicit ProcessObject(std::shared_ptr<ProcessState> state) : state_(std::move(state)) {}
  DWORD Wait(DWORD milliseconds) override { return state_->Wait(milliseconds); }
  KernelObject* Duplicate(bool) override { return new ProcessObject(state_); }
  ProcessState& State() { return *state_; }

 private:
  std::shared_ptr<ProcessState> state_;
};

// ---------------------------------------------------------------------------------------------
// Finding the program.

bool EndsWithNoCase(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && ::strncasecmp(text.c_str() + text.size() - n, suffix, n) == 0;
}

bool IsBatchFile(const std::string& program) {
  return EndsWithNoCase(program, ".bat") || EndsWithNoCase(program, ".cmd");
}

std::string CurrentDirectory() {
  std::string cwd(256, '\0');
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::strlen(cwd.c_str()));
  return cwd;
}

// Whether `path` names a file we can start: a regular file, executable unless a batch file.
bool Startable(const std::string& path, bool batch) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         (batch || ::access(path.c_str(), X_OK) == 0);
}

// The file to start for `program`, or an empty text with the last error set.
std::string ResolveProgram(const std::string& program) {
  const bool batch = IsBatchFile(program);
  if (program.find('/') != std::string::npos) {
    std::string path = program;
    if (path[0] != '/') path = CurrentDirectory() + "/" + path;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
      SetLastErrorFromErrno(ErrnoSource::File, path.c_str());
      return std::string();
    }
    if (S_ISDIR(info.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return std::string();
    }
    return path;
  }
  std::vector<std::string> directories;
  char self[4096];
  const DWORD length = GetProgramFileName(self, sizeof self);
  if (length > 0 && length < sizeof self) {
    std::string dir(self, length);
    dir.resize(dir.rfind('/') == 0 ? 1 : dir.rfind('/'));
    directories.push_back(dir);
  }
  const char* path = std::getenv("PATH");
  std::string list = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t begin = 0;;) {
    const std::size_t end = list.find(':', begin);
    std::string dir = list.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    directories.push_back(dir.empty() ? std::string(".") : dir);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  for (const std::string& dir : directories) {
    std::string candidate = (dir == "/" ? "" : dir) + "/" + program;
    if (Startable(candidate, batch)) return candidate;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return std::string();
}

// What the child reports through the start-up pipe when it could not become the program.
struct StartFailure {
  int step;  // 1: the working directory, 2: the program
  int error;
};

HANDLE StandardHandle(DWORD which);

}  // namespace

// ---------------------------------------------------------------------------------------------

BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, const SECURITY_ATTRIBUTES* attributes,
                DWORD size) {
  if (readEnd == nullptr || writeEnd == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    SetLastErrorFromErrno();
    return 0;
  }
  if (attributes != nullptr && attributes->bInheritHandle != 0) {
    ::fcntl(fds[0], F_SETFD, 0);
    ::fcntl(fds[1], F_SETFD, 0);
  }
  if (size > 0) ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(size));  // a hint, as on Windows
  *readEnd = AddHandle(new DescriptorObject(fds[0], true));
  *writeEnd = AddHandle(new DescriptorObject(fds[1], true));
  return 1;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  const int fd = DescriptorOf(handle);
  if (fd < 0) return 0;
  if (buffer == nullptr && size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastErrorFromErrno();
    return 0;
  }
  if (n == 0 && size != 0) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode)) {
      SetLastError(ERROR_BROKEN_PIPE);
      return 0;
    }
  }
  if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(n);
  return 1;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD size, DWORD* bytesWritten) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  const int fd = DescriptorOf(handle);
  if (fd < 0) return 0;
  if (buffer == nullptr && size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A write into a pipe without a reader raises SIGPIPE, which would end this process; Windows
  // only fails the write. So SIGPIPE is blocked around the write, and one that the write raised
  // (it goes to this thread) is taken back before the mask is restored.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

  const char* data = static_cast<const char*>(buffer);
  DWORD written = 0;
  int error = 0;
  while (written < size) {
    const ssize_t n = ::write(fd, data + written, size - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    written += static_cast<DWORD>(n);
  }
  if (error == EPIPE && !alreadyPending) {
    const timespec now {0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  if (bytesWritten != nullptr) *bytesWritten = written;
  if (error != 0) {
    SetLastError(WinErrorFromErrno(error));
    return 0;
  }
  return 1;
}

namespace {
struct StandardHandles {
  std::mutex mutex;
  HANDLE handles[3] = {nullptr, nullptr, nullptr};
  bool made[3] = {false, false, false};
};

StandardHandles& Standard() {
  static StandardHandles* table = new StandardHandles;  // lives as long as the process
  return *table;
}

int StandardIndex(DWORD which) {
  if (which == STD_INPUT_HANDLE) return 0;
  if (which == STD_OUTPUT_HANDLE) return 1;
  if (which == STD_ERROR_HANDLE) return 2;
  return -1;
}

HANDLE StandardHandle(DWORD which) {
  const int index = StandardIndex(which);
  StandardHandles& table = Standard();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (!table.made[index]) {
    table.handles[index] = AddHandle(new DescriptorObject(index, false));
    table.made[index] = true;
  }
  return table.handles[index];
}
}  // namespace

HANDLE GetStdHandle(DWORD which) {
  if (StandardIndex(which) < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  return StandardHandle(which);
}

BOOL SetStdHandle(DWORD which, HANDLE handle) {
  const int index = StandardIndex(which);
  if (index < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  StandardHandles& table = Standard();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.handles[index] = handle;
  table.made[index] = true;
  return 1;
}

BOOL CreateProcess(const char* applicationName, const char* commandLine, BOOL inheritHandles,
                   DWORD /*creationFlags*/, const char* currentDirectory,
                   const STARTUPINFO* startupInfo, PROCESS_INFORMATION* information) {
  if (information == nullptr || (commandLine == nullptr && applicationName == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::vector<std::string> words = CommandLineToArgv(commandLine != nullptr ? commandLine : "");
  const std::string program = applicationName != nullptr ? std::string(applicationName)
                              : words.empty()            ? std::string()
                                                         : words[0];
  if (program.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (words.empty()) words.push_back(program);
  const std::string file = ResolveProgram(program);
  if (file.empty()) return 0;

  if (currentDirectory != nullptr) {
    struct stat info {};
    if (::stat(currentDirectory, &info) != 0 || !S_ISDIR(info.st_mode)) {
      SetLastError(ERROR_DIRECTORY);
      return 0;
    }
  }

  // The child's standard descriptors; -1 stands for /dev/null.
  int standard[3];
  const bool given = startupInfo != nullptr && (startupInfo->dwFlags & STARTF_USESTDHANDLES) != 0;
  const HANDLE handles[3] = {
      given ? startupInfo->hStdInput : StandardHandle(STD_INPUT_HANDLE),
      given ? startupInfo->hStdOutput : StandardHandle(STD_OUTPUT_HANDLE),
      given ? startupInfo->hStdError : StandardHandle(STD_ERROR_HANDLE),
  };
  for (int i = 0; i < 3; ++i) {
    standard[i] = -1;
    if (handles[i] == nullptr || handles[i] == INVALID_HANDLE_VALUE) continue;
    standard[i] = DescriptorOf(handles[i]);
    if (standard[i] < 0) return 0;  // a handle that is not open, or no pipe or file
  }

  // Everything the child needs is made before fork: after it, only calls that are safe in a
  // copy of a threaded process may run.
  const bool batch = IsBatchFile(program);
  std::vector<std::string> arguments;
  if (batch) {
    arguments.push_back("/bin/sh");
    arguments.push_back(file);
  } else {
    arguments.push_back(words[0]);
  }
  arguments.insert(arguments.end(), words.begin() + 1, words.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::string executable = batch ? std::string("/bin/sh") : file;

  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) {
    SetLastErrorFromErrno();
    return 0;
  }
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    SetLastErrorFromErrno();
    ::close(null);
    return 0;
  }
  long maxDescriptor = ::sysconf(_SC_OPEN_MAX);
  if (maxDescriptor < 0 || maxDescriptor > 65536) maxDescriptor = 65536;

  const pid_t pid = ::fork();
  if (pid < 0) {
    SetLastErrorFromErrno();
    ::close(null);
    ::close(report[0]);
    ::close(report[1]);
    return 0;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    // Move the sources above 2 first, so that one source that is itself 0, 1 or 2 is not
    // overwritten by the dup2 of another.
    int moved[3];
    for (int i = 0; i < 3; ++i) moved[i] = ::fcntl(standard[i] >= 0 ? standard[i] : null, F_DUPFD_CLOEXEC, 3);
    for (int i = 0; i < 3; ++i) ::dup2(moved[i], i);
    if (inheritHandles == 0) {
      // Only the standard handles go to the child: mark every other descriptor close-on-exec.
      if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0)
        for (long fd = 3; fd < maxDescriptor; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
    StartFailure failure {0, 0};
    if (currentDirectory != nullptr && ::chdir(currentDirectory) != 0) {
      failure = {1, errno};
    } else {
      ::execve(executable.c_str(), argv.data(), environ);
      failure = {2, errno};
    }
    ssize_t ignored = ::write(report[1], &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
  }

  ::close(null);
  ::close(report[1]);
  StartFailure failure {0, 0};
  ssize_t got;
  do {
    got = ::read(report[0], &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    SetLastError(failure.step == 1 ? ERROR_DIRECTORY
                                   : WinErrorFromErrno(failure.error, ErrnoSource::File,
                                                       executable.c_str()));
    return 0;
  }

  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
  auto state = std::make_shared<ProcessState>(pid, pidfd);
  information->hProcess = AddHandle(new ProcessObject(state));
  information->hThread = AddHandle(new ProcessObject(state));
  information->dwProcessId = static_cast<DWORD>(pid);
  information->dwThreadId = static_cast<DWORD>(pid);
  return 1;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  auto* object = dynamic_cast<ProcessObject*>(FindHandle(process));
  if (object == nullptr || exitCode == nullptr) {
    SetLastError(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  *exitCode = object->State().Collect(false) ? object->State().ExitCode() : STILL_ACTIVE;
  return 1;
}

DWORD GetProcessId(HANDLE process) {
  auto* object = dynamic_cast<ProcessObject*>(FindHandle(process));
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(object->State().Pid());
}

std::vector<std::string> CommandLineToArgv(const char* commandLine) {
  std::vector<std::string> words;
  if (commandLine == nullptr) return words;
  const char* p = commandLine;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '\0') return words;

  // The program: quotes switch quoting on and off, nothing is escaped.
  std::string word;
  bool quoted = false;
  for (; *p != '\0' && (quoted || (*p != ' ' && *p != '\t')); ++p) {
    if (*p == '"') quoted = !quoted;
    else word += *p;
  }
  words.push_back(word);

  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    word.clear();
    quoted = false;
    while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
      std::size_t backslashes = 0;
      while (*p == '\\') ++backslashes, ++p;
      if (*p == '"') {
        word.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          word += '"';
        } else if (quoted && p[1] == '"') {
          word += '"';  // "" inside quotes: one literal quote, still quoted
          ++p;
        } else {
          quoted = !quoted;
        }
        ++p;
      } else {
        word.append(backslashes, '\\');
        if (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) word += *p++;
      }
    }
    words.push_back(word);
  }
  return words;
}

std::string QuoteCommandLineArgument(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') quoted.append(backslashes * 2 + 1, '\\');
    else quoted.append(backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');  // before the closing quote
  quoted += '"';
  return quoted;
}

}  // namespace tarn::platform
