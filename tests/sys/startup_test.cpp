// Library start-up: the platform flags for each kind of machine, the one-time sequence, and the
// leak list written at termination only when first-failure data capture asks for it.
#include "osse/sys/startup.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "test_root.h"

namespace tp = tarn::platform;

namespace {

constexpr const char* kNtKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* k9xKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kOptionsKey = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";

void SetValue(const char* path, const char* name, tp::DWORD type, const std::string& bytes) {
  tp::HKEY key = nullptr;
  ASSERT_EQ(0, tp::RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, tp::KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr));
  ASSERT_EQ(0, tp::RegSetValueEx(key, name, 0, type, reinterpret_cast<const tp::BYTE*>(bytes.data()),
                                 static_cast<tp::DWORD>(bytes.size())));
  tp::RegCloseKey(key);
}

// A machine as its registry describes it: an NT version ("5.2") or a 95-family version number
// ("4.10.2222"), and the product suites (as the multi-string list of the product options).
struct Machine {
  const char* what;
  const char* ntVersion;     // null: no NT key
  const char* version9x;     // null: no 95-family key
  std::vector<std::string> suites;
  OSSPlatformIdentity expected;
};

void Describe(const Machine& m) {
  if (m.ntVersion) SetValue(kNtKey, "CurrentVersion", tp::REG_SZ, std::string(m.ntVersion) + '\0');
  if (m.version9x) SetValue(k9xKey, "VersionNumber", tp::REG_SZ, std::string(m.version9x) + '\0');
  if (!m.suites.empty()) {
    std::string multi;
    for (const auto& s : m.suites) multi += s + '\0';
    SetValue(kOptionsKey, "ProductSuite", tp::REG_MULTI_SZ, multi + '\0');
  }
}

OSSPlatformIdentity Flags(bool nt, bool k2, bool xp, bool k3, bool vista, bool longhorn, bool on95,
                          bool w98, bool me, bool ts, bool tsAdmin) {
  OSSPlatformIdentity f;
  f.win32OnNT = nt, f.win2k = k2, f.winXP = xp, f.win2k3 = k3, f.vista = vista;
  f.longhorn = longhorn, f.win32On95 = on95, f.win98 = w98, f.winMe = me;
  f.terminalService = ts, f.terminalServiceRemoteAdmin = tsAdmin;
  return f;
}

std::string Text(const OSSPlatformIdentity& f) {
  std::ostringstream out;
  out << "NT=" << f.win32OnNT << " 2k=" << f.win2k << " XP=" << f.winXP << " 2k3=" << f.win2k3
      << " Vista=" << f.vista << " Longhorn=" << f.longhorn << " 95=" << f.win32On95
      << " 98=" << f.win98 << " Me=" << f.winMe << " TS=" << f.terminalService
      << " TSAdmin=" << f.terminalServiceRemoteAdmin << " wow64=" << f.wow64;
  return out.str();
}

const Machine kMachines[] = {
    {"a machine that says nothing is Windows XP", nullptr, nullptr, {},
     Flags(1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0)},
    {"Windows XP", "5.1", nullptr, {}, Flags(1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0)},
    {"Windows 2000", "5.0", nullptr, {}, Flags(1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0)},
    {"Windows Server 2003", "5.2", nullptr, {}, Flags(1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0)},
    {"a 6.x system", "6.0", nullptr, {}, Flags(1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0)},
    {"a 6.x personal edition", "6.1", nullptr, {"Personal"}, Flags(1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0)},
    {"Windows 98", nullptr, "4.10.2222", {}, Flags(0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0)},
    {"Windows Me", nullptr, "4.90.3000", {}, Flags(0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0)},
    {"Windows 98 never has terminal services", nullptr, "4.10.1998", {"Terminal Server"},
     Flags(0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0)},
    {"terminal server suite", "5.2", nullptr, {"Terminal Server"},
     Flags(1, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0)},
    {"single-user terminal services suite", "5.1", nullptr, {"SingleUserTS"},
     Flags(1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 1)},
    {"NT 4 answers both questions from the product suite", "4.0", nullptr, {"Terminal Server"},
     Flags(1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1)},
    {"NT 4 compares the suite name exactly", "4.0", nullptr, {"terminal server"},
     Flags(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)},
};

TEST(StartUpTest, PlatformFlagsForEachKindOfMachine) {
  for (const Machine& m : kMachines) {
    SCOPED_TRACE(m.what);
    tarn::test::TempPlatformRoot root;
    Describe(m);
    EXPECT_EQ(Text(m.expected), Text(ossIdentifyPlatform()));
  }
}

TEST(StartUpTest, TerminalServicesQuestionAnswersItsArgumentOrTwo) {
  tarn::test::TempPlatformRoot root;
  Describe({"", "5.2", nullptr, {"Terminal Server"}, {}});
  EXPECT_EQ(OSS_TS_TERMINAL, ossCheckTerminalServices(OSS_TS_TERMINAL));
  EXPECT_EQ(OSS_TS_ABSENT, ossCheckTerminalServices(OSS_TS_SINGLE_USER));
}

// ---- the load notification, seen from a process of its own ------------------------------------

// Runs the probe with the given environment additions; its standard output.
std::string RunProbe(const std::vector<std::string>& env, const char* arg = nullptr) {
  int fds[2];
  if (::pipe(fds) != 0) return "<pipe>";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    ::execl(TARN_STARTUP_PROBE, TARN_STARTUP_PROBE, arg, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += "<exit " + std::to_string(status) + ">";
  return out;
}

TEST(StartUpTest, LoadingTheLibraryPublishesTheFlagsOnce) {
  tarn::test::TempPlatformRoot root;
  Describe({"", "5.2", nullptr, {"SingleUserTS"}, {}});
  const std::string out = RunProbe({"TARN_PLATFORM_ROOT=" + root.path()});
  EXPECT_EQ(
      "Win32OnNT=1 Win2k=1 WinXP=1 Win2k3=1 Vista=0 Longhorn=0 Win32On95=0 Win98=0 WinMe=0 TS=1 "
      "TSAdmin=1 again=0\n",
      out);
  // In this process too, the sequence ran at load: a later call does nothing, as often as asked.
  EXPECT_FALSE(ossLibraryStartUp());
  ossOneTimeOnly();
  ossOneTimeOnly();
  EXPECT_FALSE(ossIsWow64Process());  // a 64-bit process is never emulated
}

// The leak list at termination: written with first-failure data capture ("LEAKS"), not without.
TEST(StartUpTest, TerminationWritesTheLeakListOnlyWithFirstFailureCapture) {
  const struct {
    const char* level;
    bool report;
  } cases[] = {{"LEAKS", true}, {"FULL", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    tarn::test::TempPlatformRoot root;
    const std::string dir = root.path() + "/memdbg";
    std::filesystem::create_directory(dir);
    const std::string out = RunProbe(
        {"TARN_PLATFORM_ROOT=" + root.path(), "OSSEMEMDBG=" + dir + "," + c.level}, "leak");
    EXPECT_EQ(std::string::npos, out.find("<exit"));
    std::string reports;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().filename() == "ossememdbg.log") continue;
      std::ifstream in(entry.path());
      reports += std::string(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(c.report, reports.find("startup_probe.cpp") != std::string::npos) << reports;
  }
}

}  // namespace
