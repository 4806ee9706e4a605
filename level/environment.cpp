// Load-time set-up of the process environment for the installation this library belongs to.
//
// A process that loads the library (directly, or through the registry library that links it)
// gets the installation's program directories at the front of PATH and the installation's Java
// archives at the front of CLASSPATH, so that programs and classes of this installation win over
// those of any other. It happens once, from the library's load notification, and is not undone
// when the library is unloaded.
//
// The installation is found from the library's own file: <install>/BIN/libtarninstall.so, so
// cutting the file name and then the directory holding it leaves <install>. Then:
//
//   PATH       not set: nothing changes (CLASSPATH included).
//              already begins with <install> (letter case ignored, and <install> must end there
//              as a path component does: followed by '/', ':' or the end): nothing changes
//              (CLASSPATH included). This is what makes a second load, or a second copy of the
//              library from the same installation, change nothing.
//              otherwise: "<install>/BIN:<install>/FUNCTION:" + old PATH.
//   CLASSPATH  only after PATH was set. The class path is built from what exists below
//              <install>, in this order: "." when the directory java exists, then java/tarnjava.zip,
//              java/tarnjcc.jar, java/sqlj.zip, the directory bin, tools/tarnXTrigger.jar and
//              java/common.jar as full paths, each when it exists (a file must not be a directory),
//              joined by ':' and ended by ':'. Not set counts as empty. When the old value already
//              begins with the class path (letter case ignored) it stays; otherwise the class path
//              is put in front of it.
//
// Choices of this port, and why:
//   - Lists are separated by ':' and paths by '/', as everywhere on Linux.
//   - The separator only goes between entries: the class path never begins with ':' (when java
//     is missing) and is empty when nothing exists. An empty entry in a class path means the
//     current directory, which must not sneak in for an installation without a java directory.
//     An empty class path leaves CLASSPATH as it is.
//   - The install directory may be as long as any Linux path (Windows stopped at 260
//     characters and cut longer ones, which would have named a wrong directory).
//   - A library directly in a top-level directory (/opt/libtarninstall.so) leaves the root as
//     the installation, an empty text: it "matches" every PATH, so nothing changes, as for a
//     library whose path has no two components to cut.
//   - The prefix test on PATH stops at a component boundary: an installation /opt/tarn is not
//     taken as present when PATH begins with /opt/tarn2/BIN.
//   - Values have no length limit: they are read into a buffer of 32766 characters first and,
//     when longer, into one of the size the environment reports.
//
// Failures (no module path, an environment read or write failing, memory) are silent: the
// environment stays as far as it got and the library loads.
//
// This runs under the loader's lock, before any thread of the loader's caller can use the
// library; nothing else is synchronised (see platform/environment.h).
#include <exception>
#include <string>
#include <string_view>

#include "level/levelinfo.h"
#include "osse/diag/ecf.h"
#include "osse/diag/tracepoints.h"
#include "platform/environment.h"
#include "platform/fileattributes.h"
#include "platform/module.h"
#include "platform/winerror.h"

