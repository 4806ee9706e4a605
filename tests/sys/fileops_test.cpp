// File and directory operations: information, copy, delete, rename, permissions and ownership,
// directory create, delete and copy of trees, the current directory and the drive map. The
// access failures are seen by a child process that has dropped to an unprivileged user, since
// these tests run as the superuser.
#include "osse/sys/fileops.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "trace_support.h"
#include "fs_fixture.h"
#include "osse/diag/ecf.h"

namespace {

using tarn::test::FsTest;

constexpr std::uint32_t kNobody = 65534;

// Runs `body` in a child process whose real, effective and saved user and group are kNobody,
// and returns the codes it collected. An empty result means that the child could not run.
std::vector<std::uint32_t> RunAsNobody(const std::function<void(std::vector<std::uint32_t>&)>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::vector<std::uint32_t> codes;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
      ::_exit(2);
    }
    body(codes);
    const ssize_t bytes = static_cast<ssize_t>(codes.size() * sizeof(std::uint32_t));
    ::_exit(::write(fds[1], codes.data(), static_cast<std::size_t>(bytes)) == bytes ? 0 : 3);
  }
  ::close(fds[1]);
  std::vector<std::uint32_t> codes;
  std::uint32_t code = 0;
  while (::read(fds[0], &code, sizeof code) == static_cast<ssize_t>(sizeof code)) codes.push_back(code);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return codes;
}

std::uint32_t PathTest(const std::string& path, std::uint32_t tests) {
  const OSSPathTestParam param = {OSS_VERSION_STAMP, path.c_str(), tests, 0};
  return ossPathTest(&param);
}

// ---------------------------------------------------------------------------------------------
// File information
// ---------------------------------------------------------------------------------------------

using FileInfo = FsTest;

TEST_F(FileInfo, PathAnswersEveryField) {
  const std::string file = makeFile("f", "twelve bytes", 0640);
  ASSERT_EQ(::chown(file.c_str(), 1234, 5678), 0);
  const struct timespec times[2] = {{1000, 0}, {1700000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  const std::string directory = makeDir("d", 0750);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);

  struct Case {
    std::string path;
    std::uint32_t result;
    std::uint32_t type;
    std::uint32_t permissions;
  };
  const Case cases[] = {
      {file, 0, OSS_FILE_TYPE_REGULAR, 0640},
      {directory, 0, OSS_FILE_TYPE_DIRECTORY, 0750},
      {path("fifo"), ECF_FILE_UNKNOWN_FILE_TYPE, 0, 0},
      {path("missing"), ECF_FILE_DOESNT_EXIST, 0, 0},
  };
  for (const Case& c : cases) {
    OSSFileGetInfoParam param;
    param.version = OSS_VERSION_STAMP;
    param.path = c.path.c_str();
    OSSFileInfo info;
    info.type = 0x7777;  // a fresh value the call must overwrite where it answers
    ASSERT_EQ(ossFileGetInfoV9(&param, &info), c.result) << c.path;
    if (c.result == ECF_FILE_DOESNT_EXIST) continue;
    EXPECT_EQ(info.type, c.type) << c.path;
    if (c.result != 0) continue;
    EXPECT_EQ(info.permissions, c.permissions) << c.path;
    EXPECT_EQ(info.isLink, 0u);
    EXPECT_EQ(info.referencePath, nullptr);
  }
  OSSFileInfo info;
  ASSERT_EQ(ossFileGetInfo(OSS_VERSION_STAMP, file.c_str(), 0, 0, 1, &info), 0u);
  EXPECT_EQ(info.size, 12u);
  EXPECT_EQ(info.uid, 1234u);
  EXPECT_EQ(info.gid, 5678u);
  EXPECT_EQ(info.lastModifiedTime, 1700000000u);
  EXPECT_EQ(info.type, OSS_FILE_TYPE_REGULAR);
}

TEST_F(FileInfo, QuietOptionKeepsFailuresOutOfTheLog) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  for (const std::string& p : {path("missing"), path("fifo")}) {
    OSSFileGetInfoParam param;
    param.version = OSS_VERSION_STAMP;
    param.path = p.c_str();
    OSSFileInfo info;
    clearLog();
    param.options = OSS_FILE_GETINFO_QUIET;
    EXPECT_NE(ossFileGetInfoV9(&param, &info), 0u) << p;
    EXPECT_EQ(logCount(), 0u) << p;
    param.options = 1;
    EXPECT_NE(ossFileGetInfoV9(&param, &info), 0u) << p;
    EXPECT_GE(logCountFor(ECF_FN_ossFileGetInfoV9), 1u) << p;
  }
}

TEST_F(FileInfo, HandleAnswersTypeSizeAndBitsAndLeavesTheRest) {
  const std::string file = makeFile("f", "0123456789", 0604);
  const int fd = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  OSSFileGetInfoParam param;
  param.version = 0x09070000;
  const std::string ignored = path("ignored-when-a-handle-is-given");
  param.path = ignored.c_str();
  param.fileHandle = fd;
  OSSFileInfo info;
  info.uid = 111;
  info.gid = 222;
  info.lastModifiedTime = 333;
  ASSERT_EQ(ossFileGetInfoV9(&param, &info), 0u);
  EXPECT_EQ(info.type, OSS_FILE_TYPE_REGULAR);
  EXPECT_EQ(info.size, 10u);
  EXPECT_EQ(info.permissions, 0604u);
  EXPECT_EQ(info.uid, 111u);
  EXPECT_EQ(info.gid, 222u);
  EXPECT_EQ(info.lastModifiedTime, 333u);

  // Below 9.5 the handle is not looked at: the path answers.
  const std::string pathText = file;
  param.path = pathText.c_str();
  param.version = 0x09040000;
  ASSERT_EQ(ossFileGetInfoV9(&param, &info), 0u);
  EXPECT_EQ(info.uid, 0u);
  ::close(fd);

  param.version = OSS_VERSION_STAMP;
  param.fileHandle = fd;  // closed now
  EXPECT_EQ(ossFileGetInfoV9(&param, &info), ECF_INVALID_PARAMETER);
}

