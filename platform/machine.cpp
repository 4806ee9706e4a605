#include "platform/machine.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <strings.h>

#include "platform/registry.h"
#include "platform/root.h"
#include "platform/winerror.h"

namespace tarn::platform {

namespace {
constexpr const char* kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kCurrentVersion9xKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kProductOptionsKey = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
constexpr const char* kEnvironmentKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr const char* kLanguageKey = "SYSTEM\\CurrentControlSet\\Control\\Nls\\Language";
constexpr const char* kGeoKey = "Control Panel\\International\\Geo";
constexpr const char* kComputerNameKey =
    "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

struct RawValue {
  DWORD type = REG_NONE;
  std::string data;
};

// One value as stored, or nothing when the key or the value is missing.
std::optional<RawValue> ReadValue(HKEY root, const char* keyPath, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyEx(root, keyPath, 0, KEY_QUERY_VALUE, &key) != 0) return std::nullopt;
  std::optional<RawValue> result;
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueEx(key, name, nullptr, &type, nullptr, &size) == 0) {
    RawValue value;
    value.type = type;
    value.data.assign(size, '\0');
    if (size == 0 || RegQueryValueEx(key, name, nullptr, &type,
                                     reinterpret_cast<BYTE*>(value.data.data()), &size) == 0) {
      value.data.resize(std::min<std::size_t>(size, value.data.size()));
      result = std::move(value);
    }
  }
  RegCloseKey(key);
  return result;
}

// A REG_SZ or REG_EXPAND_SZ value as text (up to its terminating zero).
std::optional<std::string> ReadText(HKEY root, const char* keyPath, const char* name) {
  auto value = ReadValue(root, keyPath, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  return std::string(value->data.c_str());
}

// Digits of `text` in `base`, all of it, within 32 bits.
std::optional<DWORD> ParseNumber(std::string_view text, int base) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0 || d >= base) return std::nullopt;
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (v > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<DWORD>(v);
}

// A number kept as text in `base` or as a REG_DWORD.
std::optional<DWORD> ReadNumber(HKEY root, const char* keyPath, const char* name, int base) {
  auto value = ReadValue(root, keyPath, name);
  if (!value) return std::nullopt;
  if (value->type == REG_DWORD && value->data.size() == 4) {
    DWORD v = 0;
    std::memcpy(&v, value->data.data(), 4);
    return v;
  }
  if (value->type == REG_SZ || value->type == REG_EXPAND_SZ)
    return ParseNumber(value->data.c_str(), base);
  return std::nullopt;
}

