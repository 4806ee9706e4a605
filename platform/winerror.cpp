#include "platform/winerror.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace tarn::platform {

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;

// ENOENT names a missing file (2) unless the directory that should hold it is missing too (3),
// which is how Windows tells the two apart.
DWORD MissingEntry(const char* path) {
  if (path == nullptr) return ERROR_FILE_NOT_FOUND;
  std::string dir(path);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const auto slash = dir.rfind('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  dir.resize(slash == 0 ? 1 : slash);
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}
}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

DWORD WinErrorFromErrno(int err, ErrnoSource source, const char* path) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return source == ErrnoSource::File ? MissingEntry(path) : ERROR_FILE_NOT_FOUND;
    case EACCES:
      return source == ErrnoSource::Lock ? ERROR_LOCK_VIOLATION : ERROR_ACCESS_DENIED;
    case EPERM: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST:
      return source == ErrnoSource::NamedObject ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
    case EAGAIN:  // EWOULDBLOCK has the same value on Linux
      return source == ErrnoSource::Lock ? ERROR_LOCK_VIOLATION : ERROR_NOT_ENOUGH_MEMORY;
    case EDEADLK: return ERROR_LOCK_VIOLATION;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTDIR: return ERROR_DIRECTORY;
    case EISDIR: return ERROR_ACCESS_DENIED;  // Windows refuses to open a directory as a file
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY: return ERROR_BUSY;
    case EIO: return ERROR_GEN_FAILURE;
    case ESPIPE: return ERROR_SEEK;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case EFAULT: return ERROR_INVALID_ADDRESS;
    case EINTR: return ERROR_OPERATION_ABORTED;
    case ELOOP: return ERROR_INVALID_NAME;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD SetLastErrorFromErrno(ErrnoSource source, const char* path) {
  const DWORD error = WinErrorFromErrno(errno, source, path);
  SetLastError(error);
  return error;
}

}  // namespace tarn::platform
