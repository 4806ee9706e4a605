// Machine identity: what a fresh machine reports, and how registry values describe another one.
#include "platform/machine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/winerror.h"
#include "test_root.h"

namespace tp = tarn::platform;

namespace {

constexpr const char* kCurrentVersion = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kProductOptions = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
constexpr const char* kEnvironment = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr const char* kLanguage = "SYSTEM\\CurrentControlSet\\Control\\Nls\\Language";
constexpr const char* kGeo = "Control Panel\\International\\Geo";
constexpr const char* kComputerName = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

class MachineTest : public ::testing::Test {
 protected:
  void Set(tp::HKEY root, const char* path, const char* name, tp::DWORD type, const void* data,
           tp::DWORD size) {
    tp::HKEY key = nullptr;
    ASSERT_EQ(0, tp::RegCreateKeyEx(root, path, 0, nullptr, 0, tp::KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(0, tp::RegSetValueEx(key, name, 0, type, static_cast<const tp::BYTE*>(data), size));
    tp::RegCloseKey(key);
  }
  void SetText(tp::HKEY root, const char* path, const char* name, const std::string& text) {
    Set(root, path, name, tp::REG_SZ, text.c_str(), static_cast<tp::DWORD>(text.size() + 1));
  }
  void SetDword(tp::HKEY root, const char* path, const char* name, tp::DWORD value) {
    Set(root, path, name, tp::REG_DWORD, &value, 4);
  }
  static tp::OSVERSIONINFOEXA Version() {
    tp::OSVERSIONINFOEXA info {};
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_EQ(1, tp::GetVersionEx(&info));
    return info;
  }
  static std::string FriendlyName(tp::GEOID id) {
    char name[64] = {};
    if (tp::GetGeoInfo(id, tp::GEO_FRIENDLYNAME, name, sizeof name, 1033) == 0) return "<none>";
    return name;
  }

  tarn::test::TempPlatformRoot root_;
};

TEST_F(MachineTest, AFreshMachineIsAnXpWorkstationInTheUnitedStates) {
  const auto v = Version();
  EXPECT_EQ(5u, v.dwMajorVersion);
  EXPECT_EQ(1u, v.dwMinorVersion);
  EXPECT_EQ(2600u, v.dwBuildNumber);
  EXPECT_EQ(tp::VER_PLATFORM_WIN32_NT, v.dwPlatformId);
  EXPECT_STREQ("Service Pack 3", v.szCSDVersion);
  EXPECT_EQ(3, v.wServicePackMajor);
  EXPECT_EQ(0, v.wServicePackMinor);
  EXPECT_EQ(tp::VER_NT_WORKSTATION, v.wProductType);
  EXPECT_EQ(0, v.wSuiteMask);

  tp::SYSTEM_INFO si {};
  tp::GetSystemInfo(&si);
  EXPECT_EQ(tp::PROCESSOR_ARCHITECTURE_AMD64, si.wProcessorArchitecture);  // x86-64 host
  EXPECT_EQ(8664u, si.dwProcessorType);
  EXPECT_GE(si.dwNumberOfProcessors, 1u);
  EXPECT_EQ(static_cast<tp::DWORD>(::sysconf(_SC_PAGESIZE)), si.dwPageSize);

  EXPECT_EQ(0x0409, tp::GetSystemDefaultLangID());
  EXPECT_EQ(244, tp::GetUserGeoID(tp::GEOCLASS_NATION));
  EXPECT_EQ("United States", FriendlyName(244));

  char host[256] = {};
  ASSERT_EQ(0, ::gethostname(host, sizeof host - 1));
  std::string expected(host);
  expected = expected.substr(0, expected.find('.'));
  char name[256];
  tp::DWORD size = sizeof name;
  ASSERT_EQ(1, tp::GetComputerName(name, &size));
  EXPECT_EQ(expected, name);
  EXPECT_EQ(expected.size(), size);
}

TEST_F(MachineTest, PlainVersionRecordAndWrongSizes) {
  SetText(HKEY_LOCAL_MACHINE, kCurrentVersion, "CurrentVersion", "6.0");
  tp::OSVERSIONINFOA plain {};
  plain.dwOSVersionInfoSize = sizeof plain;
  ASSERT_EQ(1, tp::GetVersionEx(&plain));
  EXPECT_EQ(6u, plain.dwMajorVersion);
  EXPECT_EQ(0u, plain.dwMinorVersion);

  // The extended record reached through the plain type (the size decides).
  tp::OSVERSIONINFOEXA ex {};
  ex.dwOSVersionInfoSize = sizeof ex;
  ASSERT_EQ(1, tp::GetVersionEx(reinterpret_cast<tp::OSVERSIONINFOA*>(&ex)));
  EXPECT_EQ(tp::VER_NT_WORKSTATION, ex.wProductType);

  for (tp::DWORD bad : {0u, 147u, 149u, 155u, 157u}) {
    tp::OSVERSIONINFOEXA info {};
    info.dwOSVersionInfoSize = bad;
    tp::SetLastError(0);
    EXPECT_EQ(0, tp::GetVersionEx(&info)) << bad;
    EXPECT_EQ(tp::ERROR_INSUFFICIENT_BUFFER, tp::GetLastError()) << bad;
    EXPECT_EQ(0u, info.dwMajorVersion) << bad;
  }
}

struct VersionCase {
  const char* what;
  const char* currentVersion;  // null: not set
  const char* build;
  const char* csd;
  const char* productType;
  std::vector<std::string> suites;  // as REG_MULTI_SZ
  tp::DWORD major, minor, buildNumber;
  const char* csdText;
  tp::WORD spMajor, spMinor, suiteMask;
  tp::BYTE type;
};

TEST_F(MachineTest, VersionRecordFromTheRegistry) {
  const VersionCase cases[] = {
      {"vista, no service pack", "6.0", "6000", "", nullptr, {}, 6, 0, 6000, "", 0, 0, 0,
       tp::VER_NT_WORKSTATION},
      {"server 2003 enterprise", "5.2", "3790", "Service Pack 2", "ServerNT",
       {"Enterprise", "Terminal Server"}, 5, 2, 3790, "Service Pack 2", 2, 0,
       tp::VER_SUITE_ENTERPRISE | tp::VER_SUITE_TERMINAL, tp::VER_NT_SERVER},
      {"domain controller, point release", "5.2", "3790", "Service Pack 1.5", "LanmanNT",
       {"DataCenter", "Unknown Suite"}, 5, 2, 3790, "Service Pack 1.5", 1, 5,
       tp::VER_SUITE_DATACENTER, tp::VER_NT_DOMAIN_CONTROLLER},
      {"unreadable numbers fall back", "six", "many", "Beta", "Toaster", {}, 5, 1, 2600, "Beta", 0,
       0, 0, tp::VER_NT_WORKSTATION},
      {"major only", "10", nullptr, nullptr, nullptr, {"Personal"}, 10, 0, 2600, "Service Pack 3",
       3, 0, tp::VER_SUITE_PERSONAL, tp::VER_NT_WORKSTATION},
  };
  for (const VersionCase& c : cases) {
    tarn::test::TempPlatformRoot machine;
    if (c.currentVersion) SetText(HKEY_LOCAL_MACHINE, kCurrentVersion, "CurrentVersion", c.currentVersion);
    if (c.build) SetText(HKEY_LOCAL_MACHINE, kCurrentVersion, "CurrentBuildNumber", c.build);
    if (c.csd) SetText(HKEY_LOCAL_MACHINE, kCurrentVersion, "CSDVersion", c.csd);
    if (c.productType) SetText(HKEY_LOCAL_MACHINE, kProductOptions, "ProductType", c.productType);
    if (!c.suites.empty()) {
      std::string multi;
      for (const auto& s : c.suites) multi += s + '\0';
      multi += '\0';
      Set(HKEY_LOCAL_MACHINE, kProductOptions, "ProductSuite", tp::REG_MULTI_SZ, multi.data(),
          static_cast<tp::DWORD>(multi.size()));
    }
    const auto v = Version();
    EXPECT_EQ(c.major, v.dwMajorVersion) << c.what;
    EXPECT_EQ(c.minor, v.dwMinorVersion) << c.what;
    EXPECT_EQ(c.buildNumber, v.dwBuildNumber) << c.what;
    EXPECT_STREQ(c.csdText, v.szCSDVersion) << c.what;
    EXPECT_EQ(c.spMajor, v.wServicePackMajor) << c.what;
    EXPECT_EQ(c.spMinor, v.wServicePackMinor) << c.what;
    EXPECT_EQ(c.suiteMask, v.wSuiteMask) << c.what;
    EXPECT_EQ(c.type, v.wProductType) << c.what;
  }
}

// A machine without the NT key but with the Windows key's version number is of the 95/98/Me
// family; an NT key beside it wins.
TEST_F(MachineTest, Windows9xVersionFromTheWindowsKey) {
  constexpr const char* k9x = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  SetText(HKEY_LOCAL_MACHINE, k9x, "VersionNumber", "4.10.2222");
  SetText(HKEY_LOCAL_MACHINE, k9x, "SubVersionNumber", " A ");
  SetText(HKEY_LOCAL_MACHINE, kProductOptions, "ProductType", "ServerNT");
  auto v = Version();
  EXPECT_EQ(tp::VER_PLATFORM_WIN32_WINDOWS, v.dwPlatformId);
  EXPECT_EQ(4u, v.dwMajorVersion);
  EXPECT_EQ(10u, v.dwMinorVersion);
  EXPECT_EQ(2222u, v.dwBuildNumber);
  EXPECT_STREQ(" A ", v.szCSDVersion);
  EXPECT_EQ(0, v.wSuiteMask);
  EXPECT_EQ(0, v.wProductType);

  SetText(HKEY_LOCAL_MACHINE, kCurrentVersion, "CurrentVersion", "5.2");
  v = Version();
  EXPECT_EQ(tp::VER_PLATFORM_WIN32_NT, v.dwPlatformId);
  EXPECT_EQ(5u, v.dwMajorVersion);
  EXPECT_EQ(2u, v.dwMinorVersion);
}

TEST_F(MachineTest, OverLongServicePackTextIsCutToTheRecord) {
  SetText(HKEY_LOCAL_MACHINE, kCurrentVersion, "CSDVersion", std::string(300, 'x'));
  const auto v = Version();
  EXPECT_EQ(127u, std::strlen(v.szCSDVersion));
}

TEST_F(MachineTest, ArchitectureFromTheRegistry) {
  const struct {
    const char* text;
    tp::WORD code;
  } cases[] = {{"x86", 0}, {"IA64", 6}, {"amd64", 9}, {"ARM64", 12}, {"ARM", 5}, {"Z80", 9}};
  for (const auto& c : cases) {
    SetText(HKEY_LOCAL_MACHINE, kEnvironment, "PROCESSOR_ARCHITECTURE", c.text);
    tp::SYSTEM_INFO si {};
    tp::GetNativeSystemInfo(&si);
    EXPECT_EQ(c.code, si.wProcessorArchitecture) << c.text;
  }
}

TEST_F(MachineTest, SystemDefaultLanguage) {
  const struct {
    const char* text;
    tp::LANGID expected;
  } cases[] = {{"0C0A", 3082}, {"0407", 1031}, {"0804", 2052}, {"0c0a", 3082},
               {"zz", 0x0409}, {"", 0x0409},   {"12345", 0x0409}, {"0000", 0x0409}};
  for (const auto& c : cases) {
    SetText(HKEY_LOCAL_MACHINE, kLanguage, "Default", c.text);
    EXPECT_EQ(c.expected, tp::GetSystemDefaultLangID()) << c.text;
    EXPECT_EQ(c.expected, tp::GetSystemDefaultLCID()) << c.text;
  }
  SetDword(HKEY_LOCAL_MACHINE, kLanguage, "Default", 1049);
  EXPECT_EQ(1049, tp::GetSystemDefaultLangID());
}

TEST_F(MachineTest, UserNation) {
  SetText(HKEY_CURRENT_USER, kGeo, "Nation", "217");
  EXPECT_EQ(217, tp::GetUserGeoID(tp::GEOCLASS_NATION));
  EXPECT_EQ("Spain", FriendlyName(217));
  EXPECT_EQ(tp::GEOID_NOT_AVAILABLE, tp::GetUserGeoID(tp::GEOCLASS_REGION));
  SetDword(HKEY_CURRENT_USER, kGeo, "Nation", 94);
  EXPECT_EQ(94, tp::GetUserGeoID(tp::GEOCLASS_NATION));
  SetText(HKEY_CURRENT_USER, kGeo, "Nation", "not a nation");
  EXPECT_EQ(tp::GEOID_NOT_AVAILABLE, tp::GetUserGeoID(tp::GEOCLASS_NATION));
}

// The nation of every language the update utility registers with its own locale.
TEST(MachineNations, TableCoversTheUtilitysLanguages) {
  const struct {
    int language;
    tp::GEOID nation;
    const char* name;
  } cases[] = {
      {1026, 35, "Bulgaria"},     {1027, 217, "Spain"},        {1028, 237, "Taiwan"},
      {1029, 75, "Czech Republic"}, {1030, 61, "Denmark"},     {1031, 94, "Germany"},
      {1032, 98, "Greece"},       {1033, 244, "United States"}, {1034, 217, "Spain"},
      {1035, 77, "Finland"},      {1036, 84, "France"},        {1038, 109, "Hungary"},
      {1040, 118, "Italy"},       {1041, 122, "Japan"},        {1042, 134, "Korea"},
      {1043, 176, "Netherlands"}, {1044, 177, "Norway"},       {1045, 191, "Poland"},
      {1046, 32, "Brazil"},       {1048, 200, "Romania"},      {1049, 203, "Russia"},
      {1050, 108, "Croatia"},     {1051, 143, "Slovakia"},     {1053, 221, "Sweden"},
      {1054, 227, "Thailand"},    {1055, 235, "Turkey"},       {1057, 111, "Indonesia"},
      {1060, 212, "Slovenia"},    {1069, 217, "Spain"},        {2052, 45, "China"},
      {2070, 193, "Portugal"},    {2074, 271, "Serbia"},       {3084, 39, "Canada"},
  };
  for (const auto& c : cases) {
    char name[64] = {};
    EXPECT_EQ(static_cast<int>(std::strlen(c.name) + 1),
              tp::GetGeoInfo(c.nation, tp::GEO_FRIENDLYNAME, name, sizeof name, 1033))
        << c.language;
    EXPECT_STREQ(c.name, name) << c.language;
  }
}

TEST(MachineNations, BufferRulesAndOtherTypes) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(14, tp::GetGeoInfo(244, tp::GEO_FRIENDLYNAME, nullptr, 0, 0));  // size asked
  tp::SetLastError(0);
  EXPECT_EQ(0, tp::GetGeoInfo(244, tp::GEO_FRIENDLYNAME, buffer, sizeof buffer, 0));
  EXPECT_EQ(tp::ERROR_INSUFFICIENT_BUFFER, tp::GetLastError());
  EXPECT_EQ('#', buffer[0]);
  EXPECT_EQ(3, tp::GetGeoInfo(244, tp::GEO_ISO2, buffer, sizeof buffer, 0));
  EXPECT_STREQ("US", buffer);
  EXPECT_EQ(4, tp::GetGeoInfo(244, tp::GEO_NATION, buffer, sizeof buffer, 0));
  EXPECT_STREQ("244", buffer);
  EXPECT_EQ(0, tp::GetGeoInfo(99999, tp::GEO_FRIENDLYNAME, buffer, sizeof buffer, 0));
  EXPECT_EQ(tp::ERROR_INVALID_PARAMETER, tp::GetLastError());
  EXPECT_EQ(0, tp::GetGeoInfo(tp::GEOID_NOT_AVAILABLE, tp::GEO_FRIENDLYNAME, buffer, sizeof buffer, 0));
  EXPECT_EQ(0, tp::GetGeoInfo(244, 0x0002 /* latitude */, buffer, sizeof buffer, 0));
  EXPECT_EQ(0, tp::GetGeoInfo(244, tp::GEO_ISO2, buffer, -1, 0));
}

TEST_F(MachineTest, ComputerNameFromTheRegistryAndShortBuffers) {
  SetText(HKEY_LOCAL_MACHINE, kComputerName, "ComputerName", "BUILDHOST7");
  char name[16];
  tp::DWORD size = 11;  // exactly enough
  ASSERT_EQ(1, tp::GetComputerName(name, &size));
  EXPECT_STREQ("BUILDHOST7", name);
  EXPECT_EQ(10u, size);
  std::memset(name, '#', sizeof name);
  size = 10;
  tp::SetLastError(0);
  EXPECT_EQ(0, tp::GetComputerName(name, &size));
  EXPECT_EQ(tp::ERROR_BUFFER_OVERFLOW, tp::GetLastError());
  EXPECT_EQ(11u, size);
  EXPECT_EQ('#', name[0]);
}

TEST_F(MachineTest, WindowsDirectoryIsBelowTheRoot) {
  char path[4096];
  const tp::UINT length = tp::GetWindowsDirectory(path, sizeof path);
  EXPECT_EQ(root_.path() + "/windows", std::string(path, length));
  EXPECT_EQ(0, ::access(path, F_OK));
  EXPECT_EQ(length + 1, tp::GetWindowsDirectory(path, length));  // one short: size needed
}

}  // namespace

namespace {

class VersionVerification : public MachineTest {
 protected:
  // Verifies `wanted` for the fields of `typeMask`, all under `condition` (the suite under
  // `suiteCondition`).
  static bool Verify(tp::OSVERSIONINFOEXA wanted, tp::DWORD typeMask, tp::BYTE condition,
                     tp::BYTE suiteCondition = tp::VER_AND) {
    wanted.dwOSVersionInfoSize = sizeof wanted;
    tp::QWORD mask = 0;
    for (tp::DWORD bit = 1; bit <= tp::VER_PRODUCT_TYPE; bit <<= 1)
      if ((typeMask & bit) != 0)
        mask = tp::VerSetConditionMask(mask, bit, bit == tp::VER_SUITENAME ? suiteCondition : condition);
    return tp::VerifyVersionInfo(&wanted, typeMask, mask) != 0;
  }
  static tp::OSVERSIONINFOEXA Want(tp::DWORD major, tp::DWORD minor, tp::WORD spMajor = 0) {
    tp::OSVERSIONINFOEXA v {};
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.wServicePackMajor = spMajor;
    return v;
  }
};

TEST_F(VersionVerification, ConditionMaskPacksThreeBitsPerField) {
  EXPECT_EQ(0x3u, tp::VerSetConditionMask(0, tp::VER_MINORVERSION, tp::VER_GREATER_EQUAL));
  EXPECT_EQ(0x18u, tp::VerSetConditionMask(0, tp::VER_MAJORVERSION, tp::VER_GREATER_EQUAL));
  EXPECT_EQ(6ull << 18, tp::VerSetConditionMask(0, tp::VER_SUITENAME, tp::VER_AND));
  // Setting again replaces; an unknown field changes nothing.
  EXPECT_EQ(0x1u, tp::VerSetConditionMask(0x3, tp::VER_MINORVERSION, tp::VER_EQUAL));
  EXPECT_EQ(0x3u, tp::VerSetConditionMask(0x3, 0x3, tp::VER_EQUAL));
}

TEST_F(VersionVerification, VersionFieldsCompareAsOneNumber) {
  // The default machine: 5.1 Service Pack 3.
  const tp::DWORD majorMinor = tp::VER_MAJORVERSION | tp::VER_MINORVERSION;
  const tp::DWORD withSp = majorMinor | tp::VER_SERVICEPACKMAJOR;
  const struct {
    tp::OSVERSIONINFOEXA wanted;
    tp::DWORD fields;
    tp::BYTE condition;
    bool expected;
  } cases[] = {
      {Want(5, 0), majorMinor, tp::VER_GREATER_EQUAL, true},
      {Want(5, 1), majorMinor, tp::VER_GREATER_EQUAL, true},
      {Want(5, 2), majorMinor, tp::VER_GREATER_EQUAL, false},
      {Want(4, 90), majorMinor, tp::VER_GREATER_EQUAL, true},  // major decides
      {Want(5, 1), majorMinor, tp::VER_GREATER, false},
      {Want(5, 1, 2), withSp, tp::VER_GREATER, true},           // the service pack decides
      {Want(5, 1, 3), withSp, tp::VER_EQUAL, true},
      {Want(6, 0), majorMinor, tp::VER_LESS, true},
      {Want(6, 0), tp::VER_MAJORVERSION, tp::VER_GREATER_EQUAL, false},
      {Want(5, 1), majorMinor, tp::VER_LESS_EQUAL, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, Verify(c.wanted, c.fields, c.condition))
        << c.wanted.dwMajorVersion << "." << c.wanted.dwMinorVersion << " sp" << c.wanted.wServicePackMajor
        << " condition " << int(c.condition);
}

TEST_F(VersionVerification, SuiteProductTypeAndErrors) {
  const std::string multi = std::string("Terminal Server") + '\0' + "SingleUserTS" + '\0' + '\0';
  Set(HKEY_LOCAL_MACHINE, kProductOptions, "ProductSuite", tp::REG_MULTI_SZ, multi.data(),
      static_cast<tp::DWORD>(multi.size()));
  tp::OSVERSIONINFOEXA wanted {};
  wanted.wSuiteMask = tp::VER_SUITE_TERMINAL | tp::VER_SUITE_SINGLEUSERTS;
  EXPECT_TRUE(Verify(wanted, tp::VER_SUITENAME, 0, tp::VER_AND));
  wanted.wSuiteMask = tp::VER_SUITE_TERMINAL | tp::VER_SUITE_ENTERPRISE;
  tp::SetLastError(0);
  EXPECT_FALSE(Verify(wanted, tp::VER_SUITENAME, 0, tp::VER_AND));
  EXPECT_EQ(tp::ERROR_OLD_WIN_VERSION, tp::GetLastError());
  EXPECT_TRUE(Verify(wanted, tp::VER_SUITENAME, 0, tp::VER_OR));

  wanted.wProductType = tp::VER_NT_WORKSTATION;
  EXPECT_TRUE(Verify(wanted, tp::VER_PRODUCT_TYPE, tp::VER_EQUAL));
  wanted.wProductType = tp::VER_NT_SERVER;
  EXPECT_FALSE(Verify(wanted, tp::VER_PRODUCT_TYPE, tp::VER_EQUAL));
  wanted.dwBuildNumber = 2600;
  EXPECT_TRUE(Verify(wanted, tp::VER_BUILDNUMBER, tp::VER_GREATER_EQUAL));
  wanted.dwPlatformId = tp::VER_PLATFORM_WIN32_NT;
  EXPECT_TRUE(Verify(wanted, tp::VER_PLATFORMID, tp::VER_EQUAL));

  EXPECT_EQ(0, tp::VerifyVersionInfo(&wanted, 0, 1));
  EXPECT_EQ(tp::ERROR_BAD_ARGUMENTS, tp::GetLastError());
  EXPECT_EQ(0, tp::VerifyVersionInfo(&wanted, tp::VER_MAJORVERSION, 0));
  EXPECT_EQ(0, tp::VerifyVersionInfo(nullptr, tp::VER_MAJORVERSION, 1));
}

}  // namespace