void CopyBounded(char* to, std::size_t capacity, std::string_view from) {
  const std::size_t n = std::min(from.size(), capacity - 1);
  std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

// "Service Pack N" or "Service Pack N.M": N and M; anything else 0 and 0.
void ServicePackNumbers(std::string_view text, WORD* major, WORD* minor) {
  *major = 0;
  *minor = 0;
  constexpr std::string_view kPrefix = "Service Pack ";
  if (text.substr(0, kPrefix.size()) != kPrefix) return;
  text.remove_prefix(kPrefix.size());
  const auto dot = text.find('.');
  if (auto n = ParseNumber(text.substr(0, dot), 10); n && *n <= 0xFFFF) *major = static_cast<WORD>(*n);
  if (dot != std::string_view::npos)
    if (auto n = ParseNumber(text.substr(dot + 1), 10); n && *n <= 0xFFFF) *minor = static_cast<WORD>(*n);
}

WORD SuiteBit(std::string_view name) {
  struct Suite {
    const char* name;
    WORD bit;
  };
  static constexpr Suite kSuites[] = {
      {"Small Business", VER_SUITE_SMALLBUSINESS},
      {"Enterprise", VER_SUITE_ENTERPRISE},
      {"BackOffice", VER_SUITE_BACKOFFICE},
      {"CommunicationServer", VER_SUITE_COMMUNICATIONS},
      {"Terminal Server", VER_SUITE_TERMINAL},
      {"Small Business(Restricted)", VER_SUITE_SMALLBUSINESS_RESTRICTED},
      {"EmbeddedNT", VER_SUITE_EMBEDDEDNT},
      {"DataCenter", VER_SUITE_DATACENTER},
      {"SingleUserTS", VER_SUITE_SINGLEUSERTS},
      {"Personal", VER_SUITE_PERSONAL},
      {"Blade", VER_SUITE_BLADE},
  };
  for (const Suite& s : kSuites)
    if (name == s.name) return s.bit;
  return 0;
}

WORD SuiteMask() {
  auto value = ReadValue(HKEY_LOCAL_MACHINE, kProductOptionsKey, "ProductSuite");
  if (!value || (value->type != REG_MULTI_SZ && value->type != REG_SZ)) return 0;
  WORD mask = 0;
  std::string_view rest(value->data);
  while (!rest.empty()) {
    const auto end = rest.find('\0');
    mask |= SuiteBit(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return mask;
}

BYTE ProductType() {
  const auto text = ReadText(HKEY_LOCAL_MACHINE, kProductOptionsKey, "ProductType");
  if (text == "ServerNT") return VER_NT_SERVER;
  if (text == "LanmanNT") return VER_NT_DOMAIN_CONTROLLER;
  return VER_NT_WORKSTATION;
}

// A Windows 95/98/Me machine keeps no "Windows NT" key: its version is the value "VersionNumber"
// ("4.10.2222") of the Windows key, with the letter of its second edition in "SubVersionNumber".
bool FillVersion9x(DWORD* major, DWORD* minor, DWORD* build, DWORD* platform, char* csd) {
  if (ReadText(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "CurrentVersion")) return false;
  const auto text = ReadText(HKEY_LOCAL_MACHINE, kCurrentVersion9xKey, "VersionNumber");
  if (!text) return false;
  const std::string_view v(*text);
  const auto dot1 = v.find('.');
  const auto dot2 = dot1 == std::string_view::npos ? dot1 : v.find('.', dot1 + 1);
  const auto ma = ParseNumber(v.substr(0, dot1), 10);
  const auto mi = dot1 == std::string_view::npos
                      ? std::optional<DWORD>()
                      : ParseNumber(v.substr(dot1 + 1, dot2 == std::string_view::npos
                                                          ? std::string_view::npos
                                                          : dot2 - dot1 - 1),
                                    10);
  if (!ma || !mi) return false;
  *major = *ma;
  *minor = *mi;
  const auto bu = dot2 == std::string_view::npos ? std::optional<DWORD>(0)
                                                 : ParseNumber(v.substr(dot2 + 1), 10);
  *build = bu.value_or(0);
  *platform = VER_PLATFORM_WIN32_WINDOWS;
  CopyBounded(csd, 128,
              ReadText(HKEY_LOCAL_MACHINE, kCurrentVersion9xKey, "SubVersionNumber").value_or(""));
  return true;
}

// The fields both version records share.
void FillVersion(DWORD* major, DWORD* minor, DWORD* build, DWORD* platform, char* csd) {
  if (FillVersion9x(major, minor, build, platform, csd)) return;
  *major = 5;
  *minor = 1;
  if (auto text = ReadText(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "CurrentVersion")) {
    const std::string_view v(*text);
    const auto dot = v.find('.');
    auto ma = ParseNumber(v.substr(0, dot), 10);
    auto mi = dot == std::string_view::npos ? std::optional<DWORD>(0) : ParseNumber(v.substr(dot + 1), 10);
    if (ma && mi) {
      *major = *ma;
      *minor = *mi;
    }
  }
  *build = ReadNumber(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "CurrentBuildNumber", 10).value_or(2600);
  *platform = VER_PLATFORM_WIN32_NT;
  const auto csdText = ReadText(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "CSDVersion");
  CopyBounded(csd, 128, csdText.value_or("Service Pack 3"));
}

constexpr WORD HostArchitecture() {
#if defined(__x86_64__)
  return PROCESSOR_ARCHITECTURE_AMD64;
#elif defined(__aarch64__)
  return PROCESSOR_ARCHITECTURE_ARM64;
#elif defined(__i386__)
  return PROCESSOR_ARCHITECTURE_INTEL;
#elif defined(__arm__)
  return PROCESSOR_ARCHITECTURE_ARM;
#else
  return PROCESSOR_ARCHITECTURE_UNKNOWN;
#endif
}

WORD Architecture() {
  const auto text = ReadText(HKEY_LOCAL_MACHINE, kEnvironmentKey, "PROCESSOR_ARCHITECTURE");
  if (!text) return HostArchitecture();
  struct Name {
    const char* text;
    WORD code;
  };
  static constexpr Name kNames[] = {
      {"x86", PROCESSOR_ARCHITECTURE_INTEL}, {"ARM", PROCESSOR_ARCHITECTURE_ARM},
      {"IA64", PROCESSOR_ARCHITECTURE_IA64}, {"AMD64", PROCESSOR_ARCHITECTURE_AMD64},
      {"ARM64", PROCESSOR_ARCHITECTURE_ARM64}};
  for (const Name& n : kNames)
    if (strcasecmp(text->c_str(), n.text) == 0) return n.code;
  return HostArchitecture();
}

// ---- Nations --------------------------------------------------------------------------------

struct Nation {
  GEOID id;
  const char* iso2;
  const char* name;
};

// Windows' geographic identifiers of the nation class with their English names. It covers the
// nations of every language the update utility registers (MapLanguageToLocale) and the larger
// nations of the world.
constexpr Nation kNations[] = {
    {2, "AG", "Antigua and Barbuda"},
    {3, "AF", "Afghanistan"},
    {4, "DZ", "Algeria"},
    {5, "AZ", "Azerbaijan"},
    {6, "AL", "Albania"},
    {7, "AM", "Armenia"},
    {8, "AD", "Andorra"},
    {9, "AO", "Angola"},
    {11, "AR", "Argentina"},
    {12, "AU", "Australia"},
    {14, "AT", "Austria"},
    {17, "BH", "Bahrain"},
    {18, "BB", "Barbados"},
    {21, "BE", "Belgium"},
    {23, "BD", "Bangladesh"},
    {25, "BA", "Bosnia and Herzegovina"},
    {26, "BO", "Bolivia"},
    {29, "BY", "Belarus"},
    {32, "BR", "Brazil"},
    {35, "BG", "Bulgaria"},
    {39, "CA", "Canada"},
    {42, "LK", "Sri Lanka"},
    {45, "CN", "China"},
    {46, "CL", "Chile"},
    {51, "CO", "Colombia"},
    {54, "CR", "Costa Rica"},
    {56, "CU", "Cuba"},
    {59, "CY", "Cyprus"},
    {61, "DK", "Denmark"},
    {65, "DO", "Dominican Republic"},
    {66, "EC", "Ecuador"},
    {67, "EG", "Egypt"},
    {68, "IE", "Ireland"},
    {70, "EE", "Estonia"},
    {72, "SV", "El Salvador"},
    {73, "ET", "Ethiopia"},
    {75, "CZ", "Czech Republic"},
    {77, "FI", "Finland"},
    {81, "FO", "Faroe Islands"},
    {84, "FR", "France"},
    {88, "GE", "Georgia"},
    {94, "DE", "Germany"},
    {98, "GR", "Greece"},
    {99, "GT", "Guatemala"},
    {104, "HK", "Hong Kong S.A.R."},
    {106, "HN", "Honduras"},
    {108, "HR", "Croatia"},
    {109, "HU", "Hungary"},
    {110, "IS", "Iceland"},
    {111, "ID", "Indonesia"},
    {113, "IN", "India"},
    {116, "IR", "Iran"},
    {117, "IL", "Israel"},
    {118, "IT", "Italy"},
    {121, "IQ", "Iraq"},
    {122, "JP", "Japan"},
    {124, "JM", "Jamaica"},
    {126, "JO", "Jordan"},
    {129, "KE", "Kenya"},
    {130, "KG", "Kyrgyzstan"},
    {134, "KR", "Korea"},
    {136, "KW", "Kuwait"},
    {137, "KZ", "Kazakhstan"},
    {139, "LB", "Lebanon"},
    {140, "LV", "Latvia"},
    {141, "LT", "Lithuania"},
    {143, "SK", "Slovakia"},
    {145, "LI", "Liechtenstein"},
    {147, "LU", "Luxembourg"},
    {148, "LY", "Libya"},
    {151, "MO", "Macao S.A.R."},
    {152, "MD", "Moldova"},
    {154, "MN", "Mongolia"},
    {158, "MC", "Monaco"},
    {159, "MA", "Morocco"},
    {163, "MT", "Malta"},
    {164, "OM", "Oman"},
    {166, "MX", "Mexico"},
    {167, "MY", "Malaysia"},
    {175, "NG", "Nigeria"},
    {176, "NL", "Netherlands"},
    {177, "NO", "Norway"},
    {178, "NP", "Nepal"},
    {182, "NI", "Nicaragua"},
    {183, "NZ", "New Zealand"},
    {185, "PY", "Paraguay"},
    {187, "PE", "Peru"},
    {190, "PK", "Pakistan"},
    {191, "PL", "Poland"},
    {192, "PA", "Panama"},
    {193, "PT", "Portugal"},
    {197, "QA", "Qatar"},
    {200, "RO", "Romania"},
    {201, "PH", "Philippines"},
    {202, "PR", "Puerto Rico"},
    {203, "RU", "Russia"},
    {205, "SA", "Saudi Arabia"},
    {209, "ZA", "South Africa"},
    {212, "SI", "Slovenia"},
    {215, "SG", "Singapore"},
    {217, "ES", "Spain"},
    {221, "SE", "Sweden"},
    {222, "SY", "Syria"},
    {223, "CH", "Switzerland"},
    {224, "AE", "United Arab Emirates"},
    {225, "TT", "Trinidad and Tobago"},
    {227, "TH", "Thailand"},
    {234, "TN", "Tunisia"},
    {235, "TR", "Turkey"},
    {237, "TW", "Taiwan"},
    {241, "UA", "Ukraine"},
    {242, "GB", "United Kingdom"},
    {244, "US", "United States"},
    {246, "UY", "Uruguay"},
    {247, "UZ", "Uzbekistan"},
    {249, "VE", "Venezuela"},
    {251, "VN", "Vietnam"},
    {261, "YE", "Yemen"},
    {269, "CS", "Serbia and Montenegro"},
    {270, "ME", "Montenegro"},
    {271, "RS", "Serbia"},
    {19618, "MK", "Macedonia (FYROM)"},
};

const Nation* FindNation(GEOID id) {
  for (const Nation& n : kNations)
    if (n.id == id) return &n;
  return nullptr;
}
}  // namespace

// ---- Version --------------------------------------------------------------------------------

BOOL GetVersionEx(OSVERSIONINFOA* info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA))
    return GetVersionEx(reinterpret_cast<OSVERSIONINFOEXA*>(info));
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  FillVersion(&info->dwMajorVersion, &info->dwMinorVersion, &info->dwBuildNumber,
              &info->dwPlatformId, info->szCSDVersion);
  return 1;
}

