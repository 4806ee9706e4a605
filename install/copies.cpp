#include "install/copies.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/paths.h"
#include "platform/winerror.h"

namespace tarn::isupport {

using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_MORE_DATA;
using platform::ERROR_NO_MORE_ITEMS;
using platform::ERROR_SUCCESS;
using platform::KEY_ENUMERATE_SUB_KEYS;
using platform::KEY_QUERY_VALUE;
using platform::KEY_WOW64_32KEY;
using platform::KEY_WOW64_64KEY;

namespace {

constexpr char kCurrentVersionKey[] = "SOFTWARE\\Velk\\TARN\\CurrentVersion";
constexpr char kGlobalProfile[] = "\\GLOBAL_PROFILE";
// Fixed reads of the copy's values, in bytes with the terminating zero.
constexpr std::size_t kPathRead = 256;     // "TARN Path Name", "Version" of the pre-copy check
constexpr std::size_t kNumberRead = 64;    // the numbers of CurrentVersion
constexpr std::size_t kFlagRead = 65;      // "YES" flags of GLOBAL_PROFILE: at most 64 characters
constexpr std::size_t kCopyNameRead = 256; // names of the default copies
// Copy subkeys are key names: at most 255 characters.
constexpr DWORD kSubKeyCapacity = 256;

bool EqualNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
    if (ca != cb) return false;
    if (ca == '\0') return true;
  }
}

// The leading decimal number of a text, as the installer writes version numbers ("9"); 0 when
// there is none, and held to the range of a signed 32-bit number.
std::int32_t ParseDecimal(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(value);
}

// Reads a text value of at most `limit` bytes with its terminating zero. The text ends at its
// first zero, or at the end of the data when the installer stored none. Returns the platform's
// status: 0, 2 for a missing value, 234 for a value longer than `limit`.
LONG ReadText(HKEY key, const char* valueName, std::size_t limit, std::string* out) {
  if (key == nullptr) return static_cast<LONG>(platform::ERROR_INVALID_HANDLE);
  DWORD size = 0;
  LONG status = platform::RegQueryValueEx(key, valueName, nullptr, nullptr, nullptr, &size);
  if (status != ERROR_SUCCESS) return status;
  if (size > limit) return static_cast<LONG>(ERROR_MORE_DATA);
  std::vector<char> data(size + 1, '\0');  // one byte more than the data, for the zero
  status = platform::RegQueryValueEx(key, valueName, nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(data.data()), &size);
  if (status != ERROR_SUCCESS) return status;  // also when the value grew meanwhile
  data[size] = '\0';
  const std::size_t length = std::strlen(data.data());
  if (length + 1 > limit) return static_cast<LONG>(ERROR_MORE_DATA);
  out->assign(data.data(), length);
  return 0;
}

// Copies `text` to the caller's buffer only when it fits whole.
TarniStatus CopyOut(const char* text, char* buffer, std::size_t capacity) {
  if (buffer == nullptr) return RC_NULL_ARGUMENT;
  const std::size_t size = std::strlen(text) + 1;
  if (size > capacity) return RC_BUFFER_TOO_SMALL;
  std::memcpy(buffer, text, size);
  return 0;
}

// The short form of a file path, or false when the platform has none (the path is missing).
bool ShortForm(const char* path, std::string* out) {
  DWORD needed = platform::GetShortPathName(path, nullptr, 0);
  for (int attempt = 0; needed != 0 && attempt < 3; ++attempt) {
    std::vector<char> buffer(needed);
    const DWORD length = platform::GetShortPathName(path, buffer.data(), needed);
    if (length == 0) return false;
    if (length < needed) {
      out->assign(buffer.data(), length);
      return true;
    }
    needed = length;  // the path changed between the calls: ask again with the new size
  }
  return false;
}

// The value's text equals `expected`, ignoring case.
bool ValueEquals(HKEY root, const std::string& keyPath, REGSAM views, const char* valueName,
                 std::size_t limit, const char* expected) {
  TarniRegistry key;
  if (key.Open(root, keyPath.c_str(), KEY_QUERY_VALUE | views) != 0) return false;
  std::string text;
  return ReadText(key.GetKey(), valueName, limit, &text) == 0 &&
         EqualNoCase(text.c_str(), expected);
}

}  // namespace

