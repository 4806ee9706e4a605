// The process environment, as Windows' GetEnvironmentVariable and SetEnvironmentVariable give it.
//
// The product reads and changes environment variables through these two functions and never
// through getenv/setenv, so that the Windows rules it was written against hold here too:
//   - a variable that is not set reads as a failure with ERROR_ENVVAR_NOT_FOUND (203), which
//     callers tell apart from a variable that is set but empty (success, length 0);
//   - a buffer that is too small is left untouched and the size it would need is returned, so
//     that the caller can retry with a larger one.
// Linux has no limit on the length of a value (Windows stops at 32767 characters); neither do
// these functions.
//
// Threads: the process environment is one table shared by every thread and these functions take
// no lock, exactly as getenv and setenv; change the environment only while no other thread reads
// it (the product does so at library load time).
#pragma once

#include "platform/wintypes.h"

namespace tarn::platform {

inline constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;

// GetEnvironmentVariable: copies the value of `name` with its terminating zero to `buffer`
// (`size` characters, the zero included) and returns its length without the zero, setting the
// last error to 0 (so a return of 0 with last error 0 is a set but empty variable). When the
// buffer is null or too small, returns the size needed, the zero included, and leaves the buffer
// untouched. Returns 0 with ERROR_ENVVAR_NOT_FOUND when the variable is not set, and with
// ERROR_INVALID_PARAMETER for a null or empty name or one holding '='.
DWORD GetEnvironmentVariable(const char* name, char* buffer, DWORD size);

// SetEnvironmentVariable: sets `name` to `value`, or removes it when `value` is null (removing a
// variable that is not set succeeds). Returns nonzero on success; 0 with the last error on
// failure (ERROR_INVALID_PARAMETER for a null or empty name or one holding '=',
// ERROR_NOT_ENOUGH_MEMORY when the environment cannot grow).
BOOL SetEnvironmentVariable(const char* name, const char* value);

}  // namespace tarn::platform
