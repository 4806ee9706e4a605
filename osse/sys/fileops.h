// Whole-file and whole-directory operations of the services library: file information, copy,
// delete, rename, permissions and ownership of files; create, delete and copy of directories;
// the current directory; the drive map. And the few operations by which a file is replaced
// safely on Linux, which the Windows build did not have: the replacing rename, the second name
// (link), the sync of a directory's entries, and the identity of an open file against a path.
//
// Paths follow osse/sys/paths.h ("/" is the only separator). Results are codes of the return-code
// catalogue, 0 on success. Argument failures are logged; failed system calls go through the
// system error handler, with a failure detail naming the path, under the Windows call each
// operation stands for (CopyFileA, DeleteFileA, MoveFileA, CreateDirectoryA ...) and with the
// Windows error number of the platform's errno mapping; the run-time calls (_stat, chmod, chown)
// keep their names.
//
// What the Linux build does where the Windows build could not (each is named at its code):
// - permission bits are applied: ossFileSetPermissions sets every bit it is given,
//   ossDirectoryCreate creates with the given bits (less the process's umask), file information
//   reports the file's real bits, ossDirectoryCopy and ossFileCopy carry the source's bits;
// - ossFileSetOwnership changes the owner and group;
// - nothing refuses to delete or rename a file that another process holds open, so
//   ECF_FILE_SHARE does not arise from ossFileDelete.
//
// Symbolic links. Information, copy and the path tests follow a link to what it names. The tree
// operations do not: a recursive delete removes a link and leaves what it names alone, a
// directory copy recreates the link with the same target; so a link cannot lead a tree walk out
// of its tree or round in a circle. ossFileDelete removes the link itself.
//
// Nothing here locks anything. The current directory is process-wide. A tree delete or copy is
// not atomic: another process can change the tree while it runs.
#pragma once

#include <cstdint>

#include "osse/sys/files.h"  // OSSFileHandle, OSS_INVALID_FILE_HANDLE
#include "osse/sys/latch.h"  // OSS_VERSION_STAMP
#include "osse/sys/paths.h"

// OSSFileInfo::type values.
inline constexpr std::uint32_t OSS_FILE_TYPE_DIRECTORY = 0x4000;
inline constexpr std::uint32_t OSS_FILE_TYPE_REGULAR = 0x8000;

// OSSFileGetInfoParam::options.
inline constexpr std::uint32_t OSS_FILE_GETINFO_QUIET = 0x2;  // no log record for a failure

// OSSFileInfo::toString needs a stamp at least this, and writes at most this many bytes.
inline constexpr std::uint32_t OSS_FILE_INFO_HANDLE_VERSION = 0x09050000;
inline constexpr std::uint32_t OSS_FILE_INFO_TEXT_SIZE = 384;

// OSSDirectoryCreateParam::createMode.
inline constexpr std::uint32_t OSS_DIR_CREATE_SINGLE = 1;   // the last component only
inline constexpr std::uint32_t OSS_DIR_CREATE_PARENTS = 2;  // every missing component
// Any other value creates every component and fails on the first that already exists.

// OSSDirectoryDeleteParam::options.
inline constexpr std::uint32_t OSS_DIR_DELETE_RECURSIVE = 0x1;

struct OSSFileInfo {
  struct toStringParam {
    std::uint32_t version;  // at least OSS_FILE_INFO_HANDLE_VERSION, or nothing is written
    char* buffer;           // at least OSS_FILE_INFO_TEXT_SIZE bytes
  };

  std::uint64_t size = 0;
  std::uint32_t isLink = 0;              // the information is that of what a link names: 0
  const char* referencePath = nullptr;   // likewise null
  std::uint32_t type = 0;                // OSS_FILE_TYPE_DIRECTORY, OSS_FILE_TYPE_REGULAR, or 0
  std::uint32_t permissions = 0;         // permission bits (at most 0xFFF)
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t lastModifiedTime = 0;    // seconds since 1970-01-01 UTC
  std::uint32_t reserved1 = 0;
  std::uint32_t reserved2 = 0;

  // The information as text (at most OSS_FILE_INFO_TEXT_SIZE bytes, terminated):
  // "Target File Information :\n  Size               = ..." with the permission bits as nine
  // characters of which the first three show the owner's r, w and x.
  void toString(const toStringParam* param) const noexcept;
};

struct OSSFileGetInfoParam {
  std::uint32_t version = 0;
  const char* path = nullptr;
  std::uint32_t reserved1 = 0;
  std::uint32_t reserved2 = 0;
  std::uint32_t options = 1;              // OSS_FILE_GETINFO_QUIET
  OSSFileHandle fileHandle = OSS_INVALID_FILE_HANDLE;  // an open file (OSSHFile::getFileHandle), answered
                                                      // from instead of the path
};

struct OSSDirectoryCreateParam {
  std::uint32_t version;
  const char* path;
  std::uint32_t permissions;  // permission bits of each created level; 0 means 0700
  std::uint32_t createMode;   // OSS_DIR_CREATE_SINGLE, OSS_DIR_CREATE_PARENTS or another value
};

struct OSSDirectoryDeleteParam {
  std::uint32_t version;
  const char* path;
  std::uint32_t options;  // OSS_DIR_DELETE_RECURSIVE
};

