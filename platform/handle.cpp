#include "platform/handle.h"

#include <climits>
#include <mutex>
#include <unordered_set>

#include "platform/kernelobject.h"
#include "platform/winerror.h"

namespace tarn::platform {

namespace {
// Every open handle. The table is what lets CloseHandle and the waits refuse a handle that was
// never handed out or is already closed, as Windows does, instead of following a stale pointer.
struct HandleTable {
  std::mutex mutex;
  std::unordered_set<KernelObject*> open;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // never destroyed: handles may outlive statics
  return *table;
}
}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HANDLE AddHandle(KernelObject* object) {
  if (object == nullptr) return nullptr;
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.open.insert(object);
  return object;
}

KernelObject* FindHandle(HANDLE handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (table.open.count(handle) != 0) return handle;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

int PollTimeout(DWORD milliseconds) {
  if (milliseconds == INFINITE) return -1;
  return milliseconds > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
  {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (handle == nullptr || table.open.erase(handle) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
  }
  delete handle;
  return 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  KernelObject* object = FindHandle(handle);
  if (object == nullptr) return WAIT_FAILED;
  return object->Wait(milliseconds);
}

BOOL DuplicateHandle(HANDLE source, HANDLE* target, BOOL inheritable) {
  if (target == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  KernelObject* object = FindHandle(source);
  if (object == nullptr) return 0;
  KernelObject* copy = object->Duplicate(inheritable != 0);
  if (copy == nullptr) return 0;
  *target = AddHandle(copy);
  return 1;
}

}  // namespace tarn::platform
