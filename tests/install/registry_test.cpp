// The registry toolkit: copy-name substitution, TarniRegistry's statuses, FindValue's
// wrap-around, IsKeyEmpty and DeleteKeyTree with and without a name to keep.
#include "install/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "install_fixture.h"
#include "platform/winerror.h"

namespace tarn::isupport {
namespace {

using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_BADKEY;
using platform::ERROR_FILE_NOT_FOUND;
using platform::KEY_ALL_ACCESS;
using platform::KEY_QUERY_VALUE;
using platform::KEY_READ;
using platform::REG_SZ;

constexpr char kCopyKey[] = "SOFTWARE\\Velk\\TARN\\InstalledCopies\\$CurrentInstallationName$";

// ---------------------------------------------------------------------------------------------
// SubstituteCopyName

struct SubstituteCase {
  const char* label;
  std::string text;
  const char* copyName;
  bool refused;
  std::string expected;
  bool samePointer;  // the input text comes back as it is
};

const std::string kLongName(50, 'n');

const SubstituteCase kSubstituteCases[] = {
    {"OneToken", kCopyKey, "TARNCOPY1", false, "SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY1",
     false},
    {"DefaultToken", "K\\$DefaultInstallationName$\\X", "DEF", false, "K\\DEF\\X", false},
    {"TwoTokens", "$CurrentInstallationName$\\a\\$CurrentInstallationName$\\b", "C1", false,
     "C1\\a\\C1\\b", false},
    {"BothTokensOnlyCurrent", "$DefaultInstallationName$\\$CurrentInstallationName$", "C1", false,
     "$DefaultInstallationName$\\C1", false},
    {"NoToken", "SOFTWARE\\Velk\\TARN", "C1", false, "SOFTWARE\\Velk\\TARN", true},
    {"NullCopyName", kCopyKey, nullptr, false, kCopyKey, true},
    {"EmptyCopyNameRemovesToken", "A\\$CurrentInstallationName$\\B", "", false, "A\\\\B", false},
    {"NameHoldingTheTokenIsNotSearchedAgain",
     "$CurrentInstallationName$-$CurrentInstallationName$", "x$CurrentInstallationName$", false,
     "x$CurrentInstallationName$-x$CurrentInstallationName$", false},
    {"LongestText", std::string(1023, 'a'), "C1", false, std::string(1023, 'a'), true},
    {"TextOverWorkBuffer", std::string(1024, 'a'), "C1", true, "", false},
    {"ResultOverWorkBuffer", std::string(980, 'a') + "$CurrentInstallationName$",
     kLongName.c_str(), true, "", false},
};

class SubstituteCopyNameTest : public ::testing::TestWithParam<SubstituteCase> {};

TEST_P(SubstituteCopyNameTest, InternalBuffer) {
  const SubstituteCase& c = GetParam();
  const char* result = SubstituteCopyName(c.text.c_str(), c.copyName);
  if (c.refused) {
    EXPECT_EQ(result, nullptr);
    return;
  }
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(std::string(result), c.expected);
  EXPECT_EQ(result == c.text.c_str(), c.samePointer);
}

TEST_P(SubstituteCopyNameTest, DestinationBuffer) {
  const SubstituteCase& c = GetParam();
  std::vector<char> destination(2048, '#');
  const char* result =
      SubstituteCopyName(c.text.c_str(), c.copyName, destination.size(), destination.data());
  if (c.refused) {
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(destination[0], '#');
    return;
  }
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(std::string(result), c.expected);
  EXPECT_EQ(std::string(destination.data()), c.expected);  // also when nothing was replaced
  EXPECT_EQ(result == c.text.c_str(), c.samePointer);
}

INSTANTIATE_TEST_SUITE_P(Table, SubstituteCopyNameTest, ::testing::ValuesIn(kSubstituteCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SubstituteCopyNameCapacity, RefusesTextOrResultLongerThanTheDestination) {
  char destination[32];
  std::memset(destination, '#', sizeof destination);
  // The text itself (32 characters and the zero) does not fit.
  EXPECT_EQ(SubstituteCopyName(std::string(32, 't').c_str(), "C", sizeof destination,
                               destination),
            nullptr);
  // The text fits (27 characters), the result (33) would not: refused, nothing written.
  EXPECT_EQ(SubstituteCopyName("ab$CurrentInstallationName$", std::string(31, 'n').c_str(),
                               sizeof destination, destination),
            nullptr);
  EXPECT_EQ(destination[0], '#');
  // Exactly full: 31 characters and the zero.
  const char* result = SubstituteCopyName("ab$CurrentInstallationName$",
                                          std::string(29, 'n').c_str(), sizeof destination,
                                          destination);
  ASSERT_EQ(result, destination);
  EXPECT_EQ(std::string(destination), "ab" + std::string(29, 'n'));
}

TEST(ReplaceTokenTest, ReplacesEveryOccurrenceWithinTheBuffer) {
  char text[32] = "<T>-<T>-<T>";
  ASSERT_EQ(ReplaceToken(text, sizeof text, "<T>", "ab"), text);
  EXPECT_STREQ(text, "ab-ab-ab");
  // A replacement holding the token: inserted text is not searched again.
  char loop[32] = "<T><T>";
  ASSERT_EQ(ReplaceToken(loop, sizeof loop, "<T>", "<T><T>"), loop);
  EXPECT_STREQ(loop, "<T><T><T><T>");
  // Absent token and empty token leave the text alone.
  char plain[8] = "abc";
  EXPECT_EQ(ReplaceToken(plain, sizeof plain, "<T>", "x"), plain);
  EXPECT_EQ(ReplaceToken(plain, sizeof plain, "", "x"), plain);
  EXPECT_STREQ(plain, "abc");
  // A result longer than the buffer is refused and the text is kept.
  char small[8] = "<T><T>";
  EXPECT_EQ(ReplaceToken(small, sizeof small, "<T>", "abcd"), nullptr);
  EXPECT_STREQ(small, "<T><T>");
}

// ---------------------------------------------------------------------------------------------
// TarniRegistry against the toolkit fixture

class ToolkitTest : public test::InstallRegistryTest {
 protected:
  void SetUp() override { Import("toolkit.reg"); }

  static bool Exists(const char* path) {
    TarniRegistry key;
    return key.Open(HKEY_LOCAL_MACHINE, path, KEY_READ) == 0;
  }
};

TEST_F(ToolkitTest, OpenCreateAndValueStatuses) {
  TarniRegistry key;
  EXPECT_EQ(key.QueryValue("x", nullptr, nullptr), RC_REGISTRY_FAILURE);  // closed
  EXPECT_EQ(key.SetValue("x", "1", 2, REG_SZ), RC_REGISTRY_FAILURE);
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Missing", KEY_READ),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(key.GetKey(), nullptr);

  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\Values", KEY_READ), 0u);
  EXPECT_TRUE(key.IsOpen());
  char data[8];
  DWORD size = sizeof data;
  ASSERT_EQ(key.QueryValue("Target", data, &size), 0u);
  EXPECT_EQ(size, 2u);
  EXPECT_STREQ(data, "t");
  size = sizeof data;
  EXPECT_EQ(key.QueryValue("Nope", data, &size), RC_REGISTRY_FAILURE);
  // Read rights only: writes are refused with the access-denied status.
  EXPECT_EQ(key.SetValue("New", "1", 2, REG_SZ), ERROR_ACCESS_DENIED);
  // ... and so is a subkey created below this handle.
  TarniRegistry child;
  EXPECT_EQ(child.Create(key.GetKey(), "Child", KEY_ALL_ACCESS), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(child.IsOpen());

  TarniRegistry writable(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\Created", true, KEY_READ);
  ASSERT_TRUE(writable.IsOpen());
  EXPECT_EQ(writable.SetValue("New", "1", 2, REG_SZ), 0u);
  EXPECT_EQ(writable.DeleteValue("New"), 0u);
  EXPECT_EQ(writable.DeleteValue("New"), RC_REGISTRY_FAILURE);

  TarniRegistry opened(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\NotThere", false, KEY_READ);
  EXPECT_FALSE(opened.IsOpen());
}

TEST_F(ToolkitTest, AttachedKeyIsBorrowed) {
  TarniRegistry owner;
  ASSERT_EQ(owner.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\Values", KEY_READ), 0u);
  {
    TarniRegistry borrower;
    borrower.Attach(owner.GetKey());
    EXPECT_FALSE(borrower.IsOpen());  // IsOpen counts only keys of its own
    char data[8];
    DWORD size = sizeof data;
    EXPECT_EQ(borrower.QueryValue("Alpha", data, &size), 0u);
  }  // the borrower's destructor must leave the handle open
  char data[8];
  DWORD size = sizeof data;
  EXPECT_EQ(owner.QueryValue("Alpha", data, &size), 0u);
}

TEST_F(ToolkitTest, CopyNameKeys) {
  TarniCopyNameRegistry copy(HKEY_LOCAL_MACHINE, kCopyKey, false, "TARNCOPY1", KEY_QUERY_VALUE);
  ASSERT_TRUE(copy.IsOpen());
  char path[64];
  DWORD size = sizeof path;
  ASSERT_EQ(copy.QueryValue("TARN Path Name", path, &size), 0u);
  EXPECT_STREQ(path, "/opt/velk/tarn1");

  TarniCopyNameRegistry missing(HKEY_LOCAL_MACHINE, kCopyKey, false, "NOCOPY", KEY_QUERY_VALUE);
  EXPECT_FALSE(missing.IsOpen());

  TarniRegistry key;
  EXPECT_EQ(key.OpenForCopy(HKEY_LOCAL_MACHINE, kCopyKey, "NOCOPY", KEY_READ),
            ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(key.OpenedForCopy(HKEY_LOCAL_MACHINE, kCopyKey, "tarncopy1", KEY_READ));
  // A path that cannot be substituted names no key at all (not the root).
  const std::string longName(1100, 'n');
  EXPECT_EQ(key.OpenForCopy(HKEY_LOCAL_MACHINE, kCopyKey, longName.c_str(), KEY_READ),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());

  EXPECT_EQ(key.CreateForCopy(HKEY_LOCAL_MACHINE, kCopyKey, "NEWCOPY", KEY_ALL_ACCESS), 0);
  EXPECT_TRUE(Exists("SOFTWARE\\Velk\\TARN\\InstalledCopies\\NEWCOPY"));
  TarniCopyNameRegistry created(HKEY_LOCAL_MACHINE, kCopyKey, true, "OTHERCOPY", KEY_READ);
  EXPECT_TRUE(created.IsOpen());
  EXPECT_TRUE(Exists("SOFTWARE\\Velk\\TARN\\InstalledCopies\\OTHERCOPY"));
}

struct FindCase {
  const char* name;
  DWORD start;
  bool found;
  DWORD position;  // after the call
};

TEST_F(ToolkitTest, FindValueWrapsAround) {
  // Values: Alpha 0, Target 1, Gamma 2, Delta 3, Omega 4.
  const FindCase cases[] = {
      {"Target", 0, true, 2},   // found in the first pass
      {"Target", 1, true, 2},
      {"Target", 3, true, 2},   // found when wrapping round to the values before 3
      {"Alpha", 4, true, 1},
      {"Omega", 4, true, 5},
      {"Target", 9, true, 2},   // a start past the end wraps round at once
      {"target", 0, false, 0},  // names compare exactly
      {"Missing", 3, false, 3}, // not found: the position stays
  };
  TarniRegistry key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\Values", KEY_READ), 0u);
  for (const FindCase& c : cases) {
    bool found = !c.found;
    DWORD position = c.start;
    EXPECT_EQ(key.FindValue(c.name, &found, &position), 0u);
    EXPECT_EQ(found, c.found) << c.name << " from " << c.start;
    EXPECT_EQ(position, c.position) << c.name << " from " << c.start;
  }
  // A value whose name is too long to compare is passed over, not the end of the search.
  TarniRegistry longNames;
  ASSERT_EQ(longNames.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\LongNames", KEY_READ),
            0u);
  bool foundAfterLong = false;
  DWORD positionAfterLong = 0;
  EXPECT_EQ(longNames.FindValue("Target", &foundAfterLong, &positionAfterLong), 0u);
  EXPECT_TRUE(foundAfterLong);
  EXPECT_EQ(positionAfterLong, 2u);

  TarniRegistry closed;
  bool found = true;
  DWORD position = 0;
  EXPECT_EQ(closed.FindValue("Target", &found, &position), 0u);
  EXPECT_FALSE(found);
}

TEST_F(ToolkitTest, IsKeyEmpty) {
  EXPECT_TRUE(IsKeyEmpty(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\Empty"));
  EXPECT_FALSE(IsKeyEmpty(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\OnlyValue"));
  EXPECT_FALSE(IsKeyEmpty(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\OnlySubkey"));
  EXPECT_FALSE(IsKeyEmpty(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velk\\Test\\Missing"));
  EXPECT_FALSE(IsKeyEmpty(HKEY_LOCAL_MACHINE, ""));
  EXPECT_FALSE(IsKeyEmpty(HKEY_LOCAL_MACHINE, nullptr));
}

struct DeleteCase {
  const char* label;
  const char* path;
  const char* keep;
  LONG status;
  std::vector<const char*> remaining;  // below SOFTWARE\Velk\Test
  std::vector<const char*> gone;
};

TEST_F(ToolkitTest, DeleteKeyTree) {
  const DeleteCase cases[] = {
      {"no keep name", "SOFTWARE\\Velk\\Test\\Flat", nullptr, 0, {}, {"Flat"}},
      {"empty keep name", "SOFTWARE\\Velk\\Test\\Nested", "", 0, {}, {"Nested"}},
      // Every other subkey goes; the parent stays for the kept one and its deletion fails.
      {"keep a direct subkey", "SOFTWARE\\Velk\\Test\\Flat", "Keep",
       static_cast<LONG>(ERROR_ACCESS_DENIED), {"Flat", "Flat\\Keep"},
       {"Flat\\A", "Flat\\A\\A1", "Flat\\B", "Flat\\Z"}},
      // The kept key below B makes B's deletion fail, which ends the walk before C.
      {"keep below a subkey", "SOFTWARE\\Velk\\Test\\Nested", "Keep",
       static_cast<LONG>(ERROR_ACCESS_DENIED), {"Nested", "Nested\\B\\Keep", "Nested\\C"},
       {"Nested\\A"}},
      // The keep name compares exactly.
      {"keep name of another case", "SOFTWARE\\Velk\\Test\\Flat", "keep", 0, {}, {"Flat"}},
      {"missing key", "SOFTWARE\\Velk\\Test\\Missing", nullptr,
       static_cast<LONG>(ERROR_FILE_NOT_FOUND), {"Empty"}, {}},
      {"empty path", "", nullptr, static_cast<LONG>(ERROR_BADKEY), {"Empty"}, {}},
  };
  for (const DeleteCase& c : cases) {
    SCOPED_TRACE(c.label);
    // Each case starts from the whole fixture again.
    Import("toolkit.reg");
    EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, c.path, false, c.keep), c.status);
    for (const char* key : c.remaining) {
      EXPECT_TRUE(Exists((std::string("SOFTWARE\\Velk\\Test\\") + key).c_str())) << key;
    }
    for (const char* key : c.gone) {
      EXPECT_FALSE(Exists((std::string("SOFTWARE\\Velk\\Test\\") + key).c_str())) << key;
    }
  }
  EXPECT_EQ(DeleteKeyTree(HKEY_LOCAL_MACHINE, nullptr, false, nullptr),
            static_cast<LONG>(ERROR_BADKEY));
}

TEST_F(ToolkitTest, DeleteCopyKeyTreeKeepsTheNamedSubkey) {
  Import("copies.reg");
  EXPECT_EQ(DeleteCopyKeyTree(HKEY_LOCAL_MACHINE, kCopyKey, false, "TARNCOPY1", "COMPONENTS"),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(Exists("SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY1\\COMPONENTS"));
  EXPECT_FALSE(Exists("SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY1\\CurrentVersion"));
  EXPECT_TRUE(Exists("SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY2\\CurrentVersion"));

  EXPECT_EQ(DeleteCopyKeyTree(HKEY_LOCAL_MACHINE, kCopyKey, false, "TARNCOPY2", nullptr), 0);
  EXPECT_FALSE(Exists("SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY2"));
  // A path that cannot be substituted is no key.
  const std::string longName(1100, 'n');
  EXPECT_EQ(DeleteCopyKeyTree(HKEY_LOCAL_MACHINE, kCopyKey, false, longName.c_str(), nullptr),
            static_cast<LONG>(ERROR_BADKEY));
}

}  // namespace
}  // namespace tarn::isupport
