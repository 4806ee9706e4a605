// Paths and directory listing. See paths.h.
//
// The Windows build read directories with FindFirstFile/FindNextFile on a pattern; here a
// directory stream (opendir/readdir) reads every name and the pattern is matched in this unit.
// Failures are still reported under the Windows calls they stand for (FindFirstFileA for a
// search that cannot start, FindNextFileA for a failed step, FindClose for the close), with the
// Windows error number of the platform's one errno mapping, so that the error tables apply
// unchanged.
#include "osse/sys/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/syserror.h"
#include "osse/sys/fsinternal.h"
#include "platform/fileattributes.h"
#include "platform/winerror.h"

namespace fs = tarn::osse::fs;
namespace platform = tarn::platform;

namespace {

// Where the last component of `path` (length `length` > 0) lies. A path of separators only is
// the root.
struct Split {
  bool root;                  // separators only
  std::size_t start;          // first character of the last component
  std::size_t end;            // one past it (trailing separators excluded)
  bool trailingSeparator;     // the path ends in a separator
  bool hasDirectory;          // a separator stands before the component
  std::size_t directoryEnd;   // length of the directory part (before the separators ahead of the
                              // component); 0 with hasDirectory means the root
};

Split splitPath(const char* path, std::size_t length) noexcept {
  Split s = {};
  std::size_t end = length;
  while (end > 0 && path[end - 1] == '/') --end;
  s.trailingSeparator = end < length;
  if (end == 0) {
    s.root = true;
    return s;
  }
  std::size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  s.start = start;
  s.end = end;
  if (start > 0) {
    s.hasDirectory = true;
    std::size_t directoryEnd = start - 1;  // the separator ahead of the component
    while (directoryEnd > 0 && path[directoryEnd - 1] == '/') --directoryEnd;
    s.directoryEnd = directoryEnd;
  }
  return s;
}

std::uint32_t tooSmall(std::uint32_t functionId, std::uint32_t probe, std::size_t needed, std::uint32_t outSize,
                       char* out) noexcept {
  if (outSize > 0) out[0] = '\0';
  const std::uint32_t need = static_cast<std::uint32_t>(needed);
  ossLog(nullptr, functionId, ECF_BUFFER_TOO_SMALL, probe, fs::kErrorLevel, 2, &need,
         static_cast<std::uint32_t>(sizeof need), OSS_LOG_TYPE_UNSIGNED, &outSize,
         static_cast<std::uint32_t>(sizeof outSize), OSS_LOG_TYPE_UNSIGNED);
  fs::traceError(functionId, probe, ECF_BUFFER_TOO_SMALL);
  return ECF_BUFFER_TOO_SMALL;
}

std::uint32_t copyOut(std::uint32_t functionId, std::uint32_t probe, const char* text, std::size_t length,
                      std::size_t needed, char* out, std::uint32_t outSize) noexcept {
  if (needed > outSize) return tooSmall(functionId, probe, needed, outSize, out);
  std::memcpy(out, text, length);
  out[length] = '\0';
  return 0;
}

bool hasWildcard(const char* text) noexcept { return std::strpbrk(text, "*?") != nullptr; }

// "*" matches any run of characters (the empty one included), "?" exactly one; everything else
// matches itself, byte for byte. Backtracks to the last "*" only, so the work is bounded by the
// product of the two lengths.
bool matchesPattern(const char* pattern, const char* name) noexcept {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

// What an entry of the directory open as `directoryFd` is, for the filter: a directory, another
// existing thing, or gone. A symbolic link answers for what it names; a link that names nothing
// still exists, as a non-directory, so that a tree walk sees (and can remove) it.
enum class EntryKind { Directory, Other, Missing };

EntryKind entryKind(int directoryFd, const char* name) noexcept {
  struct stat st {};
  if (::fstatat(directoryFd, name, &st, 0) == 0) return S_ISDIR(st.st_mode) ? EntryKind::Directory : EntryKind::Other;
  if (::fstatat(directoryFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) return EntryKind::Other;
  return EntryKind::Missing;
}

bool passesFilter(std::uint32_t filter, EntryKind kind) noexcept {
  if (kind == EntryKind::Missing) return false;
  const bool wantDirectories = filter == 0 || (filter & OSS_LIST_DIRECTORIES) != 0;
  const bool wantFiles = filter == 0 || (filter & OSS_LIST_FILES) != 0;
  return kind == EntryKind::Directory ? wantDirectories : wantFiles;
}

std::uint32_t listingFailure(std::uint32_t systemFunctionId, int error, std::uint32_t probe, const char* path,
                             const char* pattern, int directoryFd) noexcept {
  const std::uint32_t windowsError = platform::WinErrorFromErrno(error, platform::ErrnoSource::File, path);
  OSSErrorDetail detail = {};
  detail.version = OSS_VERSION_STAMP;
  if (directoryFd < 0) {
    detail.validMask = OSS_ERROR_DETAIL_FILE_NAME;
    detail.fileName = path;
  } else {
    detail.validMask = OSS_ERROR_DETAIL_FILE_HANDLE;
    detail.fileHandle = static_cast<std::uint32_t>(directoryFd);
  }
  const std::uint32_t rc =
      ossSystemErrorHandler(ECF_FN_OSSDirectoryListing_begin, systemFunctionId, windowsError, probe, fs::kErrorLevel,
                            0, &detail, 2, path, static_cast<std::uint32_t>(std::strlen(path)), OSS_LOG_TYPE_STRING,
                            pattern, static_cast<std::uint32_t>(std::strlen(pattern)), OSS_LOG_TYPE_STRING);
  fs::traceError(ECF_FN_OSSDirectoryListing_begin, probe, rc);
  return rc;
}

}  // namespace

std::uint32_t ossBaseName(const char* path, char* out, std::uint32_t outSize) noexcept {
  return fs::traced(ECF_FN_ossBaseName, [&]() -> std::uint32_t {
    if (path == nullptr || path[0] == '\0' || out == nullptr) {
      return fs::argumentFailure(ECF_FN_ossBaseName, ECF_INVALID_PARAMETER, 10, path);
    }
    const Split s = splitPath(path, std::strlen(path));
    if (s.root) return copyOut(ECF_FN_ossBaseName, 20, "/", 1, 2, out, outSize);
    const std::size_t length = s.end - s.start;
    // The trailing separator counts towards the space needed, as it always has: callers size
    // their buffers by it.
    const std::size_t needed = length + (s.trailingSeparator ? 1 : 0) + 1;
    return copyOut(ECF_FN_ossBaseName, 30, path + s.start, length, needed, out, outSize);
  });
}

std::uint32_t ossDirectoryName(const char* path, char* out, std::uint32_t outSize) noexcept {
  return fs::traced(ECF_FN_ossDirectoryName, [&]() -> std::uint32_t {
    if (path == nullptr || path[0] == '\0' || out == nullptr) {
      return fs::argumentFailure(ECF_FN_ossDirectoryName, ECF_INVALID_PARAMETER, 10, path);
    }
    // Windows device paths (\\.\C:, \\?\Volume...) were their own directory; Linux has no such
    // form, so every path takes the rules below.
    const Split s = splitPath(path, std::strlen(path));
    if (s.root || (s.hasDirectory && s.directoryEnd == 0)) return copyOut(ECF_FN_ossDirectoryName, 20, "/", 1, 2, out, outSize);
    if (!s.hasDirectory) return copyOut(ECF_FN_ossDirectoryName, 30, ".", 1, 2, out, outSize);
    return copyOut(ECF_FN_ossDirectoryName, 40, path, s.directoryEnd, s.directoryEnd + 1, out, outSize);
  });
}

bool ossIsFile(const char* path) noexcept {
  if (path == nullptr) return false;
  const std::uint32_t attributes = platform::GetFileAttributes(path);
  return attributes != platform::INVALID_FILE_ATTRIBUTES && (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ossIsDirectory(const char* path) noexcept {
  if (path == nullptr) return false;
  const std::uint32_t attributes = platform::GetFileAttributes(path);
  return attributes != platform::INVALID_FILE_ATTRIBUTES && (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ossPathExists(const char* path) noexcept {
  const OSSPathTestParam param = {OSS_VERSION_STAMP, path, OSS_PATH_TEST_EXISTS, 0};
  return ossPathTest(&param) == 0;
}

std::uint32_t ossPathTest(const OSSPathTestParam* param) noexcept {
  return fs::traced(ECF_FN_ossPathTest, [&]() -> std::uint32_t {
    const std::uint32_t rc = fs::checkVersion(ECF_FN_ossPathTest, param, param != nullptr ? param->version : 0);
    if (rc != 0) return rc;
    if (param->path == nullptr) return fs::argumentFailure(ECF_FN_ossPathTest, ECF_INVALID_PARAMETER, 10, nullptr);

    const std::uint32_t attributes = platform::GetFileAttributes(param->path);
    if (attributes == platform::INVALID_FILE_ATTRIBUTES) {
      const std::uint32_t error = platform::GetLastError();
      const std::uint32_t answer = fs::classifyPathTestError(error);
      if (answer != 0) return answer;
      return fs::systemFailure(ECF_FN_ossPathTest, ECF_FN_GetFileAttributesA, error, 20, param->path);
    }
    if ((param->tests & OSS_PATH_TEST_WRITE) != 0 && (attributes & platform::FILE_ATTRIBUTE_READONLY) != 0) {
      return ECF_ACCESS_DENIED;
    }
    // The Windows build asked nothing more for a read test, and only the read-only attribute for a
    // write test. Linux can tell whether this process may read or write the path (its effective
    // user and groups against the permission bits), so both tests ask that too.
    int mode = 0;
    if ((param->tests & OSS_PATH_TEST_READ) != 0) mode |= R_OK;
    if ((param->tests & OSS_PATH_TEST_WRITE) != 0) mode |= W_OK;
    if (mode != 0 && ::faccessat(AT_FDCWD, param->path, mode, AT_EACCESS) != 0) {
      const int error = errno;
      const std::uint32_t answer =
          fs::classifyPathTestError(platform::WinErrorFromErrno(error, platform::ErrnoSource::File, param->path));
      if (answer != 0) return answer;
      // The run-time access call reports errno itself.
      return fs::systemFailure(ECF_FN_ossPathTest, ECF_FN_access, static_cast<std::uint32_t>(error), 30, param->path);
    }
    return 0;
  });
}

std::uint32_t ossComparePaths(const char* path1, const char* path2) noexcept {
  return fs::traced(ECF_FN_ossComparePaths, [&]() -> std::uint32_t {
    if (path1 == nullptr || path2 == nullptr) return 0;
    // Windows compared the short forms of both names ignoring case. Linux names are case-sensitive
    // and one file may have many names (links, "..", doubled separators), so two paths name the
    // same file when they lead to the same inode of the same device.
    struct stat st1 {};
    struct stat st2 {};
    const bool exists1 = ::stat(path1, &st1) == 0;
    const bool exists2 = ::stat(path2, &st2) == 0;
    if (exists1 && exists2) return st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino ? 1 : 0;
    if (!exists1 && !exists2) return std::strcmp(path1, path2) == 0 ? 1 : 0;
    return 0;
  });
}

// ---------------------------------------------------------------------------------------------
// OSSDirectoryListing
// ---------------------------------------------------------------------------------------------

OSSDirectoryListing::OSSDirectoryListing() noexcept { reset(); }

OSSDirectoryListing::~OSSDirectoryListing() {
  // Whatever the listing holds is freed; a listing never holds entries when not begun.
  if (m_bBegun) end();
}

void OSSDirectoryListing::reset() noexcept {
  m_iNumberOfFiles = 0;
  m_pFileListHead = nullptr;
  m_pszFileList = nullptr;
  m_iFileListSize = 0;
  m_pCurrent = nullptr;
  m_bRewound = true;
  m_bBegun = false;
  m_pTail = nullptr;
}

// Frees every entry and the packed list. Stops at the first free that fails (logged), leaving
// the rest held so that nothing is freed twice.
std::uint32_t OSSDirectoryListing::release() noexcept {
  while (m_pFileListHead != nullptr) {
    OSSDirectoryListingEntry* entry = m_pFileListHead;
    void* name = entry->name;
    std::uint32_t rc = name != nullptr ? fs::release(&name, __FILE__, __LINE__) : 0;
    if (rc != 0) {
      ossLogRC(nullptr, ECF_FN_OSSDirectoryListing_end, ECF_FN__ossMemFree, rc, rc, 10, fs::kErrorLevel, 0);
      fs::traceError(ECF_FN_OSSDirectoryListing_end, 10, rc);
      return rc;
    }
    entry->name = nullptr;
    m_pFileListHead = entry->next;
    void* block = entry;
    rc = fs::release(&block, __FILE__, __LINE__);
    if (rc != 0) {
      ossLogRC(nullptr, ECF_FN_OSSDirectoryListing_end, ECF_FN__ossMemFree, rc, rc, 20, fs::kErrorLevel, 0);
      fs::traceError(ECF_FN_OSSDirectoryListing_end, 20, rc);
      return rc;
    }
  }
  if (m_pszFileList != nullptr) {
    void* block = m_pszFileList;
    const std::uint32_t rc = fs::release(&block, __FILE__, __LINE__);
    if (rc != 0) {
      ossLogRC(nullptr, ECF_FN_OSSDirectoryListing_end, ECF_FN__ossMemFree, rc, rc, 30, fs::kErrorLevel, 0);
      fs::traceError(ECF_FN_OSSDirectoryListing_end, 30, rc);
      return rc;
    }
    m_pszFileList = nullptr;
  }
  reset();
  return 0;
}

std::uint32_t OSSDirectoryListing::begin(const OSSDirectoryListingParam* param) noexcept {
  return fs::traced(ECF_FN_OSSDirectoryListing_begin, [&]() -> std::uint32_t {
    std::uint32_t rc = fs::checkVersion(ECF_FN_OSSDirectoryListing_begin, param, param != nullptr ? param->version : 0);
    if (rc != 0) return rc;
    if (m_bBegun) {
      ossLog(nullptr, ECF_FN_OSSDirectoryListing_begin, ECF_INVALID_INVOCATION_SEQUENCE, 10, fs::kErrorLevel, 0);
      fs::traceError(ECF_FN_OSSDirectoryListing_begin, 10, ECF_INVALID_INVOCATION_SEQUENCE);
      return ECF_INVALID_INVOCATION_SEQUENCE;
    }
    const char* path = param->path;
    if (path == nullptr || path[0] == '\0') {
      return fs::argumentFailure(ECF_FN_OSSDirectoryListing_begin, ECF_INVALID_PARAMETER, 20, path);
    }

    // The directory to read and the pattern its names must match.
    char pattern[OSS_PATH_BUFFER_SIZE];
    char directory[OSS_PATH_BUFFER_SIZE];
    rc = ossBaseName(path, pattern, sizeof pattern);
    if (rc != 0) return rc;
    if (hasWildcard(pattern)) {
      rc = ossDirectoryName(path, directory, sizeof directory);
      if (rc != 0) return rc;
    } else {
      const std::size_t length = std::strlen(path);
      if (length >= sizeof directory) {
        return fs::argumentFailure(ECF_FN_OSSDirectoryListing_begin, ECF_FILE_NAME_TOO_LONG, 30, path);
      }
      std::memcpy(directory, path, length + 1);
      // One trailing separator goes; the root keeps its only one.
      if (length > 1 && directory[length - 1] == '/') directory[length - 1] = '\0';
      std::strcpy(pattern, "*");
    }

    DIR* stream = ::opendir(directory);
    if (stream == nullptr) return listingFailure(ECF_FN_FindFirstFileA, errno, 40, path, pattern, -1);
    const int directoryFd = ::dirfd(stream);

    bool matchedAny = false;
    rc = 0;
    for (;;) {
      errno = 0;
      const dirent* found = ::readdir(stream);
      if (found == nullptr) {
        if (errno != 0) rc = listingFailure(ECF_FN_FindNextFileA, errno, 50, path, pattern, directoryFd);
        break;
      }
      if (!matchesPattern(pattern, found->d_name)) continue;
      matchedAny = true;
      if (!passesFilter(param->filter, entryKind(directoryFd, found->d_name))) continue;

      const std::size_t length = std::strlen(found->d_name);
      if (m_iFileListSize > UINT32_MAX - 2 - length) {  // the packed size must stay a u32
        rc = fs::argumentFailure(ECF_FN_OSSDirectoryListing_begin, ECF_NO_MEMORY, 60, path);
        break;
      }
      // An entry joins the list only whole: entry and name allocated, or neither kept.
      void* entryBlock = nullptr;
      rc = fs::allocate(&entryBlock, sizeof(OSSDirectoryListingEntry), __FILE__, __LINE__);
      if (rc != 0) break;
      void* nameBlock = nullptr;
      rc = fs::allocate(&nameBlock, static_cast<std::uint32_t>(length + 1), __FILE__, __LINE__);
      if (rc != 0) {
        fs::release(&entryBlock, __FILE__, __LINE__);
        break;
      }
      std::memcpy(nameBlock, found->d_name, length + 1);
      auto* entry = static_cast<OSSDirectoryListingEntry*>(entryBlock);
      entry->name = static_cast<char*>(nameBlock);
      entry->next = nullptr;
      if (m_pTail == nullptr) m_pFileListHead = entry;
      else m_pTail->next = entry;
      m_pTail = entry;
      m_iFileListSize += static_cast<std::uint32_t>(length + 1);
      ++m_iNumberOfFiles;
    }
    if (::closedir(stream) != 0 && rc == 0) rc = listingFailure(ECF_FN_FindClose, errno, 70, path, pattern, -1);
    // A pattern that matches no name fails as the search for it does: the file is not there.
    if (rc == 0 && !matchedAny) {
      rc = fs::systemFailure(ECF_FN_OSSDirectoryListing_begin, ECF_FN_FindFirstFileA, platform::ERROR_FILE_NOT_FOUND,
                             80, path);
    }

    if (rc == 0) {
      m_iFileListSize += 1;
      void* packed = nullptr;
      rc = fs::allocate(&packed, m_iFileListSize, __FILE__, __LINE__);
      if (rc == 0) {
        char* cursor = static_cast<char*>(packed);
        for (const OSSDirectoryListingEntry* e = m_pFileListHead; e != nullptr; e = e->next) {
          const std::size_t length = std::strlen(e->name) + 1;
          std::memcpy(cursor, e->name, length);
          cursor += length;
        }
        *cursor = '\0';
        m_pszFileList = static_cast<char*>(packed);
      }
    }
    if (rc != 0) {
      // A failed begin leaves nothing behind: the object is empty and may begin again.
      release();
      return rc;
    }
    m_bBegun = true;
    m_bRewound = true;
    m_pCurrent = nullptr;
    return 0;
  });
}

const char* OSSDirectoryListing::getNext() noexcept {
  if (m_bRewound) {
    m_pCurrent = m_pFileListHead;
    m_bRewound = false;
  }
  if (m_pCurrent == nullptr) return nullptr;
  const char* name = m_pCurrent->name;
  m_pCurrent = m_pCurrent->next;
  return name;
}

void OSSDirectoryListing::rewind() noexcept { m_bRewound = true; }

const char* OSSDirectoryListing::getFileList() const noexcept { return m_pszFileList; }

std::uint32_t OSSDirectoryListing::getFileListSize() const noexcept { return m_iFileListSize; }

std::uint32_t OSSDirectoryListing::getNumberOfFiles() const noexcept { return m_iNumberOfFiles; }

void OSSDirectoryListing::dumpFileList() const noexcept {
  std::printf(
      "========================================= \r\nm_iFileListSize = %u\r\nThere is/are %u file(s) \r\n"
      "========> File List Dump Start <========= \r\n",
      m_iFileListSize, m_iNumberOfFiles);
  std::uint32_t number = 1;
  for (const OSSDirectoryListingEntry* e = m_pFileListHead; e != nullptr; e = e->next) {
    std::printf("File %u : |%s|\r\n", number++, e->name);
  }
  std::printf("========>  File List Dump End  <========= \r\n");
  std::fflush(stdout);
}

std::uint32_t OSSDirectoryListing::end() noexcept {
  return fs::traced(ECF_FN_OSSDirectoryListing_end, [&]() -> std::uint32_t {
    if (!m_bBegun) {
      ossLog(nullptr, ECF_FN_OSSDirectoryListing_end, ECF_INVALID_INVOCATION_SEQUENCE, 40, fs::kErrorLevel, 0);
      fs::traceError(ECF_FN_OSSDirectoryListing_end, 40, ECF_INVALID_INVOCATION_SEQUENCE);
      return ECF_INVALID_INVOCATION_SEQUENCE;
    }
    return release();
  });
}
