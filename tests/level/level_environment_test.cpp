// The environment set-up that loading the level library does (PATH and CLASSPATH), seen from
// fresh child processes: each case copies the library into a temporary installation
// <tmp>/inst/BIN/, starts level_probe with an environment of its own, lets it load the copy and
// compares what the probe prints before and after the load.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_root.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Value = std::optional<std::string>;

// What the probe printed after one load (or before the first one).
struct Snapshot {
  Value path;
  Value classPath;
  Value level;     // the file that answered sqleGetLevelInfo
  Value services;  // the services library's NT-family flag, set by its start-up
};

// Runs level_probe with exactly `env` as its environment, loading `libraries` in turn. Fails the
// test when the probe does not end normally.
std::vector<Snapshot> RunProbe(const std::vector<std::string>& env,
                               const std::vector<std::string>& libraries) {
  std::vector<std::string> args{TARN_LEVEL_PROBE};
  args.insert(args.end(), libraries.begin(), libraries.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  ::close(fds[0]);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return {};
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "probe failed: " << out;

  std::vector<Snapshot> snapshots;
  Snapshot current;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    auto take = [&](const char* key, Value& field) {
      const std::string k(key);
      if (line == k + " unset" || line == k + " unknown") return field.reset(), true;
      if (line.rfind(k + "=", 0) == 0) return field = line.substr(k.size() + 1), true;
      return false;
    };
    if (line == "END") {
      snapshots.push_back(current);
      current = {};
    } else if (!take("PATH", current.path) && !take("CLASSPATH", current.classPath) &&
               !take("LEVEL", current.level) && !take("SERVICES", current.services)) {
      ADD_FAILURE() << "unexpected probe line: " << line;
    }
  }
  return snapshots;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// {I} stands for the installation directory, {U} for it in capitals.
Value Expand(const Value& pattern, const std::string& install) {
  if (!pattern) return std::nullopt;
  std::string text = *pattern;
  for (auto [key, value] : {std::pair<std::string, std::string>{"{I}", install},
                            std::pair<std::string, std::string>{"{U}", Upper(install)}}) {
    for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, 3, value);
  }
  return text;
}

// Entries ending in '/' are directories, the others files.
void CreateEntries(const fs::path& root, const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    const fs::path p = root / entry;
    if (entry.back() == '/') {
      fs::create_directories(p);
    } else {
      fs::create_directories(p.parent_path());
      std::ofstream(p) << "archive\n";
    }
  }
}

std::vector<std::string> Environment(const Value& path, const Value& classPath,
                                     bool withLibraryPath = true) {
  std::vector<std::string> env;
  if (path) env.push_back("PATH=" + *path);
  if (classPath) env.push_back("CLASSPATH=" + *classPath);
  // The copy of the level library is loaded by its full path; the libraries it links come from
  // the build.
  if (withLibraryPath) env.push_back(std::string("LD_LIBRARY_PATH=") + TARN_LIB_DIR);
  // Loading the services library reads the machine's registry: the probe gets the test's own
  // machine (an empty one, which describes Windows XP).
  if (const char* root = std::getenv("TARN_PLATFORM_ROOT")) env.push_back(std::string("TARN_PLATFORM_ROOT=") + root);
  return env;
}

class LevelEnvironment : public ::testing::Test {
 protected:
  // The machine the probes load the libraries on (Environment passes it on).
  tarn::test::TempPlatformRoot machine_;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarn-level-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    tmp_ = pattern;
    install_ = tmp_ + "/inst";
    fs::create_directories(install_ + "/BIN");
    library_ = install_ + "/BIN/libtarninstall.so";
    fs::copy_file(TARN_LEVEL_LIBRARY, library_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(tmp_, ignored);
  }

  std::string tmp_;
  std::string install_;
  std::string library_;
};

// ---- One load into a fresh process, from a table of cases -----------------------------------

struct EnvCase {
  const char* name;
  std::vector<std::string> entries;  // below the installation
  Value path, classPath;             // before the load
  Value expectPath, expectClassPath; // after it
};

const std::string kLongPath = "/usr/bin:/" + std::string(40000, 'p');
const std::string kLongClassPath = "/" + std::string(40000, 'c') + ".jar";

