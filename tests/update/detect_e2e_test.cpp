// Product detection and the launcher, end to end: the real program laid out as an installer lays
// it out (a copy's bin/tarnupdserv and cfg/install/velkupdateutil, the Brix add-in's
// bin/velkupdateutil) in a machine of its own, run from there, and judged by the agent's journal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "update_fixture.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const std::string kCopyCode = "{5B1E7C42-9A3D-4F60-8E21-7D4C0B9F3A18}";
const std::string kOtherCode = "{0E6A2D95-3C1B-47F8-A5D2-96B4E1C07F3D}";
const std::string kBrixCode = "{9C47B2E1-6D05-4A8F-B3C9-2E71F0A65D84}";

std::string Registered(const std::string& code, const std::string& version) {
  return "RegisterProduct(\"" + code + "\", \"" + version + "\", 1033, \"\", \"Default\", -1, \"\")";
}
std::string Shown(const std::string& code) { return "ShowProductUpdates(\"" + code + "\", 8)"; }

class Detection : public tarn::test::UpdateMachine {
 protected:
  void SetUp() override { InstallAgent(); }

  // Places the program at `path` with the platform library where its run path looks (../lib).
  void Place(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    fs::copy_file(tarn::test::BinDir() + "/velkupdateutil", path, fs::copy_options::overwrite_existing);
    const fs::path lib = fs::path(path).parent_path().parent_path() / "lib";
    fs::create_directories(lib);
    fs::copy_file(tarn::test::BinDir() + "/../lib/libtarnplatform.so", lib / "libtarnplatform.so",
                  fs::copy_options::overwrite_existing);
  }

  // A copy of the product under the root, laid out and recorded as its installer does.
  std::string Copy(const std::string& directory, const std::string& name, const std::string& code,
                   const std::string& values = "\"Version\"=\"9\"\n\"Release\"=\"7\"\n\"Modification\"=\"0\"\n") {
    Place(root_.path() + "/" + directory + "/cfg/install/velkupdateutil");
    Place(root_.path() + "/" + directory + "/bin/tarnupdserv");
    // The program knows its path with every link resolved; so does the installer's record.
    const std::string root = fs::canonical(root_.path() + "/" + directory).string();
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\TARN\\InstalledCopies\\" + name;
    std::string text = "[" + key + "]\n\"TARN Path Name\"=\"" + root + "\"\n";
    if (!code.empty()) text += "\"TARN Update Service Code\"=\"" + code + "\"\n";
    ImportText(text + "\n[" + key + "\\CurrentVersion]\n" + values);
    return root;
  }

  // Runs the program at `path` (absolute) with `args`; its exit status.
  int RunAt(const std::string& path, const std::vector<std::string>& args) {
    const std::string relative = fs::relative(path, tarn::test::BinDir()).string();
    return Run(args, relative);
  }
};

// The launcher's own copy, under a directory with a blank, among two copies: the display command
// of that copy runs, and the launcher waits for it.
TEST_F(Detection, LauncherStartsItsCopysDisplayCommandAndWaits) {
  Copy("copies/Other Copy", "TARN02", kOtherCode);
  const std::string root = Copy("copies/Tarn Copy", "TARN01", kCopyCode);
  EXPECT_EQ(0, RunAt(root + "/bin/tarnupdserv", {}));
  EXPECT_EQ((Lines {Registered(kCopyCode, "9.7.0"), Shown(kCopyCode)}), Journal());
  EXPECT_TRUE(MessageBoxes().empty());
  EXPECT_TRUE(EventLog().empty());
}

// Options given to the launcher are its own actions, for the product the command line names (here
// none): performed only after its copy's display command has ended.
TEST_F(Detection, LauncherActsOnItsOwnOptionsAfterTheDisplayCommand) {
  const std::string root = Copy("copies/Tarn", "TARN01", kCopyCode);
  EXPECT_EQ(0, RunAt(root + "/bin/tarnupdserv", {"-ismes"}));
  EXPECT_EQ((Lines {Registered(kCopyCode, "9.7.0"), Shown(kCopyCode), "GetProduct(\"\")"}), Journal());
}

// The launcher's name is compared with its case: under another case the program is no launcher
// and starts no display command; given no options, it does nothing at all.
TEST_F(Detection, LauncherNameIsCaseSensitive) {
  const std::string root = Copy("copies/Tarn", "TARN01", kCopyCode);
  Place(root + "/bin/TarnUpdServ");
  EXPECT_EQ(0, RunAt(root + "/bin/TarnUpdServ", {}));
  EXPECT_TRUE(Journal().empty());
}

struct DirectoryCase {
  const char* name;
  const char* place;  // below the root
  std::string expected;
};

