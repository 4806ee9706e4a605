// The objects behind handles (platform/handle.h), for the platform units that make them: pipe
// ends, processes and threads. Not for the product: it sees only HANDLE.
#pragma once

#include "platform/handle.h"
#include "platform/wintypes.h"

namespace tarn::platform {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // WaitForSingleObject on this object; the default has nothing to wait for.
  virtual DWORD Wait(DWORD milliseconds);
  // A second object standing for the same thing (null with the last error on failure).
  virtual KernelObject* Duplicate(bool inheritable) = 0;
  // The descriptor of a pipe end or standard handle; -1 for objects that have none.
  virtual int Descriptor() const { return -1; }
};

// Puts `object` in the handle table and returns its handle; the table owns it until CloseHandle.
HANDLE AddHandle(KernelObject* object);
// The object of an open handle; null with ERROR_INVALID_HANDLE for anything else.
KernelObject* FindHandle(HANDLE handle);

// Milliseconds of a wait turned into a poll/condition timeout: -1 for INFINITE.
int PollTimeout(DWORD milliseconds);

}  // namespace tarn::platform
