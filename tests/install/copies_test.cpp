// Installed copies: the copy list over registry fixtures (pre-copy installation, named copies in
// registry order, unreadable copies left out, registry views), the copies' getters and queries,
// and the process-wide list.
#include "install/copies.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "install_fixture.h"
#include "platform/winerror.h"

namespace tarn::isupport {
namespace {

using platform::ERROR_FILE_NOT_FOUND;

struct Listed {
  std::string name;
  std::string installPath;  // below the platform root
  std::string keyPath;
  int version, release, modification, fixLevel;
  std::string serviceLevel;
  TarniStatus versionStatus;
};

class CopiesTest : public test::InstallRegistryTest {
 protected:
  void SetUp() override { Import("copies.reg"); }

  InstallCopy* Find(InstallCopyList& list, const char* name) {
    InstallCopy* copy = nullptr;
    EXPECT_EQ(list.FindByName(name, &copy), 0u) << name;
    return copy;
  }
};

TEST_F(CopiesTest, ListsThePreCopyInstallationThenTheNamedCopiesInRegistryOrder) {
  const Listed expected[] = {
      {"TARNV8", "/sqllib", "SOFTWARE\\Velk\\TARN", 8, 2, 4, 0, "FP9", 0},
      {"TARNCOPY1", "/opt/tarn1", "SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY1", 11, 5, 8, 2,
       "SL1", 0},
      // No "Service Level": the not-found status, with the four numbers already read.
      {"TARNCOPY2", "/opt/tarn2", "SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY2", 10, 1, 3, 6,
       "", ERROR_FILE_NOT_FOUND},
  };
  InstallCopyList list(false, false);
  EXPECT_FALSE(list.IsFailed());
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetPreCopy(), list.GetFirst());
  int i = 0;
  for (InstallCopy* copy = list.GetFirst(); copy != nullptr; copy = list.GetNext(), ++i) {
    const Listed& want = expected[i];
    SCOPED_TRACE(want.name);
    char text[256];
    ASSERT_EQ(copy->GetName(text, sizeof text), 0u);
    EXPECT_EQ(std::string(text), want.name);
    ASSERT_EQ(copy->GetInstallPath(text, sizeof text), 0u);
    EXPECT_EQ(std::string(text), Root() + want.installPath);  // one closing '/' removed
    ASSERT_EQ(copy->GetKeyPath(text, sizeof text), 0u);
    EXPECT_EQ(std::string(text), want.keyPath);
    EXPECT_EQ(copy->IsPreCopy(), i == 0);

    VersionRecord* raw = nullptr;
    EXPECT_EQ(copy->GetVersion(&raw), want.versionStatus);
    std::unique_ptr<VersionRecord> version(raw);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->version, want.version);
    EXPECT_EQ(version->release, want.release);
    EXPECT_EQ(version->modification, want.modification);
    EXPECT_EQ(version->fixLevel, want.fixLevel);  // the pre-copy installation's "Fix Level" unread
    EXPECT_EQ(std::string(version->serviceLevel), want.serviceLevel);
  }
  EXPECT_EQ(i, 3);
}

TEST_F(CopiesTest, CopyWithoutInstallPathIsLeftOutAndNamedInTheDebuggerOutput) {
  InstallCopyList list(false, false);
  EXPECT_FALSE(list.ContainsName("BROKEN"));
  EXPECT_FALSE(list.IsFailed());
  EXPECT_EQ(DebugOutput(), "Invalid Installation Name\nBROKEN\n");

  InstallCopy broken("BROKEN", false, false);
  EXPECT_TRUE(broken.IsFailed());
  InstallCopy missing("NOSUCHCOPY", false, false);
  EXPECT_TRUE(missing.IsFailed());
  // A name longer than 64 characters is refused, not cut to another copy's name.
  InstallCopy overlong((std::string("TARNCOPY1") + std::string(60, 'x')).c_str(), false, false);
  EXPECT_TRUE(overlong.IsFailed());
  char name[128] = "#";
  EXPECT_EQ(overlong.GetName(name, sizeof name), 0u);
  EXPECT_STREQ(name, "");
  // An empty name is a copy without key or path, not a failed one.
  InstallCopy unnamed("", false, false);
  EXPECT_FALSE(unnamed.IsFailed());
  EXPECT_FALSE(unnamed.IsDefaultCopy());
  EXPECT_FALSE(unnamed.IsMergeModuleCopy());
  VersionRecord* raw = nullptr;
  EXPECT_EQ(unnamed.GetVersion(&raw), ERROR_FILE_NOT_FOUND);
  delete raw;
  EXPECT_EQ(unnamed.GetVersion(nullptr), RC_NULL_ARGUMENT);
}

