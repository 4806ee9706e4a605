// Files: OSSHFile, a thin handle over one open file, and OSSPrimitiveFileOp, the wrapper the
// diagnostics write through.
//
// OSSHFile calling sequence (every operation returns 0 or an ECF code):
//
//     OSSHFile file;                                  // idle
//     OSSFileOpenParam open = {OSS_VERSION_STAMP, path, OSS_FILE_OPEN_ALWAYS,
//                              OSS_FILE_ACCESS_READWRITE, 0, 0600, 0};
//     rc = file.open(&open);
//     OSSFileLockParam lock = {OSS_VERSION_STAMP, OSS_FILE_LOCK_EXCLUSIVE, OSS_FILE_LOCK_WAIT};
//     rc = file.lock(&lock);
//     ... read / write / seek / map ...
//     file.unlock();
//     file.close();                                   // back to idle; no destructor closes for you
//
// Each option-taking operation takes a parameter object whose first member is a version stamp:
// callers store OSS_VERSION_STAMP; a null object is ECF_INVALID_PARAMETER (logged with probe 1111),
// a stamp below OSS_VERSION_MINIMUM ECF_INVALID_VERSION (probe 1112). A failed system call goes
// through ossSystemErrorHandler under the Windows call it stands in for (CreateFileA, ReadFile,
// LockFileEx ...), with the Windows error number of the platform's errno mapping, and the
// operation returns the mapped code. Argument failures are logged with ossLog; probes run 10, 20,
// 30 ... through each operation.
//
// The one-byte lock
// -----------------
// lock() takes byte 0 of the file, shared or exclusive, whatever the file's size (an empty file
// locks as well): every cooperating process locks that same byte, so it stands for the whole
// file. A waiting lock tries without blocking and sleeps 100 ms between tries, without limit; a
// no-wait lock held elsewhere returns ECF_FILE_LOCK and writes no log record.
//
// The lock is an open-file-description lock (fcntl F_OFD_SETLK), never a classic POSIX record
// lock (F_SETLK). Two traps decide that:
//   - a classic lock belongs to the process: closing ANY descriptor of the file, even one another
//     part of the program opened for a moment, drops every lock the process holds on it;
//   - two classic locks of one process never conflict, so two OSSHFile objects of one process
//     (two threads, or the registry engine's reader and writer) would not exclude each other.
// An open-file-description lock belongs to the open() of this object: other objects conflict with
// it whether they live in this process or another. It is released by unlock(), or when the last
// descriptor of that open is closed (close() of this object, unless a dup() of getFileHandle()
// still lives; closing such a dup alone releases nothing).
// One Linux rule has no Windows counterpart: an exclusive lock needs a handle opened with write
// access and a shared lock one with read access; otherwise lock() fails with
// ECF_INVALID_PARAMETER (EBADF, Windows error 6). Open lock files for reading and writing.
//
// Sharing, renames and deletes
// ----------------------------
// A Windows handle is opened here with sharing for reading and writing but never for deleting, so
// while a file is open nobody can rename or delete it. Linux has no such refusal: a file can be
// renamed or unlinked while others hold it open, and they go on reading and writing the old
// inode. The port relies instead on the protocols of the callers: every writer takes the one-byte
// lock before it changes a file, and a process that locked a lock file must check that the name
// still leads to the inode it locked (the registry engine does; see its lock-file code) before it
// trusts the lock. Nothing in this layer stops a rename; do not build on it doing so.
//
// Other differences of the port, by design:
//   - `permissions` are applied to a file that open() creates (less the process's umask), as a
//     user of the Linux build expects; Windows ignored them.
//   - OSS_FILE_OPTION_DELETE_ON_CLOSE removes the name right after the open succeeds. The file
//     lives on through this object until close(); no other process can open it by name meanwhile
//     (on Windows they could not either), and a crash leaves nothing behind.
//   - OSS_FILE_OPTION_WRITE_THROUGH opens with O_DSYNC.
//   - Opening a directory fails with ECF_ACCESS_DENIED (Windows error 5), as on Windows; Linux
//     would hand out a descriptor.
//   - A mapping is an mmap of the file: mapHandle holds the mapped length (Linux has no separate
//     mapping object, and munmap needs the length). A view may not reach past the end of the
//     file: that would fault on access (SIGBUS) where Windows refuses the view, so map() refuses
//     it with ECF_INVALID_PARAMETER. A preferred address is honoured exactly or the map fails with
//     ECF_INVALID_ADDRESS, as MapViewOfFileEx does.
#pragma once

#include <cstdint>

#include "osse/sys/latch.h"