TEST_F(FileInfo, AnOpenFileOfTheFileLayerAnswersThroughItsHandle) {
  const std::string directory = makeDir("d");
  const std::string file = makeFile("d/f", "abc", 0600);
  OSSHFile handle;
  const OSSFileOpenParam open = {OSS_VERSION_STAMP, file.c_str(), OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_READ, 0,
                                 0600, 0};
  ASSERT_EQ(handle.open(&open), 0u);
  ASSERT_EQ(ossFileSetPermissions(file.c_str(), 0400), 0u);
  OSSFileGetInfoParam param;
  param.version = OSS_VERSION_STAMP;
  param.fileHandle = handle.getFileHandle();
  OSSFileInfo info;
  EXPECT_EQ(ossFileGetInfoV9(&param, &info), 0u);
  EXPECT_EQ(info.type, OSS_FILE_TYPE_REGULAR);
  EXPECT_EQ(info.size, 3u);
  EXPECT_EQ(info.permissions, 0400u);
  EXPECT_EQ(handle.close(), 0u);

  // A directory opened as a descriptor answers as a directory.
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  param.fileHandle = fd;
  EXPECT_EQ(ossFileGetInfoV9(&param, &info), 0u);
  EXPECT_EQ(info.type, OSS_FILE_TYPE_DIRECTORY);
  ::close(fd);
}

TEST_F(FileInfo, VersionRule) {
  OSSFileInfo info;
  EXPECT_EQ(ossFileGetInfoV9(nullptr, &info), ECF_INVALID_PARAMETER);
  OSSFileGetInfoParam param;
  param.version = 20040701u;
  param.path = dir_.c_str();
  EXPECT_EQ(ossFileGetInfoV9(&param, &info), ECF_INVALID_VERSION);
  param.version = 20040702u;
  EXPECT_EQ(ossFileGetInfoV9(&param, &info), 0u);
  EXPECT_EQ(ossFileGetInfo(20040701u, dir_.c_str(), 0, 0, 1, &info), ECF_INVALID_VERSION);
  EXPECT_EQ(ossFileGetInfoV9(&param, nullptr), ECF_INVALID_PARAMETER);
}

TEST(FileInfoText, ToStringFormatsTheRecord) {
  OSSFileInfo info;
  info.size = 5000000000ull;
  info.type = OSS_FILE_TYPE_REGULAR;
  info.permissions = 0644;
  info.uid = 7;
  info.gid = 8;
  info.lastModifiedTime = 0x100000005ull;  // only the low 32 bits are shown
  char buffer[OSS_FILE_INFO_TEXT_SIZE];
  const OSSFileInfo::toStringParam param = {OSS_VERSION_STAMP, buffer};
  info.toString(&param);
  EXPECT_STREQ(buffer,
               "Target File Information :\n  Size               = 5000000000\n  Link               = No\n"
               "  Reference path     = N/A\n  Type               = 0x8000\n  Permissions        = rw-------\n"
               "  UID                = 7\n  GID                = 8\n  Last modified time = 5");

  const std::string longTarget(40, 't');
  info.isLink = 1;
  info.referencePath = longTarget.c_str();
  info.permissions = 0100;
  info.toString(&param);
  const std::string linkLines = "Link               = Yes\n  Reference path     = " + std::string(30, 't') + "\n";
  EXPECT_NE(std::strstr(buffer, linkLines.c_str()), nullptr);
  EXPECT_NE(std::strstr(buffer, "Permissions        = --x------"), nullptr);

  std::memset(buffer, 'q', sizeof buffer);
  const OSSFileInfo::toStringParam old = {0x09040000, buffer};
  info.toString(&old);
  EXPECT_EQ(buffer[0], 'q');
}

// ---------------------------------------------------------------------------------------------
// Copy, delete, rename
// ---------------------------------------------------------------------------------------------

using FileOps = FsTest;