InstallCopy::InstallCopy(const char* name, bool view32, bool view64) {
  view32_ = view32 ? KEY_WOW64_32KEY : 0;
  view64_ = view64 ? KEY_WOW64_64KEY : 0;
  if (name == nullptr || *name == '\0') return;  // a copy without key or install path
  const std::size_t nameLength = std::strlen(name);
  if (nameLength + 1 > sizeof name_) {
    // A cut name could name another copy; a registry key this long is no copy of ours.
    failed_ = 1;
    return;
  }
  std::memcpy(name_, name, nameLength + 1);

  std::string keyPath;
  if (EqualNoCase(name_, kPreCopyName)) {
    isPreCopy_ = true;
    keyPath = kPreCopyKey;
  } else {
    keyPath = std::string(kInstalledCopiesKey) + "\\" + name_;
  }
  std::memcpy(keyPath_, keyPath.c_str(), keyPath.size() + 1);  // at most 35 + 1 + 64 + 1

  TarniRegistry key;
  std::string installPath;
  if (key.Open(HKEY_LOCAL_MACHINE, keyPath_, KEY_QUERY_VALUE | view32_ | view64_) !=
          0 ||
      ReadText(key.GetKey(), "TARN Path Name", kPathRead, &installPath) != 0) {
    failed_ = 1;
    return;
  }
  // The installer may record the directory with a closing separator; the root directory keeps
  // its one.
  if (installPath.size() > 1 && installPath.back() == '/') installPath.pop_back();
  std::memcpy(installPath_, installPath.c_str(), installPath.size() + 1);

  TarniRegistry users;
  perUser_ = users.Open(HKEY_LOCAL_MACHINE, (keyPath + "\\Users").c_str(), KEY_QUERY_VALUE) == 0;

  LoadComponents();
}

// Product and instance lists join the destructor with their units; until then the copy never
// creates them.
InstallCopy::~InstallCopy() = default;

TarniStatus InstallCopy::GetName(char* buffer, std::size_t capacity) const {
  return CopyOut(name_, buffer, capacity);
}

TarniStatus InstallCopy::GetInstallPath(char* buffer, std::size_t capacity) const {
  return CopyOut(installPath_, buffer, capacity);
}

TarniStatus InstallCopy::GetKeyPath(char* buffer, std::size_t capacity) const {
  return CopyOut(keyPath_, buffer, capacity);
}

TarniStatus InstallCopy::GetShortInstallPath(char* buffer, std::size_t capacity) const {
  if (buffer == nullptr) return RC_NULL_ARGUMENT;
  std::string shortPath;
  if (!ShortForm(installPath_, &shortPath)) return RC_REGISTRY_FAILURE;
  return CopyOut(shortPath.c_str(), buffer, capacity);
}

bool InstallCopy::LoadComponents() {
  components_.Clear();
  if (keyPath_[0] == '\0') return true;
  const std::string path = std::string(keyPath_) + "\\COMPONENTS";
  TarniRegistry key;
  const TarniStatus opened =
      perUser_ ? key.Open(HKEY_CURRENT_USER, path.c_str(), KEY_QUERY_VALUE | view32_)
               : key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE | view32_ | view64_);
  if (opened != 0) return true;
  std::vector<char> name(platform::MAX_VALUE_NAME + 1);
  for (DWORD index = 0;; ++index) {
    DWORD size = static_cast<DWORD>(name.size());
    if (platform::RegEnumValue(key.GetKey(), index, name.data(), &size, nullptr, nullptr, nullptr,
                               nullptr) != ERROR_SUCCESS) {
      break;
    }
    char* component = new (std::nothrow) char[size + 1];
    if (component == nullptr) break;
    std::memcpy(component, name.data(), size + 1);
    if (!components_.Append(component)) break;
  }
  return false;
}

TarniStatus InstallCopy::GetVersion(VersionRecord** record) const {
  if (record == nullptr) return RC_NULL_ARGUMENT;
  *record = new (std::nothrow) VersionRecord();
  if (*record == nullptr) return RC_NO_MEMORY;
  VersionRecord& out = **record;
  if (keyPath_[0] == '\0') return ERROR_FILE_NOT_FOUND;  // a copy without a key

  TarniRegistry key;
  const std::string path = std::string(keyPath_) + "\\CurrentVersion";
  if (TarniStatus status = key.Open(HKEY_LOCAL_MACHINE, path.c_str(),
                                    KEY_QUERY_VALUE | view32_ | view64_);
      status != 0) {
    return status;
  }
  struct Number {
    const char* valueName;
    std::int32_t* field;
  };
  // The pre-copy installation records no fix level: its record keeps 0.
  const Number numbers[] = {{"Version", &out.version},
                            {"Release", &out.release},
                            {"Modification", &out.modification},
                            {isPreCopy_ ? nullptr : "Fix Level", &out.fixLevel}};
  std::string text;
  for (const Number& number : numbers) {
    if (number.valueName == nullptr) continue;
    if (LONG status = ReadText(key.GetKey(), number.valueName, kNumberRead, &text); status != 0) {
      return static_cast<TarniStatus>(status);
    }
    *number.field = ParseDecimal(text.c_str());
  }
  if (LONG status = ReadText(key.GetKey(), "Service Level", sizeof out.serviceLevel, &text);
      status != 0) {
    return static_cast<TarniStatus>(status);
  }
  std::memcpy(out.serviceLevel, text.c_str(), text.size() + 1);
  return 0;
}