// A file handle of this platform: a file descriptor. All bits set (-1) means none.
using OSSFileHandle = int;
inline constexpr OSSFileHandle OSS_INVALID_FILE_HANDLE = -1;
inline constexpr std::uint64_t OSS_NO_MAPPING = ~std::uint64_t{0};

// Open modes (exactly one).
inline constexpr std::uint32_t OSS_FILE_OPEN_EXISTING = 1;
inline constexpr std::uint32_t OSS_FILE_OPEN_ALWAYS = 2;
inline constexpr std::uint32_t OSS_FILE_OPEN_TRUNCATE = 4;
inline constexpr std::uint32_t OSS_FILE_CREATE_NEW = 8;
inline constexpr std::uint32_t OSS_FILE_CREATE_ALWAYS = 16;

// Access modes (exactly one).
inline constexpr std::uint32_t OSS_FILE_ACCESS_READ = 1;
inline constexpr std::uint32_t OSS_FILE_ACCESS_WRITE = 2;
inline constexpr std::uint32_t OSS_FILE_ACCESS_READWRITE = 4;

// Options (bit set; other bits ignored).
inline constexpr std::uint32_t OSS_FILE_OPTION_WRITE_THROUGH = 0x1;
inline constexpr std::uint32_t OSS_FILE_OPTION_DELETE_ON_CLOSE = 0x2;

// Locks.
inline constexpr std::uint32_t OSS_FILE_LOCK_EXCLUSIVE = 1;
inline constexpr std::uint32_t OSS_FILE_LOCK_SHARED = 2;
inline constexpr std::uint32_t OSS_FILE_LOCK_WAIT = 1;
inline constexpr std::uint32_t OSS_FILE_LOCK_NOWAIT = 2;
inline constexpr std::uint32_t OSS_FILE_LOCK_POLL_MS = 100;

// Seek bases.
inline constexpr std::uint32_t OSS_FILE_SEEK_BEGIN = 0;
inline constexpr std::uint32_t OSS_FILE_SEEK_CURRENT = 1;
inline constexpr std::uint32_t OSS_FILE_SEEK_END = 2;

// Map access.
inline constexpr std::uint32_t OSS_FILE_MAP_READ = 1;
inline constexpr std::uint32_t OSS_FILE_MAP_COPY = 2;       // private: writes stay in this process
inline constexpr std::uint32_t OSS_FILE_MAP_READWRITE = 4;  // shared: writes reach the file

struct OSSFileOpenParam {
  std::uint32_t version;
  const char* fileName;       // path of the file
  std::uint32_t openMode;     // OSS_FILE_OPEN_* / OSS_FILE_CREATE_*
  std::uint32_t accessMode;   // OSS_FILE_ACCESS_*
  std::uint32_t options;      // OSS_FILE_OPTION_*
  std::uint32_t permissions;  // permission bits of a created file (0600 when the caller has none)
  std::uint32_t reserved;     // carried into failure reports only
};

struct OSSFileLockParam {
  std::uint32_t version;
  std::uint32_t lockType;  // OSS_FILE_LOCK_EXCLUSIVE or OSS_FILE_LOCK_SHARED
  std::uint32_t waitMode;  // OSS_FILE_LOCK_WAIT or OSS_FILE_LOCK_NOWAIT
};

struct OSSFileReadParam {
  std::uint32_t version;
  std::uint32_t byteCount;
  std::uint32_t reserved;
};

struct OSSFileWriteParam {
  std::uint32_t version;
  const void* buffer;
  std::uint32_t byteCount;
  std::uint32_t reserved;
};

struct OSSFileSeekParam {
  std::uint32_t version;
  std::int64_t offset;
  std::uint32_t whence;  // OSS_FILE_SEEK_*
  std::uint32_t reserved;
};

struct OSSFileSetSizeParam {
  std::uint32_t version;
  std::uint64_t newSize;
  std::uint32_t options;  // must be 0
};

struct OSSFileMapParam {
  std::uint32_t version;
  std::uint32_t length;     // bytes from offset 0; 0 maps the whole file
  std::uint32_t mapAccess;  // OSS_FILE_MAP_*
  std::uint32_t reserved;
};

class OSSHFile {
 public:
  OSSHFile() noexcept = default;

