// The install support's registry toolkit.
//
// Everything the installer knows about installed Tarn copies lives in the registry, below
// "SOFTWARE\\Velk\\TARN". A key of one copy is named by a path holding a copy-name token,
// "$CurrentInstallationName$" or "$DefaultInstallationName$", which SubstituteCopyName replaces
// by the copy's name:
//
//   "SOFTWARE\\Velk\\TARN\\InstalledCopies\\$CurrentInstallationName$"
//     with copy "TARNCOPY1" names
//   "SOFTWARE\\Velk\\TARN\\InstalledCopies\\TARNCOPY1"
//
// TarniRegistry wraps one key handle. A key it opened or created is its own and is closed by
// Close, by the next Open/Create/Attach and by the destructor; an attached handle is only
// borrowed. Its operations never raise: Open and Create leave the object closed on failure, and
// each operation tells its outcome through its status:
//
//   Open, OpenForCopy        0, or 2 for any failure
//   Create                   0, 5 when access was denied, 2 for any other failure
//   QueryValue, DeleteValue  0 or RC_REGISTRY_FAILURE (also on a closed object)
//   SetValue                 0, 5 when access was denied, or RC_REGISTRY_FAILURE
//   FindValue                always 0; the outcome is the found flag
//
// Key paths are registry paths, not file paths: they keep the backslash as separator.
//
// The install support lives in namespace tarn::isupport and reaches the registry only through
// the platform layer (platform/registry.h).
#pragma once

#include <cstddef>

#include "install/status.h"
#include "platform/registry.h"

namespace tarn::isupport {

using platform::BYTE;
using platform::DWORD;
using platform::HKEY;
using platform::LONG;
using platform::REGSAM;
using platform::REG_OPTION_NON_VOLATILE;

// The two copy-name tokens. When a path holds both, only the current one is replaced.
inline constexpr const char kCurrentInstallationToken[] = "$CurrentInstallationName$";
inline constexpr const char kDefaultInstallationToken[] = "$DefaultInstallationName$";

// The work buffer of SubstituteCopyName, in characters with the terminating zero: a text or a
// result that does not fit is refused.
inline constexpr std::size_t kSubstituteCapacity = 1024;

class TarniRegistry {
 public:
  TarniRegistry() = default;
  // With `create`, creates or opens the key with `access` plus full access; otherwise opens it
  // with `access`. IsOpen tells whether it worked.
  TarniRegistry(HKEY root, const char* keyPath, bool create, REGSAM access,
                DWORD options = REG_OPTION_NON_VOLATILE);
  virtual ~TarniRegistry();

  // A key handle has one owner.
  TarniRegistry(const TarniRegistry&) = delete;
  TarniRegistry& operator=(const TarniRegistry&) = delete;

  TarniStatus Open(HKEY root, const char* keyPath, REGSAM access);
  TarniStatus Create(HKEY root, const char* keyPath, REGSAM access,
                     DWORD options = REG_OPTION_NON_VOLATILE);
  // Uses `key` without taking it over: Close and the destructor leave it open.
  void Attach(HKEY key);
  void Close();

  // Reads the value's data, whatever its type, into `data`; `*size` gives the capacity in bytes
  // and receives the size of the data (or, when the buffer is short, the size it needs).
  TarniStatus QueryValue(const char* valueName, void* data, DWORD* size);
  TarniStatus SetValue(const char* valueName, const void* data, DWORD size, DWORD type);
  TarniStatus DeleteValue(const char* valueName);

  // Looks for the value named exactly `valueName` (case counts), starting at value index
  // `*position` and wrapping around to the values before it. On a match `*found` is set and
  // `*position` is the index just after the match, so that a loop of calls visits the values
  // in turn; otherwise `*position` is left alone. Always returns 0.
  TarniStatus FindValue(const char* valueName, bool* found, DWORD* position);

  // True for a key this object opened or created (an attached key is not counted).
  bool IsOpen() const { return owned_ != 0; }
  HKEY GetKey() const { return key_; }

  // Open and Create on the key path with the copy name substituted. OpenForCopy returns the
  // status of Open; OpenedForCopy does the same and tells IsOpen instead. CreateForCopy returns
  // the low byte of Create's status (Create's statuses all fit in it).
  TarniStatus OpenForCopy(HKEY root, const char* keyPath, const char* copyName, REGSAM access);
  bool OpenedForCopy(HKEY root, const char* keyPath, const char* copyName, REGSAM access);
  BYTE CreateForCopy(HKEY root, const char* keyPath, const char* copyName, REGSAM access,
                     DWORD options = REG_OPTION_NON_VOLATILE);

 private:
  // Enumerates the values from index `begin` up to, not including, `end` (or the last value)
  // looking for `valueName`; the index just after a match goes to `*after`.
  bool ScanValues(const char* valueName, DWORD begin, DWORD end, DWORD* after);

  std::uint8_t owned_ = 0;
  HKEY key_ = nullptr;
};

// A key whose path holds a copy-name token, opened (or created) with the copy's name in place.
class TarniCopyNameRegistry : public TarniRegistry {
 public:
  TarniCopyNameRegistry(HKEY root, const char* keyPath, bool create, const char* copyName,
                        REGSAM access,
                        DWORD options = REG_OPTION_NON_VOLATILE);
};

// Replaces the copy-name token of `text` (every occurrence of "$CurrentInstallationName$", or
// when it has none every occurrence of "$DefaultInstallationName$") by `copyName`. A null copy
// name replaces nothing; an empty one removes the token.
//
// With a non-zero `capacity`, the result goes to `destination` (when one is given); otherwise it
// goes to a buffer of the calling thread that the next call overwrites. Returns `text` itself
// when nothing was replaced (after copying it to `destination`), else the buffer holding the
// result. Returns null, writing nothing, when `text` or the result (with its terminating zero)
// is longer than `capacity` or than the 1024-character work buffer.
const char* SubstituteCopyName(const char* text, const char* copyName, std::size_t capacity = 0,
                               char* destination = nullptr);

// Replaces every occurrence of `token` in the zero-terminated `text` (a buffer of `capacity`
// characters) by `replacement`. Text that a replacement inserted is never searched again, so a
// replacement holding the token cannot loop; an empty token replaces nothing. Returns `text`, or
// null, leaving `text` unchanged, when the result would not fit in `capacity` or an argument is
// null.
char* ReplaceToken(char* text, std::size_t capacity, const char* token, const char* replacement);

// True when the key exists, can be read, and has neither subkeys nor values.
bool IsKeyEmpty(HKEY root, const char* keyPath);

// Deletes the key and its subkeys, depth first. Subkeys named exactly `keepName` (when it is
// non-empty) are kept, at any depth; a kept subkey keeps its ancestors too, and deleting the
// first of them then fails with the platform's status, which ends the walk and is returned.
// Returns 0, 1010 for an empty or null path, or the platform's status of the first failure.
// `ignored` is accepted for the installer's call sites and has no effect.
LONG DeleteKeyTree(HKEY root, const char* keyPath, bool ignored, const char* keepName);
// The same on the key path with the copy name substituted.
LONG DeleteCopyKeyTree(HKEY root, const char* keyPath, bool ignored, const char* copyName,
                       const char* keepName);

}  // namespace tarn::isupport
