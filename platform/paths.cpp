#include "platform/paths.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/winerror.h"

namespace tarn::platform {

DWORD GetShortPathName(const char* longPath, char* shortPath, DWORD capacity) {
  if (longPath == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // There are no 8.3 aliases here: the path names itself once it is known to exist.
  struct stat st {};
  if (::stat(longPath, &st) != 0) {
    SetLastErrorFromErrno(ErrnoSource::File, longPath);
    return 0;
  }
  const std::size_t length = std::strlen(longPath);
  if (shortPath == nullptr || length + 1 > capacity) return static_cast<DWORD>(length + 1);
  std::memmove(shortPath, longPath, length + 1);
  return static_cast<DWORD>(length);
}

}  // namespace tarn::platform
