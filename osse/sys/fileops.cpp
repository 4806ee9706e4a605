// File and directory operations. See fileops.h.
#include "osse/sys/fileops.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/syserror.h"
#include "osse/sys/fsinternal.h"
#include "osse/sys/timestring.h"
#include "platform/winerror.h"

namespace fs = tarn::osse::fs;
namespace platform = tarn::platform;

namespace {

constexpr std::uint32_t kDefaultFileMode = 0600;
constexpr std::uint32_t kDefaultDirectoryMode = 0700;

std::uint32_t windowsError(int error, const char* path) noexcept {
  return platform::WinErrorFromErrno(error, platform::ErrnoSource::File, path);
}

std::uint32_t pathLength(const char* path) noexcept { return static_cast<std::uint32_t>(std::strlen(path)); }

// Logs a code returned by a call this function made, with the paths concerned; returns it.
std::uint32_t logReturned(std::uint32_t functionId, std::uint32_t calledId, std::uint32_t rc, std::uint32_t probe,
                          const char* path1, const char* path2 = nullptr) noexcept {
  if (path2 == nullptr) {
    ossLogRC(nullptr, functionId, calledId, rc, rc, probe, fs::kErrorLevel, 1, path1, pathLength(path1),
             OSS_LOG_TYPE_STRING);
  } else {
    ossLogRC(nullptr, functionId, calledId, rc, rc, probe, fs::kErrorLevel, 2, path1, pathLength(path1),
             OSS_LOG_TYPE_STRING, path2, pathLength(path2), OSS_LOG_TYPE_STRING);
  }
  fs::traceError(functionId, probe, rc);
  return rc;
}

// directory + "/" + name into out, refused rather than cut when it does not fit.
bool joinPath(char* out, std::size_t outSize, const char* directory, const char* name) noexcept {
  const int written = std::snprintf(out, outSize, "%s%c%s", directory, '/', name);
  return written >= 0 && static_cast<std::size_t>(written) < outSize;
}

bool isDotOrDotDot(const char* name) noexcept {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// The entry itself, not what a link names.
enum class EntryKind { Missing, Directory, Link, Other };

EntryKind entryKind(const char* path) noexcept {
  struct stat st {};
  if (::lstat(path, &st) != 0) return EntryKind::Missing;
  if (S_ISDIR(st.st_mode)) return EntryKind::Directory;
  if (S_ISLNK(st.st_mode)) return EntryKind::Link;
  return EntryKind::Other;
}

bool isDirectoryEntry(const char* path) noexcept { return entryKind(path) == EntryKind::Directory; }

void fillFromStat(const struct stat& st, OSSFileInfo* info) noexcept {
  info->size = static_cast<std::uint64_t>(st.st_size);
  info->permissions = static_cast<std::uint32_t>(st.st_mode) & 0xFFFu;
  info->uid = static_cast<std::uint32_t>(st.st_uid);
  info->gid = static_cast<std::uint32_t>(st.st_gid);
  info->lastModifiedTime = static_cast<std::uint64_t>(st.st_mtime);
}

std::uint32_t getInfo(const OSSFileGetInfoParam* param, OSSFileInfo* info, std::uint32_t functionId) noexcept {
  const bool quiet = (param->options & OSS_FILE_GETINFO_QUIET) != 0;
  const std::uint32_t handlerFlags = quiet ? OSS_ERROR_HANDLER_NO_LOG : 0;
  if (info == nullptr) {
    return quiet ? ECF_INVALID_PARAMETER : fs::argumentFailure(functionId, ECF_INVALID_PARAMETER, 10, param->path);
  }

  if (param->version >= OSS_FILE_INFO_HANDLE_VERSION && param->fileHandle != OSS_INVALID_FILE_HANDLE) {
    // From the open file: type, size and permission bits. The Windows build could only tell
    // read-only (0400) from writable (0600); Linux reports the file's own bits. uid, gid and the
    // modification time are left to the path form, as they always were.
    struct stat st {};
    if (::fstat(param->fileHandle, &st) != 0) {
      OSSErrorDetail detail = {};
      detail.version = OSS_VERSION_STAMP;
      detail.validMask = OSS_ERROR_DETAIL_FILE_HANDLE;
      detail.fileHandle = static_cast<std::uint32_t>(param->fileHandle);
      return fs::failed(functionId, 20,
                        ossSystemErrorHandler(functionId, ECF_FN_GetFileInformationByHandle,
                                              windowsError(errno, nullptr), 20, fs::kErrorLevel, handlerFlags,
                                              &detail, 0));
    }
    info->type = S_ISDIR(st.st_mode) ? OSS_FILE_TYPE_DIRECTORY : OSS_FILE_TYPE_REGULAR;
    info->size = static_cast<std::uint64_t>(st.st_size);
    info->permissions = static_cast<std::uint32_t>(st.st_mode) & 0xFFFu;
    return 0;
  }

  if (param->path == nullptr) {
    return quiet ? ECF_INVALID_PARAMETER : fs::argumentFailure(functionId, ECF_INVALID_PARAMETER, 30, nullptr);
  }
  struct stat st {};
  if (::stat(param->path, &st) != 0) {
    // The run-time stat call reports errno itself.
    return fs::systemFailure(functionId, ECF_FN__stat, static_cast<std::uint32_t>(errno), 40, param->path, nullptr,
                             handlerFlags);
  }
  if (S_ISREG(st.st_mode)) {
    info->type = OSS_FILE_TYPE_REGULAR;
  } else if (S_ISDIR(st.st_mode)) {
    info->type = OSS_FILE_TYPE_DIRECTORY;
  } else {
    info->type = 0;
    return quiet ? ECF_FILE_UNKNOWN_FILE_TYPE
                 : fs::argumentFailure(functionId, ECF_FILE_UNKNOWN_FILE_TYPE, 50, param->path);
  }
  fillFromStat(st, info);
  return 0;
}

// Writes all of `length` bytes, going on after a short write or an interrupted call.
bool writeAll(int fd, const char* data, std::size_t length) noexcept {
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// CopyFileA with "fail if exists": contents, permission bits and modification time to a target
// that must not exist yet. Returns 0 or errno. A target this call created is removed again when
// the copy fails, so a failed copy never leaves half a file under the target's name. *failed
// names the path whose call failed.
int copyFileContents(const char* source, const char* target, const char** failed) noexcept {
  *failed = source;
  // Without blocking: a named pipe in a tree must not stall the copy waiting for a writer.
  const int in = ::open(source, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return errno;
  struct stat st {};
  if (::fstat(in, &st) != 0) {
    const int error = errno;
    ::close(in);
    return error;
  }
  if (!S_ISREG(st.st_mode)) {
    // A directory is refused as CopyFile refused it; a pipe, socket or device has no contents to
    // copy.
    ::close(in);
    return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  // Created with the owner's write bit, so that a read-only source can still be written into
  // its copy; the source's own bits are set once the contents are there.
  const int out = ::open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, (st.st_mode & 07777) | S_IWUSR);
  if (out < 0) {
    const int error = errno;
    *failed = target;
    ::close(in);
    return error;
  }
  int error = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (got == 0) break;
    if (!writeAll(out, buffer, static_cast<std::size_t>(got))) {
      error = errno;
      *failed = target;
      break;
    }
  }
  if (error == 0) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);  // the modification time travels as it does with CopyFile; best effort
    if (::fchmod(out, st.st_mode & 07777) != 0) error = errno;
  }
  if (::close(out) != 0 && error == 0) error = errno;
  ::close(in);
  if (error != 0) ::unlink(target);
  return error;
}

std::uint32_t internalCopy(const char* source, const char* target) noexcept {
  return fs::traced(ECF_FN_oss_copy, [&]() -> std::uint32_t {
    const char* failed = source;
    const int error = copyFileContents(source, target, &failed);
    if (error == 0) return 0;
    // Both names go into the record; no failure detail, so no error analysis.
    return fs::failed(ECF_FN_oss_copy, 10,
                      ossSystemErrorHandler(ECF_FN_oss_copy, ECF_FN_CopyFileA, windowsError(error, failed), 10,
                                            fs::kErrorLevel, OSS_ERROR_HANDLER_NO_ANALYSIS, nullptr, 2, source,
                                            pathLength(source), OSS_LOG_TYPE_STRING, target, pathLength(target),
                                            OSS_LOG_TYPE_STRING));
  });
}

std::uint32_t internalDirectoryDelete(const char* path) noexcept {
  return fs::traced(ECF_FN_oss_directory_delete, [&]() -> std::uint32_t {
    if (::rmdir(path) == 0) return 0;
    return fs::systemFailure(ECF_FN_oss_directory_delete, ECF_FN_RemoveDirectoryA, windowsError(errno, path), 10, path);
  });
}

std::uint32_t deleteTree(const char* directory) noexcept {
  return fs::traced(ECF_FN_oss_directory_delete_recursive, [&]() -> std::uint32_t {
    if (std::strcmp(directory, "NUL") == 0) {
      return fs::argumentFailure(ECF_FN_oss_directory_delete_recursive, ECF_INVALID_PARAMETER, 10, directory);
    }
    if (!isDirectoryEntry(directory)) {
      return fs::argumentFailure(ECF_FN_oss_directory_delete_recursive, ECF_FILE_NOT_A_DIRECTORY, 20, directory);
    }
    std::uint32_t rc = 0;
    {
      OSSDirectoryListing listing;
      const OSSDirectoryListingParam listParam = {OSS_VERSION_STAMP, directory, 0, 0};
      rc = listing.begin(&listParam);
      if (rc != 0) return logReturned(ECF_FN_oss_directory_delete_recursive, ECF_FN_OSSDirectoryListing_begin, rc, 30,
                                      directory);
      char child[OSS_PATH_BUFFER_SIZE];
      while (const char* name = listing.getNext()) {
        if (isDotOrDotDot(name)) continue;
        if (!joinPath(child, sizeof child, directory, name)) {
          rc = fs::argumentFailure(ECF_FN_oss_directory_delete_recursive, ECF_FILE_NAME_TOO_LONG, 40, directory);
          break;
        }
        // A link to a directory is removed as a link: what it names is outside this tree.
        rc = isDirectoryEntry(child) ? deleteTree(child) : ossFileDelete(child);
        if (rc != 0) {
          logReturned(ECF_FN_oss_directory_delete_recursive, 0, rc, 50, child);
          break;
        }
      }
      listing.end();
    }
    if (rc != 0) return rc;
    return internalDirectoryDelete(directory);
  });
}

// The directory a path lies in, resolved (links, "..", doubled separators), into out.
bool resolveParent(const char* path, char* out) noexcept {
  char parent[OSS_PATH_BUFFER_SIZE];
  if (ossDirectoryName(path, parent, sizeof parent) != 0) return false;
  return ::realpath(parent, out) != nullptr;
}

std::uint32_t copyTree(const char* source, const char* target) noexcept;

std::uint32_t copyChild(const char* source, const char* target) noexcept {
  switch (entryKind(source)) {
    case EntryKind::Directory:
      return copyTree(source, target);
    case EntryKind::Link: {
      // Recreated, not followed: the copy keeps pointing where the original does.
      char link[OSS_PATH_BUFFER_SIZE];
      const ssize_t length = ::readlink(source, link, sizeof link - 1);
      int error = length < 0 ? errno : 0;
      if (error == 0) {
        link[length] = '\0';
        if (::symlink(link, target) != 0) error = errno;
      }
      if (error != 0) {
        return fs::failed(ECF_FN_ossDirectoryCopy, 60,
                          ossSystemErrorHandler(ECF_FN_ossDirectoryCopy, ECF_FN_CopyFileA, windowsError(error, target),
                                                60, fs::kErrorLevel, OSS_ERROR_HANDLER_NO_ANALYSIS, nullptr, 2, source,
                                                pathLength(source), OSS_LOG_TYPE_STRING, target, pathLength(target),
                                                OSS_LOG_TYPE_STRING));
      }
      return 0;
    }
    default:
      return ossFileCopy(source, target);
  }
}

std::uint32_t copyTree(const char* source, const char* target) noexcept {
  OSSFileInfo info;
  OSSFileGetInfoParam infoParam;
  infoParam.version = OSS_VERSION_STAMP;
  infoParam.path = source;
  std::uint32_t rc = ossFileGetInfoV9(&infoParam, &info);
  if (rc != 0) return logReturned(ECF_FN_ossDirectoryCopy, ECF_FN_ossFileGetInfoV9, rc, 20, source);
  // The copy carries the source's permission bits (the Windows build could not apply them);
  // the owner keeps write and search on it while it is being filled.
  const OSSDirectoryCreateParam createParam = {OSS_VERSION_STAMP, target, info.permissions | 0300u,
                                               OSS_DIR_CREATE_SINGLE};
  rc = ossDirectoryCreate(&createParam);
  if (rc != 0) return logReturned(ECF_FN_ossDirectoryCopy, ECF_FN_ossDirectoryCreate, rc, 30, source, target);

  {
    OSSDirectoryListing listing;
    const OSSDirectoryListingParam listParam = {OSS_VERSION_STAMP, source, 0, 0};
    rc = listing.begin(&listParam);
    if (rc == 0) {
      char sourceChild[OSS_PATH_BUFFER_SIZE];
      char targetChild[OSS_PATH_BUFFER_SIZE];
      while (const char* name = listing.getNext()) {
        if (isDotOrDotDot(name)) continue;
        if (!joinPath(sourceChild, sizeof sourceChild, source, name) ||
            !joinPath(targetChild, sizeof targetChild, target, name)) {
          rc = fs::argumentFailure(ECF_FN_ossDirectoryCopy, ECF_FILE_NAME_TOO_LONG, 40, source);
          break;
        }
        rc = copyChild(sourceChild, targetChild);
        if (rc != 0) break;
      }
      listing.end();
    }
  }
  if (rc == 0 && (info.permissions | 0300u) != info.permissions) {
    if (::chmod(target, info.permissions) != 0) {
      rc = fs::systemFailure(ECF_FN_ossDirectoryCopy, ECF_FN_chmod, windowsError(errno, target), 45, target);
    }
  }
  if (rc != 0) {
    logReturned(ECF_FN_ossDirectoryCopy, 0, rc, 50, source, target);
    deleteTree(target);
  }
  return rc;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void OSSFileInfo::toString(const toStringParam* param) const noexcept {
  if (param == nullptr || param->buffer == nullptr || param->version < OSS_FILE_INFO_HANDLE_VERSION) return;
  char bits[10] = "---------";
  if ((permissions & 0x100u) != 0) bits[0] = 'r';
  if ((permissions & 0x80u) != 0) bits[1] = 'w';
  if ((permissions & 0x40u) != 0) bits[2] = 'x';
  const char* reference = referencePath != nullptr && referencePath[0] != '\0' ? referencePath : "N/A";
  ossSnprintf(param->buffer, OSS_FILE_INFO_TEXT_SIZE,
              "Target File Information :\n  Size               = %I64u\n  Link               = %.3s\n"
              "  Reference path     = %.30s\n  Type               = 0x%X\n  Permissions        = %.9s\n"
              "  UID                = %u\n  GID                = %u\n  Last modified time = %u",
              size, isLink != 0 ? "Yes" : "No", reference, type, bits, uid, gid,
              static_cast<std::uint32_t>(lastModifiedTime & 0xFFFFFFFFu));
}

std::uint32_t ossFileGetInfoV9(const OSSFileGetInfoParam* param, OSSFileInfo* info) noexcept {
  return fs::traced(ECF_FN_ossFileGetInfoV9, [&]() -> std::uint32_t {
    const std::uint32_t rc = fs::checkVersion(ECF_FN_ossFileGetInfoV9, param, param != nullptr ? param->version : 0);
    if (rc != 0) return rc;
    return getInfo(param, info, ECF_FN_ossFileGetInfoV9);
  });
}

std::uint32_t ossFileGetInfo(std::uint32_t version, const char* path, std::uint32_t reserved1,
                             std::uint32_t reserved2, std::uint32_t options, OSSFileInfo* info) noexcept {
  return fs::traced(ECF_FN_ossFileGetInfo, [&]() -> std::uint32_t {
    OSSFileGetInfoParam param;
    param.version = version;
    param.path = path;
    param.reserved1 = reserved1;
    param.reserved2 = reserved2;
    param.options = options;
    const std::uint32_t rc = fs::checkVersion(ECF_FN_ossFileGetInfo, &param, version);
    if (rc != 0) return rc;
    return getInfo(&param, info, ECF_FN_ossFileGetInfo);
  });
}

std::uint32_t ossFileCopy(const char* source, const char* target) noexcept {
  return fs::traced(ECF_FN_ossFileCopy, [&]() -> std::uint32_t {
    if (source == nullptr || target == nullptr || std::strcmp(source, target) == 0) {
      return fs::argumentFailure(ECF_FN_ossFileCopy, ECF_INVALID_PARAMETER, 10, source);
    }
    if (ossPathExists(target)) return fs::argumentFailure(ECF_FN_ossFileCopy, ECF_FILE_EXISTS, 20, target);
    const std::uint32_t rc = internalCopy(source, target);
    if (rc != 0) return logReturned(ECF_FN_ossFileCopy, ECF_FN_oss_copy, rc, 30, source, target);
    return 0;
  });
}

std::uint32_t ossFileDelete(const char* path) noexcept {
  return fs::traced(ECF_FN_ossFileDelete, [&]() -> std::uint32_t {
    if (path == nullptr) return fs::argumentFailure(ECF_FN_ossFileDelete, ECF_INVALID_PARAMETER, 10, nullptr);
    // The existence test looks at the entry itself, so that a link whose target is gone can still
    // be deleted. Missing or unreachable answers as a path test does, without a log record.
    struct stat st {};
    if (::lstat(path, &st) != 0) {
      const std::uint32_t error = windowsError(errno, path);
      const std::uint32_t answer = fs::classifyPathTestError(error);
      if (answer != 0) return answer;
      return fs::systemFailure(ECF_FN_ossFileDelete, ECF_FN_GetFileAttributesA, error, 20, path);
    }
    if (S_ISDIR(st.st_mode)) return fs::argumentFailure(ECF_FN_ossFileDelete, ECF_FILE_IS_A_DIRECTORY, 30, path);
    // Windows refused to delete a file held open without delete sharing (ECF_FILE_SHARE); Linux
    // removes the name and the holders keep the open file, so that failure does not arise here.
    if (::unlink(path) != 0) {
      return fs::systemFailure(ECF_FN_ossFileDelete, ECF_FN_DeleteFileA, windowsError(errno, path), 40, path);
    }
    return 0;
  });
}

std::uint32_t ossFileRename(const char* oldPath, const char* newPath) noexcept {
  return fs::traced(ECF_FN_ossFileRename, [&]() -> std::uint32_t {
    if (oldPath == nullptr || newPath == nullptr) {
      return fs::argumentFailure(ECF_FN_ossFileRename, ECF_INVALID_PARAMETER, 10, oldPath);
    }
    // MoveFile never replaced a target; rename(2) would. RENAME_NOREPLACE refuses an existing
    // target in the same step as the rename, so no other process can slip a file in between.
    int error = 0;
    if (::renameat2(AT_FDCWD, oldPath, AT_FDCWD, newPath, RENAME_NOREPLACE) != 0) {
      error = errno;
      if (error == EINVAL || error == ENOSYS) {
        // A file system without the no-replace form: test, then rename (a window remains).
        struct stat st {};
        if (::lstat(newPath, &st) == 0) error = EEXIST;
        else error = ::rename(oldPath, newPath) == 0 ? 0 : errno;
      }
    }
    if (error == 0) return 0;
    const std::uint32_t systemError = windowsError(error, oldPath);
    ossLogSysRC(nullptr, ECF_FN_ossFileRename, ECF_FN_MoveFileA, systemError, ECF_FILE_DOESNT_EXIST, 20,
                fs::kErrorLevel, 2, oldPath, pathLength(oldPath), OSS_LOG_TYPE_STRING, newPath, pathLength(newPath),
                OSS_LOG_TYPE_STRING);
    return fs::failed(ECF_FN_ossFileRename, 20, ECF_FILE_DOESNT_EXIST);
  });
}

namespace {

// A failed call on two names: through the system error handler with a failure detail naming the
// first (the one the error analysis looks at) and both names as the record's items; returns the
// handler's code (the caller marks the error trace point).
std::uint32_t twoNameFailure(std::uint32_t functionId, std::uint32_t systemFunctionId, int error, std::uint32_t probe,
                             const char* path1, const char* path2) noexcept {
  OSSErrorDetail detail = {};
  detail.version = OSS_VERSION_STAMP;
  detail.validMask = OSS_ERROR_DETAIL_FILE_NAME;
  detail.fileName = path1;
  return ossSystemErrorHandler(functionId, systemFunctionId, windowsError(error, path1), probe, fs::kErrorLevel, 0,
                               &detail, 2, path1, pathLength(path1), OSS_LOG_TYPE_STRING, path2, pathLength(path2),
                               OSS_LOG_TYPE_STRING);
}

}  // namespace

std::uint32_t ossFileRenameReplace(const char* oldPath, const char* newPath) noexcept {
  return fs::traced(ECF_FN_ossFileRenameReplace, [&]() -> std::uint32_t {
    if (oldPath == nullptr || newPath == nullptr || oldPath[0] == '\0' || newPath[0] == '\0') {
      return fs::argumentFailure(ECF_FN_ossFileRenameReplace, ECF_INVALID_PARAMETER, 10, oldPath);
    }
    // rename(2) swaps the name over in one step, even while other processes hold the old file
    // open (Windows refused to replace an open file; Linux lets the holders keep the old one).
    // Whoever then relies on a name having stayed the same file must compare identities
    // (ossFileIsAtPath) rather than trust a descriptor opened earlier.
    if (::rename(oldPath, newPath) == 0) return 0;
    const int error = errno;
    const std::uint32_t rc = twoNameFailure(ECF_FN_ossFileRenameReplace, ECF_FN_rename, error, 20, oldPath, newPath);
    // The error mapping calls a directory in the way an access failure, as opening one as a file
    // was on Windows; here the caller is better told what the target is.
    return fs::failed(ECF_FN_ossFileRenameReplace, 20, error == EISDIR ? ECF_FILE_IS_A_DIRECTORY : rc);
  });
}

std::uint32_t ossFileLink(const char* existingPath, const char* newPath) noexcept {
  return fs::traced(ECF_FN_ossFileLink, [&]() -> std::uint32_t {
    if (existingPath == nullptr || newPath == nullptr || existingPath[0] == '\0' || newPath[0] == '\0') {
      return fs::argumentFailure(ECF_FN_ossFileLink, ECF_INVALID_PARAMETER, 10, existingPath);
    }
    // link(2) never replaces: an existing newPath (file, directory or dangling symbolic link)
    // fails with EEXIST. A symbolic link as existingPath gets the second name itself.
    if (::link(existingPath, newPath) == 0) return 0;
    return fs::failed(ECF_FN_ossFileLink, 20,
                      twoNameFailure(ECF_FN_ossFileLink, ECF_FN_link, errno, 20, existingPath, newPath));
  });
}

std::uint32_t ossDirectorySync(const char* directoryPath) noexcept {
  return fs::traced(ECF_FN_ossDirectorySync, [&]() -> std::uint32_t {
    if (directoryPath == nullptr || directoryPath[0] == '\0') {
      return fs::argumentFailure(ECF_FN_ossDirectorySync, ECF_INVALID_PARAMETER, 10, directoryPath);
    }
    // A rename or a new name lives in the directory, not in the file: syncing the file alone
    // leaves the new name to the file system's own schedule, and a power failure can bring the
    // old name back. Windows had no such step; its rename was written through.
    const int fd = ::open(directoryPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      return fs::systemFailure(ECF_FN_ossDirectorySync, ECF_FN_open,
                               windowsError(errno, directoryPath), 20, directoryPath);
    }
    std::uint32_t rc = 0;
    if (::fsync(fd) != 0) {
      rc = fs::systemFailure(ECF_FN_ossDirectorySync, ECF_FN_fsync, windowsError(errno, directoryPath), 30,
                             directoryPath);
    }
    ::close(fd);
    return rc;
  });
}

std::uint32_t ossFileIsAtPath(OSSFileHandle fileHandle, const char* path, bool* isAtPath) noexcept {
  return fs::traced(ECF_FN_ossFileIsAtPath, [&]() -> std::uint32_t {
    if (isAtPath == nullptr || path == nullptr || path[0] == '\0') {
      return fs::argumentFailure(ECF_FN_ossFileIsAtPath, ECF_INVALID_PARAMETER, 10, path);
    }
    *isAtPath = false;
    // On Linux a name can be deleted or renamed over while a process holds the file open (and
    // locked); the descriptor then leads to a file that no one can find any more. A process that
    // waited for the lock of a lock file that its holder deleted gets the lock of that nameless
    // file while a newcomer creates and locks a fresh one: both would believe they hold the lock
    // unless the winner compares. Device and file number tell whether the name still leads to the
    // open file.
    struct stat open {};
    if (::fstat(fileHandle, &open) != 0) {
      OSSErrorDetail detail = {};
      detail.version = OSS_VERSION_STAMP;
      detail.validMask = OSS_ERROR_DETAIL_FILE_HANDLE;
      detail.fileHandle = static_cast<std::uint32_t>(fileHandle);
      return fs::failed(ECF_FN_ossFileIsAtPath, 20,
                        ossSystemErrorHandler(ECF_FN_ossFileIsAtPath, ECF_FN_fstat, windowsError(errno, nullptr), 20,
                                              fs::kErrorLevel, 0, &detail, 1, path, pathLength(path),
                                              OSS_LOG_TYPE_STRING));
    }
    struct stat named {};
    if (::stat(path, &named) != 0) {
      const int error = errno;
      // Nothing at the path: the name was removed, which is an answer, not a failure.
      if (error == ENOENT || error == ENOTDIR) return 0;
      return fs::systemFailure(ECF_FN_ossFileIsAtPath, ECF_FN_stat, windowsError(error, path), 30, path);
    }
    *isAtPath = open.st_dev == named.st_dev && open.st_ino == named.st_ino;
    return 0;
  });
}

std::uint32_t ossFileSetPermissions(const char* path, std::uint32_t mode) noexcept {
  return fs::traced(ECF_FN_ossFileSetPermissions, [&]() -> std::uint32_t {
    if (path == nullptr) return fs::argumentFailure(ECF_FN_ossFileSetPermissions, ECF_INVALID_PARAMETER, 10, nullptr);
    if (mode == 0) mode = kDefaultFileMode;
    mode &= 07777u;
    // The Windows change-mode call honoured only the owner's write bit; Linux applies every bit.
    if (::chmod(path, static_cast<mode_t>(mode)) != 0) {
      return fs::systemFailure(ECF_FN_ossFileSetPermissions, ECF_FN_chmod, windowsError(errno, path), 20, path, &mode);
    }
    return 0;
  });
}

std::uint32_t ossFileSetOwnership(const char* path, std::uint32_t uid, std::uint32_t gid) noexcept {
  return fs::traced(ECF_FN_ossFileSetOwnership, [&]() -> std::uint32_t {
    if (path == nullptr) return fs::argumentFailure(ECF_FN_ossFileSetOwnership, ECF_INVALID_PARAMETER, 10, nullptr);
    // The Windows build could not change an owner and returned 0; Linux changes it.
    if (::chown(path, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
      return fs::systemFailure(ECF_FN_ossFileSetOwnership, ECF_FN_chown, windowsError(errno, path), 20, path);
    }
    return 0;
  });
}

std::uint32_t ossDirectoryCreate(const OSSDirectoryCreateParam* param) noexcept {
  return fs::traced(ECF_FN_ossDirectoryCreate, [&]() -> std::uint32_t {
    const std::uint32_t rc = fs::checkVersion(ECF_FN_ossDirectoryCreate, param, param != nullptr ? param->version : 0);
    if (rc != 0) return rc;
    const char* path = param->path;
    if (path == nullptr || path[0] == '\0') {
      return fs::argumentFailure(ECF_FN_ossDirectoryCreate, ECF_INVALID_PARAMETER, 10, path);
    }
    // The Windows build ignored the permission bits; here each level is created with them (less
    // the umask, as every Linux program creates). A level made on the way to the last one also
    // keeps the owner's write and search bits, or the walk could not go on inside it.
    const std::uint32_t permissions = (param->permissions != 0 ? param->permissions : kDefaultDirectoryMode) & 07777u;

    if (param->createMode == OSS_DIR_CREATE_SINGLE) {
      if (::mkdir(path, permissions) != 0) {
        return fs::systemFailure(ECF_FN_ossDirectoryCreate, ECF_FN_CreateDirectoryA, windowsError(errno, path), 20,
                                 path);
      }
      return 0;
    }

    // Walk the prefixes: each ends after a separator and keeps it, and a run of separators stays
    // with the component before it. The root "/" is never created on its own: like the drive root
    // of the Windows build it is taken together with the first component.
    const std::string full(path);
    std::size_t position = 0;
    while (position < full.size() && full[position] == '/') ++position;
    while (position < full.size()) {
      while (position < full.size() && full[position] != '/') ++position;
      while (position < full.size() && full[position] == '/') ++position;
      const std::string prefix = full.substr(0, position);
      const bool last = position >= full.size();
      const mode_t mode = static_cast<mode_t>(last ? permissions : permissions | 0300u);
      if (::mkdir(prefix.c_str(), mode) == 0) continue;
      const int error = errno;
      if (error == EEXIST && param->createMode == OSS_DIR_CREATE_PARENTS) {
        // An existing level is accepted only as a directory: a file of that name would otherwise
        // pass for the directory the caller asked for.
        struct stat st {};
        if (::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        return fs::systemFailure(ECF_FN_ossDirectoryCreate, ECF_FN_CreateDirectoryA, platform::ERROR_DIRECTORY, 30,
                                 prefix.c_str());
      }
      return fs::systemFailure(ECF_FN_ossDirectoryCreate, ECF_FN_CreateDirectoryA,
                               windowsError(error, prefix.c_str()), 40, prefix.c_str());
    }
    return 0;
  });
}

std::uint32_t ossDirectoryDelete(const OSSDirectoryDeleteParam* param) noexcept {
  return fs::traced(ECF_FN_ossDirectoryDelete, [&]() -> std::uint32_t {
    const std::uint32_t rc = fs::checkVersion(ECF_FN_ossDirectoryDelete, param, param != nullptr ? param->version : 0);
    if (rc != 0) return rc;
    if (param->path == nullptr || param->path[0] == '\0') {
      return fs::argumentFailure(ECF_FN_ossDirectoryDelete, ECF_INVALID_PARAMETER, 10, param->path);
    }
    if ((param->options & OSS_DIR_DELETE_RECURSIVE) != 0) return deleteTree(param->path);
    return internalDirectoryDelete(param->path);
  });
}

std::uint32_t ossDirectoryCopy(const char* source, const char* target) noexcept {
  return fs::traced(ECF_FN_ossDirectoryCopy, [&]() -> std::uint32_t {
    if (source == nullptr || target == nullptr || source[0] == '\0' || target[0] == '\0' ||
        std::strcmp(source, target) == 0) {
      return fs::argumentFailure(ECF_FN_ossDirectoryCopy, ECF_INVALID_PARAMETER, 10, source);
    }
    if (entryKind(target) != EntryKind::Missing) {
      return fs::argumentFailure(ECF_FN_ossDirectoryCopy, ECF_INVALID_PARAMETER, 20, target);
    }
    if (!ossIsDirectory(source)) return fs::argumentFailure(ECF_FN_ossDirectoryCopy, ECF_FILE_NOT_A_DIRECTORY, 30, source);
    // A target inside the source would be listed and copied into itself, level after level, until
    // the path grew too long.
    char resolvedSource[PATH_MAX];
    char resolvedParent[PATH_MAX];
    if (::realpath(source, resolvedSource) != nullptr && resolveParent(target, resolvedParent)) {
      const std::size_t length = std::strlen(resolvedSource);
      if (std::strncmp(resolvedParent, resolvedSource, length) == 0 &&
          (resolvedParent[length] == '\0' || resolvedParent[length] == '/' || length == 1)) {
        return fs::argumentFailure(ECF_FN_ossDirectoryCopy, ECF_INVALID_PARAMETER, 35, target);
      }
    }
    return copyTree(source, target);
  });
}

std::uint32_t ossDirectoryGetCurrent(char* buffer, std::uint32_t* length) noexcept {
  return fs::traced(ECF_FN_ossDirectoryGetCurrent, [&]() -> std::uint32_t {
    if (buffer == nullptr || length == nullptr) {
      return fs::argumentFailure(ECF_FN_ossDirectoryGetCurrent, ECF_INVALID_PARAMETER, 10, nullptr);
    }
    char current[PATH_MAX];
    if (::getcwd(current, sizeof current) == nullptr) {
      OSSErrorDetail detail = {};
      detail.version = OSS_VERSION_STAMP;
      detail.validMask = OSS_ERROR_DETAIL_IO;
      return fs::failed(ECF_FN_ossDirectoryGetCurrent, 20,
                        ossSystemErrorHandler(ECF_FN_ossDirectoryGetCurrent, ECF_FN_GetCurrentDirectoryA,
                                              windowsError(errno, nullptr), 20, fs::kErrorLevel, 0, &detail, 0));
    }
    const std::uint32_t needed = pathLength(current) + 1;
    if (needed > *length) {
      const std::uint32_t given = *length;
      *length = needed;
      ossLog(nullptr, ECF_FN_ossDirectoryGetCurrent, ECF_BUFFER_TOO_SMALL, 30, fs::kErrorLevel, 2, &needed,
             static_cast<std::uint32_t>(sizeof needed), OSS_LOG_TYPE_UNSIGNED, &given,
             static_cast<std::uint32_t>(sizeof given), OSS_LOG_TYPE_UNSIGNED);
      return fs::failed(ECF_FN_ossDirectoryGetCurrent, 30, ECF_BUFFER_TOO_SMALL);
    }
    std::memcpy(buffer, current, needed);
    *length = needed - 1;
    return 0;
  });
}

std::uint32_t ossDirectorySetCurrent(const char* path) noexcept {
  return fs::traced(ECF_FN_ossDirectorySetCurrent, [&]() -> std::uint32_t {
    if (path == nullptr) return fs::argumentFailure(ECF_FN_ossDirectorySetCurrent, ECF_INVALID_PARAMETER, 10, nullptr);
    if (::chdir(path) != 0) {
      return fs::systemFailure(ECF_FN_ossDirectorySetCurrent, ECF_FN_SetCurrentDirectoryA, windowsError(errno, path),
                               20, path);
    }
    return 0;
  });
}

std::uint32_t ossGetLogicalDriveMap(std::uint32_t* map) noexcept {
  return fs::traced(ECF_FN_ossGetLogicalDriveMap, [&]() -> std::uint32_t {
    if (map == nullptr) return fs::argumentFailure(ECF_FN_ossGetLogicalDriveMap, ECF_INVALID_PARAMETER, 10, nullptr);
    // GetLogicalDrives listed the drive letters in use. Linux mounts everything under one root and
    // has no letters, so the map is empty, and an empty map is the failure it always was.
    *map = 0;
    ossLog(nullptr, ECF_FN_ossGetLogicalDriveMap, ECF_FILE_CANNOT_RETRIEVE_DRIVE_MAP, 20, fs::kErrorLevel, 0);
    return fs::failed(ECF_FN_ossGetLogicalDriveMap, 20, ECF_FILE_CANNOT_RETRIEVE_DRIVE_MAP);
  });
}
