// File attributes, as Windows' GetFileAttributes reports them.
//
// Linux keeps no attribute word; the platform derives the bits a caller can act on from the
// file's status: FILE_ATTRIBUTE_DIRECTORY for a directory, FILE_ATTRIBUTE_READONLY when nobody
// may write the file (no write permission bit set), FILE_ATTRIBUTE_NORMAL when neither applies.
// A symbolic link is followed, so a link answers for the file it names.
#pragma once

#include "platform/wintypes.h"

namespace tarn::platform {

inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// GetFileAttributes: the attribute bits of `path`, or INVALID_FILE_ATTRIBUTES with the last
// error set (2 for a missing file, 3 when a directory on the way is missing, 87 for a null path).
DWORD GetFileAttributes(const char* path);

}  // namespace tarn::platform
