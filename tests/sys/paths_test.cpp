// Paths and directory listing: splitting, path tests, comparison, and listings with patterns,
// filters and allocation failures.
#include "osse/sys/paths.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fs_fixture.h"
#include "osse/diag/ecf.h"

// The listing's memory comes from _ossMemAlloc through the dynamic linker, so this program's
// definition stands in front of the library's: it forwards every call and, when asked, fails
// one allocation made by the listing, counting the listing's blocks still live.
namespace {
std::atomic<int> g_failListingAllocation{0};  // fail the n-th listing allocation from now (1 = next)
std::atomic<int> g_listingBlocksLive{0};

bool fromListing(const char* file) { return file != nullptr && std::strstr(file, "osse/sys/paths.cpp") != nullptr; }
}  // namespace

extern "C" std::uint32_t _ossMemAlloc(void** ppOut, void* reserved, std::uint32_t size, std::uint32_t allocFlags,
                                      const char* file, std::uint32_t line) {
  using Fn = std::uint32_t (*)(void**, void*, std::uint32_t, std::uint32_t, const char*, std::uint32_t);
  static const Fn real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "_ossMemAlloc"));
  if (fromListing(file)) {
    const int countdown = g_failListingAllocation.load();
    if (countdown > 0 && g_failListingAllocation.fetch_sub(1) == 1) return ECF_NO_MEMORY;
  }
  const std::uint32_t rc = real(ppOut, reserved, size, allocFlags, file, line);
  if (rc == 0 && fromListing(file)) ++g_listingBlocksLive;
  return rc;
}

extern "C" std::uint32_t _ossMemFree(void** pp, void* reserved1, std::uint32_t reserved2, const char* file,
                                     std::uint32_t line) {
  using Fn = std::uint32_t (*)(void**, void*, std::uint32_t, const char*, std::uint32_t);
  static const Fn real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "_ossMemFree"));
  const std::uint32_t rc = real(pp, reserved1, reserved2, file, line);
  if (rc == 0 && fromListing(file)) --g_listingBlocksLive;
  return rc;
}