TEST_F(FileOps, CopyCarriesContentsBitsAndTime) {
  std::string contents(200000, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7);
  const std::string source = makeFile("source", contents, 0440);
  const struct timespec times[2] = {{1000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
  ASSERT_EQ(ossFileCopy(source.c_str(), path("copy").c_str()), 0u);
  EXPECT_EQ(readFile(path("copy")), contents);
  EXPECT_EQ(modeOf(path("copy")), 0440u);
  struct stat st {};
  ASSERT_EQ(::stat(path("copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1600000000);
}

TEST_F(FileOps, CopyRefusals) {
  const std::string source = makeFile("source", "new");
  const std::string existing = makeFile("existing", "old");
  makeDir("dir");
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  struct Case {
    std::string source;
    std::string target;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {source, source, ECF_INVALID_PARAMETER},
      {source, existing, ECF_FILE_EXISTS},
      {path("missing"), path("t1"), ECF_FILE_DOESNT_EXIST},
      {path("dir"), path("t2"), ECF_ACCESS_DENIED},        // a directory is not copied as a file
      {path("fifo"), path("t3"), ECF_INVALID_PARAMETER},   // nor a pipe, which would block
      {source, path("no-such-dir/t4"), ECF_FILE_PATH_DOESNT_EXIST},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ossFileCopy(c.source.c_str(), c.target.c_str()), c.expected) << c.source << " -> " << c.target;
  }
  EXPECT_EQ(readFile(existing), "old");
  for (const char* t : {"t1", "t2", "t3"}) EXPECT_FALSE(exists(path(t))) << t;
  EXPECT_EQ(ossFileCopy(nullptr, source.c_str()), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossFileCopy(source.c_str(), nullptr), ECF_INVALID_PARAMETER);
}

TEST_F(FileOps, DeleteOverTable) {
  const std::string file = makeFile("f");
  const std::string directory = makeDir("d");
  const std::string kept = makeFile("d/kept");
  ASSERT_EQ(::symlink(directory.c_str(), path("link-to-dir").c_str()), 0);
  ASSERT_EQ(::symlink(path("gone").c_str(), path("dangling").c_str()), 0);
  struct Case {
    std::string path;
    std::uint32_t expected;
    bool logged;
  };
  const Case cases[] = {
      {file, 0, false},
      {file, ECF_FILE_DOESNT_EXIST, false},  // now missing: no log record
      {path("missing/deeper"), ECF_FILE_DOESNT_EXIST, false},
      {directory, ECF_FILE_IS_A_DIRECTORY, true},
      {path("link-to-dir"), 0, false},  // the link goes, the directory stays
      {path("dangling"), 0, false},
  };
  for (const Case& c : cases) {
    clearLog();
    EXPECT_EQ(ossFileDelete(c.path.c_str()), c.expected) << c.path;
    EXPECT_EQ(logCount() > 0, c.logged) << c.path;
  }
  EXPECT_FALSE(exists(path("link-to-dir")));
  EXPECT_FALSE(exists(path("dangling")));
  EXPECT_TRUE(exists(kept));
  EXPECT_EQ(ossFileDelete(nullptr), ECF_INVALID_PARAMETER);
}

TEST_F(FileOps, RenameNeverReplacesATarget) {
  const std::string from = makeFile("from", "moving");
  const std::string onto = makeFile("onto", "staying");
  clearLog();
  EXPECT_EQ(ossFileRename(from.c_str(), onto.c_str()), ECF_FILE_DOESNT_EXIST);
  EXPECT_EQ(logCountFor(ECF_FN_ossFileRename), 1u);
  EXPECT_EQ(readFile(from), "moving");
  EXPECT_EQ(readFile(onto), "staying");

  EXPECT_EQ(ossFileRename(from.c_str(), path("to").c_str()), 0u);
  EXPECT_FALSE(exists(from));
  EXPECT_EQ(readFile(path("to")), "moving");

  // Whatever the reason, a failed rename answers ECF_FILE_DOESNT_EXIST.
  EXPECT_EQ(ossFileRename(path("missing").c_str(), path("x").c_str()), ECF_FILE_DOESNT_EXIST);
  EXPECT_EQ(ossFileRename(path("to").c_str(), path("no-dir/x").c_str()), ECF_FILE_DOESNT_EXIST);
  // Directories rename too, and not onto an existing one.
  makeDir("d1");
  makeDir("d2");
  EXPECT_EQ(ossFileRename(path("d1").c_str(), path("d2").c_str()), ECF_FILE_DOESNT_EXIST);
  EXPECT_EQ(ossFileRename(path("d1").c_str(), path("d3").c_str()), 0u);
  EXPECT_TRUE(exists(path("d3")));
}

// ---------------------------------------------------------------------------------------------
// Replacing a file safely: replacing rename, second name, directory sync, identity of an open file
// ---------------------------------------------------------------------------------------------

// The system calls under which `functionId` logged its failures since the last clearLog.
std::vector<std::uint32_t> CalledIdsOf(std::uint32_t functionId) {
  std::lock_guard<std::mutex> lock(tarn::test::g_caughtMutex);
  std::vector<std::uint32_t> ids;
  for (const auto& r : tarn::test::g_caught) {
    if (r.functionId == functionId) ids.push_back(r.calledFunctionId);
  }
  return ids;
}

class Replace : public FsTest {
 protected:
  // Opens `p` through the file layer for reading.
  static void openFile(OSSHFile& handle, const std::string& p) {
    const OSSFileOpenParam open = {OSS_VERSION_STAMP, p.c_str(), OSS_FILE_OPEN_EXISTING, OSS_FILE_ACCESS_READ, 0,
                                   0600, 0};
    ASSERT_EQ(handle.open(&open), 0u) << p;
  }
  static bool isAt(const OSSHFile& handle, const std::string& p, std::uint32_t* rc = nullptr) {
    bool at = true;
    const std::uint32_t code = ossFileIsAtPath(handle.getFileHandle(), p.c_str(), &at);
    if (rc != nullptr) *rc = code;
    return at;
  }
};

TEST_F(Replace, RenameReplaceOverTable) {
  makeDir("dir");
  makeDir("dir-with-child/child");
  struct Case {
    const char* from;     // created as a file holding "new" unless it names a directory or is missing
    const char* to;       // "old" is there first when oldTarget
    bool oldTarget;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"a", "b", true, 0},                                      // replaces the target
      {"c", "fresh", false, 0},                                 // a missing name is fine too
      {"missing", "b2", true, ECF_FILE_DOESNT_EXIST},           // nothing to rename
      {"e", "dir", false, ECF_FILE_IS_A_DIRECTORY},             // a file never replaces a directory
      {"f", "no-such-dir/x", false, ECF_FILE_DOESNT_EXIST},     // the target's directory is missing
      {"dir-with-child", "g", true, ECF_FILE_NOT_A_DIRECTORY},  // nor a directory a file
  };
  for (const Case& c : cases) {
    const std::string from = path(c.from), to = path(c.to);
    if (std::string(c.from) != "missing" && !exists(from)) makeFile(c.from, "new");
    if (c.oldTarget) makeFile(c.to, "old");
    clearLog();
    EXPECT_EQ(ossFileRenameReplace(from.c_str(), to.c_str()), c.expected) << c.from << " -> " << c.to;
    if (c.expected == 0) {
      EXPECT_FALSE(exists(from)) << c.from;
      EXPECT_EQ(readFile(to), "new") << c.to;
      EXPECT_EQ(logCount(), 0u);
    } else {
      EXPECT_EQ(CalledIdsOf(ECF_FN_ossFileRenameReplace), std::vector<std::uint32_t>{ECF_FN_rename}) << c.from;
      if (c.oldTarget) {
        EXPECT_EQ(readFile(to), "old") << c.to;  // a failed rename leaves the target alone
      }
    }
  }
  EXPECT_EQ(ossFileRenameReplace(nullptr, path("x").c_str()), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossFileRenameReplace(path("x").c_str(), ""), ECF_INVALID_PARAMETER);
}

TEST_F(Replace, LinkOverTable) {
  const std::string original = makeFile("orig", "content");
  makeDir("dir");
  makeFile("taken", "other");
  struct Case {
    std::string existing;
    std::string link;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {original, path("second"), 0},
      {original, path("taken"), ECF_FILE_EXISTS},             // never replaces a file
      {original, path("dir"), ECF_FILE_EXISTS},               // nor a directory
      {path("missing"), path("x"), ECF_FILE_DOESNT_EXIST},
      {original, path("no-such-dir/x"), ECF_FILE_DOESNT_EXIST},
  };
  for (const Case& c : cases) {
    clearLog();
    EXPECT_EQ(ossFileLink(c.existing.c_str(), c.link.c_str()), c.expected) << c.link;
    if (c.expected != 0) {
      EXPECT_EQ(CalledIdsOf(ECF_FN_ossFileLink), std::vector<std::uint32_t>{ECF_FN_link}) << c.link;
    }
  }
  EXPECT_EQ(readFile(path("taken")), "other");
  // A directory cannot get a second name.
  EXPECT_NE(ossFileLink(path("dir").c_str(), path("dir2").c_str()), 0u);
  EXPECT_FALSE(exists(path("dir2")));

  // Both names lead to one file: the old name can go and the file stays under the other.
  OSSHFile handle;
  openFile(handle, original);
  EXPECT_TRUE(isAt(handle, path("second")));
  ASSERT_EQ(ossFileDelete(original.c_str()), 0u);
  EXPECT_EQ(readFile(path("second")), "content");
  EXPECT_TRUE(isAt(handle, path("second")));
  EXPECT_EQ(handle.close(), 0u);
  EXPECT_EQ(ossFileLink(nullptr, path("y").c_str()), ECF_INVALID_PARAMETER);
}

TEST_F(Replace, DirectorySync) {
  EXPECT_EQ(ossDirectorySync(dir_.c_str()), 0u);
  EXPECT_EQ(ossDirectorySync(makeDir("sub").c_str()), 0u);
  clearLog();
  EXPECT_EQ(ossDirectorySync(path("missing").c_str()), ECF_FILE_DOESNT_EXIST);
  EXPECT_EQ(CalledIdsOf(ECF_FN_ossDirectorySync), std::vector<std::uint32_t>{ECF_FN_open});
  // A file is not a directory whose entries could be synced.
  clearLog();
  EXPECT_NE(ossDirectorySync(makeFile("file").c_str()), 0u);
  EXPECT_EQ(CalledIdsOf(ECF_FN_ossDirectorySync), std::vector<std::uint32_t>{ECF_FN_open});
  EXPECT_EQ(ossDirectorySync(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossDirectorySync(""), ECF_INVALID_PARAMETER);
}

// The registry's commit and lock-file check in small: an open (locked) file is noticed to be no
// longer the one at its path once the path was replaced, deleted or made anew.
TEST_F(Replace, IdentityOfAnOpenFileAgainstItsPath) {
  const std::string p = makeFile("lock", "one");
  OSSHFile held;
  openFile(held, p);
  std::uint32_t rc = 1;
  EXPECT_TRUE(isAt(held, p, &rc));
  EXPECT_EQ(rc, 0u);
  EXPECT_FALSE(isAt(held, makeFile("other"), &rc));
  EXPECT_EQ(rc, 0u);

  // Replaced: the holder still reads the old file, which is no longer at the path.
  const std::string next = makeFile("lock.tmp", "two");
  ASSERT_EQ(ossFileRenameReplace(next.c_str(), p.c_str()), 0u);
  EXPECT_EQ(readFile(p), "two");
  EXPECT_FALSE(isAt(held, p, &rc));
  EXPECT_EQ(rc, 0u);
  char buffer[8] = {};
  OSSFileReadParam read = {OSS_VERSION_STAMP, 3, 0};
  std::uint32_t got = 0;
  EXPECT_EQ(held.read(&read, buffer, &got), 0u);
  EXPECT_EQ(std::string(buffer, got), "one");

  OSSHFile current;
  openFile(current, p);
  EXPECT_TRUE(isAt(current, p));
  // Deleted: an answer, not a failure, and nothing logged.
  ASSERT_EQ(ossFileDelete(p.c_str()), 0u);
  clearLog();
  EXPECT_FALSE(isAt(current, p, &rc));
  EXPECT_EQ(rc, 0u);
  EXPECT_FALSE(isAt(current, path("no-dir/lock"), &rc));
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(logCount(), 0u);
  // Made anew under the same name: a different file still.
  makeFile("lock", "three");
  EXPECT_FALSE(isAt(current, p));

  // A handle that is not open is a failure, under fstat.
  const OSSFileHandle stale = current.getFileHandle();
  EXPECT_EQ(current.close(), 0u);
  EXPECT_EQ(held.close(), 0u);
  clearLog();
  bool at = true;
  EXPECT_NE(ossFileIsAtPath(stale, p.c_str(), &at), 0u);
  EXPECT_FALSE(at);
  EXPECT_EQ(CalledIdsOf(ECF_FN_ossFileIsAtPath), std::vector<std::uint32_t>{ECF_FN_fstat});
  EXPECT_EQ(ossFileIsAtPath(stale, p.c_str(), nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossFileIsAtPath(stale, nullptr, &at), ECF_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------
// Permissions and ownership
// ---------------------------------------------------------------------------------------------

using Permissions = FsTest;

TEST_F(Permissions, ModesAreAppliedAsGiven) {
  const std::string file = makeFile("f");
  struct Case {
    std::uint32_t mode;
    mode_t expected;
  };
  const Case cases[] = {{0400, 0400}, {0, 0600}, {0755, 0755}, {0604, 0604}, {0170644, 0644}, {04711, 04711}};
  for (const Case& c : cases) {
    EXPECT_EQ(ossFileSetPermissions(file.c_str(), c.mode), 0u) << std::oct << c.mode;
    EXPECT_EQ(modeOf(file), c.expected) << std::oct << c.mode;
  }
  EXPECT_EQ(ossFileSetPermissions(path("missing").c_str(), 0600), ECF_FILE_DOESNT_EXIST);
  EXPECT_EQ(ossFileSetPermissions(nullptr, 0600), ECF_INVALID_PARAMETER);
}

TEST_F(Permissions, ReadOnlyFileFailsTheWriteTest) {
  const std::string file = makeFile("f", "x", 0600);
  EXPECT_EQ(PathTest(file, OSS_PATH_TEST_WRITE), 0u);
  ASSERT_EQ(ossFileSetPermissions(file.c_str(), 0400), 0u);
  EXPECT_EQ(PathTest(file, OSS_PATH_TEST_WRITE), ECF_ACCESS_DENIED);
  EXPECT_EQ(PathTest(file, OSS_PATH_TEST_READ), 0u);

  // The owner, without the superuser's privileges, sees the same and cannot write either.
  ASSERT_EQ(ossFileSetOwnership(file.c_str(), kNobody, kNobody), 0u);
  const std::vector<std::uint32_t> codes = RunAsNobody([&](std::vector<std::uint32_t>& out) {
    out.push_back(PathTest(file, OSS_PATH_TEST_WRITE));
    out.push_back(PathTest(file, OSS_PATH_TEST_READ));
    out.push_back(::open(file.c_str(), O_WRONLY) < 0 ? 1u : 0u);
    out.push_back(ossFileSetPermissions(file.c_str(), 0600));  // the owner may change it back
    out.push_back(PathTest(file, OSS_PATH_TEST_WRITE));
  });
  EXPECT_EQ(codes, (std::vector<std::uint32_t>{ECF_ACCESS_DENIED, 0u, 1u, 0u, 0u}));
}

TEST_F(Permissions, AnotherUsersFilesAreRefusedToAnUnprivilegedProcess) {
  const std::string privateFile = makeFile("private", "secret", 0600);  // the superuser's
  const std::string closed = makeDir("closed", 0755);
  const std::string inside = makeFile("closed/inside", "x", 0666);
  const std::vector<std::uint32_t> codes = RunAsNobody([&](std::vector<std::uint32_t>& out) {
    out.push_back(PathTest(privateFile, OSS_PATH_TEST_EXISTS));
    out.push_back(PathTest(privateFile, OSS_PATH_TEST_READ));
    out.push_back(PathTest(privateFile, OSS_PATH_TEST_WRITE));  // no read-only bit: the process is refused
    out.push_back(ossFileDelete(inside.c_str()));                // the directory is not writable
    out.push_back(ossFileSetPermissions(privateFile.c_str(), 0644));
    out.push_back(ossFileSetOwnership(privateFile.c_str(), kNobody, kNobody));
    const std::string newDirectory = closed + "/new";
    const OSSDirectoryCreateParam create = {OSS_VERSION_STAMP, newDirectory.c_str(), 0700, OSS_DIR_CREATE_SINGLE};
    out.push_back(ossDirectoryCreate(&create));
  });
  EXPECT_EQ(codes, (std::vector<std::uint32_t>{0u, ECF_ACCESS_DENIED, ECF_ACCESS_DENIED, ECF_ACCESS_DENIED,
                                               ECF_ACCESS_DENIED, ECF_ACCESS_DENIED, ECF_ACCESS_DENIED}));
  EXPECT_TRUE(exists(inside));
  EXPECT_EQ(modeOf(privateFile), 0600u);
}

TEST_F(Permissions, OwnershipTakesAUserAndAGroup) {
  const std::string file = makeFile("f");
  ASSERT_EQ(ossFileSetOwnership(file.c_str(), 4321, 8765), 0u);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 8765u);
  // All bits set leaves that one as it is.
  ASSERT_EQ(ossFileSetOwnership(file.c_str(), 0xFFFFFFFFu, 42), 0u);
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 42u);
  EXPECT_EQ(ossFileSetOwnership(path("missing").c_str(), 1, 1), ECF_FILE_DOESNT_EXIST);
  EXPECT_EQ(ossFileSetOwnership(nullptr, 1, 1), ECF_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------
// Directories
// ---------------------------------------------------------------------------------------------

using Directories = FsTest;

TEST_F(Directories, CreateModesOverTable) {
  makeDir("existing/tree");
  makeFile("existing/file");
  struct Case {
    std::string path;
    std::uint32_t mode;
    std::uint32_t expected;
    std::vector<std::string> thereAfterwards;
  };
  const Case cases[] = {
      {path("single"), OSS_DIR_CREATE_SINGLE, 0, {"single"}},
      {path("single"), OSS_DIR_CREATE_SINGLE, ECF_FILE_EXISTS, {}},
      {path("missing/single"), OSS_DIR_CREATE_SINGLE, ECF_FILE_PATH_DOESNT_EXIST, {}},
      {path("p1/p2/p3"), OSS_DIR_CREATE_PARENTS, 0, {"p1", "p1/p2", "p1/p2/p3"}},
      {path("existing/tree"), OSS_DIR_CREATE_PARENTS, 0, {"existing/tree"}},
      {path("existing/tree/new/"), OSS_DIR_CREATE_PARENTS, 0, {"existing/tree/new"}},
      {path("q1//q2/"), OSS_DIR_CREATE_PARENTS, 0, {"q1", "q1/q2"}},
      {path("existing/file"), OSS_DIR_CREATE_PARENTS, ECF_FILE_NOT_A_DIRECTORY, {}},
      {path("existing/file/below"), OSS_DIR_CREATE_PARENTS, ECF_FILE_NOT_A_DIRECTORY, {}},
      {path("existing/tree"), OSS_DIR_CREATE_SINGLE, ECF_FILE_EXISTS, {}},
      // Any other mode creates every level and fails at the first one that exists: the scratch
      // directory's own parents exist.
      {path("other/level"), 0, ECF_FILE_EXISTS, {}},
  };
  for (const Case& c : cases) {
    const OSSDirectoryCreateParam param = {OSS_VERSION_STAMP, c.path.c_str(), 0700, c.mode};
    EXPECT_EQ(ossDirectoryCreate(&param), c.expected) << c.path << " mode " << c.mode;
    for (const auto& p : c.thereAfterwards) EXPECT_TRUE(std::filesystem::is_directory(path(p))) << p;
  }
  EXPECT_FALSE(exists(path("other")));
}

TEST_F(Directories, CreateWithOtherModeWalksARelativePathFromItsFirstComponent) {
  char previous[PATH_MAX];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(ossDirectorySetCurrent(dir_.c_str()), 0u);
  OSSDirectoryCreateParam param = {OSS_VERSION_STAMP, "r1/r2", 0700, 3};
  const std::uint32_t first = ossDirectoryCreate(&param);
  const std::uint32_t again = ossDirectoryCreate(&param);
  ASSERT_EQ(ossDirectorySetCurrent(previous), 0u);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(again, ECF_FILE_EXISTS);
  EXPECT_TRUE(std::filesystem::is_directory(path("r1/r2")));
}

TEST_F(Directories, CreateAppliesThePermissionBits) {
  OSSDirectoryCreateParam param = {OSS_VERSION_STAMP, nullptr, 0750, OSS_DIR_CREATE_SINGLE};
  const std::string single = path("single");
  param.path = single.c_str();
  ASSERT_EQ(ossDirectoryCreate(&param), 0u);
  EXPECT_EQ(modeOf(single), 0750u);
  // Levels on the way keep the owner's write and search bits, or the walk could not go on.
  const std::string deep = path("a/b");
  param = {OSS_VERSION_STAMP, deep.c_str(), 0500, OSS_DIR_CREATE_PARENTS};
  ASSERT_EQ(ossDirectoryCreate(&param), 0u);
  EXPECT_EQ(modeOf(path("a")), 0700u);
  EXPECT_EQ(modeOf(deep), 0500u);
  const std::string defaulted = path("defaulted");
  param = {OSS_VERSION_STAMP, defaulted.c_str(), 0, OSS_DIR_CREATE_SINGLE};
  ASSERT_EQ(ossDirectoryCreate(&param), 0u);
  EXPECT_EQ(modeOf(defaulted), 0700u);
}

TEST_F(Directories, CreateAndDeleteApplyTheVersionRule) {
  EXPECT_EQ(ossDirectoryCreate(nullptr), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossDirectoryDelete(nullptr), ECF_INVALID_PARAMETER);
  const std::string p = path("v");
  const OSSDirectoryCreateParam create = {20040701u, p.c_str(), 0700, OSS_DIR_CREATE_SINGLE};
  EXPECT_EQ(ossDirectoryCreate(&create), ECF_INVALID_VERSION);
  const OSSDirectoryDeleteParam remove = {20040701u, p.c_str(), 0};
  EXPECT_EQ(ossDirectoryDelete(&remove), ECF_INVALID_VERSION);
  const OSSDirectoryCreateParam empty = {OSS_VERSION_STAMP, "", 0700, OSS_DIR_CREATE_PARENTS};
  EXPECT_EQ(ossDirectoryCreate(&empty), ECF_INVALID_PARAMETER);
}

TEST_F(Directories, DeleteEmptyOrWholeTree) {
  const std::string outside = makeDir("outside");
  const std::string outsideFile = makeFile("outside/keep", "kept");
  makeDir("tree/a/b/c");
  makeFile("tree/top");
  makeFile("tree/a/mid", "x", 0400);
  makeFile("tree/a/b/c/deep");
  makeDir("tree/a/locked", 0500);  // the superuser removes it all the same
  ASSERT_EQ(::symlink(outside.c_str(), path("tree/a/link-out").c_str()), 0);
  ASSERT_EQ(::symlink(path("gone").c_str(), path("tree/dangling").c_str()), 0);
  makeDir("empty");
  ASSERT_EQ(::symlink(outside.c_str(), path("dir-link").c_str()), 0);

  struct Case {
    std::string path;
    std::uint32_t options;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {path("tree"), 0, ECF_FILE_DIR_NOT_EMPTY},
      {path("empty"), 0, 0},
      {path("missing"), 0, ECF_FILE_DOESNT_EXIST},
      {outsideFile, OSS_DIR_DELETE_RECURSIVE, ECF_FILE_NOT_A_DIRECTORY},
      {path("dir-link"), OSS_DIR_DELETE_RECURSIVE, ECF_FILE_NOT_A_DIRECTORY},  // never through a link
      {path("missing"), OSS_DIR_DELETE_RECURSIVE, ECF_FILE_NOT_A_DIRECTORY},
      {"NUL", OSS_DIR_DELETE_RECURSIVE, ECF_INVALID_PARAMETER},
      {path("tree"), OSS_DIR_DELETE_RECURSIVE, 0},
  };
  for (const Case& c : cases) {
    const OSSDirectoryDeleteParam param = {OSS_VERSION_STAMP, c.path.c_str(), c.options};
    EXPECT_EQ(ossDirectoryDelete(&param), c.expected) << c.path << " options " << c.options;
  }
  EXPECT_FALSE(exists(path("tree")));
  EXPECT_FALSE(exists(path("empty")));
  EXPECT_EQ(readFile(outsideFile), "kept");  // a link in the tree went, not what it named
  EXPECT_TRUE(exists(path("dir-link")));
}

// Removes the entry `name` of the directory open as `parent`, a whole tree included, walking by
// descriptors so that no path grows past the system's limit.
void RemoveAt(int parent, const char* name) {
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    ::unlinkat(parent, name, 0);
    return;
  }
  DIR* stream = ::fdopendir(fd);
  std::vector<std::string> children;
  while (const dirent* entry = ::readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) children.emplace_back(entry->d_name);
  }
  for (const auto& child : children) RemoveAt(::dirfd(stream), child.c_str());
  ::closedir(stream);
  ::unlinkat(parent, name, AT_REMOVEDIR);
}

TEST_F(Directories, TreeDeeperThanThePathLimitIsRefusedNotCut) {
  // 22 levels of 200-character names: the deepest paths are longer than PATH_MAX.
  const std::string top = makeDir("deep");
  const std::string level(200, 'L');
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 22; ++i) {
    ASSERT_EQ(::mkdirat(fd, level.c_str(), 0755), 0);
    const int next = ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  const int leaf = ::openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(leaf, 0);
  ::close(leaf);

  const OSSDirectoryDeleteParam param = {OSS_VERSION_STAMP, top.c_str(), OSS_DIR_DELETE_RECURSIVE};
  EXPECT_EQ(ossDirectoryDelete(&param), ECF_FILE_NAME_TOO_LONG);
  struct stat st {};
  EXPECT_EQ(::fstatat(fd, "leaf", &st, 0), 0);  // nothing was deleted under a cut name
  ::close(fd);
  EXPECT_TRUE(exists(top + "/" + level));

  const int scratch = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  RemoveAt(scratch, "deep");
  ::close(scratch);
  EXPECT_FALSE(exists(top));
}

TEST_F(Directories, TreeDeleteStopsAtTheFirstFailureKeepingWhatItDeleted) {
  // The unprivileged owner of the tree cannot empty a directory that it may not write.
  makeDir("tree/open");
  makeFile("tree/open/gone-afterwards");
  makeDir("tree/shut");
  makeFile("tree/shut/stays");
  for (const char* p : {"tree", "tree/open", "tree/open/gone-afterwards", "tree/shut", "tree/shut/stays"}) {
    ASSERT_EQ(::chown(path(p).c_str(), kNobody, kNobody), 0) << p;
  }
  ::chmod(path("tree/shut").c_str(), 0500);
  const std::string tree = path("tree");
  const std::vector<std::uint32_t> codes = RunAsNobody([&](std::vector<std::uint32_t>& out) {
    const OSSDirectoryDeleteParam param = {OSS_VERSION_STAMP, tree.c_str(), OSS_DIR_DELETE_RECURSIVE};
    out.push_back(ossDirectoryDelete(&param));
  });
  EXPECT_EQ(codes, (std::vector<std::uint32_t>{ECF_ACCESS_DENIED}));
  EXPECT_TRUE(exists(path("tree/shut/stays")));
  EXPECT_TRUE(exists(tree));
}

TEST_F(Directories, CopyReproducesTheTree) {
  makeDir("src/a/b");
  makeFile("src/top", "top contents", 0640);
  makeFile("src/a/mid", "mid contents", 0400);
  makeFile("src/a/b/deep", std::string(70000, 'd'));
  makeDir("src/empty", 0711);
  makeDir("src/readonly-dir", 0555);
  ASSERT_EQ(::symlink("../top", path("src/a/relative-link").c_str()), 0);
  ASSERT_EQ(::symlink(path("src").c_str(), path("src/a/b/loop").c_str()), 0);  // would never end if followed
  ::chmod(path("src").c_str(), 0750);

  ASSERT_EQ(ossDirectoryCopy(path("src").c_str(), path("dst").c_str()), 0u);

  std::map<std::string, std::string> source;
  std::map<std::string, std::string> copy;
  auto describe = [](const std::string& root, std::map<std::string, std::string>& out) {
    for (auto it = std::filesystem::recursive_directory_iterator(root); it != std::filesystem::end(it); ++it) {
      const std::string p = it->path().string();
      const std::string rel = p.substr(root.size());
      std::string what = std::to_string(modeOf(p));
      if (it->is_symlink()) what += " link " + std::filesystem::read_symlink(it->path()).string();
      else if (it->is_regular_file()) what += " file " + readFile(p);
      else what += " dir";
      out[rel] = what;
    }
  };
  describe(path("src"), source);
  describe(path("dst"), copy);
  EXPECT_EQ(copy, source);
  EXPECT_EQ(modeOf(path("dst")), 0750u);
  EXPECT_EQ(source.size(), 9u);
}

TEST_F(Directories, CopyRefusalsAndRollBack) {
  makeDir("src/sub");
  makeFile("src/sub/file");
  makeFile("plain");
  makeDir("taken");
  struct Case {
    std::string source;
    std::string target;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {path("src"), path("src"), ECF_INVALID_PARAMETER},
      {path("src"), path("taken"), ECF_INVALID_PARAMETER},
      {path("src"), path("plain"), ECF_INVALID_PARAMETER},
      {path("src"), path("src/sub/inside"), ECF_INVALID_PARAMETER},  // into itself
      {path("src"), dir_ + "/./src/inside", ECF_INVALID_PARAMETER},
      {path("plain"), path("t1"), ECF_FILE_NOT_A_DIRECTORY},
      {path("missing"), path("t2"), ECF_FILE_NOT_A_DIRECTORY},
      {path("src"), path("no-parent/t3"), ECF_FILE_PATH_DOESNT_EXIST},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ossDirectoryCopy(c.source.c_str(), c.target.c_str()), c.expected) << c.source << " -> " << c.target;
  }
  EXPECT_FALSE(exists(path("src/sub/inside")));
  EXPECT_FALSE(exists(path("t1")));

  // A child that cannot be copied (a pipe) stops the copy, and the half-made target goes again.
  ASSERT_EQ(::mkfifo(path("src/sub/pipe").c_str(), 0600), 0);
  EXPECT_EQ(ossDirectoryCopy(path("src").c_str(), path("half").c_str()), ECF_INVALID_PARAMETER);
  EXPECT_FALSE(exists(path("half")));
  EXPECT_EQ(ossDirectoryCopy(nullptr, path("x").c_str()), ECF_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------
// Trace points
// ---------------------------------------------------------------------------------------------

using Tracing = FsTest;

TEST_F(Tracing, EntryAndExitFrameEachCallAndAnErrorPointMarksTheFailure) {
  tarn::test::PointCollector points({ECF_FN_ossFileDelete, ECF_FN_ossDirectoryCreate});
  tarn::test::TraceBlock block;
  block.options().flags = GTRACE_FLAG_CALLBACK;
  ASSERT_EQ(block.start(&tarn::test::PointCollector::callback), 0u);
  const std::string file = makeFile("f");
  EXPECT_EQ(ossFileDelete(file.c_str()), 0u);
  EXPECT_EQ(ossDirectoryCreate(nullptr), ECF_INVALID_PARAMETER);
  gtraceDisable();
  const std::vector<tarn::test::SeenPoint> expected = {
      {GTRACE_REC_ENTRY, ECF_FN_ossFileDelete, 0, 0},
      {GTRACE_REC_EXIT, ECF_FN_ossFileDelete, 0, 0},
      {GTRACE_REC_ENTRY, ECF_FN_ossDirectoryCreate, 0, 0},
      {GTRACE_REC_ERROR, ECF_FN_ossDirectoryCreate, 1111, 0},  // the null parameter object's probe
      {GTRACE_REC_EXIT, ECF_FN_ossDirectoryCreate, 0, ECF_INVALID_PARAMETER},
  };
  EXPECT_EQ(points.points(), expected);
}

TEST_F(Tracing, TheFileReplacingOperationsFrameEachCallAndMarkTheirFailures) {
  tarn::test::PointCollector points(
      {ECF_FN_ossFileLink, ECF_FN_ossFileRenameReplace, ECF_FN_ossDirectorySync, ECF_FN_ossFileIsAtPath});
  tarn::test::TraceBlock block;
  block.options().flags = GTRACE_FLAG_CALLBACK;
  ASSERT_EQ(block.start(&tarn::test::PointCollector::callback), 0u);
  const std::string file = makeFile("f");
  EXPECT_EQ(ossFileLink(path("missing").c_str(), path("l").c_str()), ECF_FILE_DOESNT_EXIST);
  EXPECT_EQ(ossFileRenameReplace(file.c_str(), path("g").c_str()), 0u);
  EXPECT_EQ(ossDirectorySync(path("missing").c_str()), ECF_FILE_DOESNT_EXIST);
  bool at = false;
  EXPECT_EQ(ossFileIsAtPath(-1, path("g").c_str(), &at), ECF_INVALID_PARAMETER);
  gtraceDisable();
  const std::vector<tarn::test::SeenPoint> expected = {
      {GTRACE_REC_ENTRY, ECF_FN_ossFileLink, 0, 0},
      {GTRACE_REC_DATA, ECF_FN_ossFileLink, 20, 0},  // the system error handler's record of the failure
      {GTRACE_REC_ERROR, ECF_FN_ossFileLink, 20, 0},
      {GTRACE_REC_EXIT, ECF_FN_ossFileLink, 0, ECF_FILE_DOESNT_EXIST},
      {GTRACE_REC_ENTRY, ECF_FN_ossFileRenameReplace, 0, 0},
      {GTRACE_REC_EXIT, ECF_FN_ossFileRenameReplace, 0, 0},
      {GTRACE_REC_ENTRY, ECF_FN_ossDirectorySync, 0, 0},
      {GTRACE_REC_DATA, ECF_FN_ossDirectorySync, 20, 0},  // the system error handler's record of the failure
      {GTRACE_REC_ERROR, ECF_FN_ossDirectorySync, 20, 0},
      {GTRACE_REC_EXIT, ECF_FN_ossDirectorySync, 0, ECF_FILE_DOESNT_EXIST},
      {GTRACE_REC_ENTRY, ECF_FN_ossFileIsAtPath, 0, 0},
      {GTRACE_REC_DATA, ECF_FN_ossFileIsAtPath, 20, 0},  // the system error handler's record of the failure
      {GTRACE_REC_ERROR, ECF_FN_ossFileIsAtPath, 20, 0},
      {GTRACE_REC_EXIT, ECF_FN_ossFileIsAtPath, 0, ECF_INVALID_PARAMETER},
  };
  EXPECT_EQ(points.points(), expected);
}

// ---------------------------------------------------------------------------------------------
// Current directory, drive map
// ---------------------------------------------------------------------------------------------

using CurrentDirectory = FsTest;

TEST_F(CurrentDirectory, GetAndSet) {
  char previous[PATH_MAX];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  const std::string target = makeDir("here");
  char resolved[PATH_MAX];
  ASSERT_NE(::realpath(target.c_str(), resolved), nullptr);
  const std::uint32_t length = static_cast<std::uint32_t>(std::strlen(resolved));

  ASSERT_EQ(ossDirectorySetCurrent(target.c_str()), 0u);
  std::vector<char> buffer(PATH_MAX, 'z');
  std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
  const std::uint32_t whole = ossDirectoryGetCurrent(buffer.data(), &size);
  std::uint32_t exactSize = length + 1;
  const std::uint32_t exact = ossDirectoryGetCurrent(buffer.data(), &exactSize);
  std::uint32_t shortSize = length;
  buffer.assign(PATH_MAX, 'z');
  const std::uint32_t tooShort = ossDirectoryGetCurrent(buffer.data(), &shortSize);
  const char untouched = buffer[0];
  const std::uint32_t missing = ossDirectorySetCurrent(path("missing").c_str());
  const std::uint32_t notDirectory = ossDirectorySetCurrent(makeFile("file").c_str());
  ASSERT_EQ(ossDirectorySetCurrent(previous), 0u);

  EXPECT_EQ(whole, 0u);
  EXPECT_EQ(size, length);
  EXPECT_EQ(exact, 0u);
  EXPECT_EQ(exactSize, length);
  EXPECT_EQ(tooShort, ECF_BUFFER_TOO_SMALL);
  EXPECT_EQ(shortSize, length + 1);  // the size needed, with the NUL
  EXPECT_EQ(untouched, 'z');
  EXPECT_EQ(missing, ECF_FILE_DOESNT_EXIST);
  EXPECT_EQ(notDirectory, ECF_FILE_NOT_A_DIRECTORY);
  EXPECT_EQ(ossDirectoryGetCurrent(nullptr, &size), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossDirectoryGetCurrent(buffer.data(), nullptr), ECF_INVALID_PARAMETER);
}

TEST_F(CurrentDirectory, DriveMapIsEmptyOnLinux) {
  std::uint32_t map = 0xFFFFFFFFu;
  clearLog();
  EXPECT_EQ(ossGetLogicalDriveMap(&map), ECF_FILE_CANNOT_RETRIEVE_DRIVE_MAP);
  EXPECT_EQ(map, 0u);
  EXPECT_EQ(logCountFor(ECF_FN_ossGetLogicalDriveMap), 1u);
  EXPECT_EQ(ossGetLogicalDriveMap(nullptr), ECF_INVALID_PARAMETER);
}

}  // namespace
