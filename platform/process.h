// Processes and anonymous pipes, as Windows' CreateProcess and CreatePipe give them.
//
// A command line is a Windows command line: one text that the started program splits itself.
// CreateProcess splits it here, by the rules of the Windows C run-time (CommandLineToArgv
// below), into the program and its arguments, and then:
//   - finds the program: a name with a '/' is a path (a relative one is taken from this
//     process's current directory, whatever directory the child is given); a bare name is looked
//     for in the directory of the running program first, then along PATH, as Windows looks in
//     the application's directory before the search path. Programs have no ".exe" here, so no
//     extension is added;
//   - runs a ".bat" or ".cmd" file (any letter case) with the POSIX shell, /bin/sh, the way
//     Windows hands batch files to its command processor; anything else is executed directly;
//   - gives the child the standard handles of the start-up information (STARTF_USESTDHANDLES)
//     or else this process's standard handles (GetStdHandle); a missing standard handle is
//     /dev/null, so that the child never finds descriptors 0 to 2 closed;
//   - starts it in the working directory given, or this process's when none is.
//
// Pipes behave for the child as Windows pipes do: a write into a pipe that nobody reads any
// more fails (EPIPE) instead of ending the writer. So the child starts with SIGPIPE ignored,
// and the platform's own WriteFile never raises it either. Otherwise the child starts with an
// empty signal mask.
//
// The standard handles are a table of this process, as on Windows: SetStdHandle changes what
// GetStdHandle returns (and what a child gets by default), never this process's own descriptors
// 0 to 2, so nothing that the program prints meanwhile lands in a pipe by accident.
//
// A process nobody waits for any more is still reaped: when the last handle of a running child
// is closed, a thread of the platform collects its exit status, so no zombie stays behind.
#pragma once

#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/wintypes.h"

namespace tarn::platform {

struct SECURITY_ATTRIBUTES {
  DWORD nLength = sizeof(SECURITY_ATTRIBUTES);
  void* lpSecurityDescriptor = nullptr;  // not used: the pipes belong to this user
  BOOL bInheritHandle = 0;
};

inline constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
inline constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;
inline constexpr WORD SW_HIDE = 0;  // there is no desktop: every window is hidden
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;
inline constexpr DWORD STILL_ACTIVE = 259;

struct STARTUPINFO {
  DWORD cb = sizeof(STARTUPINFO);
  DWORD dwFlags = 0;
  WORD wShowWindow = 0;
  HANDLE hStdInput = nullptr;
  HANDLE hStdOutput = nullptr;
  HANDLE hStdError = nullptr;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess = nullptr;
  // The child's first thread. Linux gives no handle on another process's thread; this one waits
  // for the whole process, which is what the first thread's end means to a waiter.
  HANDLE hThread = nullptr;
  DWORD dwProcessId = 0;
  DWORD dwThreadId = 0;  // the first thread's id is the process id on Linux
};

inline constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
inline constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
inline constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

// CreatePipe: an anonymous pipe, read end in `*readEnd`, write end in `*writeEnd`, both
// inheritable when `attributes` says so. `size` is a hint for the pipe's buffer (0: the default).
// FALSE with the last error on failure.
BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, const SECURITY_ATTRIBUTES* attributes,
                DWORD size);

// ReadFile on a pipe end or standard handle: up to `size` bytes into `buffer`, the count in
// `*bytesRead`; waits until there is something to read. When every write end is closed and the
// pipe is empty, FALSE with ERROR_BROKEN_PIPE (109), as Windows reports the end of a pipe.
BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* bytesRead);
// WriteFile on a pipe end or standard handle: all `size` bytes, the count in `*bytesWritten`.
// A pipe without a reader gives FALSE with ERROR_BROKEN_PIPE; the process is not signalled.
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD size, DWORD* bytesWritten);

// The standard handles of this process (STD_INPUT_HANDLE ...). At first they stand for
// descriptors 0, 1 and 2, which closing them leaves open. Unknown ids give INVALID_HANDLE_VALUE
// with ERROR_INVALID_HANDLE.
HANDLE GetStdHandle(DWORD which);
BOOL SetStdHandle(DWORD which, HANDLE handle);

// CreateProcess. `applicationName`, when given, is the program's path (not searched);
// `commandLine` is the command line (its first word is then only the child's argv[0]). With
// `inheritHandles`, the child also receives every inheritable handle of this process; without,
// only its standard handles. `creationFlags` carries the priority class (only the normal one
// exists here). The child inherits this process's environment. On success fills `*information`
// (both handles to be closed by the caller). FALSE with the last error on failure: 2 or 3 when
// the program is not there, 5 when it may not be executed, 193 when it is no program, 267 when
// the working directory is not a directory, 87 for a null or empty command line.
BOOL CreateProcess(const char* applicationName, const char* commandLine, BOOL inheritHandles,
                   DWORD creationFlags, const char* currentDirectory,
                   const STARTUPINFO* startupInfo, PROCESS_INFORMATION* information);

// GetExitCodeProcess: STILL_ACTIVE while the process runs, else its exit status; a process
// ended by a signal reports 128 plus the signal's number, as the shell does. FALSE with
// ERROR_INVALID_HANDLE for a handle that is not a process.
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);

// The process id behind a process handle (GetProcessId); 0 with ERROR_INVALID_HANDLE otherwise.
DWORD GetProcessId(HANDLE process);

// CommandLineToArgv: the words of a Windows command line, the program first. The program is
// everything up to the first blank or tab outside double quotes, the quotes removed (no escapes
// in it). Each following word ends at a blank or tab outside quotes; a double quote opens or
// closes quoting; inside quotes two double quotes give one; 2n backslashes before a double quote
// give n backslashes and the quote acts, 2n+1 give n backslashes and a literal double quote;
// backslashes before anything else are literal. An empty text gives no words.
std::vector<std::string> CommandLineToArgv(const char* commandLine);

// The quoted form of one word that CommandLineToArgv gives back unchanged: the word itself when
// it needs no quotes, else in double quotes with backslashes before quotes doubled.
std::string QuoteCommandLineArgument(const std::string& word);

}  // namespace tarn::platform