namespace {

using tarn::test::FsTest;

// ---------------------------------------------------------------------------------------------
// Base and directory names
// ---------------------------------------------------------------------------------------------

struct SplitCase {
  const char* path;
  const char* base;
  const char* directory;
};

const SplitCase kSplitCases[] = {
    {"/dir/file.txt", "file.txt", "/dir"},
    {"/dir/sub/", "sub", "/dir"},             // a trailing separator starts no component
    {"file", "file", "."},                    // no separator: the current directory
    {"/", "/", "/"},                          // a lone separator
    {"/file", "file", "/"},                   // right under the root
    {"a/b/c", "c", "a/b"},
    {"a\\b\\c", "a\\b\\c", "."},              // a backslash is an ordinary character
    {"dir/", "dir", "."},
    {"a//b", "b", "a"},                       // a run of separators is one
    {"a/b//", "b", "a"},
    {"//", "/", "/"},
    {"//srv", "srv", "/"},
    {"./x", "x", "."},
    {"../x", "x", ".."},
    {".", ".", "."},
    {"/a b/c d", "c d", "/a b"},
};

TEST(PathSplit, BaseAndDirectoryNamesOverTable) {
  for (const SplitCase& c : kSplitCases) {
    char base[64] = "untouched";
    char directory[64] = "untouched";
    EXPECT_EQ(ossBaseName(c.path, base, sizeof base), 0u) << c.path;
    EXPECT_STREQ(base, c.base) << c.path;
    EXPECT_EQ(ossDirectoryName(c.path, directory, sizeof directory), 0u) << c.path;
    EXPECT_STREQ(directory, c.directory) << c.path;
  }
}

TEST(PathSplit, OutputSizeCountsTheTrailingSeparatorAndTheNul) {
  struct SizeCase {
    const char* path;
    std::uint32_t size;
    std::uint32_t baseResult;
    std::uint32_t directoryResult;
  };
  const SizeCase cases[] = {
      {"/a/b/", 2, ECF_BUFFER_TOO_SMALL, ECF_BUFFER_TOO_SMALL},  // "b", its separator and the NUL: 3
      {"/a/b/", 3, 0, 0},
      {"/a/b", 2, 0, ECF_BUFFER_TOO_SMALL},
      {"/abc/def", 4, 0, ECF_BUFFER_TOO_SMALL},  // "/abc" needs 5
      {"/abc/def", 5, 0, 0},
      {"file", 1, ECF_BUFFER_TOO_SMALL, ECF_BUFFER_TOO_SMALL},  // "." needs 2
      {"/", 1, ECF_BUFFER_TOO_SMALL, ECF_BUFFER_TOO_SMALL},
  };
  for (const SizeCase& c : cases) {
    char base[16];
    char directory[16];
    std::memset(base, 'z', sizeof base);
    std::memset(directory, 'z', sizeof directory);
    EXPECT_EQ(ossBaseName(c.path, base, c.size), c.baseResult) << c.path << " size " << c.size;
    const std::uint32_t dirRc = ossDirectoryName(c.path, directory, c.size);
    EXPECT_EQ(dirRc, c.directoryResult) << c.path << " size " << c.size;
    // A refused output is left empty, never holding a cut name; nothing is written past size.
    if (c.baseResult != 0) {
      EXPECT_EQ(base[0], '\0') << c.path;
    }
    if (dirRc != 0) {
      EXPECT_EQ(directory[0], '\0') << c.path;
    }
    EXPECT_EQ(base[c.size], 'z');
    EXPECT_EQ(directory[c.size], 'z');
  }
  char out[8];
  EXPECT_EQ(ossBaseName("/a/b/", out, 3), 0u);
  EXPECT_STREQ(out, "b");
}

TEST(PathSplit, NullOrEmptyArgumentsAreRefused) {
  char out[16];
  EXPECT_EQ(ossBaseName(nullptr, out, sizeof out), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossBaseName("", out, sizeof out), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossBaseName("a", nullptr, 4), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossDirectoryName(nullptr, out, sizeof out), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossDirectoryName("", out, sizeof out), ECF_INVALID_PARAMETER);
  EXPECT_EQ(ossDirectoryName("a", nullptr, 4), ECF_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------
// What a path is, path tests, comparison
// ---------------------------------------------------------------------------------------------

using PathKinds = FsTest;

TEST_F(PathKinds, FileAndDirectoryAnswerForWhatThePathNames) {
  const std::string file = makeFile("f");
  const std::string directory = makeDir("d");
  ASSERT_EQ(::symlink(directory.c_str(), path("link-to-dir").c_str()), 0);
  ASSERT_EQ(::symlink(file.c_str(), path("link-to-file").c_str()), 0);
  ASSERT_EQ(::symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
  struct Case {
    std::string path;
    bool isFile;
    bool isDirectory;
    bool exists;
  };
  const Case cases[] = {
      {file, true, false, true},
      {directory, false, true, true},
      {path("link-to-dir"), false, true, true},
      {path("link-to-file"), true, false, true},
      {path("missing"), false, false, false},
      {path("missing/deeper"), false, false, false},
      {file + "/under-a-file", false, false, false},
      {path("dangling"), false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ossIsFile(c.path.c_str()), c.isFile) << c.path;
    EXPECT_EQ(ossIsDirectory(c.path.c_str()), c.isDirectory) << c.path;
    EXPECT_EQ(ossPathExists(c.path.c_str()), c.exists) << c.path;
  }
  EXPECT_FALSE(ossIsFile(nullptr));
  EXPECT_FALSE(ossIsDirectory(nullptr));
  EXPECT_FALSE(ossPathExists(nullptr));
}

TEST_F(PathKinds, PathTestAnswersWithoutLogRecordsForMissingAndRefusedPaths) {
  const std::string writable = makeFile("writable", "x", 0644);
  const std::string readOnly = makeFile("read-only", "x", 0444);
  struct Case {
    std::string path;
    std::uint32_t tests;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {writable, OSS_PATH_TEST_EXISTS, 0},
      {writable, OSS_PATH_TEST_READ | OSS_PATH_TEST_WRITE, 0},
      {readOnly, OSS_PATH_TEST_READ, 0},
      {readOnly, OSS_PATH_TEST_WRITE, ECF_ACCESS_DENIED},  // even for the superuser
      {readOnly, OSS_PATH_TEST_EXISTS, 0},
      {path("missing"), OSS_PATH_TEST_EXISTS, ECF_FILE_DOESNT_EXIST},
      {path("missing/deeper"), OSS_PATH_TEST_READ, ECF_FILE_DOESNT_EXIST},
      {writable + "/under-a-file", OSS_PATH_TEST_EXISTS, ECF_FILE_DOESNT_EXIST},
      {path(std::string(300, 'n')), OSS_PATH_TEST_EXISTS, ECF_FILE_DOESNT_EXIST},  // name too long
  };
  for (const Case& c : cases) {
    clearLog();
    const OSSPathTestParam param = {OSS_VERSION_STAMP, c.path.c_str(), c.tests, 0};
    EXPECT_EQ(ossPathTest(&param), c.expected) << c.path << " tests " << c.tests;
    EXPECT_EQ(logCount(), 0u) << c.path;
  }
}

TEST_F(PathKinds, PathTestAppliesTheVersionRule) {
  const std::string file = makeFile("f");
  EXPECT_EQ(ossPathTest(nullptr), ECF_INVALID_PARAMETER);
  OSSPathTestParam param = {20040701u, file.c_str(), OSS_PATH_TEST_EXISTS, 0};
  EXPECT_EQ(ossPathTest(&param), ECF_INVALID_VERSION);
  EXPECT_EQ(logCountFor(ECF_FN_ossPathTest), 2u);  // both refusals are logged
  param.version = 20040702u;
  EXPECT_EQ(ossPathTest(&param), 0u);
  param.path = nullptr;
  EXPECT_EQ(ossPathTest(&param), ECF_INVALID_PARAMETER);
}

TEST_F(PathKinds, ComparePathsLooksForTheSameFile) {
  const std::string file = makeFile("f");
  makeFile("F");  // another file whose name differs only in case
  makeFile("g");
  makeDir("d");
  ASSERT_EQ(::symlink(file.c_str(), path("link").c_str()), 0);
  struct Case {
    std::string a;
    std::string b;
    std::uint32_t same;
  };
  const Case cases[] = {
      {file, file, 1},
      {file, dir_ + "//f", 1},
      {file, dir_ + "/./d/../f", 1},
      {file, path("link"), 1},
      {file, path("F"), 0},
      {file, path("g"), 0},
      {file, path("missing"), 0},
      {path("missing"), path("missing"), 1},
      {path("missing"), path("Missing"), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ossComparePaths(c.a.c_str(), c.b.c_str()), c.same) << c.a << " vs " << c.b;
  EXPECT_EQ(ossComparePaths(nullptr, file.c_str()), 0u);
  EXPECT_EQ(ossComparePaths(file.c_str(), nullptr), 0u);
}

// ---------------------------------------------------------------------------------------------
// Listings
// ---------------------------------------------------------------------------------------------

class Listing : public FsTest {
 protected:
  void SetUp() override {
    FsTest::SetUp();
    g_failListingAllocation = 0;
    g_listingBlocksLive = 0;
    tree_ = makeDir("tree");
    makeFile("tree/a.reg");
    makeFile("tree/b.reg");
    makeFile("tree/c.txt");
    makeFile("tree/.x.reg");
    makeFile("tree/areg");
    makeDir("tree/sub");
    makeDir("tree/sub.reg");
    ::symlink((tree_ + "/gone").c_str(), (tree_ + "/dangling").c_str());
  }
  void TearDown() override {
    g_failListingAllocation = 0;
    FsTest::TearDown();
  }

  // The names in list order, checked against the packed list and its size on the way.
  static std::vector<std::string> namesOf(OSSDirectoryListing& listing) {
    std::vector<std::string> names;
    listing.rewind();
    while (const char* name = listing.getNext()) names.emplace_back(name);
    EXPECT_EQ(listing.getNumberOfFiles(), names.size());
    std::uint32_t expectedSize = 1;
    for (const auto& n : names) expectedSize += static_cast<std::uint32_t>(n.size() + 1);
    EXPECT_EQ(listing.getFileListSize(), expectedSize);
    const char* packed = listing.getFileList();
    EXPECT_NE(packed, nullptr);
    if (packed != nullptr) {
      std::vector<std::string> fromPacked;
      for (const char* p = packed; *p != '\0'; p += std::strlen(p) + 1) fromPacked.emplace_back(p);
      EXPECT_EQ(fromPacked, names);
      EXPECT_EQ(packed[expectedSize - 1], '\0');
    }
    return names;
  }
  static std::set<std::string> sorted(const std::vector<std::string>& names) { return {names.begin(), names.end()}; }

  std::string tree_;
};

TEST_F(Listing, PatternsAndFiltersSelectTheNames) {
  struct Case {
    std::string suffix;  // appended to the tree's path
    std::uint32_t filter;
    std::set<std::string> expected;
  };
  const std::set<std::string> everything = {".",    "..",   "a.reg", "b.reg",   "c.txt",
                                            ".x.reg", "areg", "sub", "sub.reg", "dangling"};
  const Case cases[] = {
      {"", 0, everything},
      {"/", 0, everything},  // a trailing separator lists the same names
      {"", OSS_LIST_FILES, {"a.reg", "b.reg", "c.txt", ".x.reg", "areg", "dangling"}},
      {"", OSS_LIST_DIRECTORIES, {".", "..", "sub", "sub.reg"}},
      {"", OSS_LIST_FILES | OSS_LIST_DIRECTORIES, everything},
      {"", 0x1, {}},  // neither bit: nothing passes
      {"/*.reg", 0, {"a.reg", "b.reg", ".x.reg", "sub.reg"}},
      {"/*.reg", OSS_LIST_FILES, {"a.reg", "b.reg", ".x.reg"}},
      {"/?.reg", 0, {"a.reg", "b.reg"}},
      {"/*", OSS_LIST_DIRECTORIES, {".", "..", "sub", "sub.reg"}},
      {"/s*", 0, {"sub", "sub.reg"}},
      {"/*reg", OSS_LIST_FILES, {"a.reg", "b.reg", ".x.reg", "areg"}},
      {"/a*g", 0, {"a.reg", "areg"}},
      {"/c.tx?", 0, {"c.txt"}},
  };
  for (const Case& c : cases) {
    const std::string p = tree_ + c.suffix;
    OSSDirectoryListing listing;
    const OSSDirectoryListingParam param = {OSS_VERSION_STAMP, p.c_str(), c.filter, 0};
    ASSERT_EQ(listing.begin(&param), 0u) << p;
    EXPECT_EQ(sorted(namesOf(listing)), c.expected) << p << " filter " << c.filter;
    EXPECT_EQ(listing.end(), 0u);
  }
  EXPECT_EQ(g_listingBlocksLive, 0);
}

TEST_F(Listing, EmptyDirectoryHoldsOnlyItsDotEntries) {
  const std::string empty = makeDir("empty");
  OSSDirectoryListing listing;
  OSSDirectoryListingParam param = {OSS_VERSION_STAMP, empty.c_str(), 0, 0};
  ASSERT_EQ(listing.begin(&param), 0u);
  EXPECT_EQ(sorted(namesOf(listing)), (std::set<std::string>{".", ".."}));
  ASSERT_EQ(listing.end(), 0u);

  param.filter = OSS_LIST_FILES;
  ASSERT_EQ(listing.begin(&param), 0u);
  EXPECT_EQ(listing.getNumberOfFiles(), 0u);
  EXPECT_EQ(listing.getFileListSize(), 1u);
  ASSERT_NE(listing.getFileList(), nullptr);
  EXPECT_EQ(listing.getFileList()[0], '\0');
  EXPECT_EQ(listing.getNext(), nullptr);
  EXPECT_EQ(listing.end(), 0u);
}

TEST_F(Listing, FailuresOfTheSearchAreMapped) {
  const std::string file = makeFile("plain");
  struct Case {
    std::string path;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {path("missing"), ECF_FILE_DOESNT_EXIST},
      {path("missing/deeper"), ECF_FILE_PATH_DOESNT_EXIST},
      {file, ECF_FILE_NOT_A_DIRECTORY},
      {tree_ + "/*.none", ECF_FILE_DOESNT_EXIST},  // a pattern that matches nothing
      {"", ECF_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    OSSDirectoryListing listing;
    const OSSDirectoryListingParam param = {OSS_VERSION_STAMP, c.path.c_str(), 0, 0};
    EXPECT_EQ(listing.begin(&param), c.expected) << c.path;
    EXPECT_EQ(listing.getNumberOfFiles(), 0u);
    EXPECT_EQ(listing.getFileList(), nullptr);
    EXPECT_EQ(listing.end(), ECF_INVALID_INVOCATION_SEQUENCE);
  }
  OSSDirectoryListing listing;
  EXPECT_EQ(listing.begin(nullptr), ECF_INVALID_PARAMETER);
  const OSSDirectoryListingParam old = {20040701u, tree_.c_str(), 0, 0};
  EXPECT_EQ(listing.begin(&old), ECF_INVALID_VERSION);
}

TEST_F(Listing, SequenceRulesAndRewind) {
  OSSDirectoryListing listing;
  EXPECT_EQ(listing.end(), ECF_INVALID_INVOCATION_SEQUENCE);
  EXPECT_EQ(listing.getNext(), nullptr);
  const OSSDirectoryListingParam param = {OSS_VERSION_STAMP, tree_.c_str(), OSS_LIST_FILES, 0};
  ASSERT_EQ(listing.begin(&param), 0u);
  EXPECT_EQ(listing.begin(&param), ECF_INVALID_INVOCATION_SEQUENCE);
  const std::vector<std::string> first = namesOf(listing);
  ASSERT_EQ(first.size(), 6u);
  // Part way through, a rewind starts again at the head.
  listing.rewind();
  ASSERT_NE(listing.getNext(), nullptr);
  ASSERT_NE(listing.getNext(), nullptr);
  listing.rewind();
  EXPECT_EQ(std::string(listing.getNext()), first[0]);
  EXPECT_EQ(listing.end(), 0u);
  EXPECT_EQ(listing.end(), ECF_INVALID_INVOCATION_SEQUENCE);
  // Ended, the object begins again from nothing.
  ASSERT_EQ(listing.begin(&param), 0u);
  EXPECT_EQ(namesOf(listing).size(), 6u);
}

TEST_F(Listing, AllocationFailureEndsWithTheAllocatorsCodeAndNoPartialEntry) {
  // 13 blocks for the 6 files: an entry and its name each, then the packed list. Failing each in
  // turn covers an entry, a name (its entry must go too) and the packed list.
  const OSSDirectoryListingParam param = {OSS_VERSION_STAMP, tree_.c_str(), OSS_LIST_FILES, 0};
  for (int failing = 1; failing <= 13; ++failing) {
    OSSDirectoryListing listing;
    g_failListingAllocation = failing;
    EXPECT_EQ(listing.begin(&param), ECF_NO_MEMORY) << "allocation " << failing;
    EXPECT_EQ(g_failListingAllocation, 0) << "allocation " << failing << " was never asked for";
    EXPECT_EQ(g_listingBlocksLive, 0) << "allocation " << failing;
    EXPECT_EQ(listing.getNumberOfFiles(), 0u);
    EXPECT_EQ(listing.getFileListSize(), 0u);
    EXPECT_EQ(listing.getFileList(), nullptr);
    EXPECT_EQ(listing.getNext(), nullptr);
    EXPECT_EQ(listing.end(), ECF_INVALID_INVOCATION_SEQUENCE);
    // The failed begin left nothing behind: the next one starts clean.
    g_failListingAllocation = 0;
    ASSERT_EQ(listing.begin(&param), 0u);
    EXPECT_EQ(sorted(namesOf(listing)), (std::set<std::string>{"a.reg", "b.reg", "c.txt", ".x.reg", "areg", "dangling"}));
    EXPECT_EQ(listing.end(), 0u);
  }
  EXPECT_EQ(g_listingBlocksLive, 0);
}

TEST_F(Listing, DestructorFreesABegunListing) {
  {
    OSSDirectoryListing listing;
    const OSSDirectoryListingParam param = {OSS_VERSION_STAMP, tree_.c_str(), 0, 0};
    ASSERT_EQ(listing.begin(&param), 0u);
    EXPECT_GT(g_listingBlocksLive, 0);
  }
  EXPECT_EQ(g_listingBlocksLive, 0);
}

TEST_F(Listing, DumpPrintsEveryEntryBetweenItsBanners) {
  const std::string small = makeDir("small");
  makeFile("small/only");
  OSSDirectoryListing listing;
  const OSSDirectoryListingParam param = {OSS_VERSION_STAMP, small.c_str(), OSS_LIST_FILES, 0};
  ASSERT_EQ(listing.begin(&param), 0u);
  ::testing::internal::CaptureStdout();
  listing.dumpFileList();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "========================================= \r\nm_iFileListSize = 6\r\nThere is/are 1 file(s) \r\n"
            "========> File List Dump Start <========= \r\nFile 1 : |only|\r\n"
            "========>  File List Dump End  <========= \r\n");
}

}  // namespace
