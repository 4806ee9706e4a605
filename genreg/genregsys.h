// What the registry file engine needs from the services library, in the form the engine uses.
//
// Files go through OSSHFile and the ossFile / ossDirectory operations, memory through
// _ossMemAlloc, failures to ossLog, trace points through the GTRACE macros. The commit uses the
// Linux-only file operations of the services library: a second name for a file (ossFileLink), a
// rename that replaces its target atomically (ossFileRenameReplace; ossFileRename refuses an
// existing target, as MoveFile does), forcing a directory's entries to the disk
// (ossDirectorySync); and the lock-file check compares an open file with a path
// (ossFileIsAtPath). The engine makes no system call of its own.
//
// Results are 0 or an errno value (ENOENT for a missing file, EAGAIN for a lock held elsewhere,
// EIO for any other failure, which the services library has already logged); the engine maps
// every failure to its own registry code.
//
// Locks are open-file-description locks on byte 0 of the file: they belong to the open file, not
// to the process, so two registry objects of one process exclude each other, and closing some
// other descriptor of the same file (a scan, a reader in another thread) never drops a lock the
// way process-associated POSIX record locks would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "osse/diag/tracepoints.h"
#include "osse/sys/files.h"

namespace genregsys {

// One open file.
struct File {
  OSSHFile handle;
  bool open = false;
  bool isOpen() const { return open; }
};

enum : std::uint32_t {
  OPEN_READ = 0x1,
  OPEN_WRITE = 0x2,
  OPEN_CREATE = 0x4,    // create when missing
  OPEN_TRUNCATE = 0x8,  // empty it
  OPEN_APPEND = 0x10,   // every write goes to the end
};

int fileOpen(File& file, const char* path, std::uint32_t flags, std::uint32_t permissions);
int fileClose(File& file);
// exclusive or shared; wait blocks until granted, otherwise EAGAIN when another holds it.
int fileLock(File& file, bool exclusive, bool wait);
int fileUnlock(File& file);
// Reads the whole file from offset 0.
int fileReadAll(File& file, std::vector<unsigned char>& data);
// Writes all bytes at the current position (the end, for OPEN_APPEND).
int fileWriteAll(File& file, const void* data, std::size_t length);
int fileSync(File& file);
int fileSize(File& file, std::uint64_t& size);
// True when the open file is the file that `path` names now (same device and inode).
bool fileIsAtPath(File& file, const char* path);

bool pathExists(const char* path);
bool isDirectory(const char* path);
int directoryCreate(const char* path, bool parents, std::uint32_t permissions);
int fileDelete(const char* path);                      // ENOENT when missing
int fileRename(const char* from, const char* to);      // replaces `to` atomically
int fileLink(const char* existing, const char* link);  // second name of the same file
int syncDirectoryOf(const char* path);                 // the directory entry changes reach the disk
int fileGetPermissions(const char* path, std::uint32_t& permissions);
int fileSetPermissions(const char* path, std::uint32_t permissions);

// The record buffers of the engine and the record types.
void* memAlloc(std::size_t size, const char* file, int line);
void memFree(void* p, const char* file, int line);

// Diagnostics: a failure record for the log and the trace points of one function.
void logFailure(std::uint32_t functionId, std::uint32_t code, std::uint32_t probe, std::uint32_t level,
                const char* text = nullptr);
inline void traceEntry(std::uint32_t functionId) { GTRACE_ENTRY(functionId); }
inline void traceExit(std::uint32_t functionId, const std::uint32_t* rc) { GTRACE_EXIT(functionId, rc); }
inline void traceError(std::uint32_t functionId, std::uint32_t probe, std::uint32_t code, const char* text = nullptr) {
  if (text != nullptr) GTRACE_DATA(functionId, probe, GTRACE_ITEM_STRING, __builtin_strlen(text), text);
  GTRACE_ERROR(functionId, probe, &code);
}

// Entry and exit trace points of one function; the exit carries the address of its result.
struct TraceScope {
  std::uint32_t functionId;
  const std::uint32_t* rc;
  TraceScope(std::uint32_t id, const std::uint32_t* result) : functionId(id), rc(result) { traceEntry(id); }
  ~TraceScope() { traceExit(functionId, rc); }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;
};

// The error path of every action: log the failure, emit the error trace point with the same
// probe, hand back the code.
inline std::uint32_t fail(std::uint32_t functionId, std::uint32_t code, std::uint32_t probe,
                          const char* text = nullptr) {
  logFailure(functionId, code, probe, 3, text);
  traceError(functionId, probe, code, text);
  return code;
}

// Test hook of the commit: when set, called at each step with the step's number, so a test can
// stop the process there. Unset, it costs one load and one compare per step.
using CommitHook = void (*)(int step);
extern CommitHook g_commitHook;

}  // namespace genregsys

#define GENREG_ALLOC(n) ::genregsys::memAlloc((n), __FILE__, __LINE__)
#define GENREG_FREE(p) ::genregsys::memFree((p), __FILE__, __LINE__)
