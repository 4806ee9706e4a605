// Short and long forms of file paths.
//
// Windows gives every long file name a short (8.3) alias; Linux has none. The short form of an
// existing path is therefore the path itself, and asking for the short form of a path that does
// not exist fails as Windows' GetShortPathName does: 2 when the last component is missing, 3
// when a directory on the way is.
#pragma once

#include "platform/wintypes.h"

namespace tarn::platform {

// GetShortPathName: copies the short form of `longPath` to `shortPath` (`capacity` characters,
// the terminating zero included; the two may be the same buffer). Returns the length copied,
// without the zero; when the buffer is too small (or null), the capacity needed, with the zero,
// and the buffer untouched; 0 on failure with the error in GetLastError (2 or 3 for a missing
// path, 87 for a null path).
DWORD GetShortPathName(const char* longPath, char* shortPath, DWORD capacity);

}  // namespace tarn::platform
