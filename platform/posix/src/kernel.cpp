// The handle table, events, semaphores and the wait functions.
#include "kernel.h"

#include <windows.h>

#include <chrono>
#include <set>
#include <unordered_map>

namespace posixplat {
namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
  // Multiples of 4 from 0x1000 on, as Windows hands them out. As there, a
  // closed handle's value goes to the next object (the lowest free value
  // first), so a stale handle reaches that object: a second close of a
  // handle closes whatever got its value since, on every host alike.
  uintptr_t next = 0x1000;
  std::set<uintptr_t> free;
};

// Never destroyed: handles may still be closed while the process exits.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

struct WaitState {
  std::mutex lock;
  std::condition_variable changed;
  int waiting = 0;  // threads inside a wait function
};

WaitState& Waits() {
  static WaitState* state = new WaitState;
  return *state;
}

class SemaphoreObject : public KernelObject {
 public:
  SemaphoreObject(LONG initial, LONG maximum) : count_(initial), maximum_(maximum) {}
  bool IsWaitable() const override { return true; }
  bool IsSignaled() const override { return count_ > 0; }
  void Acquire() override { --count_; }

  // Adds `release` to the count unless that would pass the maximum; only a
  // release that succeeds reports the previous count.
  bool Release(LONG release, LONG* previous) {
    std::lock_guard<std::mutex> guard(WaitLock());
    if (release > maximum_ - count_) return false;
    if (previous != nullptr) *previous = count_;
    count_ += release;
    WaitChanged().notify_all();
    return true;
  }

 private:
  LONG count_;  // guarded by WaitLock()
  const LONG maximum_;
};

}  // namespace

std::mutex& WaitLock() { return Waits().lock; }
std::condition_variable& WaitChanged() { return Waits().changed; }

WaitingScope::WaitingScope() { ++Waits().waiting; }
WaitingScope::~WaitingScope() { --Waits().waiting; }

int WaitingThreadCount() {
  std::lock_guard<std::mutex> guard(WaitLock());
  return Waits().waiting;
}

void NotifyWaiters() {
  std::lock_guard<std::mutex> guard(WaitLock());
  WaitChanged().notify_all();
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  uintptr_t value;
  if (!table.free.empty()) {
    value = *table.free.begin();
    table.free.erase(table.free.begin());
  } else {
    value = table.next;
    table.next += 4;
  }
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.objects.end() ? nullptr : it->second;
}

int HandleCount() {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return static_cast<int>(table.objects.size());
}

void EventObject::Set() {
  std::lock_guard<std::mutex> guard(WaitLock());
  signaled_ = true;
  WaitChanged().notify_all();
}

void EventObject::Reset() {
  std::lock_guard<std::mutex> guard(WaitLock());
  signaled_ = false;
}

DWORD WaitOnObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                    DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock<std::mutex> guard(WaitLock());
  WaitingScope waiting;
  for (;;) {
    if (waitAll) {
      bool all = true;
      for (const auto& object : objects) all = all && object->IsSignaled();
      if (all) {
        for (const auto& object : objects) object->Acquire();
        return WAIT_OBJECT_0;
      }
    } else {
      for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->IsSignaled()) {
          objects[i]->Acquire();
          return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
      }
    }
    if (milliseconds == INFINITE) {
      WaitChanged().wait(guard);
    } else {
      if (Clock::now() >= deadline) return WAIT_TIMEOUT;
      WaitChanged().wait_until(guard, deadline);
    }
  }
}

}  // namespace posixplat

using posixplat::EventObject;
using posixplat::KernelObject;
using posixplat::LookupHandle;
using posixplat::LookupHandleAs;
using posixplat::SemaphoreObject;

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
  if (name != nullptr) {
    // Named objects are shared between processes on Windows; nothing here
    // needs them.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return posixplat::InsertHandle(
      std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE event) {
  auto object = LookupHandleAs<EventObject>(event);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
  auto object = LookupHandleAs<EventObject>(event);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->Reset();
  return TRUE;
}

HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount,
                               LPCSTR name) {
  if (name != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return posixplat::InsertHandle(std::make_shared<SemaphoreObject>(initialCount, maximumCount));
}

BOOL WINAPI ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
  auto object = LookupHandleAs<SemaphoreObject>(semaphore);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (releaseCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!object->Release(releaseCount, previousCount)) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = LookupHandle(handle);
  if (!object || !object->IsWaitable()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return posixplat::WaitOnObjects({object}, false, milliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupHandle(handles[i]);
    if (!object || !object->IsWaitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (waitAll) {
      // Windows refuses the same object twice in a wait-all.
      for (const auto& earlier : objects) {
        if (earlier == object) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
    objects.push_back(std::move(object));
  }
  return posixplat::WaitOnObjects(objects, waitAll != FALSE, milliseconds);
}

BOOL WINAPI CloseHandle(HANDLE object) {
  std::shared_ptr<KernelObject> closed;
  if (object != nullptr && object != INVALID_HANDLE_VALUE) {
    auto& table = posixplat::Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(object));
    if (it != table.objects.end()) {
      closed = std::move(it->second);
      table.objects.erase(it);
      table.free.insert(reinterpret_cast<uintptr_t>(object));
    }
  }
  if (!closed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  closed->OnClose();
  return TRUE;
}

}  // extern "C"
