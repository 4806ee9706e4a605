// Files. See files.h: the lock, sharing and rename traps are described there.
#include "osse/sys/files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/syserror.h"
#include "osse/diag/tracepoints.h"
#include "osse/sys/timestring.h"
#include "platform/fileattributes.h"
#include "platform/winerror.h"

namespace {

using tarn::platform::DWORD;
using tarn::platform::ErrnoSource;
using tarn::platform::WinErrorFromErrno;

constexpr std::uint32_t kProbeNull = 1111;
constexpr std::uint32_t kProbeVersion = 1112;
constexpr std::uint32_t kProbeParam = 1;     // data point of the parameter object
constexpr std::uint32_t kLevelError = 1;  // the handler lowers it to the mapped level

// Entry and exit trace points of one operation, and its error points: each carries the probe of
// the log record (or of the failure that writes none) and the code returned.
class Traced {
 public:
  explicit Traced(std::uint32_t functionId) noexcept : functionId_(functionId) { GTRACE_ENTRY(functionId); }
  ~Traced() { GTRACE_EXIT(functionId_, &rc_); }
  Traced(const Traced&) = delete;
  Traced& operator=(const Traced&) = delete;

  std::uint32_t functionId() const noexcept { return functionId_; }
  std::uint32_t ok(std::uint32_t rc) noexcept { return rc_ = rc; }
  std::uint32_t fail(std::uint32_t probe, std::uint32_t rc) noexcept {
    rc_ = rc;
    GTRACE_ERROR(functionId_, probe, &rc_);
    return rc;
  }

