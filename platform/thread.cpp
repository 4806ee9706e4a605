#include "platform/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/kernelobject.h"
#include "platform/process.h"  // STILL_ACTIVE
#include "platform/winerror.h"

namespace tarn::platform {

namespace {

// What the thread and its handles share. The thread holds one reference until its routine has
// returned; each handle holds one. The thread itself is detached from the start: a wait is for
// its routine to return, which the condition tells, so no thread ever needs to be joined, and a
// thread whose handles are all closed cleans up after itself.
struct ThreadState {
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;  // the thread has published its id
  bool ended = false;    // the routine has returned
  DWORD id = 0;
  DWORD exitCode = STILL_ACTIVE;
};

struct StartBlock {
  std::shared_ptr<ThreadState> state;
  LPTHREAD_START_ROUTINE start;
  void* parameter;
};

void* ThreadEntry(void* argument) {
  std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(argument));
  const std::shared_ptr<ThreadState> state = block->state;
  const LPTHREAD_START_ROUTINE start = block->start;
  void* parameter = block->parameter;
  block.reset();
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->id = GetCurrentThreadId();
    state->started = true;
  }
  state->changed.notify_all();
  const DWORD code = start(parameter);
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->exitCode = code;
    state->ended = true;
  }
  state->changed.notify_all();  // the state lives on: this thread still holds it
  return nullptr;
}

class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (milliseconds == INFINITE) {
      state_->changed.wait(lock, [this] { return state_->ended; });
    } else if (!state_->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                         [this] { return state_->ended; })) {
      SetLastError(WAIT_TIMEOUT);
      return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
  }
  KernelObject* Duplicate(bool) override { return new ThreadObject(state_); }
  ThreadState& State() { return *state_; }

 private:
  std::shared_ptr<ThreadState> state_;
};

}  // namespace

HANDLE CreateThread(DWORD stackSize, LPTHREAD_START_ROUTINE start, void* parameter,
                    DWORD* threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto state = std::make_shared<ThreadState>();
  auto* block = new (std::nothrow) StartBlock {state, start, parameter};
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (stackSize > 0) {
    const long page = ::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096;
    std::size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
    size = (size + static_cast<std::size_t>(page) - 1) / static_cast<std::size_t>(page) *
           static_cast<std::size_t>(page);
    pthread_attr_setstacksize(&attributes, size);
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int error = pthread_create(&thread, &attributes, ThreadEntry, block);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete block;
    SetLastError(error == EAGAIN || error == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY
                                                    : WinErrorFromErrno(error));
    return nullptr;
  }
  // Windows hands the new thread's id back at once; here the thread tells it when it runs.
  std::unique_lock<std::mutex> lock(state->mutex);
  state->changed.wait(lock, [&] { return state->started; });
  if (threadId != nullptr) *threadId = state->id;
  lock.unlock();
  return AddHandle(new ThreadObject(state));
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  auto* object = dynamic_cast<ThreadObject*>(FindHandle(thread));
  if (object == nullptr || exitCode == nullptr) {
    SetLastError(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(object->State().mutex);
  *exitCode = object->State().exitCode;
  return 1;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }

}  // namespace tarn::platform