TEST_F(CopiesTest, WithoutPreCopyInstallationOnlyTheNamedCopies) {
  InstallCopyList before(false, false);
  ASSERT_NE(before.GetPreCopy(), nullptr);
  platform::HKEY key = nullptr;
  ASSERT_EQ(platform::RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\TARN\\CurrentVersion", 0,
                                   platform::KEY_SET_VALUE, &key),
            0);
  const char nine[] = "9";
  platform::RegSetValueEx(key, "Version", 0, platform::REG_SZ,
                          reinterpret_cast<const BYTE*>(nine), sizeof nine);
  platform::RegCloseKey(key);
  InstallCopyList list(false, false);
  EXPECT_EQ(list.GetPreCopy(), nullptr);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_STREQ(list.GetFirst()->Name(), "TARNCOPY1");
}

TEST_F(CopiesTest, FindByPath) {
  std::filesystem::create_directories(Root() + "/opt/elsewhere");
  struct PathCase {
    const char* path;  // below the platform root
    TarniStatus status;
    const char* copy;
  };
  const PathCase cases[] = {
      {"/opt/tarn1", 0, "TARNCOPY1"},   // the registry holds it with a closing '/'
      {"/opt/tarn1/", 0, "TARNCOPY1"},  // one closing '/' given
      {"/opt/tarn2/", 0, "TARNCOPY2"},  // the registry holds it without
      {"/sqllib", 0, "TARNV8"},
      {"/opt/elsewhere", RC_NOT_FOUND, nullptr},
      {"/opt/tarn1/bin", RC_REGISTRY_FAILURE, nullptr},  // no short form: it does not exist
  };
  InstallCopyList list(false, false);
  list.GetFirst();
  list.GetNext();  // a walk in progress
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    InstallCopy* copy = nullptr;
    EXPECT_EQ(list.FindByPath((Root() + c.path).c_str(), &copy), c.status);
    if (c.copy != nullptr) {
      ASSERT_NE(copy, nullptr);
      EXPECT_STREQ(copy->Name(), c.copy);
    } else {
      EXPECT_EQ(copy, nullptr);
    }
  }
  ASSERT_NE(list.GetCurrent(), nullptr);  // the walk's position is kept
  EXPECT_STREQ(list.GetCurrent()->Name(), "TARNCOPY1");
  InstallCopy* copy = nullptr;
  EXPECT_EQ(list.FindByPath(nullptr, &copy), RC_NULL_ARGUMENT);
  EXPECT_EQ(list.FindByPath(Root().c_str(), nullptr), RC_NULL_ARGUMENT);

  // A copy whose directory is gone matches nothing, even its own recorded path.
  std::filesystem::remove_all(Root() + "/opt/tarn2");
  EXPECT_EQ(list.FindByPath((Root() + "/opt/tarn1").c_str(), &copy), 0u);
  char shortPath[256];
  EXPECT_EQ(copy->GetShortInstallPath(shortPath, sizeof shortPath), 0u);
  EXPECT_EQ(std::string(shortPath), Root() + "/opt/tarn1");
  ASSERT_EQ(list.FindByName("TARNCOPY2", &copy), 0u);
  EXPECT_EQ(copy->GetShortInstallPath(shortPath, sizeof shortPath), RC_REGISTRY_FAILURE);
}

TEST_F(CopiesTest, SearchesByNameAndDefaults) {
  InstallCopyList list(false, false);
  InstallCopy* copy = nullptr;
  ASSERT_EQ(list.FindByName("tarncopy2", &copy), 0u);  // names compare ignoring case
  EXPECT_STREQ(copy->Name(), "TARNCOPY2");
  EXPECT_EQ(list.FindByName("TARNCOPY3", &copy), RC_NOT_FOUND);
  EXPECT_EQ(list.FindByName("TARNCOPY1", nullptr), RC_NULL_ARGUMENT);
  EXPECT_EQ(list.FindByName(nullptr, &copy), RC_NULL_ARGUMENT);
  EXPECT_TRUE(list.ContainsName("TarnV8"));
  EXPECT_FALSE(list.ContainsName(nullptr));

  InstallCopy sameName("tarncopy1", false, false);
  EXPECT_TRUE(list.ContainsCopy(&sameName));
  InstallCopy other("BROKEN", false, false);
  EXPECT_FALSE(list.ContainsCopy(&other));
  EXPECT_FALSE(list.ContainsCopy(nullptr));

  // The pre-copy installation is the default copy whatever InstalledCopies names, and it is
  // listed first.
  ASSERT_EQ(list.FindDefaultCopy(&copy), 0u);
  EXPECT_STREQ(copy->Name(), "TARNV8");
  ASSERT_EQ(list.FindDefaultClientCopy(&copy), 0u);
  EXPECT_STREQ(copy->Name(), "TARNCOPY1");  // named as "tarncopy1"
  EXPECT_EQ(list.FindDefaultCopy(nullptr), RC_NULL_ARGUMENT);
  EXPECT_EQ(list.FindDefaultClientCopy(nullptr), RC_NULL_ARGUMENT);
}

