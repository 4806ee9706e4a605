// The registry file engine: features, companion names, the lock file, the commit and its
// leftovers, scans and positions, the checksum header.
#include <sys/stat.h>

#include <thread>

#include "genreg_test_util.h"

using namespace genregtest;

namespace {

TEST(GenRegFeatures, SetAndUnsetFollowTheirRules) {
  struct Case {
    const char* what;
    u32 initial;
    bool set;  // setFeature, else unsetFeature
    u32 feature;
    u32 rc;
    u32 after;
  } cases[] = {
      {"set 0 is refused", 0, true, 0, ECF_GENREG_INVALID_FEATURE, 0},
      {"set 257 is refused", 0, true, 257, ECF_GENREG_INVALID_FEATURE, 0},
      {"set 256 is the checksum", 0, true, 256, 0, 256},
      {"a value of several bits sets them all", 0, true, 3, 0, 3},
      {"unset of a feature not set changes nothing", 1, false, 2, ECF_GENREG_FEATURE_NOT_SET, 1},
      {"unset 0 is refused", 1, false, 0, ECF_GENREG_INVALID_FEATURE, 1},
      {"unset of partly set bits clears those", 5, false, 6, 0, 1},
  };
  for (const Case& c : cases) {
    GenRegBase b;
    b.features = c.initial;
    u32 rc = c.set ? b.setFeature(c.feature) : b.unsetFeature(c.feature);
    EXPECT_EQ(rc, c.rc) << c.what;
    EXPECT_EQ(b.features, c.after) << c.what;
  }
  GenRegBase b;
  b.features = 4;
  EXPECT_TRUE(b.isFeatureSet(6));
  EXPECT_FALSE(b.isFeatureSet(8));
}

TEST(GenRegNames, CompanionNamesFollowTheRegistryPath) {
  struct Case {
    const char* path;
    const char* tmp;
    const char* cor;
    const char* lock;
    const char* bkp;
  } cases[] = {
      {"/data/global.reg", "/data/global.reg.tmp", "/data/global.reg.cor", "/data/.global.reg.lock",
       "/data/.global.reg.bkp"},
      {"global.reg", "global.reg.tmp", "global.reg.cor", ".global.reg.lock", ".global.reg.bkp"},
      {"./global.reg", "./global.reg.tmp", "./global.reg.cor", ".global.reg.lock", ".global.reg.bkp"},
      {"a/b/x", "a/b/x.tmp", "a/b/x.cor", "a/b/.x.lock", "a/b/.x.bkp"},
      {"/x", "/x.tmp", "/x.cor", "/.x.lock", "/.x.bkp"},
  };
  for (const Case& c : cases) {
    GenRegFile f;
    ASSERT_EQ(f.SetPaths(c.path), 0u) << c.path;
    EXPECT_STREQ(f.path, c.path);
    EXPECT_STREQ(f.tmpPath, c.tmp);
    EXPECT_STREQ(f.corruptTmpPath, c.cor);
    EXPECT_STREQ(f.lockPath, c.lock);
    EXPECT_STREQ(f.backupPath, c.bkp);
    EXPECT_TRUE(f.state & GENREG_STATE_PATHS_SET);
  }
}

TEST(GenRegNames, PathWhoseCompanionsWouldNotFitIsRefused) {
  // 255 characters fit the path itself, but not path + ".tmp".
  std::string longest(255, 'a');
  GenRegFile f;
  EXPECT_EQ(f.SetPaths(longest.c_str()), ECF_GENREG_ARGUMENT_TOO_LARGE);
  EXPECT_FALSE(f.state & GENREG_STATE_PATHS_SET);
  EXPECT_EQ(f.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT), ECF_GENREG_ERROR_PATH_NOT_SET);
  std::string fits(254, 'a');  // ".aaa...lock" = 1 + 254 + 5 = 260 characters: one too many
  EXPECT_EQ(f.SetPaths(fits.c_str()), ECF_GENREG_ARGUMENT_TOO_LARGE);
  std::string ok(253, 'a');
  EXPECT_EQ(f.SetPaths(ok.c_str()), 0u);
}

