// The command line, path expansion and the pure mappings of the update service.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "test_root.h"
#include "update/updateservice.h"

namespace {

// The factory's members, for the tests to read.
class FactoryProbe : public CUpdateServiceFactory {
 public:
  using CUpdateServiceFactory::CUpdateServiceFactory;
  std::uint32_t Flags() const { return flags; }
  std::string Code() const { return productCode; }
  std::string Version() const { return version; }
  std::int32_t ScheduleValue() const { return scheduleValue; }
  std::string ModulePath() const { return modulePath; }
  void SetModulePath(const char* path) {
    std::strncpy(modulePath, path, sizeof modulePath - 1);
  }
};

// argv as main receives it: writable texts, the program name first.
class Arguments {
 public:
  explicit Arguments(const std::vector<std::string>& args) {
    texts_.push_back("velkupdateutil");
    texts_.insert(texts_.end(), args.begin(), args.end());
    for (std::string& t : texts_) pointers_.push_back(t.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(texts_.size()); }
  char** argv() { return pointers_.data(); }
  std::string at(std::size_t i) const { return pointers_[i]; }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

struct ParseCase {
  const char* what;
  std::vector<std::string> args;
  std::uint32_t flags;
  std::string code;
  std::string version;
  std::int32_t schedule;
};

class ParseCommandLine : public ::testing::TestWithParam<ParseCase> {
 protected:
  tarn::test::TempPlatformRoot root_;
};

TEST_P(ParseCommandLine, SetsBitsAndValues) {
  const ParseCase& c = GetParam();
  Arguments args(c.args);
  FactoryProbe factory(args.argc(), args.argv());
  EXPECT_EQ(c.flags, factory.Flags());
  EXPECT_EQ(c.code, factory.Code());
  EXPECT_EQ(c.version, factory.Version());
  EXPECT_EQ(c.schedule, factory.ScheduleValue());
}

const std::string kLongCode = "{" + std::string(36, 'A') + "}-and-then-some";  // 52 characters
const std::string kLongVersion(100, '9');

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCommandLine,
    ::testing::Values(
        ParseCase {"no arguments", {}, 0, "", "", 0},
        ParseCase {"upper case", {"-REGISTER"}, ACTION_REGISTER, "", "", 0},
        ParseCase {"mixed case", {"-ReGiStEr"}, ACTION_REGISTER, "", "", 0},
        ParseCase {"prefix only", {"-registerx", "-reg", "register"}, 0, "", "", 0},
        ParseCase {"every option", {"-display", "-ismes", "-schedule", "1", "-register", "-language", "-conf", "-unregister"},
                   0x1111111u, "", "", 1},
        ParseCase {"values keep their case", {"-GUID", "{AbCd}", "-Ver", "9.7.0-Beta"}, 0, "{AbCd}", "9.7.0-Beta", 0},
        ParseCase {"value that is an option", {"-guid", "-display"}, ACTION_DISPLAY, "-display", "", 0},
        ParseCase {"value that is an option, upper case", {"-ver", "-ISMES"}, ACTION_ISMES, "", "-ISMES", 0},
        ParseCase {"repeats accumulate, last value wins",
                   {"-display", "-ver", "1.0.0", "-display", "-ver", "2.0.0", "-schedule", "3", "-schedule", "4"},
                   ACTION_DISPLAY | ACTION_SCHEDULE, "", "2.0.0", 4},
        ParseCase {"schedule digits then letters", {"-schedule", "7x"}, ACTION_SCHEDULE, "", "", 7},
        ParseCase {"schedule without digits", {"-schedule", "weekly"}, ACTION_SCHEDULE, "", "", 0},
        ParseCase {"schedule negative", {"-schedule", "-12"}, ACTION_SCHEDULE, "", "", -12},
        ParseCase {"schedule beyond 32 bits", {"-schedule", "99999999999"}, ACTION_SCHEDULE, "", "", INT_MAX},
        ParseCase {"schedule text cut at 64 characters", {"-schedule", std::string(64, '0') + "5"},
                   ACTION_SCHEDULE, "", "", 0},
        ParseCase {"schedule given last", {"-register", "-schedule"}, ACTION_REGISTER, "", "", 0},
        ParseCase {"guid given last", {"-ver", "9.7.0", "-guid"}, 0, "", "9.7.0", 0},
        ParseCase {"over-long code cut to 38", {"-guid", kLongCode}, 0, kLongCode.substr(0, 38), "", 0},
        ParseCase {"over-long version cut to 64", {"-ver", kLongVersion}, 0, "", kLongVersion.substr(0, 64), 0},
        ParseCase {"unknown arguments ignored", {"foo", "/display", "--display", ""}, 0, "", "", 0}),
    [](const ::testing::TestParamInfo<ParseCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(ParseCommandLineInPlace, OptionsAreLoweredInTheArgumentVector) {
  tarn::test::TempPlatformRoot root;
  Arguments args({"-GUID", "{AbCd}", "-Ver", "X"});
  FactoryProbe factory(args.argc(), args.argv());
  EXPECT_EQ("-guid", args.at(1));
  EXPECT_EQ("{abcd}", args.at(2));  // lowered in its own turn, after it was copied
  EXPECT_EQ("{AbCd}", factory.Code());
}

TEST(FactoryIdentity, ModulePathOnlyWhenTheIdentityIsIncomplete) {
  tarn::test::TempPlatformRoot root;
  char self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
  {
    Arguments args({"-guid", "{X}", "-register"});
    FactoryProbe factory(args.argc(), args.argv());
    EXPECT_EQ(self, factory.ModulePath());
  }
  {
    Arguments args({"-guid", "{X}", "-ver", "1.0.0"});
    FactoryProbe factory(args.argc(), args.argv());
    EXPECT_EQ("", factory.ModulePath());
  }
}

TEST(FactoryIdentity, LauncherByExactFileName) {
  tarn::test::TempPlatformRoot root;
  const struct {
    const char* path;
    bool launcher;
  } cases[] = {{"/opt/tarn/bin/tarnupdserv", true},      {"/opt/tarn/bin/TarnUpdServ", false},
               {"/opt/tarn/bin/tarnupdserv.exe", false}, {"/opt/tarn/tarnupdserv/velkupdateutil", false},
               {"tarnupdserv", false},                   {"", false}};
  for (const auto& c : cases) {
    Arguments args({"-guid", "{X}", "-ver", "1"});
    FactoryProbe factory(args.argc(), args.argv());
    factory.SetModulePath(c.path);
    EXPECT_EQ(c.launcher, factory.IsLauncher()) << c.path;
  }
}

TEST(ExpandLongPath, NamesOnDiskAreTheirOwnLongFormAndTheBufferIsBounded) {
  char out[CUpdateServiceFactory::kModulePathSize];
  const std::string fits(260, 'a');
  const std::string tooLong(261, 'a');
  const struct {
    std::string in;
    std::string out;
  } cases[] = {{"/usr/bin/env", "/usr/bin/env"},
               {"/no/such/dir/x", "/no/such/dir/x"},
               {"relative/path", "relative/path"},
               {"", ""},
               {"/" + fits.substr(1), "/" + fits.substr(1)},
               {"/" + tooLong.substr(1), ""}};
  for (const auto& c : cases) {
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(0, CUpdateServiceFactory::ExpandLongPath(c.in.c_str(), out, sizeof out));
    EXPECT_EQ(c.out, std::string(out)) << c.in.size();
  }
}

TEST(MapLanguageToLocale, OwnLocalesSpanishModernAndEverythingElse) {
  const std::uint16_t own[] = {1026, 1027, 1028, 1029, 1030, 1031, 1032, 1034, 1035, 1036, 1038,
                               1040, 1041, 1042, 1043, 1044, 1045, 1046, 1048, 1049, 1050, 1051,
                               1053, 1054, 1055, 1057, 1060, 1069, 2052, 2070, 2074, 3084};
  for (std::uint16_t id : own) EXPECT_EQ(id, CVelkUpdateService::MapLanguageToLocale(id)) << id;
  const struct {
    std::uint16_t language;
    std::int32_t locale;
  } others[] = {{3082, 1034}, {1033, 1033}, {0, 1033},    {1037, 1033}, {1039, 1033},
                {1047, 1033}, {1052, 1033}, {2057, 1033}, {2058, 1033}, {4100, 1033},
                {1058, 1033}, {0xFFFF, 1033}};
  for (const auto& c : others)
    EXPECT_EQ(c.locale, CVelkUpdateService::MapLanguageToLocale(c.language)) << c.language;
}

TEST(MachineDescription, OperatingSystemNamesInTheirOrder) {
  tarn::test::TempPlatformRoot root;
  const tarn::platform::ComString before("Previous");
  const struct {
    std::uint32_t major, minor;
    const char* name;
  } cases[] = {{6, 0, "Windows Vista"},        {5, 1, "Windows XP"},   {5, 2, "Windows Server 2003"},
               {6, 1, "Windows XP"},           {6, 2, "Windows Vista"}, {6, 3, "Windows Vista"},
               {5, 0, "Windows Vista"},        {10, 0, "Windows Vista"}, {4, 10, "Previous"},
               {5, 3, "Previous"},             {7, 2, "Previous"}};
  for (const auto& c : cases)
    EXPECT_EQ(c.name, CVelkUpdateService::OsNameFor(c.major, c.minor, before).ansi())
        << c.major << "." << c.minor;
}

TEST(MachineDescription, ArchitectureNames) {
  const struct {
    std::uint16_t code;
    const char* name;
  } cases[] = {{0, "32 bit"}, {5, "32 bit"}, {6, "64 bit"}, {9, "64 bit"}, {10, "64 bit"},
               {12, "32 bit"}, {0xFFFF, "32 bit"}};
  for (const auto& c : cases) EXPECT_STREQ(c.name, CVelkUpdateService::ArchitectureName(c.code)) << c.code;
}

// Where the agent's operations sit in the method table (the Itanium C++ ABI stores a pointer to a
// virtual member function as 1 + the byte offset of its slot).
template <typename F>
std::ptrdiff_t SlotOf(F member) {
  static_assert(sizeof(F) == 2 * sizeof(std::ptrdiff_t));
  std::ptrdiff_t words[2];
  std::memcpy(words, &member, sizeof words);
  return (words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

TEST(AgentInterfaces, OperationsSitAtTheirSlots) {
  EXPECT_EQ(0, SlotOf(&velk::IUSAgent6::QueryInterface));
  EXPECT_EQ(2, SlotOf(&velk::IUSAgent6::Release));
  EXPECT_EQ(17, SlotOf(&velk::IUSAgent6::SetProductSchedule));
  EXPECT_EQ(18, SlotOf(&velk::IUSAgent6::RegisterProduct));
  EXPECT_EQ(19, SlotOf(&velk::IUSAgent6::UnregisterProduct));
  EXPECT_EQ(20, SlotOf(&velk::IUSAgent6::GetProduct));
  EXPECT_EQ(22, SlotOf(&velk::IUSAgent6::ShowProductUpdates));
  EXPECT_EQ(7, SlotOf(&velk::IUSProduct6::GetStatus));
  EXPECT_EQ(8, SlotOf(&velk::IProfileMgr6::SetCollectionProperty));
  EXPECT_EQ(10, SlotOf(&velk::IProfileMgr6::AddCollection));
  EXPECT_EQ(12, SlotOf(&velk::IProfileMgr6::SaveProfile));
}

TEST(ComErrorReport, StatusInterfaceAndDescriptionOnOneLine) {
  const tarn::platform::ComError error(tarn::platform::MakeHresult(0x80040201u), nullptr,
                                       velk::IID_IProfileMgr6, "profile store full");
  EXPECT_EQ("Update Service call failed: status 0x80040201 (Unknown error 0x80040201), interface "
            "{C78E94E1-F309-422E-B22E-25D866F126AA}, description \"profile store full\"",
            DescribeComError(error));
}

}  // namespace