TEST_F(CopiesTest, FlagQueries) {
  struct FlagCase {
    const char* name;
    bool isDefault, isDefaultClient, mergeModule, clientOnly, extendedSecurity, perUser;
  };
  const FlagCase cases[] = {
      {"TARNV8", true, false, false, false, false, false},
      {"TARNCOPY1", false, true, true, false, true, false},
      {"TARNCOPY2", true, false, false, false, false, true},
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(c.name);
    InstallCopy copy(c.name, false, false);
    ASSERT_FALSE(copy.IsFailed());
    EXPECT_EQ(copy.IsDefaultCopy(), c.isDefault);
    EXPECT_EQ(copy.IsDefaultClientCopy(), c.isDefaultClient);
    EXPECT_EQ(copy.IsMergeModuleCopy(), c.mergeModule);
    EXPECT_EQ(copy.IsClientInterfaceOnlyCopy(), c.clientOnly);
    EXPECT_EQ(copy.IsExtendedSecurity(), c.extendedSecurity);
    EXPECT_EQ(copy.IsPerUser(), c.perUser);
  }
  InstallCopy copy("TARNCOPY1", false, false);
  EXPECT_EQ(copy.GetPackageVariant(), 0);
  copy.SetPackageVariant(-3);
  EXPECT_EQ(copy.GetPackageVariant(), -3);
}

TEST_F(CopiesTest, ComponentsComeFromTheMachineOrTheUser) {
  auto names = [](InstallCopy& copy) {
    std::vector<std::string> out;
    ILIST<char>& list = copy.GetComponents();
    for (char* name = list.GetFirst(); name != nullptr; name = list.GetNext()) out.push_back(name);
    return out;
  };
  InstallCopy machine("TARNCOPY1", false, false);
  EXPECT_EQ(names(machine), (std::vector<std::string>{"Client", "Server"}));
  EXPECT_FALSE(machine.LoadComponents());  // reading again replaces, not doubles
  EXPECT_EQ(names(machine), (std::vector<std::string>{"Client", "Server"}));
  InstallCopy user("TARNCOPY2", false, false);  // per-user: HKEY_CURRENT_USER's list
  EXPECT_EQ(names(user), (std::vector<std::string>{"UserTools"}));
  InstallCopy none("TARNV8", false, false);
  EXPECT_TRUE(none.LoadComponents());  // no COMPONENTS key
  EXPECT_TRUE(names(none).empty());
}

// Every text getter, with a buffer of exactly the right size, one too small, and none.
TEST_F(CopiesTest, GettersNeverCut) {
  InstallCopy copy("TARNCOPY1", false, false);
  using Getter = TarniStatus (InstallCopy::*)(char*, std::size_t) const;
  struct GetterCase {
    const char* label;
    Getter getter;
    std::string expected;
  };
  const GetterCase cases[] = {
      {"GetName", &InstallCopy::GetName, "TARNCOPY1"},
      {"GetInstallPath", &InstallCopy::GetInstallPath, Root() + "/opt/tarn1"},
      {"GetKeyPath", &InstallCopy::GetKeyPath, "SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY1"},
      {"GetShortInstallPath", &InstallCopy::GetShortInstallPath, Root() + "/opt/tarn1"},
      {"GetDefaultInstance", &InstallCopy::GetDefaultInstance, "TARN"},
      {"GetInstanceProfileDirectory", &InstallCopy::GetInstanceProfileDirectory,
       Root() + "/profiles"},
  };
  for (const GetterCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<char> buffer(c.expected.size() + 1, '#');
    EXPECT_EQ((copy.*c.getter)(buffer.data(), buffer.size() - 1), RC_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(buffer.size(), '#'));
    ASSERT_EQ((copy.*c.getter)(buffer.data(), buffer.size()), 0u);
    EXPECT_EQ(std::string(buffer.data()), c.expected);
    EXPECT_EQ((copy.*c.getter)(nullptr, 256), RC_NULL_ARGUMENT);
  }
}

