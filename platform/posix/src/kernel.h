// Kernel objects of the platform layer: the handle table and the waitable
// objects behind HANDLEs.
//
// Every object is reference-counted: the handle table holds one reference per
// open handle, and whoever works with an object (a waiting thread, a pending
// transfer) holds one of its own, so CloseHandle never pulls an object away
// from under a user.
//
// All waitable state lives under one process-wide lock with one condition
// variable. That keeps WaitForMultipleObjects (any and all) simple and
// race-free; the program has a handful of threads, so the shared wake-ups are
// cheap.
#ifndef VELKOR_POSIX_KERNEL_H
#define VELKOR_POSIX_KERNEL_H

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace posixplat {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // The handle that referred to the object has been closed.
  virtual void OnClose() {}
  virtual bool IsWaitable() const { return false; }
  // Both called with WaitLock() held, on waitable objects only.
  virtual bool IsSignaled() const { return false; }
  // A wait was satisfied by this object: take what the wait consumes.
  virtual void Acquire() {}
};

std::mutex& WaitLock();
std::condition_variable& WaitChanged();

// Adds an object to the handle table and returns its new handle.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or null (also for null and INVALID_HANDLE_VALUE).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Number of handles in the table.
int HandleCount();

// Milliseconds of a monotonic clock; GetTickCount is its low 32 bits.
long long MonotonicMs();

class EventObject : public KernelObject {
 public:
  EventObject(bool manualReset, bool initialState)
      : manualReset_(manualReset), signaled_(initialState) {}
  bool IsWaitable() const override { return true; }
  bool IsSignaled() const override { return signaled_; }
  void Acquire() override {
    if (!manualReset_) signaled_ = false;
  }
  void Set();
  void Reset();

 private:
  const bool manualReset_;
  bool signaled_;  // guarded by WaitLock()
};

// Waits until one object (or, with waitAll, every object) is signalled.
// Returns the index of the object that satisfied a wait-any (0 for
// wait-all), or WAIT_TIMEOUT.
DWORD WaitOnObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                    DWORD milliseconds);

// Marks the calling thread as waiting while it lives; made with WaitLock()
// held and destroyed with it held.
class WaitingScope {
 public:
  WaitingScope();
  ~WaitingScope();
};

// Wakes every waiter after state that waits depend on changed; the change
// must be visible before the call (made under WaitLock() or published with
// release semantics).
void NotifyWaiters();

}  // namespace posixplat

#endif
