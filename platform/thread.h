// Threads, as Windows' CreateThread gives them.
//
// A thread runs a start routine with one argument; its handle (platform/handle.h) is waited for
// with WaitForSingleObject and given back with CloseHandle. Closing the handle of a thread that
// still runs lets it run on and end on its own, as on Windows.
#pragma once

#include "platform/handle.h"
#include "platform/wintypes.h"

namespace tarn::platform {

using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);

// CreateThread: starts `start(parameter)` on a new thread with a stack of at least `stackSize`
// bytes (0: the default) and returns its handle, its id in `*threadId` when given. Null with the
// last error on failure (ERROR_INVALID_PARAMETER for a null routine, ERROR_NOT_ENOUGH_MEMORY
// when the system has no room for another thread).
HANDLE CreateThread(DWORD stackSize, LPTHREAD_START_ROUTINE start, void* parameter,
                    DWORD* threadId);

// GetExitCodeThread: STILL_ACTIVE (259) while the thread runs, else what its routine returned.
// FALSE with ERROR_INVALID_HANDLE for a handle that is not a thread.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);

// The id of the calling thread (the kernel's thread id; the first thread's id is the process id).
DWORD GetCurrentThreadId();

}  // namespace tarn::platform