TEST_F(CopiesTest, GlobalProfileValues) {
  InstallCopy one("TARNCOPY1", false, false);
  InstallCopy two("TARNCOPY2", false, false);
  char buffer[128];

  // The admin group needs room for 64 characters whatever the value's length.
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(one.GetAdminGroup(buffer, 64), RC_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], '#');
  ASSERT_EQ(one.GetAdminGroup(buffer, 65), 0u);
  EXPECT_STREQ(buffer, "TarnAdmins");
  EXPECT_EQ(two.GetAdminGroup(buffer, sizeof buffer), RC_REGISTRY_FAILURE);
  EXPECT_EQ(one.GetAdminGroup(nullptr, sizeof buffer), RC_NULL_ARGUMENT);

  EXPECT_EQ(two.GetDefaultInstance(buffer, sizeof buffer), RC_REGISTRY_FAILURE);
  InstallCopy unnamed("", false, false);
  EXPECT_EQ(unnamed.GetDefaultInstance(buffer, sizeof buffer), RC_NULL_ARGUMENT);

  // Without "TARNINSTPROF" the profiles live in the install directory.
  ASSERT_EQ(two.GetInstanceProfileDirectory(buffer, sizeof buffer), 0u);
  EXPECT_EQ(std::string(buffer), Root() + "/opt/tarn2");
}

TEST_F(CopiesTest, OleDbClassIds) {
  InstallCopy one("TARNCOPY1", false, false);
  char narrow[5][39];
  ASSERT_EQ(one.GetOleDbClassIds(narrow[0], narrow[1], narrow[2], narrow[3], narrow[4]), 0u);
  char16_t wide[5][39];
  ASSERT_EQ(one.GetOleDbClassIds(wide[0], wide[1], wide[2], wide[3], wide[4]), 0u);
  for (int i = 0; i < 5; ++i) {
    const std::string expected =
        "{1E5A8C40-0000-4000-8000-00000000000" + std::to_string(i + 1) + "}";
    EXPECT_EQ(std::string(narrow[i]), expected);
    EXPECT_EQ(std::u16string(wide[i]), std::u16string(expected.begin(), expected.end()));
  }

  // One value of TARNCOPY2 is one character too long: nothing is written.
  InstallCopy two("TARNCOPY2", false, false);
  std::memset(narrow, '#', sizeof narrow);
  EXPECT_EQ(two.GetOleDbClassIds(narrow[0], narrow[1], narrow[2], narrow[3], narrow[4]),
            RC_BUFFER_TOO_SMALL);
  EXPECT_EQ(two.GetOleDbClassIds(wide[0], wide[1], wide[2], wide[3], wide[4]),
            RC_BUFFER_TOO_SMALL);
  for (const auto& id : narrow) EXPECT_EQ(id[0], '#');

  InstallCopy pre("TARNV8", false, false);  // registers no provider
  EXPECT_EQ(pre.GetOleDbClassIds(narrow[0], narrow[1], narrow[2], narrow[3], narrow[4]),
            RC_REGISTRY_FAILURE);
  InstallCopy unnamed("", false, false);
  EXPECT_EQ(unnamed.GetOleDbClassIds(narrow[0], narrow[1], narrow[2], narrow[3], narrow[4]),
            RC_NULL_ARGUMENT);
  EXPECT_EQ(one.GetOleDbClassIds(narrow[0], narrow[1], nullptr, narrow[3], narrow[4]),
            RC_NULL_ARGUMENT);
}

// Fixtures other than copies.reg.
using OtherFixtureTest = test::InstallRegistryTest;

TEST_F(OtherFixtureTest, UnreadablePreCopyInstallationFailsTheList) {
  Import("precopy-broken.reg");
  InstallCopyList list(false, false);
  EXPECT_TRUE(list.IsFailed());
  EXPECT_EQ(list.Count(), 0);  // the named copies are not read after it
  EXPECT_EQ(list.GetPreCopy(), nullptr);
}

