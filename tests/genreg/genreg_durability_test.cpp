// Several processes updating one registry at once, readers scanning while writers commit,
// processes killed in the middle of updates, and a commit stopped at each of its steps.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>

#include "genreg/globalreg.h"
#include "genreg_test_util.h"

using namespace genregtest;

namespace {

GlobalRegRecord var(int owner, int n, const char* value = "v") {
  GlobalRegRecord r;
  std::memset(&r, 0, sizeof r);
  r.RecordType = GLOBALREG_RECORD_VARIABLE;
  r.FieldMask = GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE | GLOBALREG_V_VALUE;
  std::snprintf(r.u.variable.Service, sizeof r.u.variable.Service, "P%d", owner);
  std::snprintf(r.u.variable.Variable, sizeof r.u.variable.Variable, "V%d", n);
  std::snprintf(r.u.variable.Value, sizeof r.u.variable.Value, "%s", value);
  return r;
}

constexpr u64 kKey = GLOBALREG_V_SERVICE | GLOBALREG_V_VARIABLE;

// Every record as "service/variable=value", read by a scan; the scan's own result in *rc.
std::set<std::string> contents(u32* rcOut = nullptr) {
  GlobalReg reg;
  std::set<std::string> all;
  GlobalRegRecord pattern, out;
  std::memset(&pattern, 0, sizeof pattern);
  u32 rc = reg.OpenScan();
  while (rc == 0 && (rc = reg.GetNext(0, &pattern, &out)) == 0) {
    all.insert(std::string(out.u.variable.Service) + "/" + out.u.variable.Variable + "=" + out.u.variable.Value);
  }
  reg.CloseScan();
  if (rcOut) *rcOut = rc;
  return all;
}

int waitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class GenRegDurabilityTest : public TempDirTest {
 protected:
  void SetUp() override { ::setenv("TARN_GLOBAL_REG_PATHNAME", file("global.reg").c_str(), 1); }
  void TearDown() override { ::unsetenv("TARN_GLOBAL_REG_PATHNAME"); }
};

TEST_F(GenRegDurabilityTest, EightProcessesAddingAtOnceLoseNothing) {
  constexpr int kProcs = 8, kEach = 200;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      GlobalReg reg;
      int failures = 0;
      for (int n = 0; n < kEach; ++n) {
        GlobalRegRecord r = var(p, n);
        if (reg.Add(kKey, &r) != 0) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) EXPECT_EQ(waitExit(pid), 0) << "every Add of every process succeeded";
  u32 rc = 0;
  std::set<std::string> all = contents(&rc);
  EXPECT_EQ(rc, ECF_GENREG_EOF);
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kProcs * kEach));
  for (int p = 0; p < kProcs; ++p) {
    for (int n = 0; n < kEach; n += 37) EXPECT_TRUE(all.count("P" + std::to_string(p) + "/V" + std::to_string(n) + "=v"));
  }
  EXPECT_FALSE(exists(file(".global.reg.lock")));
  EXPECT_FALSE(exists(file(".global.reg.bkp")));
  EXPECT_FALSE(exists(file("global.reg.tmp")));
}

TEST_F(GenRegDurabilityTest, ReadersAlwaysSeeAWholeRegistry) {
  // 50 fixed records; writers add, change and delete records of their own around them.
  {
    GlobalReg reg;
    for (int n = 0; n < 50; ++n) {
      GlobalRegRecord r = var(0, n);
      ASSERT_EQ(reg.Add(kKey, &r), 0u);
    }
  }
  std::vector<pid_t> writers, readers;
  for (int w = 1; w <= 2; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      GlobalReg reg;
      int failures = 0;
      for (int n = 0; n < 60; ++n) {
        GlobalRegRecord r = var(w, n), c = var(w, n, "changed");
        if (reg.Add(kKey, &r) != 0) ++failures;
        if (reg.Change(kKey, &r, &c) != 0) ++failures;
        if (reg.Delete(kKey, &c) != 0) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    writers.push_back(pid);
  }
  for (int r = 0; r < 2; ++r) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int bad = 0;
      for (int scan = 0; scan < 150; ++scan) {
        u32 rc = 0;
        std::set<std::string> all = contents(&rc);
        std::size_t fixed = 0;
        for (const std::string& s : all) fixed += s.rfind("P0/", 0) == 0;
        // Whole: the scan ends at the end of the file, every fixed record is there, and at most
        // one record of each writer besides.
        if (rc != ECF_GENREG_EOF || fixed != 50 || all.size() > 52) ++bad;
        GlobalReg reg;
        GlobalRegRecord p = var(0, scan % 50), out;
        if (reg.Get(kKey, &p, &out) != 0) ++bad;
      }
      ::_exit(bad == 0 ? 0 : 1);
    }
    readers.push_back(pid);
  }
  for (pid_t pid : writers) EXPECT_EQ(waitExit(pid), 0) << "writers";
  for (pid_t pid : readers) EXPECT_EQ(waitExit(pid), 0) << "readers";
  EXPECT_EQ(contents().size(), 50u);
}

