// Paths and directory listing of the services library.
//
// Paths are NUL-terminated narrow strings in the native form: "/" is the only separator these
// functions recognise; every other character, a backslash included, is an ordinary character of a
// name. The functions split a path into its directory and its last component, tell what a path
// names and whether it may be read or written, compare two paths, and read the names of a
// directory (or of a wildcard pattern) into memory.
//
// Splitting rules shared by ossBaseName and ossDirectoryName:
// - A separator at the end of the path does not start a component: "/a/b/" has the last
//   component "b" and the directory "/a". A run of separators counts as one ("a//b" is "a" and
//   "b"), so a doubled trailing separator does not leave an empty last component behind.
// - A path of separators only ("/", "//") is the root: its base name and its directory are "/".
// - A path without a separator is a name in the current directory: its directory is ".".
//
// Results are the codes of the return-code catalogue (osse/diag/ecf.h), 0 on success. Argument
// failures are logged; failed system calls go through the system error handler, which logs and
// maps the platform's error number. Path tests that find a missing or inaccessible path answer
// without a log record: callers ask them in order to find out.
//
// Listing. An OSSDirectoryListing reads the names once, at begin, into a list and a packed copy:
//
//     OSSDirectoryListing listing;
//     OSSDirectoryListingParam param = {OSS_VERSION_STAMP, "/data/reg/*.reg", OSS_LIST_FILES, 0};
//     if (listing.begin(&param) == 0) {
//       while (const char* name = listing.getNext()) ...
//       listing.end();
//     }
//
// The names come in the order the file system returns them, not sorted, and include "." and ".."
// when the directory filter (or no filter) lets them through. A wildcard pattern may hold "*"
// (any run of characters, the empty one included) and "?" (exactly one character) in its last
// component only; names are compared byte for byte, as the file system stores them. The memory
// of the list comes from the library's allocator; a begin that fails (the allocator included)
// returns its code and leaves the listing empty, as if it had never begun, so no partial entry
// survives and the object can begin again.
#pragma once

#include <cstdint>

#include "osse/sys/latch.h"  // OSS_VERSION_STAMP, OSS_VERSION_MINIMUM

// Work buffers of the path functions: the longest path Linux accepts (PATH_MAX), with its NUL.
// The Windows build held 260 bytes, that system's path limit; here the limit is the file
// system's. A path these functions build that does not fit is refused with
// ECF_FILE_NAME_TOO_LONG, never cut: a cut child path in a tree walk would name another file.
inline constexpr std::uint32_t OSS_PATH_BUFFER_SIZE = 4096;

// Tests of ossPathTest.
inline constexpr std::uint32_t OSS_PATH_TEST_EXISTS = 0x1;
inline constexpr std::uint32_t OSS_PATH_TEST_READ = 0x2;
inline constexpr std::uint32_t OSS_PATH_TEST_WRITE = 0x4;

// Filter of a listing: 0 lists both kinds; a non-zero value with neither bit lists nothing.
inline constexpr std::uint32_t OSS_LIST_DIRECTORIES = 0x4000;
inline constexpr std::uint32_t OSS_LIST_FILES = 0x8000;

struct OSSPathTestParam {
  std::uint32_t version;   // OSS_VERSION_STAMP; below OSS_VERSION_MINIMUM is refused
  const char* path;
  std::uint32_t tests;     // OSS_PATH_TEST_* bits
  std::uint32_t reserved;  // carried into failure reports
};

struct OSSDirectoryListingParam {
  std::uint32_t version;
  const char* path;        // a directory (with or without a trailing "/"), or a pattern
  std::uint32_t filter;    // 0, OSS_LIST_DIRECTORIES, OSS_LIST_FILES or both
  std::uint32_t reserved;  // carried into failure reports
};