BOOL GetVersionEx(OSVERSIONINFOEXA* info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOA))
    return GetVersionEx(reinterpret_cast<OSVERSIONINFOA*>(info));
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  FillVersion(&info->dwMajorVersion, &info->dwMinorVersion, &info->dwBuildNumber,
              &info->dwPlatformId, info->szCSDVersion);
  ServicePackNumbers(info->szCSDVersion, &info->wServicePackMajor, &info->wServicePackMinor);
  // The product options exist on the NT family only.
  const bool nt = info->dwPlatformId == VER_PLATFORM_WIN32_NT;
  info->wSuiteMask = nt ? SuiteMask() : 0;
  info->wProductType = nt ? ProductType() : 0;
  info->wReserved = 0;
  return 1;
}

// ---- Version verification -------------------------------------------------------------------

namespace {
int FieldIndex(DWORD typeBit) {
  for (int i = 0; i < 8; ++i)
    if (typeBit == (1u << i)) return i;
  return -1;
}

BYTE Condition(QWORD mask, DWORD typeBit) {
  const int index = FieldIndex(typeBit);
  return index < 0 ? 0 : static_cast<BYTE>((mask >> (3 * index)) & 0x7);
}

bool Compare(long long have, long long want, BYTE condition) {
  switch (condition) {
    case VER_EQUAL: return have == want;
    case VER_GREATER: return have > want;
    case VER_GREATER_EQUAL: return have >= want;
    case VER_LESS: return have < want;
    case VER_LESS_EQUAL: return have <= want;
    default: return false;
  }
}
}  // namespace