const EnvCase kCases[] = {
    {"PathNotStartingWithInstall", {"java/tarnjcc.jar"}, "/usr/bin:/bin", std::nullopt,
     "{I}/BIN:{I}/FUNCTION:/usr/bin:/bin", ".:{I}/java/tarnjcc.jar:"},
    {"PathStartingWithInstallInOtherCase", {"java/tarnjcc.jar"}, "{U}/BIN:/usr/bin", "/old.jar",
     "{U}/BIN:/usr/bin", "/old.jar"},
    {"PathBeingTheInstallItself", {"java/tarnjcc.jar"}, "{I}", std::nullopt, "{I}", std::nullopt},
    {"PathStartingWithALongerDirectoryName", {"java/tarnjcc.jar"}, "{I}2/BIN:/usr/bin",
     std::nullopt, "{I}/BIN:{I}/FUNCTION:{I}2/BIN:/usr/bin", ".:{I}/java/tarnjcc.jar:"},
    {"PathUnsetChangesNothing", {"java/tarnjcc.jar"}, std::nullopt, std::nullopt, std::nullopt,
     std::nullopt},
    {"PathUnsetLeavesClassPath", {"java/tarnjcc.jar"}, std::nullopt, "/old.jar", std::nullopt,
     "/old.jar"},
    {"PathEmpty", {}, "", std::nullopt, "{I}/BIN:{I}/FUNCTION:", std::nullopt},
    {"EveryArchiveInTableOrder",
     {"java/common.jar", "tools/tarnXTrigger.jar", "bin/", "java/sqlj.zip", "java/tarnjcc.jar",
      "java/tarnjava.zip"},
     "/usr/bin", std::nullopt, "{I}/BIN:{I}/FUNCTION:/usr/bin",
     ".:{I}/java/tarnjava.zip:{I}/java/tarnjcc.jar:{I}/java/sqlj.zip:{I}/bin:"
     "{I}/tools/tarnXTrigger.jar:{I}/java/common.jar:"},
    {"OnlyTarnjccJar", {"java/tarnjcc.jar"}, "/usr/bin", std::nullopt,
     "{I}/BIN:{I}/FUNCTION:/usr/bin", ".:{I}/java/tarnjcc.jar:"},
    {"JavaDirectoryAlone", {"java/"}, "/usr/bin", std::nullopt, "{I}/BIN:{I}/FUNCTION:/usr/bin",
     ".:"},
    {"BinWithoutJavaHasNoLeadingSeparator", {"bin/"}, "/usr/bin", std::nullopt,
     "{I}/BIN:{I}/FUNCTION:/usr/bin", "{I}/bin:"},
    {"WrongKindOfEntryDoesNotCount", {"java/tarnjcc.jar/", "bin", "tools/tarnXTrigger.jar/"},
     "/usr/bin", std::nullopt, "{I}/BIN:{I}/FUNCTION:/usr/bin", ".:"},
    {"NoJavaPartsLeavesClassPathUnset", {}, "/usr/bin", std::nullopt,
     "{I}/BIN:{I}/FUNCTION:/usr/bin", std::nullopt},
    {"NoJavaPartsLeavesClassPathAlone", {}, "/usr/bin", "/old.jar",
     "{I}/BIN:{I}/FUNCTION:/usr/bin", "/old.jar"},
    {"ClassPathPrepended", {"java/tarnjcc.jar"}, "/usr/bin", "/old.jar",
     "{I}/BIN:{I}/FUNCTION:/usr/bin", ".:{I}/java/tarnjcc.jar:/old.jar"},
    {"ClassPathEmpty", {"java/tarnjcc.jar"}, "/usr/bin", "", "{I}/BIN:{I}/FUNCTION:/usr/bin",
     ".:{I}/java/tarnjcc.jar:"},
    {"ClassPathAlreadyStartingWithBuiltPath", {"java/tarnjcc.jar"}, "/usr/bin",
     ".:{I}/java/tarnjcc.jar:/old.jar", "{I}/BIN:{I}/FUNCTION:/usr/bin",
     ".:{I}/java/tarnjcc.jar:/old.jar"},
    {"ClassPathStartingWithBuiltPathInOtherCase", {"java/tarnjcc.jar"}, "/usr/bin",
     ".:{U}/JAVA/TARNJCC.JAR:", "{I}/BIN:{I}/FUNCTION:/usr/bin", ".:{U}/JAVA/TARNJCC.JAR:"},
    {"ClassPathBeingAPrefixOfBuiltPath", {"java/tarnjcc.jar"}, "/usr/bin", ".:",
     "{I}/BIN:{I}/FUNCTION:/usr/bin", ".:{I}/java/tarnjcc.jar:.:"},
    {"PathLongerThanWindowsLimit", {"java/tarnjcc.jar"}, kLongPath, kLongClassPath,
     "{I}/BIN:{I}/FUNCTION:" + kLongPath, ".:{I}/java/tarnjcc.jar:" + kLongClassPath},
};

void PrintTo(const EnvCase& c, std::ostream* os) { *os << c.name; }

class LevelEnvironmentCase : public LevelEnvironment,
                             public ::testing::WithParamInterface<EnvCase> {};

TEST_P(LevelEnvironmentCase, LoadAdjustsEnvironment) {
  const EnvCase& c = GetParam();
  CreateEntries(install_, c.entries);
  const Value path = Expand(c.path, install_);
  const Value classPath = Expand(c.classPath, install_);
  const auto snapshots = RunProbe(Environment(path, classPath), {library_});
  ASSERT_EQ(snapshots.size(), 2u);
  EXPECT_EQ(snapshots[0].path, path);
  EXPECT_EQ(snapshots[0].classPath, classPath);
  EXPECT_EQ(snapshots[1].path, Expand(c.expectPath, install_));
  EXPECT_EQ(snapshots[1].classPath, Expand(c.expectClassPath, install_));
  EXPECT_EQ(snapshots[1].level, library_);
}