 private:
  std::uint32_t functionId_;
  std::uint32_t rc_ = 0;
};

// The common preamble: a null parameter object or a version stamp below the minimum; a valid
// object is traced as one data item.
template <typename Param>
std::uint32_t checkParam(Traced& t, const Param* param) noexcept {
  if (param == nullptr) {
    ossLog(nullptr, t.functionId(), ECF_INVALID_PARAMETER, kProbeNull, 3, 0);
    return t.fail(kProbeNull, ECF_INVALID_PARAMETER);
  }
  GTRACE_DATA(t.functionId(), kProbeParam, GTRACE_ITEM_BYTES, sizeof(Param), param);
  const std::uint32_t version = param->version;
  if (version < OSS_VERSION_MINIMUM) {
    const std::uint32_t minimum = OSS_VERSION_MINIMUM;
    ossLog(nullptr, t.functionId(), ECF_INVALID_VERSION, kProbeVersion, 3, 2, &version, 4u, OSS_LOG_TYPE_HEX,
           &minimum, 4u, OSS_LOG_TYPE_UNSIGNED);
    return t.fail(kProbeVersion, ECF_INVALID_VERSION);
  }
  return 0;
}

std::uint32_t invalidField(Traced& t, std::uint32_t probe, const std::uint32_t& value) noexcept {
  ossLog(nullptr, t.functionId(), ECF_INVALID_PARAMETER, probe, 3, 1, &value, 4u, OSS_LOG_TYPE_UNSIGNED);
  return t.fail(probe, ECF_INVALID_PARAMETER);
}

// Failure detail of every operation but open, read and write: the handle.
OSSErrorDetail handleDetail(OSSFileHandle handle) noexcept {
  OSSErrorDetail detail = {};
  detail.version = OSS_VERSION_STAMP;
  detail.validMask = OSS_ERROR_DETAIL_FILE_HANDLE;
  detail.fileHandle = static_cast<std::uint32_t>(handle);
  return detail;
}

// A failed call on an open handle: the Windows error goes through the handler with the handle in
// the detail and in the record.
std::uint32_t handleFailure(Traced& t, std::uint32_t systemFunctionId, DWORD error, std::uint32_t probe,
                            OSSFileHandle handle) noexcept {
  const OSSErrorDetail detail = handleDetail(handle);
  return t.fail(probe, ossSystemErrorHandler(t.functionId(), systemFunctionId, error, probe, kLevelError, 0, &detail,
                                             1, &handle, 4u, OSS_LOG_TYPE_SIGNED));
}

DWORD lastFileError() noexcept { return WinErrorFromErrno(errno, ErrnoSource::File); }

std::uint32_t statSize(OSSFileHandle handle, std::uint64_t* size) noexcept {
  struct stat status {};
  if (::fstat(handle, &status) != 0) return lastFileError();
  *size = static_cast<std::uint64_t>(status.st_size);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// OSSHFile
// ---------------------------------------------------------------------------------------------

std::uint32_t OSSHFile::open(const OSSFileOpenParam* param) noexcept {
  constexpr std::uint32_t fn = ECF_FN_OSSHFile_open;
  Traced t(fn);
  if (const std::uint32_t rc = checkParam(t, param); rc != 0) return rc;

  int access = 0;
  switch (param->accessMode) {
    case OSS_FILE_ACCESS_READ: access = O_RDONLY; break;
    case OSS_FILE_ACCESS_WRITE: access = O_WRONLY; break;
    case OSS_FILE_ACCESS_READWRITE: access = O_RDWR; break;
    default: return invalidField(t, 10, param->accessMode);
  }
  int disposition = 0;
  switch (param->openMode) {
    case OSS_FILE_OPEN_EXISTING: disposition = 0; break;
    case OSS_FILE_OPEN_ALWAYS: disposition = O_CREAT; break;
    case OSS_FILE_OPEN_TRUNCATE: disposition = O_TRUNC; break;
    case OSS_FILE_CREATE_NEW: disposition = O_CREAT | O_EXCL; break;
    case OSS_FILE_CREATE_ALWAYS: disposition = O_CREAT | O_TRUNC; break;
    default: return invalidField(t, 20, param->openMode);
  }
  if (param->openMode == OSS_FILE_OPEN_TRUNCATE && param->accessMode == OSS_FILE_ACCESS_READ)
    return invalidField(t, 30, param->openMode);
  if (param->fileName == nullptr) return invalidField(t, 40, param->openMode);

  const char* name = param->fileName;
  const auto nameLength = static_cast<std::uint32_t>(std::strlen(name) + 1);
  // The probe and the open are two calls: the answer may be stale by the time the file is opened,
  // and O_EXCL still makes CREATE_NEW safe against a racing creator.
  const DWORD attributes = tarn::platform::GetFileAttributes(name);
  if (param->openMode == OSS_FILE_CREATE_NEW && attributes != tarn::platform::INVALID_FILE_ATTRIBUTES) {
    ossLog(nullptr, fn, ECF_FILE_EXISTS, 50, 3, 1, name, nameLength, OSS_LOG_TYPE_STRING);
    return t.fail(50, ECF_FILE_EXISTS);
  }
  if (param->openMode == OSS_FILE_OPEN_EXISTING && attributes == tarn::platform::INVALID_FILE_ATTRIBUTES) {
    // Only a path that is really missing is "doesn't exist"; a path we may not look at goes on to
    // the open, whose failure tells what is wrong.
    const DWORD error = tarn::platform::GetLastError();
    if (error == tarn::platform::ERROR_FILE_NOT_FOUND || error == tarn::platform::ERROR_PATH_NOT_FOUND) {
      ossLog(nullptr, fn, ECF_FILE_DOESNT_EXIST, 60, 3, 1, name, nameLength, OSS_LOG_TYPE_STRING);
      return t.fail(60, ECF_FILE_DOESNT_EXIST);
    }
  }

  int flags = access | disposition | O_CLOEXEC;
  if ((param->options & OSS_FILE_OPTION_WRITE_THROUGH) != 0) flags |= O_DSYNC;

  fileHandle = OSS_INVALID_FILE_HANDLE;
  mapHandle = OSS_NO_MAPPING;
  mapAddress = nullptr;

  int handle;
  do {
    handle = ::open(name, flags, static_cast<mode_t>(param->permissions & 07777));
  } while (handle < 0 && errno == EINTR);
  DWORD error = 0;
  if (handle < 0) {
    error = WinErrorFromErrno(errno, ErrnoSource::File, name);
  } else {
    // Windows refuses to open a directory as a file; Linux would hand out a descriptor that fails
    // every later read and write.
    struct stat status {};
    if (::fstat(handle, &status) == 0 && S_ISDIR(status.st_mode)) {
      ::close(handle);
      handle = -1;
      error = tarn::platform::ERROR_ACCESS_DENIED;
    }
  }
  if (handle < 0) {
    OSSErrorDetail detail = {};
    detail.version = OSS_VERSION_STAMP;
    detail.validMask = OSS_ERROR_DETAIL_FILE_NAME | OSS_ERROR_DETAIL_IO;
    detail.fileName = name;
    detail.reserved3 = param->permissions;
    const auto accessWord = static_cast<std::uint32_t>(access);
    const auto dispositionWord = static_cast<std::uint32_t>(disposition);
    const auto flagWord = static_cast<std::uint32_t>(flags);
    return t.fail(70, ossSystemErrorHandler(fn, ECF_FN_CreateFileA, error, 70, kLevelError, 0, &detail, 9, name,
                                            nameLength, OSS_LOG_TYPE_STRING, &param->openMode, 4u,
                                            OSS_LOG_TYPE_UNSIGNED, &param->accessMode, 4u, OSS_LOG_TYPE_UNSIGNED,
                                            &param->options, 4u, OSS_LOG_TYPE_HEX, &param->permissions, 4u,
                                            OSS_LOG_TYPE_HEX, &param->reserved, 4u, OSS_LOG_TYPE_HEX, &accessWord, 4u,
                                            OSS_LOG_TYPE_HEX, &dispositionWord, 4u, OSS_LOG_TYPE_HEX, &flagWord, 4u,
                                            OSS_LOG_TYPE_HEX));
  }
  if ((param->options & OSS_FILE_OPTION_DELETE_ON_CLOSE) != 0) ::unlink(name);
  fileHandle = handle;
  return 0;
}

std::uint32_t OSSHFile::close() noexcept {
  Traced t(ECF_FN_OSSHFile_close);
  // A close interrupted by a signal has still released the descriptor on Linux: retrying would
  // close a number that another thread may have been given meanwhile.
  if (::close(fileHandle) != 0 && errno != EINTR)
    return handleFailure(t, ECF_FN_CloseHandle, lastFileError(), 10, fileHandle);
  fileHandle = OSS_INVALID_FILE_HANDLE;
  mapHandle = OSS_NO_MAPPING;
  mapAddress = nullptr;
  return 0;
}

std::uint32_t OSSHFile::read(const OSSFileReadParam* param, void* buffer, std::uint32_t* bytesRead) noexcept {
  constexpr std::uint32_t fn = ECF_FN_OSSHFile_read;
  Traced t(fn);
  if (const std::uint32_t rc = checkParam(t, param); rc != 0) return rc;
  std::uint32_t dummy = 0;
  if (bytesRead == nullptr) bytesRead = &dummy;
  *bytesRead = 0;
  const std::uint32_t wanted = param->byteCount;
  if (wanted != 0 && buffer == nullptr) return invalidField(t, 10, wanted);

  // One ReadFile reads a disk file up to the count or the end of file; read() may stop earlier
  // (signals, pipes), so go on until the count is reached or the end is.
  std::uint32_t total = 0;
  while (total < wanted) {
    const ssize_t got = ::read(fileHandle, static_cast<char*>(buffer) + total, wanted - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      OSSErrorDetail detail = handleDetail(fileHandle);
      detail.validMask |= OSS_ERROR_DETAIL_32;
      detail.detail32 = wanted;
      return t.fail(20, ossSystemErrorHandler(fn, ECF_FN_ReadFile, lastFileError(), 20, kLevelError, 0, &detail, 2,
                                              &fileHandle, 4u, OSS_LOG_TYPE_SIGNED, &wanted, 4u,
                                              OSS_LOG_TYPE_UNSIGNED));
    }
    if (got == 0) break;
    total += static_cast<std::uint32_t>(got);
  }
  *bytesRead = total;
  if (total == wanted) return 0;
  // A short read is the end of the file, not a failure: no log record, a data point with both
  // counts.
  if (gtraceIsOn()) {
    _gtraceVar(_gtraceThreadID(), 0u, fn, 30, GTRACE_REC_DATA, 2u, 0u, 4u, static_cast<const void*>(&wanted), 0u, 4u,
               static_cast<const void*>(&total));
  }
  return t.ok(ECF_FILE_EOF);
}

std::uint32_t OSSHFile::write(const OSSFileWriteParam* param, std::uint32_t* bytesWritten) noexcept {
  constexpr std::uint32_t fn = ECF_FN_OSSHFile_write;
  Traced t(fn);
  if (const std::uint32_t rc = checkParam(t, param); rc != 0) return rc;
  std::uint32_t dummy = 0;
  if (bytesWritten == nullptr) bytesWritten = &dummy;
  *bytesWritten = 0;
  const std::uint32_t wanted = param->byteCount;
  if (wanted != 0 && param->buffer == nullptr) return invalidField(t, 10, wanted);

  std::uint32_t total = 0;
  while (total < wanted) {
    const ssize_t put = ::write(fileHandle, static_cast<const char*>(param->buffer) + total, wanted - total);
    if (put < 0) {
      if (errno == EINTR) continue;
      OSSErrorDetail detail = handleDetail(fileHandle);
      detail.validMask |= OSS_ERROR_DETAIL_32;
      detail.detail32 = wanted;
      return t.fail(20, ossSystemErrorHandler(fn, ECF_FN_WriteFile, lastFileError(), 20, kLevelError, 0, &detail, 3,
                                              &fileHandle, 4u, OSS_LOG_TYPE_SIGNED, &wanted, 4u,
                                              OSS_LOG_TYPE_UNSIGNED, &param->reserved, 4u, OSS_LOG_TYPE_HEX));
    }
    if (put == 0) break;
    total += static_cast<std::uint32_t>(put);
  }
  *bytesWritten = total;
  if (total != wanted) {
    ossLog(nullptr, fn, ECF_FILE_INCOMPLETE_WRITE, 30, 3, 2, &wanted, 4u, OSS_LOG_TYPE_UNSIGNED, &total, 4u,
           OSS_LOG_TYPE_UNSIGNED);
    return t.fail(30, ECF_FILE_INCOMPLETE_WRITE);
  }
  return 0;
}

std::uint32_t OSSHFile::seek(const OSSFileSeekParam* param, std::uint64_t* newPosition) noexcept {
  constexpr std::uint32_t fn = ECF_FN_OSSHFile_seek;
  Traced t(fn);
  if (const std::uint32_t rc = checkParam(t, param); rc != 0) return rc;
  // The end of file is read as the file's size rather than by moving the file pointer there, so
  // that a refused seek leaves the position where it was whatever the base.
  std::int64_t base = 0;
  if (param->whence == OSS_FILE_SEEK_CURRENT) {
    const off_t at = ::lseek(fileHandle, 0, SEEK_CUR);
    if (at < 0) return handleFailure(t, ECF_FN_SetFilePointer, lastFileError(), 20, fileHandle);
    base = at;
  } else if (param->whence == OSS_FILE_SEEK_END) {
    std::uint64_t end = 0;
    if (const DWORD error = statSize(fileHandle, &end); error != 0)
      return handleFailure(t, ECF_FN_SetFilePointer, error, 20, fileHandle);
    base = static_cast<std::int64_t>(end);
  } else if (param->whence != OSS_FILE_SEEK_BEGIN) {
    return invalidField(t, 10, param->whence);
  }
  // base is at most the largest file offset, so only a positive offset can overflow.
  std::int64_t target;
  if (__builtin_add_overflow(base, param->offset, &target)) target = INT64_MAX;
  if (target < 0) target = 0;

  std::uint64_t size = 0;
  if (const DWORD error = statSize(fileHandle, &size); error != 0)
    return handleFailure(t, ECF_FN_GetFileSize, error, 30, fileHandle);
  if (static_cast<std::uint64_t>(target) > size) {
    ossLog(nullptr, fn, ECF_FILE_SEEK_BEYOND_EOF, 40, 3, 2, &target, 8u, OSS_LOG_TYPE_SIGNED, &size, 8u,
           OSS_LOG_TYPE_UNSIGNED);
    return t.fail(40, ECF_FILE_SEEK_BEYOND_EOF);
  }
  if (::lseek(fileHandle, static_cast<off_t>(target), SEEK_SET) < 0)
    return handleFailure(t, ECF_FN_SetFilePointer, lastFileError(), 50, fileHandle);
  if (newPosition != nullptr) *newPosition = static_cast<std::uint64_t>(target);
  return 0;
}

std::uint32_t OSSHFile::getSize(std::uint64_t* size) noexcept {
  Traced t(ECF_FN_OSSHFile_getSize);
  std::uint64_t value = 0;
  if (const DWORD error = statSize(fileHandle, &value); error != 0)
    return handleFailure(t, ECF_FN_GetFileSize, error, 10, fileHandle);
  if (size != nullptr) *size = value;
  return 0;
}

std::uint32_t OSSHFile::setSize(const OSSFileSetSizeParam* param) noexcept {
  constexpr std::uint32_t fn = ECF_FN_OSSHFile_setSize;
  Traced t(fn);
  if (const std::uint32_t rc = checkParam(t, param); rc != 0) return rc;
  if (param->options != 0) return invalidField(t, 10, param->options);

  const off_t position = ::lseek(fileHandle, 0, SEEK_CUR);
  if (position < 0) return handleFailure(t, ECF_FN_SetFilePointer, lastFileError(), 20, fileHandle);
  std::uint64_t size = 0;
  if (const DWORD error = statSize(fileHandle, &size); error != 0)
    return handleFailure(t, ECF_FN_GetFileSize, error, 30, fileHandle);
  if (size == param->newSize) return 0;
  if (param->newSize > static_cast<std::uint64_t>(INT64_MAX))
    return handleFailure(t, ECF_FN_SetEndOfFile, tarn::platform::ERROR_INVALID_PARAMETER, 40, fileHandle);

  const auto newSize = static_cast<off_t>(param->newSize);
  int rc;
  do {
    rc = ::ftruncate(fileHandle, newSize);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return handleFailure(t, ECF_FN_SetEndOfFile, lastFileError(), 50, fileHandle);
  // SetEndOfFile works at the file pointer, which was moved to the new size: the position stays
  // there unless it was before the new end.
  if (::lseek(fileHandle, position < newSize ? position : newSize, SEEK_SET) < 0)
    return handleFailure(t, ECF_FN_SetFilePointer, lastFileError(), 60, fileHandle);
  return 0;
}

std::uint32_t OSSHFile::lock(const OSSFileLockParam* param) noexcept {
  constexpr std::uint32_t fn = ECF_FN_OSSHFile_lock;
  Traced t(fn);
  if (const std::uint32_t rc = checkParam(t, param); rc != 0) return rc;
  short type;
  switch (param->lockType) {
    case OSS_FILE_LOCK_EXCLUSIVE: type = F_WRLCK; break;
    case OSS_FILE_LOCK_SHARED: type = F_RDLCK; break;
    default: return invalidField(t, 10, param->lockType);
  }
  if (param->waitMode != OSS_FILE_LOCK_WAIT && param->waitMode != OSS_FILE_LOCK_NOWAIT)
    return invalidField(t, 20, param->waitMode);

  // Byte 0, length 1: the byte need not exist. l_pid must be 0 for an open-file-description lock.
  struct flock request = {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 1;
  while (true) {
    // Always without blocking: a waiting lock polls, so it never sleeps inside the kernel.
    if (::fcntl(fileHandle, F_OFD_SETLK, &request) == 0) return 0;
    if (errno == EINTR) continue;
    const DWORD error = WinErrorFromErrno(errno, ErrnoSource::Lock);
    if (error != tarn::platform::ERROR_LOCK_VIOLATION) {
      const OSSErrorDetail detail = handleDetail(fileHandle);
      const std::uint32_t lockFlags = type == F_WRLCK ? 0x3u : 0x1u;  // fail-immediately, exclusive
      return t.fail(30, ossSystemErrorHandler(fn, ECF_FN_LockFileEx, error, 30, kLevelError, 0, &detail, 3,
                                              &lockFlags, 4u, OSS_LOG_TYPE_HEX, &param->lockType, 4u,
                                              OSS_LOG_TYPE_UNSIGNED, &param->waitMode, 4u, OSS_LOG_TYPE_UNSIGNED));
    }
    if (param->waitMode == OSS_FILE_LOCK_NOWAIT) return t.fail(40, ECF_FILE_LOCK);  // held elsewhere: no record
    ossSleep(OSS_FILE_LOCK_POLL_MS);
  }
}

std::uint32_t OSSHFile::unlock() noexcept {
  Traced t(ECF_FN_OSSHFile_unlock);
  struct flock request = {};
  request.l_type = F_UNLCK;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 1;
  // Unlocking a byte that is not locked succeeds here as it does for ERROR_NOT_LOCKED.
  int rc;
  do {
    rc = ::fcntl(fileHandle, F_OFD_SETLK, &request);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return handleFailure(t, ECF_FN_UnlockFileEx, lastFileError(), 10, fileHandle);
  return 0;
}

std::uint32_t OSSHFile::map(const OSSFileMapParam* param, void** address) noexcept {
  constexpr std::uint32_t fn = ECF_FN_OSSHFile_map;
  Traced t(fn);
  if (const std::uint32_t rc = checkParam(t, param); rc != 0) return rc;
  int protection;
  int sharing;
  switch (param->mapAccess) {
    case OSS_FILE_MAP_READ: protection = PROT_READ, sharing = MAP_SHARED; break;
    case OSS_FILE_MAP_COPY: protection = PROT_READ | PROT_WRITE, sharing = MAP_PRIVATE; break;
    case OSS_FILE_MAP_READWRITE: protection = PROT_READ | PROT_WRITE, sharing = MAP_SHARED; break;
    default: return invalidField(t, 10, param->mapAccess);
  }
  if (address == nullptr) return invalidField(t, 20, param->mapAccess);

  // The mapping object of Windows spans the file's size; a view may not reach past it.
  std::uint64_t size = 0;
  if (const DWORD error = statSize(fileHandle, &size); error != 0) {
    mapHandle = OSS_NO_MAPPING;
    return handleFailure(t, ECF_FN_CreateFileMapping, error, 30, fileHandle);
  }
  const std::uint64_t length = param->length != 0 ? param->length : size;
  if (length == 0 || length > size) {
    // An empty file has nothing to map, and a view past the end would fault on access.
    mapHandle = OSS_NO_MAPPING;
    return handleFailure(t, length == 0 ? ECF_FN_CreateFileMapping : ECF_FN_MapViewOfFileEx,
                         tarn::platform::ERROR_INVALID_PARAMETER, 40, fileHandle);
  }
  void* preferred = *address;
  if (preferred != nullptr) sharing |= MAP_FIXED_NOREPLACE;
  void* view = ::mmap(preferred, static_cast<std::size_t>(length), protection, sharing, fileHandle, 0);
  if (view == MAP_FAILED || (preferred != nullptr && view != preferred)) {
    // Older kernels treat MAP_FIXED_NOREPLACE as a hint: a view elsewhere is a failure too.
    DWORD error = view == MAP_FAILED && errno != EEXIST ? lastFileError() : tarn::platform::ERROR_INVALID_ADDRESS;
    if (view != MAP_FAILED) ::munmap(view, static_cast<std::size_t>(length));
    mapHandle = OSS_NO_MAPPING;
    return handleFailure(t, ECF_FN_MapViewOfFileEx, error, 50, fileHandle);
  }
  mapHandle = length;
  mapAddress = view;
  *address = view;
  return 0;
}

std::uint32_t OSSHFile::unmap(void* address) noexcept {
  Traced t(ECF_FN_OSSHFile_unmap);
  void* view = address != nullptr ? address : mapAddress;
  // Only the object's own mapping has a known length; anything else is not a view of it.
  if (view == nullptr || view != mapAddress || mapHandle == OSS_NO_MAPPING)
    return handleFailure(t, ECF_FN_UnmapViewOfFile, tarn::platform::ERROR_INVALID_ADDRESS, 10,
                         fileHandle);
  if (::munmap(view, static_cast<std::size_t>(mapHandle)) != 0)
    return handleFailure(t, ECF_FN_UnmapViewOfFile, lastFileError(), 20, fileHandle);
  mapHandle = OSS_NO_MAPPING;
  mapAddress = nullptr;
  return 0;
}

std::uint32_t OSSHFile::sync() noexcept {
  Traced t(ECF_FN_OSSHFile_sync);
  if (::fsync(fileHandle) != 0)
    return handleFailure(t, ECF_FN_FlushFileBuffers, lastFileError(), 10, fileHandle);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// OSSPrimitiveFileOp: no tracing, no logging, Windows error numbers.
// ---------------------------------------------------------------------------------------------

std::uint32_t OSSPrimitiveFileOp::open(const char* fileName, std::uint32_t mode) noexcept {
  if (fileName == nullptr) {
    handle = OSS_INVALID_FILE_HANDLE;
    return tarn::platform::ERROR_INVALID_PARAMETER;
  }
  int flags = O_CLOEXEC;
  if ((mode & MODE_READ) != 0) flags |= O_RDONLY;
  else if ((mode & MODE_WRITE) != 0) flags |= O_WRONLY;
  else flags |= O_RDWR;
  if ((mode & MODE_OPEN_EXISTING) == 0 && (mode & MODE_OPEN_ALWAYS) != 0) flags |= O_CREAT;
  int fd;
  do {
    fd = ::open(fileName, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    handle = OSS_INVALID_FILE_HANDLE;
    return WinErrorFromErrno(errno, ErrnoSource::File, fileName);
  }
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    ::close(fd);
    handle = OSS_INVALID_FILE_HANDLE;
    return tarn::platform::ERROR_ACCESS_DENIED;
  }
  handle = fd;
  return 0;
}

std::uint32_t OSSPrimitiveFileOp::openConsole() noexcept {
  const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    handle = OSS_INVALID_FILE_HANDLE;
    return WinErrorFromErrno(errno);
  }
  handle = fd;
  return 0;
}

std::uint32_t OSSPrimitiveFileOp::read(std::uint32_t byteCount, void* buffer, std::uint32_t* bytesRead) noexcept {
  std::uint32_t dummy = 0;
  if (bytesRead == nullptr) bytesRead = &dummy;
  *bytesRead = 0;
  if (!isValid()) return tarn::platform::ERROR_INVALID_HANDLE;
  if (byteCount != 0 && buffer == nullptr) return tarn::platform::ERROR_INVALID_PARAMETER;
  std::uint32_t total = 0;
  while (total < byteCount) {
    const ssize_t got = ::read(handle, static_cast<char*>(buffer) + total, byteCount - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    if (got == 0) break;
    total += static_cast<std::uint32_t>(got);
  }
  *bytesRead = total;
  return 0;
}

std::uint32_t OSSPrimitiveFileOp::write(const void* data, std::uint32_t byteCount) noexcept {
  if (!isValid() || data == nullptr) return 0;
  const std::size_t count = byteCount != 0 ? byteCount : std::strlen(static_cast<const char*>(data));
  std::size_t total = 0;
  while (total < count) {
    const ssize_t put = ::write(handle, static_cast<const char*>(data) + total, count - total);
    if (put < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    if (put == 0) break;
    total += static_cast<std::size_t>(put);
  }
  return 0;
}

std::uint32_t OSSPrimitiveFileOp::fwrite(const char* format, ...) noexcept {
  char buffer[FWRITE_BUFFER_SIZE] = {};
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  return write(buffer, 0);
}

std::uint32_t OSSPrimitiveFileOp::getSize(offsetType* size) noexcept {
  struct stat status {};
  if (!isValid() || ::fstat(handle, &status) != 0) {
    const DWORD error = isValid() ? WinErrorFromErrno(errno) : tarn::platform::ERROR_INVALID_HANDLE;
    if (size != nullptr) *size = 0;
    return error;
  }
  if (size != nullptr) *size = static_cast<offsetType>(static_cast<std::uint32_t>(status.st_size));
  return 0;
}

void OSSPrimitiveFileOp::seekToEnd() noexcept {
  if (isValid()) ::lseek(handle, 0, SEEK_END);
}

void OSSPrimitiveFileOp::seekToOffset(offsetType offset) noexcept {
  if (isValid() && offset >= 0) ::lseek(handle, offset, SEEK_SET);
}

OSSPrimitiveFileOp::offsetType OSSPrimitiveFileOp::getCurrentOffset() noexcept {
  if (!isValid()) return 0;
  const off_t at = ::lseek(handle, 0, SEEK_CUR);
  return at < 0 ? 0 : static_cast<offsetType>(static_cast<std::uint32_t>(at));
}

void OSSPrimitiveFileOp::close() noexcept {
  if (!isValid()) return;
  ::close(handle);
  handle = OSS_INVALID_FILE_HANDLE;
}