// Update number n of the crash test: adds record n, except that every fourth changes the
// record added just before it.
u32 applyOp(GlobalReg& reg, int n) {
  if (n % 4 == 3) {
    GlobalRegRecord before = var(0, n - 1), after = var(0, n - 1, "changed");
    return reg.Change(kKey, &before, &after);
  }
  GlobalRegRecord r = var(0, n);
  return reg.Add(kKey, &r);
}

std::set<std::string> expectedAfter(int ops) {
  std::set<std::string> s;
  for (int n = 0; n < ops; ++n) {
    if (n % 4 == 3) {
      s.erase("P0/V" + std::to_string(n - 1) + "=v");
      s.insert("P0/V" + std::to_string(n - 1) + "=changed");
    } else {
      s.insert("P0/V" + std::to_string(n) + "=v");
    }
  }
  return s;
}

TEST_F(GenRegDurabilityTest, KilledUpdatersLoseNoReportedUpdate) {
  std::mt19937 random(12345);
  int done = 0;  // updates known to be in the registry
  int kills = 0;
  for (int round = 0; round < 300; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      GlobalReg reg;
      for (int n = done;; ++n) {
        if (applyOp(reg, n) != 0) ::_exit(1);
        // Reported only after the action returned success.
        if (::write(fds[1], &n, sizeof n) != sizeof n) ::_exit(2);
      }
    }
    ::close(fds[1]);
    // Let it run for a moment that lands anywhere inside an update.
    ::usleep(static_cast<useconds_t>(random() % 4000));
    ::kill(pid, SIGKILL);
    int status = waitExit(pid);
    ASSERT_EQ(status, 128 + SIGKILL) << "the updater failed on its own at round " << round;
    ++kills;
    int reported = done, n;
    while (::read(fds[0], &n, sizeof n) == sizeof n) reported = n + 1;
    ::close(fds[0]);

    u32 rc = 0;
    std::set<std::string> now = contents(&rc);
    ASSERT_EQ(rc, ECF_GENREG_EOF) << "round " << round;
    if (now == expectedAfter(reported)) {
      done = reported;
    } else {
      ASSERT_EQ(now, expectedAfter(reported + 1)) << "round " << round << ": only the update in flight may be extra";
      done = reported + 1;
    }
    if (done > 400) break;  // keeps the registry, and the run, small
  }
  EXPECT_GE(kills, 100);
  EXPECT_FALSE(exists(file(".global.reg.bkp")) && !exists(file("global.reg")));
  // The next ordinary update works and cleans up after the killed ones.
  GlobalReg reg;
  ASSERT_EQ(applyOp(reg, done), 0u);
  EXPECT_FALSE(exists(file("global.reg.tmp")));
  EXPECT_FALSE(exists(file(".global.reg.bkp")));
  EXPECT_EQ(contents(), expectedAfter(done + 1));
}

int g_stopAt = 0;
void stopHere(int step) {
  if (step == g_stopAt) ::_exit(42);
}

struct StopCase {
  int step;
  bool newVisible;
};

class GenRegCommitStepTest : public GenRegDurabilityTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(GenRegCommitStepTest, NextActionFindsOldOrNewAndNoLeftoverConfusesIt) {
  const StopCase& c = GetParam();
  for (bool verify : {true, false}) {
    std::filesystem::remove(file("global.reg"));
    {
      GlobalReg reg;
      GlobalRegRecord a = var(0, 1), b = var(0, 2);
      ASSERT_EQ(reg.Add(kKey, &a), 0u);
      ASSERT_EQ(reg.Add(kKey, &b), 0u);
    }
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      g_stopAt = c.step;
      genregsys::g_commitHook = stopHere;
      GlobalReg reg;
      if (!verify) reg.unsetFeature(GENREG_FEATURE_VERIFY);
      GlobalRegRecord b = var(0, 2), changed = var(0, 2, "new");
      reg.Change(kKey, &b, &changed);
      ::_exit(0);
    }
    ASSERT_EQ(waitExit(pid), 42) << "stopped at step " << c.step;
    std::set<std::string> oldSet = {"P0/V1=v", "P0/V2=v"}, newSet = {"P0/V1=v", "P0/V2=new"};
    EXPECT_EQ(contents(), c.newVisible ? newSet : oldSet) << "step " << c.step << " verify " << verify;
    // The next update goes through, and leaves neither backup nor temporary file.
    GlobalReg reg;
    GlobalRegRecord d = var(0, 3);
    ASSERT_EQ(reg.Add(kKey, &d), 0u);
    std::set<std::string> expected = c.newVisible ? newSet : oldSet;
    expected.insert("P0/V3=v");
    EXPECT_EQ(contents(), expected);
    EXPECT_FALSE(exists(file("global.reg.tmp")));
    EXPECT_FALSE(exists(file(".global.reg.bkp")));
    EXPECT_FALSE(exists(file(".global.reg.lock")));
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, GenRegCommitStepTest,
                         ::testing::Values(StopCase{GENREG_COMMIT_TMP_WRITTEN, false},
                                           StopCase{GENREG_COMMIT_BACKUP_LINKED, false},
                                           StopCase{GENREG_COMMIT_RENAMED, true},
                                           StopCase{GENREG_COMMIT_BEFORE_UNLINK, true}));

}  // namespace
