#include "platform/fileattributes.h"

#include <sys/stat.h>

#include "platform/winerror.h"

namespace tarn::platform {

DWORD GetFileAttributes(const char* path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st {};
  if (::stat(path, &st) != 0) {
    SetLastErrorFromErrno(ErrnoSource::File, path);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

}  // namespace tarn::platform