  // On success the object holds the new handle. open() on an open object forgets the old handle
  // without closing it: close first. OPEN_EXISTING on a missing path is ECF_FILE_DOESNT_EXIST,
  // CREATE_NEW on an existing one ECF_FILE_EXISTS (both logged; the path probe and the open are
  // two calls, nothing holds the path between them), TRUNCATE with read access
  // ECF_INVALID_PARAMETER.
  std::uint32_t open(const OSSFileOpenParam* param) noexcept;
  // Back to idle on success; on failure the members keep their values.
  std::uint32_t close() noexcept;
  // One read of byteCount bytes at the current position; *bytesRead is the count read. Fewer than
  // asked (end of file) is ECF_FILE_EOF without a log record.
  std::uint32_t read(const OSSFileReadParam* param, void* buffer, std::uint32_t* bytesRead) noexcept;
  // Writes all byteCount bytes; fewer (a write that made no progress) is
  // ECF_FILE_INCOMPLETE_WRITE with *bytesWritten set; a failed call leaves *bytesWritten 0.
  std::uint32_t write(const OSSFileWriteParam* param, std::uint32_t* bytesWritten) noexcept;
  // Moves to base + offset (a negative target becomes 0); past the end of file is
  // ECF_FILE_SEEK_BEYOND_EOF, the end itself is allowed. newPosition may be null.
  std::uint32_t seek(const OSSFileSeekParam* param, std::uint64_t* newPosition) noexcept;
  std::uint32_t getSize(std::uint64_t* size) noexcept;
  // Shortens or lengthens the file; the position stays where it was when that is before the new
  // size, else it is the new end.
  std::uint32_t setSize(const OSSFileSetSizeParam* param) noexcept;
  std::uint32_t lock(const OSSFileLockParam* param) noexcept;
  // Unlocking a byte that is not locked succeeds.
  std::uint32_t unlock() noexcept;
  // *address: in, the preferred base or null; out, the view. One mapping at a time.
  std::uint32_t map(const OSSFileMapParam* param, void** address) noexcept;
  // null unmaps the object's current view.
  std::uint32_t unmap(void* address) noexcept;
  std::uint32_t sync() noexcept;
  // The descriptor (not traced). A stream opened over it with fdopen must be given a dup() of it
  // unless the stream is meant to close the file.
  OSSFileHandle getFileHandle() const noexcept { return fileHandle; }

 private:
  OSSFileHandle fileHandle = OSS_INVALID_FILE_HANDLE;
  std::uint64_t mapHandle = OSS_NO_MAPPING;  // length of the current mapping
  void* mapAddress = nullptr;
};

// The file wrapper of the diagnostics that must not recurse into tracing or logging (trap files,
// assertion reports). Results are Windows error numbers, 0 on success; nothing here traces or logs.
class OSSPrimitiveFileOp {
 public:
  using offsetType = std::int32_t;

  // Mode bits of open().
  static constexpr std::uint32_t MODE_READ = 0x1;
  static constexpr std::uint32_t MODE_WRITE = 0x2;
  static constexpr std::uint32_t MODE_READWRITE = 0x4;
  static constexpr std::uint32_t MODE_OPEN_EXISTING = 0x8;
  static constexpr std::uint32_t MODE_OPEN_ALWAYS = 0x10;
  static constexpr std::uint32_t FWRITE_BUFFER_SIZE = 2048;

  OSSPrimitiveFileOp() noexcept = default;

  // Bit 0x1 read, else 0x2 write, else read and write; bit 0x8 only an existing file, else 0x10
  // open or create (permissions 0666 less the umask), else only an existing file. The handle is
  // stored valid or not; the result is the Windows error of a failed open, else 0.
  std::uint32_t open(const char* fileName, std::uint32_t mode) noexcept;
  // The process's standard output. The object writes to its own duplicate, so close() leaves the
  // process's standard output open.
  std::uint32_t openConsole() noexcept;
  bool isValid() const noexcept { return handle != OSS_INVALID_FILE_HANDLE; }
  // On failure (invalid handle included) *bytesRead is 0 and the result the Windows error.
  std::uint32_t read(std::uint32_t byteCount, void* buffer, std::uint32_t* bytesRead) noexcept;
  // byteCount 0: data is a NUL-terminated string, written without its NUL. On an invalid handle
  // nothing is written and the result is 0.
  std::uint32_t write(const void* data, std::uint32_t byteCount) noexcept;
  // Formats into a zeroed buffer of FWRITE_BUFFER_SIZE bytes (at most 2047 characters) and
  // writes the text.
  __attribute__((format(printf, 2, 3))) std::uint32_t fwrite(const char* format, ...) noexcept;
  // The low 32 bits of the size; 0 on failure.
  std::uint32_t getSize(offsetType* size) noexcept;
  void seekToEnd() noexcept;
  void seekToOffset(offsetType offset) noexcept;
  offsetType getCurrentOffset() noexcept;
  // Closes a valid handle and marks the object closed, so that a second close (or a late write)
  // cannot reach a descriptor that the number has been given to since.
  void close() noexcept;

 protected:
  void setFileHandle(OSSFileHandle newHandle) noexcept { handle = newHandle; }

 private:
  OSSFileHandle handle = OSS_INVALID_FILE_HANDLE;
};
