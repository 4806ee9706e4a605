// Kernel object handles, as Windows hands them out for pipe ends, processes and threads.
//
// A HANDLE names one kernel object of this process: an end of an anonymous pipe (CreatePipe,
// platform/process.h), a started process (CreateProcess) or a thread (CreateThread,
// platform/thread.h). The calls here work on any of them:
//
//   CloseHandle          gives the handle back; the object goes when its last handle goes
//                        (closing the last handle of a running process or thread does not stop
//                        it, exactly as on Windows)
//   WaitForSingleObject  waits, with a limit in milliseconds or INFINITE, until a process or
//                        thread has ended
//   DuplicateHandle      a second handle to the same object, inheritable or not
//
// Inheritance: an inheritable pipe end is a descriptor without close-on-exec, so a started
// process receives it (when CreateProcess is asked to pass handles on); every other descriptor
// the platform opens is close-on-exec and stays in this process.
//
// Handles are validated: a null, closed or made-up handle gives FALSE (or WAIT_FAILED) with
// ERROR_INVALID_HANDLE rather than a crash. As on Windows, one handle is used by one thread at
// a time; closing a handle while another thread still uses it is the caller's error.
#pragma once

#include <cstdint>

#include "platform/winerror.h"  // WAIT_TIMEOUT
#include "platform/wintypes.h"

namespace tarn::platform {

class KernelObject;
using HANDLE = KernelObject*;

// What CreateFile and friends return for "no handle"; the calls here return null instead.
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t {0});

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Closes the handle. FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
BOOL CloseHandle(HANDLE handle);

// Waits up to `milliseconds` (INFINITE: without limit) for a process or thread to end.
// WAIT_OBJECT_0 when it has ended; WAIT_TIMEOUT (258, also stored as the last error) when the
// time ran out first; WAIT_FAILED with the last error set otherwise (ERROR_INVALID_HANDLE for a
// handle that is not open or names a pipe end, which has nothing to wait for).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// DuplicateHandle within this process: a new handle to the object of `source` in `*target`,
// inheritable when `inheritable` is set. A pipe end is duplicated as a new descriptor of the same
// pipe; a process or thread handle shares the object. FALSE with the last error on failure.
BOOL DuplicateHandle(HANDLE source, HANDLE* target, BOOL inheritable);

}  // namespace tarn::platform