class Directories : public Detection, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(Directories, DecideTheProduct) {
  Copy("copies/Tarn", "TARN01", kCopyCode);
  ImportText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\Velk Quillon\\CurrentVersion]\n"
             "\"BRIX Update Service Code\"=\"" + kBrixCode + "\"\n"
             "\"Version\"=\"3\"\n\"Release\"=\"2\"\n\"Modification\"=\"1\"\n");
  const std::string path = root_.path() + "/" + GetParam().place;
  if (!fs::exists(path)) Place(path);
  EXPECT_EQ(0, RunAt(path, {"-register"}));
  EXPECT_EQ((Lines {GetParam().expected}), Journal());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Directories,
    ::testing::Values(
        DirectoryCase {"TarnCopy", "copies/Tarn/cfg/install/velkupdateutil", Registered(kCopyCode, "9.7.0")},
        DirectoryCase {"BrixBin", "Quillon/bin/velkupdateutil", Registered(kBrixCode, "3.2.1")},
        DirectoryCase {"BinInOtherCase", "Quillon/Bin/velkupdateutil", Registered("", "")},
        DirectoryCase {"InstallInOtherCase", "copies/Tarn/cfg/Install/velkupdateutil", Registered("", "")},
        // "/install" without "/cfg/install" gives no copy root.
        DirectoryCase {"InstallWithoutCfg", "copies/Tarn/install/velkupdateutil", Registered("", "")},
        DirectoryCase {"UnregisteredCopy", "copies/Unknown/cfg/install/velkupdateutil", Registered("", "")},
        DirectoryCase {"OtherDirectory", "tools/velkupdateutil", Registered("", "")}),
    [](const auto& info) { return std::string(info.param.name); });

// Install paths compare with their case: the copy whose path names this program's directory is
// the one, though another copy's path equals it ignoring case and comes first in the list.
TEST_F(Detection, CopyPathsDifferingOnlyInCaseFollowTheDisk) {
  Copy("copies/TARN", "ALPHA", kOtherCode);
  const std::string root = Copy("copies/Tarn", "BETA", kCopyCode);
  EXPECT_EQ(0, RunAt(root + "/cfg/install/velkupdateutil", {"-register"}));
  EXPECT_EQ((Lines {Registered(kCopyCode, "9.7.0")}), Journal());
}

// A product code without a version on the command line: detection runs and the registered code
// replaces the given one.
TEST_F(Detection, GuidWithoutVersionTakesTheRegisteredCode) {
  const std::string root = Copy("copies/Tarn", "TARN01", kCopyCode);
  EXPECT_EQ(0, RunAt(root + "/cfg/install/velkupdateutil", {"-guid", kOtherCode, "-register"}));
  EXPECT_EQ((Lines {Registered(kCopyCode, "9.7.0")}), Journal());
}

// A "/bin" directory without the add-in's key detects nothing: the command line's identity stays.
TEST_F(Detection, BinWithoutTheAddInKeepsTheCommandLineIdentity) {
  const std::string path = root_.path() + "/Quillon/bin/velkupdateutil";
  Place(path);
  EXPECT_EQ(0, RunAt(path, {"-guid", kOtherCode, "-register"}));
  EXPECT_EQ((Lines {Registered(kOtherCode, "")}), Journal());
}

// The add-in's key without some of its values: those members are empty, not the command line's
// and not an earlier value's text.
TEST_F(Detection, AddInKeyWithMissingValuesLeavesTheirMembersEmpty) {
  ImportText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\Velk Quillon\\CurrentVersion]\n"
             "\"Version\"=\"3\"\n\"Release\"=\"2\"\n");
  const std::string path = root_.path() + "/Quillon/bin/velkupdateutil";
  Place(path);
  EXPECT_EQ(0, RunAt(path, {"-guid", kOtherCode, "-ver", "", "-register"}));
  EXPECT_EQ((Lines {Registered("", "")}), Journal());
}

// Values the copy's keys lack leave their members empty; nothing read before leaks into them.
TEST_F(Detection, MissingValuesLeaveTheirMembersEmpty) {
  const std::string root = Copy("copies/Tarn", "TARN01", "", "\"Version\"=\"9\"\n\"Release\"=\"7\"\n");
  EXPECT_EQ(0, RunAt(root + "/cfg/install/velkupdateutil", {"-guid", kOtherCode, "-register"}));
  EXPECT_EQ((Lines {Registered("", "")}), Journal());
}

std::string Property(const std::string& name, const std::string& value) {
  return "SetCollectionProperty(\"" + kCopyCode + "\", \"UserCollection\", \"" + name + "\", \"" +
         value + "\")";
}

// A detected copy is served by the Tarn service, which sends the machine description.
TEST_F(Detection, ConfForADetectedCopySendsTheMachineDescription) {
  const std::string root = Copy("copies/Tarn", "TARN01", kCopyCode);
  EXPECT_EQ(0, RunAt(root + "/cfg/install/velkupdateutil", {"-conf"}));
  EXPECT_EQ((Lines {"AddCollection(\"" + kCopyCode + "\", \"UserCollection\")",
                    Property("MachineName", "Windows XP"), Property("MachineLocation", "United States"),
                    Property("MachineVersion", "Service Pack 3"),
                    Property("MachineProcessorArchitecture", "64 bit"), "SaveProfile(\"" + kCopyCode + "\")"}),
            Journal());
}