INSTANTIATE_TEST_SUITE_P(Cases, LevelEnvironmentCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Loads that must change nothing ----------------------------------------------------------

// A second copy of the library from the same installation, loaded into the same process, finds
// PATH already beginning with the installation: the environment stays as the first load left it.
TEST_F(LevelEnvironment, SecondLoadChangesNothing) {
  CreateEntries(install_, {"java/tarnjcc.jar"});
  const std::string second = install_ + "/BIN/libtarninstall-second.so";
  fs::copy_file(TARN_LEVEL_LIBRARY, second);
  const auto snapshots =
      RunProbe(Environment("/usr/bin", std::nullopt), {library_, second, library_});
  ASSERT_EQ(snapshots.size(), 4u);
  EXPECT_EQ(snapshots[1].path, install_ + "/BIN:" + install_ + "/FUNCTION:/usr/bin");
  EXPECT_EQ(snapshots[1].classPath, ".:" + install_ + "/java/tarnjcc.jar:");
  // The second copy really is a module of its own, so its load notification ran too.
  EXPECT_EQ(snapshots[2].level, second);
  for (std::size_t i = 2; i < snapshots.size(); ++i) {
    EXPECT_EQ(snapshots[i].path, snapshots[1].path) << "load " << i;
    EXPECT_EQ(snapshots[i].classPath, snapshots[1].classPath) << "load " << i;
  }
}

// A path needs two components to cut for an installation to remain. Linux has no drive letter:
// a library directly in a top-level directory (/tmp/x.so) leaves the root, an empty text, which
// counts as a match for every PATH. (A library in "/" itself, with only one component, cannot
// be placed without writing to the root directory; it takes the same path through the code: the
// second cut finds no '/' and the installation is empty.)
TEST_F(LevelEnvironment, LibraryWithoutInstallationChangesNothing) {
  std::string topLevel = "/tmp/tarn-level-XXXXXX.so";
  const int fd = ::mkstemps(topLevel.data(), 3);
  ASSERT_GE(fd, 0) << "cannot create a file in /tmp";
  ::close(fd);
  fs::copy_file(TARN_LEVEL_LIBRARY, topLevel, fs::copy_options::overwrite_existing);
  // Java parts the root could offer must not matter either: nothing is built when PATH matches.
  const auto snapshots = RunProbe(Environment("/usr/bin", std::nullopt), {topLevel});
  std::error_code ignored;
  fs::remove(topLevel, ignored);
  ASSERT_EQ(snapshots.size(), 2u);
  EXPECT_EQ(snapshots[1].level, topLevel);
  EXPECT_EQ(snapshots[1].path, "/usr/bin");
  EXPECT_EQ(snapshots[1].classPath, std::nullopt);
}

// ---- Through the registry library --------------------------------------------------------------

// A process that loads the registry library from <dir>/BIN gets the level library beside it (the
// copies find each other through their $ORIGIN run path, with no LD_LIBRARY_PATH), and with it
// PATH and CLASSPATH for <dir>, once.
TEST_F(LevelEnvironment, RegistryLibraryPreparesEnvironmentOnce) {
  for (const char* lib : {TARN_GENREG_LIBRARY, TARN_OSSE_LIBRARY, TARN_PLATFORM_LIBRARY}) {
    fs::copy_file(lib, install_ + "/BIN/" + fs::path(lib).filename().string());
  }
  CreateEntries(install_, {"java/tarnjava.zip", "java/common.jar", "tools/tarnXTrigger.jar"});
  const std::string genreg = install_ + "/BIN/libtarngenreg.so";
  const auto snapshots =
      RunProbe(Environment("/usr/bin", std::nullopt, /*withLibraryPath=*/false), {genreg, genreg});
  ASSERT_EQ(snapshots.size(), 3u);
  EXPECT_EQ(snapshots[1].level, library_) << "the loader picked another level library";
  const std::string prefix = install_ + "/BIN:" + install_ + "/FUNCTION:";
  ASSERT_TRUE(snapshots[1].path.has_value());
  EXPECT_EQ(snapshots[1].path->substr(0, prefix.size()), prefix);
  EXPECT_EQ(snapshots[1].path, prefix + "/usr/bin");
  EXPECT_EQ(snapshots[1].classPath, ".:" + install_ + "/java/tarnjava.zip:" + install_ +
                                        "/tools/tarnXTrigger.jar:" + install_ +
                                        "/java/common.jar:");
  EXPECT_EQ(snapshots[2].path, snapshots[1].path);
  EXPECT_EQ(snapshots[2].classPath, snapshots[1].classPath);
  // The services library below both has started too: its platform identification ran.
  EXPECT_EQ(snapshots[1].services, "1");
}

}  // namespace
