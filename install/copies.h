// Installed copies of the Tarn database product.
//
// Several copies can be installed side by side. The installer records each under
//
//   HKEY_LOCAL_MACHINE\SOFTWARE\Velk\TARN\InstalledCopies\<name>  "TARN Path Name" = install path
//                                                 \CurrentVersion "Version", "Release", ...
//                                                 \GLOBAL_PROFILE "TARNINSTDEF", ...
//                                                 \COMPONENTS     one value per component
//
// and names the default copies in values of InstalledCopies itself (its default value and
// "defaultClientInterfaceCopy"). An installation from before named copies existed, the
// pre-copy installation, is recorded directly under SOFTWARE\Velk\TARN (its CurrentVersion has
// "Version" 8) and appears as the copy named "TARNV8".
//
// InstallCopy reads one copy's key when it is built; the getters read the rest on demand.
// InstallCopyList lists the copies that can be read, the pre-copy installation first, then the
// subkeys of InstalledCopies in registry order; a subkey whose key or install path cannot be read
// is left out (and named in the debugger output). Both are built for a registry view: the 32-bit
// view (KEY_WOW64_32KEY) sees the copies under SOFTWARE\Wow6432Node, the 64-bit and the default
// view those under SOFTWARE.
//
// Getters copy into the caller's buffer and never cut: a text that does not fit, with its
// terminating zero, gives RC_BUFFER_TOO_SMALL and leaves the buffer as it was.
//
// Install paths are file paths (native, '/'-separated); key paths keep the backslash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "install/ilist.h"
#include "install/registry.h"
#include "install/status.h"

namespace tarn::isupport {

// Kept by the copy and created on first use by the units of products and instances.
class InstalledProdList;
class ITARNINSTANCELIST;

inline constexpr char kInstalledCopiesKey[] = "SOFTWARE\\Velk\\TARN\\InstalledCopies";
inline constexpr char kPreCopyKey[] = "SOFTWARE\\Velk\\TARN";
inline constexpr char kPreCopyName[] = "TARNV8";
// The provider name under which the copy registers its OLE DB provider and its components.
inline constexpr char kOleDbProviderName[] = "TARNOLEDB";

inline constexpr std::size_t kCopyNameCapacity = 65;      // 64 characters and the zero
inline constexpr std::size_t kCopyPathCapacity = 256;     // install path and key path
inline constexpr std::size_t kClassIdCapacity = 39;       // "{xxxxxxxx-...}" and the zero
inline constexpr std::size_t kAdminGroupMinCapacity = 65; // GetAdminGroup needs more than 64

// A copy's version, created by GetVersion for the caller, who deletes it.
struct VersionRecord {
  std::int32_t version = 0;
  std::int32_t release = 0;
  std::int32_t modification = 0;
  std::int32_t fixLevel = 0;
  char serviceLevel[64] = {};
};

class InstallCopy {
 public:
  // Reads the copy `name` in the given view(s). A name that is empty gives a copy without key
  // or install path (not failed); a name longer than 64 characters, a missing copy key or a key
  // without "TARN Path Name" gives a failed copy.
  InstallCopy(const char* name, bool view32, bool view64);
  virtual ~InstallCopy();

  InstallCopy(const InstallCopy&) = delete;
  InstallCopy& operator=(const InstallCopy&) = delete;

  // 0, RC_NULL_ARGUMENT for a null buffer, RC_BUFFER_TOO_SMALL.
  TarniStatus GetName(char* buffer, std::size_t capacity) const;
  TarniStatus GetInstallPath(char* buffer, std::size_t capacity) const;
  TarniStatus GetKeyPath(char* buffer, std::size_t capacity) const;
  // The short form of the install path; also RC_REGISTRY_FAILURE when the platform has none
  // (the directory does not exist).
  TarniStatus GetShortInstallPath(char* buffer, std::size_t capacity) const;

  // The members, for callers within the install support.
  const char* Name() const { return name_; }
  const char* InstallPath() const { return installPath_; }
  const char* KeyPath() const { return keyPath_; }

  bool IsFailed() const { return failed_ != 0; }
  bool IsPreCopy() const { return isPreCopy_; }
  bool IsPerUser() const { return perUser_; }
  std::uint32_t GetView32() const { return view32_; }
  std::uint32_t GetView64() const { return view64_; }
  std::int32_t GetPackageVariant() const { return packageVariant_; }
  void SetPackageVariant(std::int32_t variant) { packageVariant_ = variant; }

  // Reads the value names of the copy's COMPONENTS key into the component list, replacing what
  // it held: under HKEY_CURRENT_USER (32-bit view flag only) for a per-user copy, else under
  // HKEY_LOCAL_MACHINE. Returns true when the key cannot be opened (the list is then empty).
  bool LoadComponents();
  ILIST<char>& GetComponents() { return components_; }

  // Creates a VersionRecord and hands it to `*record` (the caller deletes it, whatever the
  // status), then fills it from the copy's CurrentVersion key: "Version", "Release",
  // "Modification", "Fix Level" (not for the pre-copy installation, whose fix level is 0) and
  // "Service Level". Returns 0; RC_NULL_ARGUMENT for a null `record`; RC_NO_MEMORY (with
  // `*record` null); or the platform's status of the key or of the first value that cannot be
  // read, the values before it already filled in.
  TarniStatus GetVersion(VersionRecord** record) const;

  // The default copy: the pre-copy installation (without reading the registry), or the copy
  // that the default value of InstalledCopies names. The default client copy: the copy that
  // "defaultClientInterfaceCopy" of InstalledCopies names. Names compare ignoring case.
  bool IsDefaultCopy() const;
  bool IsDefaultClientCopy() const;
  // "IsMergeModuleCopy" / "ClientInterfaceOnlyCopy" of InstalledCopies\<name> is "YES".
  bool IsMergeModuleCopy() const;
  bool IsClientInterfaceOnlyCopy() const;
  // "TARN_EXTSECURITY" of the copy's GLOBAL_PROFILE is "YES".
  bool IsExtendedSecurity() const;