namespace {

using tarn::platform::DWORD;

// Windows' largest environment value, with its terminating zero: the first read's buffer.
constexpr DWORD kFirstReadSize = 32767;
// Longest module path this library asks for; Linux paths end far below it (PATH_MAX is 4096).
constexpr DWORD kMaxModulePath = 65536;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// `text` begins with `prefix`, letter case ignored.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

// Reads the variable `name` into `value`; "not set" and every other failure return false with
// the platform's error in GetLastError.
bool ReadVariable(const char* name, std::string& value) {
  value.assign(kFirstReadSize, '\0');
  for (;;) {
    tarn::platform::SetLastError(tarn::platform::ERROR_SUCCESS);
    const DWORD n =
        tarn::platform::GetEnvironmentVariable(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0 && tarn::platform::GetLastError() != tarn::platform::ERROR_SUCCESS) return false;
    if (n < value.size()) {
      value.resize(n);
      return true;
    }
    // Too long for the buffer: n is the size needed. Ask again with that size (the value could
    // only have changed under a writer that ignores the loader's lock, but the loop copes).
    value.assign(n, '\0');
  }
}

// The library's own file path, or false when the loader cannot name it.
bool LibraryPath(std::string& path) {
  // Any symbol of this library names the module; the exported function is the obvious one.
  const void* self = reinterpret_cast<const void*>(&sqleGetLevelInfo);
  for (DWORD size = 4096; size <= kMaxModulePath; size *= 2) {
    path.assign(size, '\0');
    const DWORD n = tarn::platform::GetModuleFileNameOfAddress(self, path.data(), size);
    if (n == 0) return false;
    if (n < size) {
      path.resize(n);
      return true;
    }
  }
  return false;
}

// The installation: the library's path with its file name and then the directory holding the
// file cut off. Empty when either cut finds no '/'.
std::string InstallDirectory() {
  std::string path;
  if (!LibraryPath(path)) return {};
  for (int cut = 0; cut < 2; ++cut) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    path.resize(slash);
  }
  return path;
}

// PATH already names this installation first. An empty installation matches every PATH.
bool PathBeginsWithInstall(std::string_view path, std::string_view install) {
  if (!StartsWithIgnoringCase(path, install)) return false;
  if (install.empty() || path.size() == install.size()) return true;
  const char next = path[install.size()];
  return next == '/' || next == ':';
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = tarn::platform::GetFileAttributes(path.c_str());
  return attributes != tarn::platform::INVALID_FILE_ATTRIBUTES &&
         (attributes & tarn::platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::string& path) {
  const DWORD attributes = tarn::platform::GetFileAttributes(path.c_str());
  return attributes != tarn::platform::INVALID_FILE_ATTRIBUTES &&
         (attributes & tarn::platform::FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The class path this installation calls for (see the top of the file).
std::string BuildClassPath(const std::string& install) {
  struct Entry {
    const char* relative;
    bool directory;
  };
  static constexpr Entry kEntries[] = {
      {"java/tarnjava.zip", false}, {"java/tarnjcc.jar", false},
      {"java/sqlj.zip", false},     {"bin", true},
      {"tools/tarnXTrigger.jar", false}, {"java/common.jar", false},
  };
  std::string classPath;
  if (IsDirectory(install + "/java")) classPath = ".:";
  for (const Entry& entry : kEntries) {
    const std::string full = install + "/" + entry.relative;
    if (entry.directory ? IsDirectory(full) : IsFile(full)) {
      classPath += full;
      classPath += ':';
    }
  }
  return classPath;
}

void PrependClassPath(const std::string& install) {
  const std::string classPath = BuildClassPath(install);
  if (classPath.empty()) return;
  std::string old;
  if (!ReadVariable("CLASSPATH", old)) {
    if (tarn::platform::GetLastError() != tarn::platform::ERROR_ENVVAR_NOT_FOUND) return;
    old.clear();
  }
  if (StartsWithIgnoringCase(old, classPath)) return;
  tarn::platform::SetEnvironmentVariable("CLASSPATH", (classPath + old).c_str());
}

void PrepareEnvironment() {
  const std::string install = InstallDirectory();
  std::string path;
  if (!ReadVariable("PATH", path)) return;
  if (PathBeginsWithInstall(path, install)) return;
  const std::string newPath = install + "/BIN:" + install + "/FUNCTION:" + path;
  if (!tarn::platform::SetEnvironmentVariable("PATH", newPath.c_str())) return;
  PrependClassPath(install);
}

// The library's load notification (process attach). Unloading needs nothing: the environment
// keeps its changes.
__attribute__((constructor)) void LevelLibraryAttach() {
  std::uint32_t rc = 0;
  GTRACE_ENTRY(ECF_FN_sqleLevelProcessAttach);
  try {
    PrepareEnvironment();
  } catch (const std::exception&) {
    // Out of memory while building a value: loading must still succeed.
  }
  GTRACE_EXIT(ECF_FN_sqleLevelProcessAttach, &rc);
}

}  // namespace