// Every action for a detected copy, options in any order: the agent hears them in the one fixed
// order, the machine description between the status and the removal of the registration.
TEST_F(Detection, EveryActionForADetectedCopyInTheFixedOrder) {
  const std::string root = Copy("copies/Tarn", "TARN01", kCopyCode);
  EXPECT_EQ(0, RunAt(root + "/cfg/install/velkupdateutil",
                     {"-unregister", "-conf", "-ismes", "-display", "-schedule", "7", "-register"}));
  EXPECT_EQ((Lines {Registered(kCopyCode, "9.7.0"), "SetProductSchedule(\"" + kCopyCode + "\", 7)",
                    Shown(kCopyCode), "GetProduct(\"" + kCopyCode + "\")", "GetStatus()",
                    "AddCollection(\"" + kCopyCode + "\", \"UserCollection\")",
                    Property("MachineName", "Windows XP"), Property("MachineLocation", "United States"),
                    Property("MachineVersion", "Service Pack 3"),
                    Property("MachineProcessorArchitecture", "64 bit"), "SaveProfile(\"" + kCopyCode + "\")",
                    "UnregisterProduct(\"" + kCopyCode + "\", \"Default\", -1)"}),
            Journal());
}

// A profile manager call that fails ends the run at that call: the later properties, the save
// and the removal of the registration do not happen; the error, with the profile manager's
// interface, goes to the event log; the exit status stays 0.
TEST_F(Detection, FailingProfileCallEndsTheRun) {
  const std::string root = Copy("copies/Tarn", "TARN01", kCopyCode);
  AnswerText(kCopyCode, "FailOperation", "SetCollectionProperty");
  AnswerDword(kCopyCode, "FailStatus", 0x80070005u);
  EXPECT_EQ(0, RunAt(root + "/cfg/install/velkupdateutil", {"-conf", "-unregister"}));
  EXPECT_EQ((Lines {"AddCollection(\"" + kCopyCode + "\", \"UserCollection\")",
                    Property("MachineName", "Windows XP")}),
            Journal());
  const Lines events = EventLog();
  ASSERT_EQ(1u, events.size());
  EXPECT_NE(std::string::npos, events[0].find("status 0x80070005")) << events[0];
  EXPECT_NE(std::string::npos, events[0].find("interface {C78E94E1-F309-422E-B22E-25D866F126AA}")) << events[0];
}

// Registry values longer than their members are cut to the members (38 characters of code, 64 of
// version), never copied past them.
TEST_F(Detection, OverlongRegistryValuesAreCutToTheirMembers) {
  const std::string code = "{" + std::string(100, 'C') + "}";
  const std::string part(60, '9');
  const std::string root =
      Copy("copies/Tarn", "TARN01", code,
           "\"Version\"=\"" + part + "\"\n\"Release\"=\"" + part + "\"\n\"Modification\"=\"" + part + "\"\n");
  EXPECT_EQ(0, RunAt(root + "/cfg/install/velkupdateutil", {"-register"}));
  EXPECT_EQ((Lines {Registered(code.substr(0, 38), (part + "." + part).substr(0, 64))}), Journal());
}

// The Brix add-in is served alike.
TEST_F(Detection, ConfForTheBrixAddInSendsTheMachineDescription) {
  ImportText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velk\\Velk Quillon\\CurrentVersion]\n"
             "\"BRIX Update Service Code\"=\"" + kBrixCode + "\"\n"
             "\"Version\"=\"3\"\n\"Release\"=\"2\"\n\"Modification\"=\"1\"\n");
  const std::string path = root_.path() + "/Quillon/bin/velkupdateutil";
  Place(path);
  EXPECT_EQ(0, RunAt(path, {"-conf"}));
  const Lines journal = Journal();
  ASSERT_EQ(6u, journal.size());
  EXPECT_EQ("AddCollection(\"" + kBrixCode + "\", \"UserCollection\")", journal.front());
  EXPECT_EQ("SaveProfile(\"" + kBrixCode + "\")", journal.back());
}

// With the product named on the command line nothing is detected, and the plain service sends
// no machine description.
TEST_F(Detection, NamedProductIsNotDetected) {
  const std::string root = Copy("copies/Tarn", "TARN01", kCopyCode);
  EXPECT_EQ(0, RunAt(root + "/cfg/install/velkupdateutil", {"-guid", kOtherCode, "-ver", "1.2.3", "-register", "-conf"}));
  EXPECT_EQ((Lines {Registered(kOtherCode, "1.2.3")}), Journal());
}

}  // namespace
