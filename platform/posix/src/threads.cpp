// Threads, critical sections, time, the per-thread error code and the
// debugger output.
#include <limits.h>
#include <process.h>
#include <pthread.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "kernel.h"
#include "posixplat/testing.h"

namespace posixplat {
namespace {

thread_local DWORD lastError = 0;
thread_local DWORD threadId = 0;
std::atomic<DWORD> nextThreadId{1};

DWORD NewThreadId() { return nextThreadId.fetch_add(1); }

// A thread's kernel object: signalled once the thread has ended.
class ThreadObject : public KernelObject {
 public:
  bool IsWaitable() const override { return true; }
  bool IsSignaled() const override { return ended_; }
  void End() {
    std::lock_guard<std::mutex> guard(WaitLock());
    ended_ = true;
    WaitChanged().notify_all();
  }

 private:
  bool ended_ = false;  // guarded by WaitLock()
};

struct ThreadStart {
  unsigned(__stdcall* start)(void*);
  void* argument;
  DWORD id;
  // The thread's own reference: the object outlives the thread's handle.
  std::shared_ptr<ThreadObject> object;
};

void* ThreadMain(void* raw) {
  ThreadStart* start = static_cast<ThreadStart*>(raw);
  threadId = start->id;
  start->start(start->argument);
  std::shared_ptr<ThreadObject> object = std::move(start->object);
  delete start;
  object->End();
  return nullptr;
}

struct DebugOutputState {
  std::mutex lock;
  std::string text;
};

DebugOutputState& DebugState() {
  static DebugOutputState* state = new DebugOutputState;
  return *state;
}

}  // namespace

std::string DebugOutput() {
  DebugOutputState& state = DebugState();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.text;
}

void ClearDebugOutput() {
  DebugOutputState& state = DebugState();
  std::lock_guard<std::mutex> guard(state.lock);
  state.text.clear();
}

long long MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace posixplat

extern "C" {

uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(__stdcall* start)(void*),
                         void* arglist, unsigned initflag, unsigned* thrdaddr) {
  if (start == nullptr || initflag != 0) {
    // Suspended threads are not supported.
    errno = EINVAL;
    return 0;
  }
  auto object = std::make_shared<posixplat::ThreadObject>();
  auto* params = new posixplat::ThreadStart{start, arglist, posixplat::NewThreadId(), object};
  const DWORD id = params->id;
  // The handle exists before the thread runs, so a thread that ends at once
  // still leaves a handle that reports it ended.
  HANDLE handle = posixplat::InsertHandle(object);

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
    pthread_attr_setstacksize(&attributes, size);
  }
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, posixplat::ThreadMain, params);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete params;
    CloseHandle(handle);
    errno = result;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (thrdaddr != nullptr) *thrdaddr = id;
  return reinterpret_cast<uintptr_t>(handle);
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->impl = new std::recursive_mutex;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  delete static_cast<std::recursive_mutex*>(section->impl);
  section->impl = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->lock();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->unlock();
}

DWORD WINAPI GetTickCount(void) {
  return static_cast<DWORD>(static_cast<uint64_t>(posixplat::MonotonicMs()));
}

void WINAPI Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD WINAPI GetLastError(void) { return posixplat::lastError; }

void WINAPI SetLastError(DWORD errorCode) { posixplat::lastError = errorCode; }

DWORD WINAPI GetCurrentThreadId(void) {
  if (posixplat::threadId == 0) posixplat::threadId = posixplat::NewThreadId();
  return posixplat::threadId;
}

void WINAPI OutputDebugStringA(LPCSTR outputString) {
  if (outputString == nullptr) return;
  posixplat::DebugOutputState& state = posixplat::DebugState();
  std::lock_guard<std::mutex> guard(state.lock);
  state.text += outputString;
}

}  // extern "C"
