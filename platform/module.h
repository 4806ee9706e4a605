// Loaded modules: which file a piece of loaded code came from.
//
// Windows answers this with GetModuleHandleEx(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) followed by
// GetModuleFileName; here one call does both. A library uses it on one of its own symbols to find
// the directory it was installed in.
//
// The path is the one the loader opened the module under (a symbolic link on the way is kept,
// as the user laid the installation out), always absolute: a module loaded through a relative
// name (dlopen("./x.so"), a relative LD_LIBRARY_PATH entry) is completed with the current
// directory, which is the directory the loader searched from as long as the process has not
// changed it since. The program itself is named by /proc/self/exe.
#pragma once

#include "platform/wintypes.h"

namespace tarn::platform {

// Copies the absolute file path of the loaded module (shared object or program) that holds
// `address` to `buffer` (`size` characters, the terminating zero included) and returns its
// length without the zero. When the path does not fit, copies as much as fits, terminates it,
// returns `size` and sets ERROR_INSUFFICIENT_BUFFER (as GetModuleFileName does since Windows
// Vista; the buffer is always terminated when `size` is not 0). Returns 0 with
// ERROR_MOD_NOT_FOUND when no loaded module holds the address, ERROR_INVALID_PARAMETER for a
// null buffer with a nonzero size.
DWORD GetModuleFileNameOfAddress(const void* address, char* buffer, DWORD size);

// GetModuleFileName(NULL, ...): the absolute path of the running program's file, with the same
// buffer rules and results as GetModuleFileNameOfAddress.
DWORD GetProgramFileName(char* buffer, DWORD size);

}  // namespace tarn::platform