bool InstallCopy::IsDefaultCopy() const {
  if (isPreCopy_) return true;
  if (name_[0] == '\0') return false;
  return ValueEquals(HKEY_LOCAL_MACHINE, kInstalledCopiesKey, view32_ | view64_, "",
                     kCopyNameRead, name_);
}

bool InstallCopy::IsDefaultClientCopy() const {
  if (name_[0] == '\0') return false;
  return ValueEquals(HKEY_LOCAL_MACHINE, kInstalledCopiesKey, view32_ | view64_,
                     "defaultClientInterfaceCopy", kCopyNameRead, name_);
}

bool InstallCopy::IsMergeModuleCopy() const {
  if (name_[0] == '\0') return false;
  return ValueEquals(HKEY_LOCAL_MACHINE, std::string(kInstalledCopiesKey) + "\\" + name_,
                     view32_ | view64_, "IsMergeModuleCopy", kFlagRead, "YES");
}

bool InstallCopy::IsClientInterfaceOnlyCopy() const {
  if (name_[0] == '\0') return false;
  return ValueEquals(HKEY_LOCAL_MACHINE, std::string(kInstalledCopiesKey) + "\\" + name_,
                     view32_ | view64_, "ClientInterfaceOnlyCopy", kFlagRead, "YES");
}

bool InstallCopy::IsExtendedSecurity() const {
  if (keyPath_[0] == '\0') return false;
  return ValueEquals(HKEY_LOCAL_MACHINE, std::string(keyPath_) + kGlobalProfile,
                     view32_ | view64_, "TARN_EXTSECURITY", kFlagRead, "YES");
}

TarniStatus InstallCopy::GetAdminGroup(char* buffer, std::size_t capacity) const {
  if (buffer == nullptr) return RC_NULL_ARGUMENT;
  if (capacity < kAdminGroupMinCapacity) return RC_BUFFER_TOO_SMALL;
  if (keyPath_[0] == '\0') return RC_REGISTRY_FAILURE;
  TarniRegistry key;
  const std::string path = std::string(keyPath_) + kGlobalProfile;
  std::string text;
  if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE | view32_ | view64_) != 0) {
    return RC_REGISTRY_FAILURE;
  }
  const LONG status = ReadText(key.GetKey(), "TARN_ADMINGROUP", capacity, &text);
  if (status == static_cast<LONG>(ERROR_MORE_DATA)) return RC_BUFFER_TOO_SMALL;
  if (status != 0) return RC_REGISTRY_FAILURE;
  return CopyOut(text.c_str(), buffer, capacity);
}

TarniStatus InstallCopy::GetDefaultInstance(char* buffer, std::size_t capacity) const {
  if (name_[0] == '\0' || buffer == nullptr) return RC_NULL_ARGUMENT;
  TarniRegistry key;
  const std::string path = std::string(keyPath_) + kGlobalProfile;
  std::string text;
  if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE | view32_ | view64_) != 0) {
    return RC_REGISTRY_FAILURE;
  }
  const LONG status = ReadText(key.GetKey(), "TARNINSTDEF", capacity, &text);
  if (status == static_cast<LONG>(ERROR_MORE_DATA)) return RC_BUFFER_TOO_SMALL;
  if (status != 0) return RC_REGISTRY_FAILURE;
  return CopyOut(text.c_str(), buffer, capacity);
}

TarniStatus InstallCopy::GetInstanceProfileDirectory(char* buffer, std::size_t capacity) const {
  if (buffer == nullptr) return RC_NULL_ARGUMENT;
  std::string text;
  LONG status = ERROR_FILE_NOT_FOUND;
  if (keyPath_[0] != '\0') {
    TarniRegistry key;
    const std::string path = std::string(keyPath_) + kGlobalProfile;
    if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE | view32_ | view64_) == 0) {
      status = ReadText(key.GetKey(), "TARNINSTPROF", capacity, &text);
    }
  }
  if (status == static_cast<LONG>(ERROR_MORE_DATA)) return RC_BUFFER_TOO_SMALL;
  // Without a profile directory of their own, the instances keep their profiles in the copy.
  return CopyOut(status == 0 ? text.c_str() : installPath_, buffer, capacity);
}