QWORD VerSetConditionMask(QWORD conditionMask, DWORD typeBit, BYTE condition) {
  const int index = FieldIndex(typeBit);
  if (index < 0) return conditionMask;
  const int shift = 3 * index;
  return (conditionMask & ~(QWORD {7} << shift)) | (static_cast<QWORD>(condition & 7) << shift);
}

BOOL VerifyVersionInfo(const OSVERSIONINFOEXA* wanted, DWORD typeMask, QWORD conditionMask) {
  if (wanted == nullptr || typeMask == 0 || conditionMask == 0) {
    SetLastError(ERROR_BAD_ARGUMENTS);
    return 0;
  }
  OSVERSIONINFOEXA have {};
  have.dwOSVersionInfoSize = sizeof have;
  GetVersionEx(&have);
  bool match = true;

  // Major, minor, service-pack major and minor: one number, compared from the most significant
  // field given, under that field's condition (so 6.0 is at least 5.1).
  static constexpr DWORD kVersionFields[4] = {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR,
                                              VER_SERVICEPACKMINOR};
  const long long haveParts[4] = {have.dwMajorVersion, have.dwMinorVersion, have.wServicePackMajor,
                                  have.wServicePackMinor};
  const long long wantParts[4] = {wanted->dwMajorVersion, wanted->dwMinorVersion,
                                  wanted->wServicePackMajor, wanted->wServicePackMinor};
  BYTE versionCondition = 0;
  bool decided = false;
  for (int i = 0; i < 4 && !decided; ++i) {
    if ((typeMask & kVersionFields[i]) == 0) continue;
    if (versionCondition == 0) versionCondition = Condition(conditionMask, kVersionFields[i]);
    if (haveParts[i] != wantParts[i]) {
      match = Compare(haveParts[i], wantParts[i], versionCondition);
      decided = true;
    }
  }
  // Equal in every field given: the condition decides whether equal is enough.
  if (!decided && versionCondition != 0) match = Compare(0, 0, versionCondition);

  if (match && (typeMask & VER_BUILDNUMBER) != 0)
    match = Compare(have.dwBuildNumber, wanted->dwBuildNumber, Condition(conditionMask, VER_BUILDNUMBER));
  if (match && (typeMask & VER_PLATFORMID) != 0)
    match = Compare(have.dwPlatformId, wanted->dwPlatformId, Condition(conditionMask, VER_PLATFORMID));
  if (match && (typeMask & VER_PRODUCT_TYPE) != 0)
    match = Compare(have.wProductType, wanted->wProductType, Condition(conditionMask, VER_PRODUCT_TYPE));
  if (match && (typeMask & VER_SUITENAME) != 0) {
    const WORD want = wanted->wSuiteMask;
    switch (Condition(conditionMask, VER_SUITENAME)) {
      case VER_AND: match = (have.wSuiteMask & want) == want; break;
      case VER_OR: match = want == 0 || (have.wSuiteMask & want) != 0; break;
      default: match = false; break;
    }
  }
  if (!match) SetLastError(ERROR_OLD_WIN_VERSION);
  return match ? 1 : 0;
}