class GenRegLockTest : public TempDirTest {};

TEST_F(GenRegLockTest, LockRulesAndCodes) {
  TestReg reg(file("r.reg"));
  EXPECT_EQ(reg.Lock(GENREG_LOCK_WAIT), ECF_GENREG_BAD_ARGUMENT);
  EXPECT_EQ(reg.Lock(GENREG_LOCK_EXCLUSIVE), ECF_GENREG_BAD_ARGUMENT);
  ASSERT_EQ(reg.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT), 0u);
  EXPECT_TRUE(exists(reg.lockPath));
  EXPECT_EQ(reg.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT), ECF_GENREG_ALREADY_LOCKED);

  // A second object (same process) is excluded: the lock belongs to the open file.
  TestReg other(file("r.reg"));
  EXPECT_EQ(other.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_NOWAIT), ECF_GENREG_IS_LOCKED_BY_SOMEONE_ELSE);
  EXPECT_FALSE(other.state & GENREG_STATE_LOCKED);

  ASSERT_EQ(reg.UnLock(), 0u);
  EXPECT_FALSE(exists(reg.lockPath)) << "the lock file lives only while held";
  EXPECT_EQ(other.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_NOWAIT), 0u);
  EXPECT_EQ(other.UnLock(), 0u);

  TestReg unnamed("");
  EXPECT_EQ(unnamed.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT), ECF_GENREG_ERROR_PATH_NOT_SET);
}

TEST_F(GenRegLockTest, UnLockLeavesAnotherHoldersLockFile) {
  // Another holder's lock file is replaced under our feet: our Lock must end up holding the file
  // at the lock path, never a nameless one.
  TestReg a(file("r.reg")), b(file("r.reg"));
  ASSERT_EQ(a.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT), 0u);
  ::unlink(a.lockPath);
  ASSERT_EQ(b.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_NOWAIT), 0u) << "a fresh lock file at the path";
  EXPECT_EQ(a.UnLock(), 0u) << "a's file has no name any more: nothing to delete";
  EXPECT_TRUE(exists(b.lockPath)) << "a must not remove the lock file b holds";
  TestReg c(file("r.reg"));
  EXPECT_EQ(c.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_NOWAIT), ECF_GENREG_IS_LOCKED_BY_SOMEONE_ELSE);
  EXPECT_EQ(b.UnLock(), 0u);
}

// Descriptors of this process open on `path` (as /proc/self/fd shows them).
int openCount(const std::string& path) {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec).string() == path) ++n;
  }
  return n;
}

TEST_F(GenRegLockTest, WaiterOnAnUnlinkedLockFileLocksTheNewOne) {
  // B waits on the lock file A holds. A's UnLock removes the file before releasing it, so B gets
  // the lock of a file without a name; it must notice and lock the file at the lock path, or C,
  // creating a fresh lock file, would hold the lock at the same time.
  TestReg a(file("r.reg")), b(file("r.reg")), c(file("r.reg"));
  ASSERT_EQ(a.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT), 0u);
  const std::string lockPath = a.lockPath;
  u32 bResult = 1;
  std::thread waiter([&] { bResult = b.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_WAIT); });
  while (openCount(lockPath) < 2) std::this_thread::yield();  // B holds the old file open
  ASSERT_EQ(a.UnLock(), 0u);
  waiter.join();
  ASSERT_EQ(bResult, 0u);
  EXPECT_TRUE(exists(lockPath)) << "B holds the file at the lock path";
  EXPECT_EQ(c.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_NOWAIT), ECF_GENREG_IS_LOCKED_BY_SOMEONE_ELSE);
  EXPECT_EQ(b.UnLock(), 0u);
  EXPECT_EQ(c.Lock(GENREG_LOCK_EXCLUSIVE | GENREG_LOCK_NOWAIT), 0u);
  EXPECT_EQ(c.UnLock(), 0u);
}

