// Product variants: which product the utility serves, told from its own location, and the two
// product services.
//
// The same program plays three roles, by the place it was started from (modulePath, with the
// on-disk case of every component):
//   <copy root>/<program dir>/tarnupdserv        the launcher of a Tarn copy: starts
//                                               "<copy root>/cfg/install/velkupdateutil -display"
//                                               and waits at most five minutes
//   <copy root>/cfg/install/velkupdateutil       a Tarn copy: the copy whose install path is the
//                                               copy root, read from the installed copies
//   <add-in dir>/bin/velkupdateutil              the Brix add-in
// Names compare exactly, letter case included: "/Bin" is not the add-in, "/TarnUpdServ" not the
// launcher, and of two copies whose install paths differ only in case, the one this program
// actually sits in is chosen.
#include <cstring>
#include <string>

#include "install/commandrunner.h"
#include "install/copies.h"
#include "install/registry.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "update/updateservice.h"

namespace is = tarn::isupport;
namespace tp = tarn::platform;

namespace {

constexpr std::size_t kValueBufferSize = 256;  // each value is read as raw text into this much
constexpr std::size_t kInstallPathLimit = 260;
constexpr std::size_t kCopyNameLimit = 64;

// The value `name` of the open key as text, cut to `capacity - 1` characters; a value that cannot
// be read gives an empty text, never what an earlier read left in the buffer.
void ReadText(is::TarniRegistry& key, const char* name, char* member, std::size_t capacity) {
  char buffer[kValueBufferSize + 1] = {};
  tp::DWORD size = kValueBufferSize;
  member[0] = '\0';
  if (key.QueryValue(name, buffer, &size) != 0) return;
  buffer[size < kValueBufferSize ? size : kValueBufferSize] = '\0';
  const std::size_t length = strnlen(buffer, capacity - 1);
  std::memcpy(member, buffer, length);
  member[length] = '\0';
}

// "Version.Release.Modification" of the open key into `member`; empty when a value is missing.
void ReadVersion(is::TarniRegistry& key, char* member, std::size_t capacity) {
  char version[kValueBufferSize + 1], release[kValueBufferSize + 1], modification[kValueBufferSize + 1];
  ReadText(key, "Version", version, sizeof version);
  ReadText(key, "Release", release, sizeof release);
  ReadText(key, "Modification", modification, sizeof modification);
  member[0] = '\0';
  if (version[0] == '\0' || release[0] == '\0' || modification[0] == '\0') return;
  const std::string text = std::string(version) + "." + release + "." + modification;
  const std::size_t length = text.size() < capacity ? text.size() : capacity - 1;
  std::memcpy(member, text.data(), length);
  member[length] = '\0';
}

// The last component of `path`, with its leading "/"; empty when there is none.
std::string LastComponent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(slash);
}

}  // namespace

void CUpdateServiceFactory::DetectProduct() {
  const std::string path(modulePath);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  const std::string directory = path.substr(0, slash);

  if (IsLauncher()) {
    // From the launcher's program directory up to the copy's root.
    const std::size_t up = directory.rfind('/');
    if (up == std::string::npos) return;
    const std::string program = directory.substr(0, up) + "/cfg/install/velkupdateutil";
    // The Windows build named the program by its short form, which has no blanks; here a path
    // with blanks is quoted so that the whole path stays the program.
    const std::string command = tp::QuoteCommandLineArgument(program) + " -display";
    is::CommandRunner runner(command.c_str(), nullptr, false, false);
    runner.SetWaitTime(kLauncherWaitMilliseconds);
    runner.Execute(true);  // its result changes nothing: the launcher has no more to do
    return;
  }

  const std::string last = LastComponent(directory);
  if (last == "/bin") {
    // Without the add-in's key the add-in is not installed: nothing is detected, as for a Tarn
    // copy that is not in the list, and the command line's identity stays.
    is::TarniRegistry key;
    if (key.Open(HKEY_LOCAL_MACHINE, kBrixCurrentVersionKey, tp::KEY_READ) != 0) return;
    ReadText(key, kBrixServiceCodeName, productCode, sizeof productCode);
    ReadVersion(key, version, sizeof version);
    const std::size_t used = std::strlen(serviceCodeName);
    const std::size_t room = sizeof serviceCodeName - 1 - used;
    std::strncat(serviceCodeName, kBrixServiceCodeName, room);
    return;
  }
  if (last != "/install") return;

  // A Tarn copy: the root is the path before "/cfg/install"; without one there is no copy.
  const std::size_t cfg = path.find("/cfg/install");
  if (cfg == std::string::npos) return;
  const std::string root = path.substr(0, cfg);

  is::InstallCopyList copies(false, false);
  for (is::InstallCopy* copy = copies.GetFirst(); copy != nullptr; copy = copies.GetNext()) {
    char installPath[kInstallPathLimit + 1] = {};
    if (copy->GetInstallPath(installPath, sizeof installPath) != 0) continue;
    if (root != installPath) continue;
    char name[kCopyNameLimit + 1] = {};
    if (copy->GetName(name, sizeof name) != 0) break;

    is::TarniRegistry key;
    key.OpenForCopy(HKEY_LOCAL_MACHINE, kTarnCopyKey, name, tp::KEY_READ);
    ReadText(key, kTarnServiceCodeName, productCode, sizeof productCode);
    char versionKey[is::kSubstituteCapacity];
    const char* copyKey = is::SubstituteCopyName(kTarnCopyKey, name, sizeof versionKey, versionKey);
    std::string currentVersion = copyKey != nullptr ? std::string(copyKey) + "\\CurrentVersion" : "";
    key.Open(HKEY_LOCAL_MACHINE, currentVersion.c_str(), tp::KEY_READ);
    ReadVersion(key, version, sizeof version);
    std::strcpy(serviceCodeName, kTarnServiceCodeName);
    break;
  }
}

CVelkUpdateService* NewUpdateService(const char* serviceCodeName, const char* productCode,
                                     const char* version) {
  const char* name = serviceCodeName != nullptr ? serviceCodeName : "";
  if (std::strcmp(name, kBrixServiceCodeName) == 0) return new CBrixUpdateService(productCode, version);
  if (std::strcmp(name, kTarnServiceCodeName) == 0) return new CTarnUpdateService(productCode, version);
  return new CVelkUpdateService(productCode, version);
}

std::int32_t CTarnUpdateService::SendMachineInfo() { return SendMachineInfoToProfile(); }
std::int32_t CBrixUpdateService::SendMachineInfo() { return SendMachineInfoToProfile(); }