// The last component of `path`, without separators, into `out` (`outSize` bytes with the NUL).
// The space needed is the component's length with its trailing separator, plus the NUL: "/a/b/"
// needs 3 bytes and gives "b". Null or empty path, or null output: ECF_INVALID_PARAMETER. Too
// small: ECF_BUFFER_TOO_SMALL (logged with the size needed and the size given; `out` becomes
// empty when it has room for the NUL).
std::uint32_t ossBaseName(const char* path, char* out, std::uint32_t outSize) noexcept;

// The directory part of `path` into `out`: "." without a separator, "/" for a component right
// under the root, else everything before the separators in front of the last component.
// Failures as ossBaseName.
std::uint32_t ossDirectoryName(const char* path, char* out, std::uint32_t outSize) noexcept;

// True when the path exists and is not a directory / is a directory (a symbolic link answers for
// what it names). A missing path is neither; a null path is neither.
bool ossIsFile(const char* path) noexcept;
bool ossIsDirectory(const char* path) noexcept;

// True when ossPathTest with OSS_PATH_TEST_EXISTS returns 0.
bool ossPathExists(const char* path) noexcept;

// Tests a path: exists, and may be read or written by this process. Results: 0;
// ECF_FILE_DOESNT_EXIST for a missing path (also a missing directory on the way, or a path too
// long); ECF_ACCESS_DENIED when a read or write test fails (a file without any write permission
// bit fails the write test even for the superuser, as a read-only file does); neither writes a
// log record. Null param or path: ECF_INVALID_PARAMETER; old stamp: ECF_INVALID_VERSION. Any
// other failure goes through the system error handler.
std::uint32_t ossPathTest(const OSSPathTestParam* param) noexcept;

// 1 when both paths name the same file (same device and inode, through symbolic links), else 0.
// Two paths of which neither exists are the same when their texts are equal; a null path is
// never the same as anything.
std::uint32_t ossComparePaths(const char* path1, const char* path2) noexcept;

// One name of a listing.
struct OSSDirectoryListingEntry {
  char* name;                      // from the library's allocator
  OSSDirectoryListingEntry* next;  // from the library's allocator; null at the tail
};

class OSSDirectoryListing {
 public:
  OSSDirectoryListing() noexcept;
  // Ends a begun listing; frees everything.
  ~OSSDirectoryListing();
  OSSDirectoryListing(const OSSDirectoryListing&) = delete;
  OSSDirectoryListing& operator=(const OSSDirectoryListing&) = delete;

  // Reads the names. A listing already begun: ECF_INVALID_INVOCATION_SEQUENCE. A directory that
  // cannot be read (missing, not a directory, no permission): the system error handler's code.
  // An allocation failure: the allocator's code. Every failure leaves the listing empty.
  std::uint32_t begin(const OSSDirectoryListingParam* param) noexcept;
  // The next name, or null after the last one (and on a listing not begun).
  const char* getNext() noexcept;
  // The next getNext starts again at the first name.
  void rewind() noexcept;
  // Every name followed by a NUL, then one more NUL; null on a listing not begun.
  const char* getFileList() const noexcept;
  // Bytes of getFileList: the name lengths plus one per name, plus one.
  std::uint32_t getFileListSize() const noexcept;
  std::uint32_t getNumberOfFiles() const noexcept;
  // Prints the list to standard output.
  void dumpFileList() const noexcept;
  // Frees the names. A listing not begun: ECF_INVALID_INVOCATION_SEQUENCE. A free that fails is
  // logged and its code returned at once.
  std::uint32_t end() noexcept;

 private:
  std::uint32_t release() noexcept;
  void reset() noexcept;

  std::uint32_t m_iNumberOfFiles;
  OSSDirectoryListingEntry* m_pFileListHead;
  char* m_pszFileList;
  std::uint32_t m_iFileListSize;
  OSSDirectoryListingEntry* m_pCurrent;
  bool m_bRewound;
  bool m_bBegun;
  OSSDirectoryListingEntry* m_pTail;  // where begin appends; not part of the listed state
};