// The first value of CurrentVersion that cannot be read ends GetVersion with its status: the
// numbers before it are in the record, the ones after it are not read.
TEST_F(OtherFixtureTest, GetVersionStopsAtTheFirstUnreadableValue) {
  Import("versions.reg");
  struct VersionCase {
    const char* copy;
    TarniStatus status;
    int version, release, modification, fixLevel;
    const char* serviceLevel;
  };
  const VersionCase cases[] = {
      {"NORELEASE", ERROR_FILE_NOT_FOUND, 9, 0, 0, 0, ""},
      {"NOFIXLEVEL", ERROR_FILE_NOT_FOUND, 9, 7, 1, 0, ""},
      {"NOVERSIONKEY", ERROR_FILE_NOT_FOUND, 0, 0, 0, 0, ""},
      {"LONGMODIFICATION", platform::ERROR_MORE_DATA, 9, 7, 0, 0, ""},
      {"EMPTYSERVICELEVEL", 0, 11, 2, 3, 4, ""},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.copy);
    InstallCopy copy(c.copy, false, false);
    ASSERT_FALSE(copy.IsFailed());
    VersionRecord* raw = nullptr;
    EXPECT_EQ(copy.GetVersion(&raw), c.status);
    std::unique_ptr<VersionRecord> record(raw);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->version, c.version);
    EXPECT_EQ(record->release, c.release);
    EXPECT_EQ(record->modification, c.modification);
    EXPECT_EQ(record->fixLevel, c.fixLevel);
    EXPECT_STREQ(record->serviceLevel, c.serviceLevel);
  }
}

TEST_F(OtherFixtureTest, NoInstalledCopiesKeyGivesAnEmptyList) {
  InstallCopyList list(false, false);
  EXPECT_FALSE(list.IsFailed());
  EXPECT_EQ(list.Count(), 0);
  InstallCopy* copy = nullptr;
  EXPECT_EQ(list.FindDefaultCopy(&copy), RC_NOT_FOUND);
}

TEST_F(OtherFixtureTest, ThirtyTwoAndSixtyFourBitViewsSeeDifferentCopies) {
  Import("views.reg");
  struct ViewCase {
    bool view32, view64;
    std::vector<std::string> names;
    std::vector<std::string> paths;
  };
  const ViewCase cases[] = {
      {false, false, {"COPY64"}, {"/opt/copy64"}},
      {false, true, {"COPY64"}, {"/opt/copy64"}},
      {true, false, {"TARNV8", "COPY32"}, {"/opt/precopy32", "/opt/copy32"}},
  };
  for (const ViewCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "view32 " << c.view32 << " view64 " << c.view64);
    InstallCopyList list(c.view32, c.view64);
    EXPECT_FALSE(list.IsFailed());
    EXPECT_EQ(list.GetView32(), c.view32 ? 0x200u : 0u);
    EXPECT_EQ(list.GetView64(), c.view64 ? 0x100u : 0u);
    std::vector<std::string> names, paths;
    for (InstallCopy* copy = list.GetFirst(); copy != nullptr; copy = list.GetNext()) {
      names.emplace_back(copy->Name());
      paths.emplace_back(std::string(copy->InstallPath()).substr(Root().size()));
      EXPECT_EQ(copy->GetView32(), list.GetView32());
    }
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(paths, c.paths);
  }
}

TEST_F(OtherFixtureTest, ProcessWideListFollowsTheViewSetting) {
  Import("views.reg");
  InstallCopyListSingleton::Release();
  InstallCopyListSingleton::SetUse32BitView(false);
  EXPECT_FALSE(InstallCopyListSingleton::GetUse32BitView());
  InstallCopyListSingleton* list = InstallCopyListSingleton::GetInstance();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(InstallCopyListSingleton::GetInstance(), list);  // built once
  EXPECT_TRUE(list->ContainsName("COPY64"));
  EXPECT_EQ(list->GetView64(), 0u);  // never the 64-bit flag

  InstallCopyListSingleton::SetUse32BitView(true);
  EXPECT_TRUE(InstallCopyListSingleton::GetInstance()->ContainsName("COPY64"));  // not rebuilt
  list = InstallCopyListSingleton::Refresh();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(InstallCopyListSingleton::GetInstance(), list);
  EXPECT_TRUE(list->ContainsName("COPY32"));
  EXPECT_FALSE(list->ContainsName("COPY64"));

  InstallCopyListSingleton::Release();
  InstallCopyListSingleton::SetUse32BitView(false);
  EXPECT_TRUE(InstallCopyListSingleton::GetInstance()->ContainsName("COPY64"));
  InstallCopyListSingleton::Release();
}

}  // namespace
}  // namespace tarn::isupport
