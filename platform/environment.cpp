#include "platform/environment.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/winerror.h"

namespace tarn::platform {

namespace {
// Windows refuses names it could not store as "NAME=value"; setenv refuses the same ones, and
// getenv would answer a name holding '=' from a different variable ("A=B" matches "A=B=x").
bool ValidName(const char* name) {
  return name != nullptr && name[0] != '\0' && std::strchr(name, '=') == nullptr;
}
}  // namespace

DWORD GetEnvironmentVariable(const char* name, char* buffer, DWORD size) {
  if (!ValidName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* value = std::getenv(name);
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const std::size_t length = std::strlen(value);
  // A value this long cannot be described by the return value; Linux bounds an environment
  // string far below it, so this only guards the conversion.
  if (length >= 0xFFFFFFFFu) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (buffer == nullptr || length + 1 > size) return static_cast<DWORD>(length + 1);
  std::memcpy(buffer, value, length + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(length);
}

BOOL SetEnvironmentVariable(const char* name, const char* value) {
  if (!ValidName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int rc = value == nullptr ? ::unsetenv(name) : ::setenv(name, value, 1);
  if (rc != 0) {
    SetLastError(WinErrorFromErrno(errno));
    return 0;
  }
  return 1;
}

}  // namespace tarn::platform