  // "TARN_ADMINGROUP" of GLOBAL_PROFILE. `capacity` must exceed 64 (else RC_BUFFER_TOO_SMALL);
  // RC_NULL_ARGUMENT for a null buffer; RC_REGISTRY_FAILURE when the value cannot be read.
  TarniStatus GetAdminGroup(char* buffer, std::size_t capacity) const;
  // "TARNINSTDEF" of GLOBAL_PROFILE. RC_NULL_ARGUMENT for a copy without a name or a null
  // buffer, RC_BUFFER_TOO_SMALL, RC_REGISTRY_FAILURE when the value cannot be read.
  TarniStatus GetDefaultInstance(char* buffer, std::size_t capacity) const;
  // "TARNINSTPROF" of GLOBAL_PROFILE, or the install path when the value is missing.
  // RC_NULL_ARGUMENT for a null buffer, RC_BUFFER_TOO_SMALL.
  TarniStatus GetInstanceProfileDirectory(char* buffer, std::size_t capacity) const;

  // The class identifiers registered under the copy's installData\OLEDB key for its OLE DB
  // provider ("TARNOLEDB") and its "TARNOLEDB Error Lookup", "TARNOLEDB Enumerator",
  // "TARNOLEDB Advanced Page" and "TARNOLEDB Connection Page" components, each into a buffer of
  // 39 characters (narrow) or 39 UTF-16 units (78 bytes, wide). All five are read before any
  // buffer is written: on failure every buffer is left as it was. Returns 0, RC_NULL_ARGUMENT
  // (a copy without a name, or a null buffer), RC_BUFFER_TOO_SMALL when a value does not fit,
  // RC_REGISTRY_FAILURE when one cannot be read.
  TarniStatus GetOleDbClassIds(char* provider, char* errorLookup, char* enumerator,
                               char* advancedPage, char* connectionPage) const;
  TarniStatus GetOleDbClassIds(char16_t* provider, char16_t* errorLookup, char16_t* enumerator,
                               char16_t* advancedPage, char16_t* connectionPage) const;

 private:
  TarniStatus ReadClassIds(char (*ids)[kClassIdCapacity]) const;

  char name_[kCopyNameCapacity] = {};
  char installPath_[kCopyPathCapacity] = {};
  char keyPath_[kCopyPathCapacity] = {};
  bool isPreCopy_ = false;
  bool perUser_ = false;
  std::uint32_t view32_ = 0;  // KEY_WOW64_32KEY or 0
  std::uint32_t view64_ = 0;  // KEY_WOW64_64KEY or 0
  // Product access (InstalledProdList) and instance access (ITARNINSTANCELIST) create these on
  // first use; the copy owns them. Null until those units are in.
  InstalledProdList* products_ = nullptr;
  ITARNINSTANCELIST* instances_ = nullptr;
  std::uint32_t failed_ = 0;
  std::int32_t packageVariant_ = 0;
  ILIST<char> components_;
};

class InstallCopyList : public ILIST<InstallCopy> {
 public:
  InstallCopyList(bool view32, bool view64);
  ~InstallCopyList() override = default;

  // True when the copies could not be enumerated or the pre-copy installation could not be
  // read; the list then holds what was read before.
  bool IsFailed() const { return failed_; }
  // The pre-copy installation, when there is one; owned by the list.
  InstallCopy* GetPreCopy() const { return preCopy_; }
  std::uint32_t GetView32() const { return view32_; }
  std::uint32_t GetView64() const { return view64_; }

  // The copy installed in the directory `path` (one trailing '/' ignored), comparing short
  // forms ignoring case; of copies whose paths differ only in case, the one whose path is
  // exactly `path` (the directory on disk). 0, RC_NULL_ARGUMENT, RC_REGISTRY_FAILURE (the path
  // has no short form: it does not exist) or RC_NOT_FOUND.
  TarniStatus FindByPath(const char* path, InstallCopy** copy);
  // Names compare ignoring case. 0, RC_NULL_ARGUMENT or RC_NOT_FOUND.
  TarniStatus FindByName(const char* name, InstallCopy** copy);
  bool ContainsName(const char* name);
  // True when the list holds a copy of the same name.
  bool ContainsCopy(const InstallCopy* copy);
  // The first copy for which IsDefaultCopy (IsDefaultClientCopy) holds.
  TarniStatus FindDefaultCopy(InstallCopy** copy);
  TarniStatus FindDefaultClientCopy(InstallCopy** copy);

 private:
  InstallCopy* preCopy_ = nullptr;
  std::uint32_t view32_ = 0;
  std::uint32_t view64_ = 0;
  bool failed_ = false;
};

// The process-wide list of copies, built on first use in the 32-bit view or not, as
// SetUse32BitView last said (never the 64-bit view flag). GetInstance, Refresh and Release may
// be called from any thread; a list that Refresh or Release deleted must no longer be used.
class InstallCopyListSingleton : public InstallCopyList {
 public:
  // The list (built now when there is none); null when it cannot be made.
  static InstallCopyListSingleton* GetInstance();
  // Deletes the list and builds a new one, which it returns (null when it cannot be made).
  static InstallCopyListSingleton* Refresh();
  // Deletes the list; the next GetInstance builds a new one.
  static void Release();
  static void SetUse32BitView(bool use32BitView);
  static bool GetUse32BitView();

 private:
  explicit InstallCopyListSingleton(bool view32) : InstallCopyList(view32, false) {}
};

}  // namespace tarn::isupport