// File information. With a stamp of at least OSS_FILE_INFO_HANDLE_VERSION and a fileHandle, the
// open file answers: type (directory or regular), size and permission bits; uid, gid and
// lastModifiedTime are left as they were. Otherwise the path answers (through symbolic links)
// and fills every field; a path that is neither a regular file nor a directory gives type 0 and
// ECF_FILE_UNKNOWN_FILE_TYPE. A missing path: ECF_FILE_DOESNT_EXIST. OSS_FILE_GETINFO_QUIET
// keeps failures out of the log (the code is still returned).
std::uint32_t ossFileGetInfoV9(const OSSFileGetInfoParam* param, OSSFileInfo* info) noexcept;
// The same from the path alone.
std::uint32_t ossFileGetInfo(std::uint32_t version, const char* path, std::uint32_t reserved1,
                             std::uint32_t reserved2, std::uint32_t options, OSSFileInfo* info) noexcept;

// Copies a file's contents, permission bits and modification time to a new file. The same path
// text twice: ECF_INVALID_PARAMETER. A target that exists: ECF_FILE_EXISTS. A failed copy leaves
// no target behind.
std::uint32_t ossFileCopy(const char* source, const char* target) noexcept;

// Deletes a file (a symbolic link itself). Missing: ECF_FILE_DOESNT_EXIST without a log record;
// a directory: ECF_FILE_IS_A_DIRECTORY.
std::uint32_t ossFileDelete(const char* path) noexcept;

// Renames a file or directory. Never replaces an existing target. Any failure, whatever the
// reason, is logged with the platform's error and both names and gives ECF_FILE_DOESNT_EXIST.
std::uint32_t ossFileRename(const char* oldPath, const char* newPath) noexcept;

// Renames a file over `newPath`, replacing a file already there in one step: at every moment
// `newPath` names either the old file or the new one, never nothing. Processes that have the
// old file open keep reading the old file. This is how a file is replaced by a fully written
// copy (ossFileRename refuses an existing target, as the Windows rename did). A directory is
// renamed only onto a missing name or an empty directory. A target that is a directory while the
// source is not: ECF_FILE_IS_A_DIRECTORY. A missing source: ECF_FILE_DOESNT_EXIST. Every failure
// goes through the system error handler under `rename`, with both names.
std::uint32_t ossFileRenameReplace(const char* oldPath, const char* newPath) noexcept;

// Gives an existing file a second name (a hard link): both names lead to the same file, and the
// file lives on while either name does. Both names must be on one file system. A `newPath` that
// exists (a directory included): ECF_FILE_EXISTS. A missing `existingPath`:
// ECF_FILE_DOESNT_EXIST. A directory cannot get a second name. Failures go through the system
// error handler under `link`, with both names.
std::uint32_t ossFileLink(const char* existingPath, const char* newPath) noexcept;

// Forces the entries of a directory (names created, removed or renamed in it) to the disk, so
// that a rename or a new file survives a power failure once this returns. A file's own sync
// (OSSHFile::sync) does not cover its name. A missing directory: ECF_FILE_DOESNT_EXIST. The
// opening fails under `open`, the sync under `fsync`, through the system error handler.
std::uint32_t ossDirectorySync(const char* directoryPath) noexcept;

// Whether the open file `fileHandle` (OSSHFile::getFileHandle) is the file that `path` names
// now: same device and same file number, through symbolic links. On Linux a file can be renamed
// over or deleted while it is open, and the open file stays what it was; so a process that
// locked a file which another process then removed or replaced holds a lock on a file nobody
// else will find, and must compare before trusting its lock. *isAtPath is false, with result 0
// and no log record, when nothing is at `path` (the name was deleted). A handle that is not open
// fails under `fstat`, another failure of the path under `stat`, through the system error
// handler; *isAtPath is then false.
std::uint32_t ossFileIsAtPath(OSSFileHandle fileHandle, const char* path, bool* isAtPath) noexcept;

// Sets the permission bits (mode 0 means 0600; bits above 07777 are ignored).
std::uint32_t ossFileSetPermissions(const char* path, std::uint32_t mode) noexcept;

// Sets the owning user and group of a file, as chown does ((uint32_t)-1 leaves one unchanged).
std::uint32_t ossFileSetOwnership(const char* path, std::uint32_t uid, std::uint32_t gid) noexcept;

// Creates a directory (see createMode). With OSS_DIR_CREATE_PARENTS a component that exists
// as a directory is accepted; one that exists as anything else fails with
// ECF_FILE_NOT_A_DIRECTORY. A failure leaves the levels already made.
std::uint32_t ossDirectoryCreate(const OSSDirectoryCreateParam* param) noexcept;

// Removes an empty directory, or with OSS_DIR_DELETE_RECURSIVE the whole tree. A recursive delete
// of something that is not a directory (a symbolic link to one included): ECF_FILE_NOT_A_DIRECTORY;
// the name "NUL": ECF_INVALID_PARAMETER. The first failure stops the walk and is returned; what was
// deleted stays deleted.
std::uint32_t ossDirectoryDelete(const OSSDirectoryDeleteParam* param) noexcept;

// Copies a directory tree to a new directory whose parent exists. The same path text twice, a
// target that exists, or a target inside the source: ECF_INVALID_PARAMETER. A source that is not
// a directory: ECF_FILE_NOT_A_DIRECTORY. When a child fails, the target tree is removed again.
std::uint32_t ossDirectoryCopy(const char* source, const char* target) noexcept;

// The current directory into buffer (*length bytes). On success *length is the number of
// characters stored (without the NUL); when it does not fit, *length becomes the size needed
// (with the NUL) and the result is ECF_BUFFER_TOO_SMALL.
std::uint32_t ossDirectoryGetCurrent(char* buffer, std::uint32_t* length) noexcept;
std::uint32_t ossDirectorySetCurrent(const char* path) noexcept;

// The drive letters in use, bit n for letter A + n. Linux has no drive letters: the map is always
// empty, which gives ECF_FILE_CANNOT_RETRIEVE_DRIVE_MAP (logged) with *map 0.
std::uint32_t ossGetLogicalDriveMap(std::uint32_t* map) noexcept;