TarniStatus InstallCopy::ReadClassIds(char (*ids)[kClassIdCapacity]) const {
  static constexpr const char* kSuffixes[5] = {"", " Error Lookup", " Enumerator",
                                               " Advanced Page", " Connection Page"};
  if (name_[0] == '\0') return RC_NULL_ARGUMENT;
  TarniRegistry key;
  const std::string path = std::string(keyPath_) + "\\installData\\OLEDB";
  if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE | view32_ | view64_) != 0) {
    return RC_REGISTRY_FAILURE;
  }
  for (int i = 0; i < 5; ++i) {
    const std::string valueName = std::string(kOleDbProviderName) + kSuffixes[i];
    std::string text;
    const LONG status = ReadText(key.GetKey(), valueName.c_str(), kClassIdCapacity, &text);
    if (status == static_cast<LONG>(ERROR_MORE_DATA)) return RC_BUFFER_TOO_SMALL;
    if (status != 0) return RC_REGISTRY_FAILURE;
    std::memcpy(ids[i], text.c_str(), text.size() + 1);
  }
  return 0;
}

TarniStatus InstallCopy::GetOleDbClassIds(char* provider, char* errorLookup, char* enumerator,
                                          char* advancedPage, char* connectionPage) const {
  char* const out[5] = {provider, errorLookup, enumerator, advancedPage, connectionPage};
  for (char* buffer : out) {
    if (buffer == nullptr) return RC_NULL_ARGUMENT;
  }
  char ids[5][kClassIdCapacity];
  if (TarniStatus status = ReadClassIds(ids); status != 0) return status;
  for (int i = 0; i < 5; ++i) std::memcpy(out[i], ids[i], std::strlen(ids[i]) + 1);
  return 0;
}

TarniStatus InstallCopy::GetOleDbClassIds(char16_t* provider, char16_t* errorLookup,
                                          char16_t* enumerator, char16_t* advancedPage,
                                          char16_t* connectionPage) const {
  char16_t* const out[5] = {provider, errorLookup, enumerator, advancedPage, connectionPage};
  for (char16_t* buffer : out) {
    if (buffer == nullptr) return RC_NULL_ARGUMENT;
  }
  char ids[5][kClassIdCapacity];
  if (TarniStatus status = ReadClassIds(ids); status != 0) return status;
  // A class identifier is ASCII ("{" hex digits and dashes "}"): each byte is one UTF-16 unit.
  // Anything else is no identifier this system registered.
  for (const auto& id : ids) {
    for (const char* c = id; *c != '\0'; ++c) {
      if (static_cast<unsigned char>(*c) >= 0x80) return RC_REGISTRY_FAILURE;
    }
  }
  for (int i = 0; i < 5; ++i) {
    std::size_t j = 0;
    do {
      out[i][j] = static_cast<char16_t>(ids[i][j]);
    } while (ids[i][j++] != '\0');
  }
  return 0;
}