TEST_F(GenRegLockTest, AddCreatesTheDirectoriesGetAndUpdatesDoNot) {
  std::string path = file("x/y/z/r.reg");
  TestReg reg(path);
  TRec r = rec("k", "v"), out;
  EXPECT_EQ(reg.Get(1, &r, &out), ECF_GENREG_REGISTRY_DOESNT_EXIST);
  EXPECT_EQ(reg.Change(1, &r, &r), ECF_GENREG_FAILED_TO_LOCK_REGISTRY) << "no directory for the lock file";
  EXPECT_EQ(reg.Delete(1, &r), ECF_GENREG_FAILED_TO_LOCK_REGISTRY);
  EXPECT_FALSE(exists(file("x")));
  TestReg here(file("r.reg"));
  EXPECT_EQ(here.Change(1, &r, &r), ECF_GENREG_FAILED_TO_OPEN_REGISTRY);
  EXPECT_EQ(here.Delete(1, &r), ECF_GENREG_FAILED_TO_OPEN_REGISTRY);
  EXPECT_FALSE(exists(file("r.reg")));
  EXPECT_FALSE(exists(here.lockPath));
  EXPECT_EQ(reg.Add(1, &r), 0u);
  EXPECT_EQ(readFile(path), fileOf({r}));
}

TEST_F(GenRegLockTest, StaleTemporaryFileBecomesTheCorFile) {
  std::string path = file("r.reg");
  TestReg reg(path);
  TRec a = rec("a", "1");
  ASSERT_EQ(reg.Add(1, &a), 0u);
  writeFile(path + ".tmp", {1, 2, 3});
  writeFile(path + ".cor", {9});
  TRec b = rec("b", "2");
  ASSERT_EQ(reg.Add(1, &b), 0u);
  EXPECT_EQ(readFile(path + ".cor"), (std::vector<unsigned char>{1, 2, 3})) << "the older .cor is replaced";
  EXPECT_FALSE(exists(path + ".tmp"));
  EXPECT_FALSE(exists(reg.backupPath));
  EXPECT_EQ(readFile(path), fileOf({a, b}));
}

TEST_F(GenRegLockTest, RegistryLeftOnlyUnderItsBackupNameIsRestored) {
  std::string path = file("r.reg");
  TestReg reg(path);
  TRec a = rec("a", "1"), b = rec("b", "2"), out;
  ASSERT_EQ(reg.Add(1, &a), 0u);
  ASSERT_EQ(::rename(path.c_str(), reg.backupPath), 0);
  EXPECT_EQ(reg.Get(1, &a, &out), 0u) << "a reader puts it back under the lock";
  ASSERT_EQ(::rename(path.c_str(), reg.backupPath), 0);
  EXPECT_EQ(reg.Add(1, &b), 0u) << "an update puts it back before it does anything else";
  EXPECT_EQ(readFile(path), fileOf({a, b}));
  EXPECT_FALSE(exists(reg.backupPath));
}

