#include "install/registry.h"

#include <cstring>
#include <string>

#include "platform/winerror.h"

namespace tarn::isupport {

using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_BADKEY;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_MORE_DATA;
using platform::ERROR_NO_MORE_ITEMS;
using platform::ERROR_SUCCESS;

namespace {

// Value names FindValue compares: at most 259 characters. A longer name cannot be the one
// searched for; it is passed over.
constexpr DWORD kValueNameCapacity = 260;
// Key names DeleteKeyTree walks: at most 255 characters, as the registry allows.
constexpr DWORD kKeyNameCapacity = 256;

// Where SubstituteCopyName leaves a result when the caller gives no buffer. One per thread, so
// that threads substituting at once do not overwrite each other's result.
thread_local char t_substituted[kSubstituteCapacity];

}  // namespace

TarniRegistry::TarniRegistry(HKEY root, const char* keyPath, bool create, REGSAM access,
                             DWORD options) {
  if (create) {
    Create(root, keyPath, access | platform::KEY_ALL_ACCESS, options);
  } else {
    Open(root, keyPath, access);
  }
}

TarniRegistry::~TarniRegistry() { Close(); }

TarniStatus TarniRegistry::Open(HKEY root, const char* keyPath, REGSAM access) {
  Close();
  HKEY key = nullptr;
  if (platform::RegOpenKeyEx(root, keyPath, 0, access, &key) != ERROR_SUCCESS) {
    return ERROR_FILE_NOT_FOUND;
  }
  key_ = key;
  owned_ = 1;
  return 0;
}

TarniStatus TarniRegistry::Create(HKEY root, const char* keyPath, REGSAM access, DWORD options) {
  Close();
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LONG status = platform::RegCreateKeyEx(root, keyPath, 0, nullptr, options, access,
                                               nullptr, &key, &disposition);
  if (status == static_cast<LONG>(ERROR_ACCESS_DENIED)) return ERROR_ACCESS_DENIED;
  if (status != ERROR_SUCCESS) return ERROR_FILE_NOT_FOUND;
  key_ = key;
  owned_ = 1;
  return 0;
}

void TarniRegistry::Attach(HKEY key) {
  Close();
  key_ = key;
}

void TarniRegistry::Close() {
  if (owned_ != 0 && key_ != nullptr) platform::RegCloseKey(key_);
  key_ = nullptr;
  owned_ = 0;
}

TarniStatus TarniRegistry::QueryValue(const char* valueName, void* data, DWORD* size) {
  if (key_ == nullptr) return RC_REGISTRY_FAILURE;
  const LONG status = platform::RegQueryValueEx(key_, valueName, nullptr, nullptr,
                                                static_cast<BYTE*>(data), size);
  return status == ERROR_SUCCESS ? 0 : RC_REGISTRY_FAILURE;
}

TarniStatus TarniRegistry::SetValue(const char* valueName, const void* data, DWORD size,
                                    DWORD type) {
  if (key_ == nullptr) return RC_REGISTRY_FAILURE;
  const LONG status = platform::RegSetValueEx(key_, valueName, 0, type,
                                              static_cast<const BYTE*>(data), size);
  if (status == ERROR_SUCCESS) return 0;
  if (status == static_cast<LONG>(ERROR_ACCESS_DENIED)) return ERROR_ACCESS_DENIED;
  return RC_REGISTRY_FAILURE;
}

TarniStatus TarniRegistry::DeleteValue(const char* valueName) {
  if (key_ == nullptr) return RC_REGISTRY_FAILURE;
  return platform::RegDeleteValue(key_, valueName) == ERROR_SUCCESS ? 0 : RC_REGISTRY_FAILURE;
}

bool TarniRegistry::ScanValues(const char* valueName, DWORD begin, DWORD end, DWORD* after) {
  char name[kValueNameCapacity];
  for (DWORD index = begin; index < end; ++index) {
    DWORD size = kValueNameCapacity;
    const LONG status =
        platform::RegEnumValue(key_, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == static_cast<LONG>(ERROR_MORE_DATA)) continue;  // too long to be the one
    if (status != ERROR_SUCCESS) return false;                   // the end, or a failure
    if (std::strcmp(name, valueName) == 0) {
      *after = index + 1;
      return true;
    }
  }
  return false;
}

TarniStatus TarniRegistry::FindValue(const char* valueName, bool* found, DWORD* position) {
  if (found == nullptr) return 0;
  *found = false;
  if (key_ == nullptr || valueName == nullptr) return 0;
  const DWORD start = position != nullptr ? *position : 0;
  DWORD after = 0;
  // From the starting position to the last value, then round to the values before it: a caller
  // that keeps the position finds each value in turn whatever order it asks for them in.
  *found = ScanValues(valueName, start, ~DWORD{0}, &after) ||
           (start > 0 && ScanValues(valueName, 0, start, &after));
  if (*found && position != nullptr) *position = after;
  return 0;
}

TarniStatus TarniRegistry::OpenForCopy(HKEY root, const char* keyPath, const char* copyName,
                                       REGSAM access) {
  char path[kSubstituteCapacity];
  const char* substituted = SubstituteCopyName(keyPath, copyName, sizeof path, path);
  if (substituted == nullptr) {
    Close();
    return ERROR_FILE_NOT_FOUND;
  }
  return Open(root, substituted, access);
}

bool TarniRegistry::OpenedForCopy(HKEY root, const char* keyPath, const char* copyName,
                                  REGSAM access) {
  OpenForCopy(root, keyPath, copyName, access);
  return IsOpen();
}

BYTE TarniRegistry::CreateForCopy(HKEY root, const char* keyPath, const char* copyName,
                                  REGSAM access, DWORD options) {
  char path[kSubstituteCapacity];
  const char* substituted = SubstituteCopyName(keyPath, copyName, sizeof path, path);
  if (substituted == nullptr) {
    Close();
    return static_cast<BYTE>(ERROR_FILE_NOT_FOUND);
  }
  return static_cast<BYTE>(Create(root, substituted, access, options) & 0xFF);
}

TarniCopyNameRegistry::TarniCopyNameRegistry(HKEY root, const char* keyPath, bool create,
                                             const char* copyName, REGSAM access,
                                             DWORD options) {
  if (create) {
    CreateForCopy(root, keyPath, copyName, access | platform::KEY_ALL_ACCESS, options);
  } else {
    OpenForCopy(root, keyPath, copyName, access);
  }
}

char* ReplaceToken(char* text, std::size_t capacity, const char* token, const char* replacement) {
  if (text == nullptr || token == nullptr || replacement == nullptr) return nullptr;
  const std::size_t tokenLength = std::strlen(token);
  if (tokenLength == 0) return text;
  // Built aside and copied back only when it fits, so a refusal leaves the text as it was.
  std::string result;
  const char* rest = text;
  for (const char* hit = std::strstr(rest, token); hit != nullptr;
       hit = std::strstr(rest, token)) {
    result.append(rest, hit);
    result.append(replacement);
    rest = hit + tokenLength;  // the search resumes after the inserted replacement
  }
  if (rest == text) return text;
  result.append(rest);
  if (result.size() + 1 > capacity) return nullptr;
  std::memcpy(text, result.c_str(), result.size() + 1);
  return text;
}

const char* SubstituteCopyName(const char* text, const char* copyName, std::size_t capacity,
                               char* destination) {
  if (text == nullptr) return nullptr;
  const std::size_t textSize = std::strlen(text) + 1;
  if (capacity != 0 && textSize > capacity) return nullptr;
  if (textSize > kSubstituteCapacity) return nullptr;

  char work[kSubstituteCapacity];
  std::memcpy(work, text, textSize);
  if (copyName != nullptr) {
    // Only one kind of token is replaced per call; the current installation's name wins.
    const char* token = nullptr;
    if (std::strstr(work, kCurrentInstallationToken) != nullptr) {
      token = kCurrentInstallationToken;
    } else if (std::strstr(work, kDefaultInstallationToken) != nullptr) {
      token = kDefaultInstallationToken;
    }
    if (token != nullptr && ReplaceToken(work, sizeof work, token, copyName) == nullptr) {
      return nullptr;
    }
  }

  const bool toDestination = capacity != 0 && destination != nullptr;
  if (std::strcmp(work, text) == 0) {
    if (toDestination) std::memmove(destination, text, textSize);
    return text;
  }
  const std::size_t resultSize = std::strlen(work) + 1;
  if (toDestination) {
    if (resultSize > capacity) return nullptr;
    std::memcpy(destination, work, resultSize);
    return destination;
  }
  if (capacity != 0 && resultSize > capacity) return nullptr;
  std::memcpy(t_substituted, work, resultSize);
  return t_substituted;
}

bool IsKeyEmpty(HKEY root, const char* keyPath) {
  if (keyPath == nullptr || *keyPath == '\0') return false;
  HKEY key = nullptr;
  if (platform::RegOpenKeyEx(root, keyPath, 0, platform::KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD subKeys = 0;
  DWORD values = 0;
  const LONG status = platform::RegQueryInfoKey(key, nullptr, nullptr, nullptr, &subKeys, nullptr,
                                                nullptr, &values, nullptr, nullptr, nullptr,
                                                nullptr);
  platform::RegCloseKey(key);
  return status == ERROR_SUCCESS && subKeys == 0 && values == 0;
}

LONG DeleteKeyTree(HKEY root, const char* keyPath, bool ignored, const char* keepName) {
  if (keyPath == nullptr || *keyPath == '\0') return ERROR_BADKEY;
  HKEY key = nullptr;
  LONG status = platform::RegOpenKeyEx(root, keyPath, 0,
                                       platform::KEY_ENUMERATE_SUB_KEYS | platform::DELETE, &key);
  if (status != ERROR_SUCCESS) return status;

  const bool keeping = keepName != nullptr && *keepName != '\0';
  char name[kKeyNameCapacity];
  DWORD index = 0;  // advances only past kept subkeys: a deleted one makes room for the next
  for (;;) {
    DWORD size = kKeyNameCapacity;
    status = platform::RegEnumKeyEx(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) {
      platform::RegCloseKey(key);
      // Fails (5) when a kept subkey is still below: the key stays, and so does its path.
      return platform::RegDeleteKey(root, keyPath);
    }
    if (status == ERROR_SUCCESS) {
      if (keeping && std::strcmp(name, keepName) == 0) {
        ++index;
        continue;
      }
      status = DeleteKeyTree(key, name, ignored, keepName);
    }
    if (status != ERROR_SUCCESS) {
      platform::RegCloseKey(key);
      return status;
    }
  }
}

LONG DeleteCopyKeyTree(HKEY root, const char* keyPath, bool ignored, const char* copyName,
                       const char* keepName) {
  char path[kSubstituteCapacity];
  // A path that cannot be substituted names no key: DeleteKeyTree refuses the null path.
  return DeleteKeyTree(root, SubstituteCopyName(keyPath, copyName, sizeof path, path), ignored,
                       keepName);
}

}  // namespace tarn::isupport