InstallCopyList::InstallCopyList(bool view32, bool view64) {
  view32_ = view32 ? KEY_WOW64_32KEY : 0;
  view64_ = view64 ? KEY_WOW64_64KEY : 0;
  const REGSAM views = view32_ | view64_;

  // A pre-copy installation announces itself by version 8 in the product's CurrentVersion key,
  // read in the list's view so that it is looked for where its copy is then read.
  {
    TarniRegistry key;
    std::string version;
    if (key.Open(HKEY_LOCAL_MACHINE, kCurrentVersionKey, KEY_QUERY_VALUE | views) == 0 &&
        ReadText(key.GetKey(), "Version", kPathRead, &version) == 0 &&
        ParseDecimal(version.c_str()) == 8) {
      auto* copy = new (std::nothrow) InstallCopy(kPreCopyName, view32, view64);
      if (copy == nullptr || copy->IsFailed()) {
        delete copy;
        failed_ = true;
        return;
      }
      if (!Append(copy)) {
        failed_ = true;
        return;
      }
      preCopy_ = copy;
    }
  }

  TarniRegistry copies;
  if (copies.Open(HKEY_LOCAL_MACHINE, kInstalledCopiesKey,
                  KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | views) != 0) {
    return;  // no named copies
  }
  char name[kSubKeyCapacity];
  for (DWORD index = 0;; ++index) {
    DWORD size = kSubKeyCapacity;
    const LONG status = platform::RegEnumKeyEx(copies.GetKey(), index, name, &size, nullptr,
                                               nullptr, nullptr, nullptr);
    if (status == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    if (status != ERROR_SUCCESS) {
      failed_ = true;
      break;
    }
    auto* copy = new (std::nothrow) InstallCopy(name, view32, view64);
    if (copy == nullptr || copy->IsFailed()) {
      delete copy;
      platform::OutputDebugString("Invalid Installation Name");
      platform::OutputDebugString(name);
      continue;
    }
    Append(copy);  // a copy that finds no room in the list is deleted by Append
  }
}

TarniStatus InstallCopyList::FindByPath(const char* path, InstallCopy** copy) {
  if (path == nullptr || copy == nullptr) return RC_NULL_ARGUMENT;
  std::string wanted(path);
  if (wanted.size() > 1 && wanted.back() == '/') wanted.pop_back();
  std::string wantedShort;
  if (!ShortForm(wanted.c_str(), &wantedShort)) return RC_REGISTRY_FAILURE;
  // Windows paths ignore case, so any copy equal ignoring case is the one. Here two directories
  // may differ in case alone: the copy whose path is exactly the one given wins, and only without
  // one does a copy equal ignoring case count.
  InstallCopy* found = FindIf([&](InstallCopy* candidate) {
    std::string candidateShort;
    return ShortForm(candidate->InstallPath(), &candidateShort) && candidateShort == wantedShort;
  });
  if (found == nullptr) {
    found = FindIf([&](InstallCopy* candidate) {
      std::string candidateShort;
      return ShortForm(candidate->InstallPath(), &candidateShort) &&
             EqualNoCase(candidateShort.c_str(), wantedShort.c_str());
    });
  }
  if (found == nullptr) return RC_NOT_FOUND;
  *copy = found;
  return 0;
}

TarniStatus InstallCopyList::FindByName(const char* name, InstallCopy** copy) {
  if (name == nullptr || copy == nullptr) return RC_NULL_ARGUMENT;
  InstallCopy* found =
      FindIf([&](InstallCopy* candidate) { return EqualNoCase(candidate->Name(), name); });
  if (found == nullptr) return RC_NOT_FOUND;
  *copy = found;
  return 0;
}

bool InstallCopyList::ContainsName(const char* name) {
  InstallCopy* found = nullptr;
  return FindByName(name, &found) == 0;
}

bool InstallCopyList::ContainsCopy(const InstallCopy* copy) {
  return copy != nullptr && ContainsName(copy->Name());
}

TarniStatus InstallCopyList::FindDefaultCopy(InstallCopy** copy) {
  if (copy == nullptr) return RC_NULL_ARGUMENT;
  InstallCopy* found = FindIf([](InstallCopy* candidate) { return candidate->IsDefaultCopy(); });
  if (found == nullptr) return RC_NOT_FOUND;
  *copy = found;
  return 0;
}

TarniStatus InstallCopyList::FindDefaultClientCopy(InstallCopy** copy) {
  if (copy == nullptr) return RC_NULL_ARGUMENT;
  InstallCopy* found =
      FindIf([](InstallCopy* candidate) { return candidate->IsDefaultClientCopy(); });
  if (found == nullptr) return RC_NOT_FOUND;
  *copy = found;
  return 0;
}

namespace {

std::mutex g_singletonMutex;
InstallCopyListSingleton* g_singleton = nullptr;
bool g_use32BitView = false;

}  // namespace

InstallCopyListSingleton* InstallCopyListSingleton::GetInstance() {
  std::lock_guard<std::mutex> lock(g_singletonMutex);
  if (g_singleton == nullptr) {
    g_singleton = new (std::nothrow) InstallCopyListSingleton(g_use32BitView);
  }
  return g_singleton;
}

InstallCopyListSingleton* InstallCopyListSingleton::Refresh() {
  std::lock_guard<std::mutex> lock(g_singletonMutex);
  delete g_singleton;
  g_singleton = new (std::nothrow) InstallCopyListSingleton(g_use32BitView);
  return g_singleton;
}

void InstallCopyListSingleton::Release() {
  std::lock_guard<std::mutex> lock(g_singletonMutex);
  delete g_singleton;
  g_singleton = nullptr;
}

void InstallCopyListSingleton::SetUse32BitView(bool use32BitView) {
  std::lock_guard<std::mutex> lock(g_singletonMutex);
  g_use32BitView = use32BitView;
}

bool InstallCopyListSingleton::GetUse32BitView() {
  std::lock_guard<std::mutex> lock(g_singletonMutex);
  return g_use32BitView;
}

}  // namespace tarn::isupport