// ---- System information ---------------------------------------------------------------------

void GetSystemInfo(SYSTEM_INFO* info) {
  if (info == nullptr) return;
  *info = SYSTEM_INFO {};
  info->wProcessorArchitecture = Architecture();
  const long page = ::sysconf(_SC_PAGESIZE);
  info->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
  info->lpMinimumApplicationAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x10000));
  info->lpMaximumApplicationAddress =
      reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x00007FFFFFFEFFFFull));
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  info->dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
  info->dwActiveProcessorMask =
      info->dwNumberOfProcessors >= 64 ? ~std::uintptr_t {0}
                                       : ((std::uintptr_t {1} << info->dwNumberOfProcessors) - 1);
  switch (info->wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: info->dwProcessorType = 8664; break;
    case PROCESSOR_ARCHITECTURE_INTEL: info->dwProcessorType = 386; break;
    case PROCESSOR_ARCHITECTURE_IA64: info->dwProcessorType = 2200; break;
    default: info->dwProcessorType = 0; break;
  }
  info->dwAllocationGranularity = 65536;
}

void GetNativeSystemInfo(SYSTEM_INFO* info) { GetSystemInfo(info); }

BOOL IsWow64Process(BOOL* wow64) {
  if (wow64 == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  *wow64 = 0;
  return 1;
}

// ---- Language and nation --------------------------------------------------------------------

LANGID GetSystemDefaultLangID() {
  const auto id = ReadNumber(HKEY_LOCAL_MACHINE, kLanguageKey, "Default", 16);
  if (!id || *id == 0 || *id > 0xFFFF) return 0x0409;
  return static_cast<LANGID>(*id);
}

LCID GetSystemDefaultLCID() { return GetSystemDefaultLangID(); }

GEOID GetUserGeoID(GEOCLASS geoClass) {
  if (geoClass != GEOCLASS_NATION) return GEOID_NOT_AVAILABLE;
  auto value = ReadValue(HKEY_CURRENT_USER, kGeoKey, "Nation");
  if (!value) return 244;
  const auto id = ReadNumber(HKEY_CURRENT_USER, kGeoKey, "Nation", 10);
  if (!id || *id > 0x7FFFFFFF) return GEOID_NOT_AVAILABLE;
  return static_cast<GEOID>(*id);
}

int GetGeoInfo(GEOID location, GEOTYPE type, char* data, int dataSize, LANGID /*language*/) {
  const Nation* nation = FindNation(location);
  if (nation == nullptr || dataSize < 0 || (dataSize > 0 && data == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string text;
  switch (type) {
    case GEO_NATION: text = std::to_string(nation->id); break;
    case GEO_ISO2: text = nation->iso2; break;
    case GEO_FRIENDLYNAME: text = nation->name; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
  }
  const int needed = static_cast<int>(text.size()) + 1;
  if (dataSize == 0) return needed;
  if (dataSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(data, text.c_str(), static_cast<std::size_t>(needed));
  return needed;
}

// ---- Computer name and Windows directory ----------------------------------------------------

BOOL GetComputerName(char* buffer, DWORD* size) {
  if (size == nullptr || (buffer == nullptr && *size > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string name;
  if (auto text = ReadText(HKEY_LOCAL_MACHINE, kComputerNameKey, "ComputerName"); text && !text->empty()) {
    name = *text;
  } else {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    name = host;
    name = name.substr(0, name.find('.'));  // the host part of a full domain name
  }
  if (*size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return 0;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return 1;
}

UINT GetWindowsDirectory(char* buffer, UINT size) {
  std::string path = PlatformPath("windows/.");
  path.resize(path.size() - 2);  // PlatformPath created "windows"; drop the "/."
  if (buffer == nullptr || size < path.size() + 1) return static_cast<UINT>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<UINT>(path.size());
}

}  // namespace tarn::platform