TEST_F(GenRegLockTest, TemporaryFileTakesTheRegistryPermissions) {
  std::string path = file("r.reg");
  TestReg reg(path);
  TRec a = rec("a", "1"), b = rec("b", "2");
  ASSERT_EQ(reg.Add(1, &a), 0u);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(reg.Add(1, &b), 0u);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

class GenRegScanTest : public TempDirTest {};

TEST_F(GenRegScanTest, ScanOfAMissingFileCreatesItEmpty) {
  TestReg reg(file("r.reg"));
  TRec p = rec("", ""), out = rec("junk", "junk");
  ASSERT_EQ(reg.OpenScan(), 0u);
  EXPECT_TRUE(exists(file("r.reg")));
  EXPECT_EQ(reg.GetNext(0, &p, &out), ECF_GENREG_EOF);
  EXPECT_EQ(out.key[0], 0) << "zero-filled";
  EXPECT_EQ(reg.CloseScan(), 0u);
  EXPECT_EQ(reg.CloseScan(), 0u) << "closing a closed scan";
}

TEST_F(GenRegScanTest, ScanOrderEofRewindAndPositions) {
  writeFile(file("r.reg"), fileOf({rec("a", "1"), rec("b", "2"), rec("c", "3")}));
  TestReg reg(file("r.reg"));
  TRec p = rec("", ""), out;
  i64 pos = 0;
  EXPECT_EQ(reg.Rewind(), ECF_GENREG_REGISTRY_NOT_OPEN_IN_SCAN_MODE);
  EXPECT_EQ(reg.getRegFilePosition(&pos), ECF_GENREG_REGISTRY_NOT_OPEN_IN_SCAN_MODE);
  EXPECT_EQ(reg.setRegFilePosition(&pos), ECF_GENREG_REGISTRY_NOT_OPEN_IN_SCAN_MODE);
  EXPECT_EQ(reg.GetNext(0, &p, &out), ECF_GENREG_REGISTRY_NOT_OPEN_IN_SCAN_MODE);
  ASSERT_EQ(reg.OpenScan(), 0u);
  EXPECT_EQ(reg.getRegFilePosition(nullptr), ECF_INVALID_PARAMETER);
  ASSERT_EQ(reg.GetNext(0, &p, &out), 0u);
  EXPECT_STREQ(out.key, "a");
  ASSERT_EQ(reg.getRegFilePosition(&pos), 0u);
  ASSERT_EQ(reg.GetNext(0, &p, &out), 0u);
  EXPECT_STREQ(out.key, "b");
  ASSERT_EQ(reg.GetNext(0, &p, &out), 0u);
  EXPECT_EQ(reg.GetNext(0, &p, &out), ECF_GENREG_EOF);
  EXPECT_EQ(reg.GetNext(0, &p, &out), ECF_GENREG_EOF) << "end of scan sticks";
  TRec a = rec("z", "9");
  EXPECT_EQ(reg.Add(1, &a), ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE) << "no update while a scan is open";
  EXPECT_EQ(reg.Change(1, &a, &a), ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE);
  EXPECT_EQ(reg.Delete(1, &a), ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE);
  EXPECT_FALSE(exists(reg.lockPath));
  EXPECT_EQ(reg.OpenReg(GENREG_ACTION_READ), ECF_GENREG_REGISTRY_CURRENTLY_OPEN_IN_SCAN_MODE);
  ASSERT_EQ(reg.setRegFilePosition(&pos), 0u);
  EXPECT_EQ(reg.GetNext(0, &p, &out), ECF_GENREG_EOF) << "a position does not clear the end";
  ASSERT_EQ(reg.Rewind(), 0u);
  ASSERT_EQ(reg.setRegFilePosition(&pos), 0u);
  ASSERT_EQ(reg.GetNext(0, &p, &out), 0u);
  EXPECT_STREQ(out.key, "b");
  // Filtered scan.
  TRec want = rec("c", "");
  ASSERT_EQ(reg.Rewind(), 0u);
  ASSERT_EQ(reg.GetNext(1, &want, &out), 0u);
  EXPECT_STREQ(out.key, "c");
  EXPECT_EQ(reg.CloseScan(), 0u);
  EXPECT_EQ(reg.Add(1, &a), 0u) << "usable again after the scan";
}

TEST_F(GenRegScanTest, GetInsideAScan) {
  writeFile(file("r.reg"), fileOf({rec("a", "1"), rec("b", "2")}));
  TestReg reg(file("r.reg"));
  TRec p = rec("", ""), want = rec("a", ""), out;
  ASSERT_EQ(reg.OpenScan(), 0u);
  ASSERT_EQ(reg.GetNext(0, &p, &out), 0u);
  ASSERT_EQ(reg.GetNext(0, &p, &out), 0u);
  EXPECT_EQ(reg.Get(1, &want, &out), ECF_GENREG_FAILED_TO_OPEN_REGISTRY) << "without keeping the position";
  reg.features |= GENREG_FEATURE_KEEP_SCAN_POSITION;
  ASSERT_EQ(reg.Get(1, &want, &out), 0u);
  EXPECT_STREQ(out.val, "1");
  EXPECT_EQ(reg.GetNext(0, &p, &out), ECF_GENREG_EOF) << "the scan is where it was";
  EXPECT_EQ(reg.GetNext(0, &p, &out), ECF_GENREG_EOF);
  reg.CloseScan();
}

TEST(GenRegChecksum, XorOfLittleEndianWordsThenTheRemainingBytes) {
  struct Case {
    std::vector<unsigned char> data;
    std::int32_t sum;
  } cases[] = {
      {{}, 0},
      {{1, 0, 0, 0, 2}, 3},
      {{0x78, 0x56, 0x34, 0x12}, 0x12345678},
      {{0xff, 0xff, 0xff, 0xff, 0x01, 0x02}, static_cast<std::int32_t>(0xffffffffu ^ 1u ^ 2u)},
      {{1, 2, 3, 4, 1, 2, 3, 4}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(GenRegFile::Checksum(c.data.data(), c.data.size()), c.sum);
}

class GenRegChecksumFileTest : public TempDirTest {};

TEST_F(GenRegChecksumFileTest, RecordsFollowTheHeaderAndADamagedFileIsRefused) {
  std::string path = file("r.reg");
  TestReg reg(path, GENREG_FEATURE_CHECKSUM);
  TRec a = rec("a", "1"), b = rec("b", "2"), out;
  ASSERT_EQ(reg.Add(1, &a), 0u);
  ASSERT_EQ(reg.Add(1, &b), 0u);
  std::vector<unsigned char> bytes = readFile(path);
  std::vector<unsigned char> records = fileOf({a, b});
  ASSERT_EQ(bytes.size(), 32 + records.size());
  EXPECT_TRUE(std::equal(records.begin(), records.end(), bytes.begin() + 32));
  char header[32] = {};
  std::snprintf(header, sizeof header, "%d", GenRegFile::Checksum(records.data(), records.size()));
  EXPECT_EQ(std::memcmp(header, bytes.data(), 32), 0);

  // A fresh object reads it past the header.
  TestReg again(path, GENREG_FEATURE_CHECKSUM);
  ASSERT_EQ(again.Get(1, &b, &out), 0u);
  EXPECT_STREQ(out.val, "2");
  EXPECT_EQ(keysOf(again), (std::vector<std::string>{"a=1", "b=2"}));
  TRec b3 = rec("b", "3");
  ASSERT_EQ(again.Change(1, &b, &b3), 0u);
  ASSERT_EQ(again.Delete(1, &a), 0u);
  EXPECT_EQ(keysOf(again), (std::vector<std::string>{"b=3"}));

  // With the feature on and verification too.
  again.features |= GENREG_FEATURE_VERIFY;
  ASSERT_EQ(again.Add(1, &a), 0u);
  EXPECT_EQ(keysOf(again), (std::vector<std::string>{"b=3", "a=1"}));

  // One flipped byte in the data is caught.
  bytes = readFile(path);
  bytes.back() ^= 0x40;
  writeFile(path, bytes);
  EXPECT_EQ(again.Get(1, &a, &out), ECF_GENREG_FAILED_TO_OPEN_REGISTRY);
  EXPECT_EQ(again.Add(1, &b), ECF_GENREG_FAILED_TO_OPEN_REGISTRY);
  EXPECT_EQ(readFile(path), bytes) << "a damaged registry is left as it is";

  // Deleting every record leaves an empty file, no header.
  writeFile(path, {});
  ASSERT_EQ(again.Add(1, &a), 0u);
  ASSERT_EQ(again.Delete(1, &a), 0u);
  EXPECT_TRUE(readFile(path).empty());
}

}  // namespace
