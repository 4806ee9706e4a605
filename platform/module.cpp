#include "platform/module.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/winerror.h"

namespace tarn::platform {

namespace {
DWORD CopyPath(const std::string& path, char* buffer, DWORD size);

// The path of the running program: the loader records an empty name for it.
bool ProgramPath(std::string& path) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      path = std::move(buffer);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// `name` completed with the current directory when it is relative.
bool AbsolutePath(const char* name, std::string& path) {
  if (name[0] == '/') {
    path = name;
    return true;
  }
  std::string cwd(256, '\0');
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return false;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::strlen(cwd.c_str()));
  std::string_view rest(name);
  while (rest.starts_with("./")) rest.remove_prefix(2);
  path = cwd == "/" ? "/" : cwd + "/";
  path += rest;
  return true;
}
}  // namespace

DWORD GetModuleFileNameOfAddress(const void* address, char* buffer, DWORD size) {
  if (buffer == nullptr && size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::string path;
  const bool found = (map->l_name == nullptr || map->l_name[0] == '\0')
                         ? ProgramPath(path)
                         : AbsolutePath(map->l_name, path);
  if (!found) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  return CopyPath(path, buffer, size);
}

DWORD GetProgramFileName(char* buffer, DWORD size) {
  if (buffer == nullptr && size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string path;
  if (!ProgramPath(path)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  return CopyPath(path, buffer, size);
}

namespace {
DWORD CopyPath(const std::string& path, char* buffer, DWORD size) {
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() + 1 > size) {
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}
}  // namespace

}  // namespace tarn::platform
