// Events, semaphores, waits with time-outs, recursive critical sections,
// interlocked operations and the tick count.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Generous bounds: the cases wait on events, never on fixed sleeps alone.
const DWORD kLongMs = 10000;

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

TEST(Events, AnAutoResetEventReleasesOneWaitAndResets) {
  Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  ASSERT_NE(nullptr, event.get());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 0));
  ASSERT_TRUE(SetEvent(event.get()));
  ASSERT_TRUE(SetEvent(event.get()));  // a second set adds nothing
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 0));
}

TEST(Events, OneSetWakesOneOfTwoWaitingThreads) {
  Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  std::atomic<int> woken{0};
  auto waiter = [&] {
    if (WaitForSingleObject(event.get(), 1000) == WAIT_OBJECT_0) woken++;
  };
  std::thread first(waiter);
  std::thread second(waiter);
  Sleep(100);  // both are likely waiting; the count below holds either way
  ASSERT_TRUE(SetEvent(event.get()));
  first.join();
  second.join();
  EXPECT_EQ(1, woken.load());
}

TEST(Events, AManualResetEventStaysSetUntilReset) {
  Handle event(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0));
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 0));
}

TEST(Semaphores, ReleaseReportsThePreviousCount) {
  Handle semaphore(CreateSemaphoreA(nullptr, 1, 16, nullptr));
  LONG previous = -7;
  ASSERT_TRUE(ReleaseSemaphore(semaphore.get(), 2, &previous));
  EXPECT_EQ(1, previous);
  ASSERT_TRUE(ReleaseSemaphore(semaphore.get(), 1, &previous));
  EXPECT_EQ(3, previous);
  for (int i = 0; i < 4; i++) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(semaphore.get(), 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(semaphore.get(), 0));
}

TEST(Semaphores, AReleaseAboveTheMaximumFailsAndChangesNothing) {
  Handle semaphore(CreateSemaphoreA(nullptr, 1, 2, nullptr));
  LONG previous = -7;
  EXPECT_FALSE(ReleaseSemaphore(semaphore.get(), 2, &previous));
  EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
  EXPECT_EQ(-7, previous) << "the previous count is written only by a release that succeeds";
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(semaphore.get(), 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(semaphore.get(), 0));
}

TEST(Semaphores, AnInitialCountAboveTheMaximumIsRefused) {
  EXPECT_EQ(nullptr, CreateSemaphoreA(nullptr, 3, 2, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Waits, ATimeOutWaitsAtLeastItsTime) {
  Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  const DWORD start = GetTickCount();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 200));
  // The tick count moves in steps of 10 to 16 ms (under Wine too): it may
  // lag the wait's own clock by up to two of them.
  EXPECT_GE(GetTickCount() - start, 168u);
  HANDLE both[2] = {event.get(), event.get()};
  const DWORD again = GetTickCount();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, FALSE, 200));
  EXPECT_GE(GetTickCount() - again, 168u);
}

TEST(Waits, WaitForAnyReportsTheFirstSignalledObjectAndTakesOnlyIt) {
  Handle a(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Handle b(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  Handle c(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  HANDLE handles[3] = {a.get(), b.get(), c.get()};
  EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, handles, FALSE, 0));
  EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, handles, FALSE, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, handles, FALSE, 0));
}

TEST(Waits, WaitForAllTakesNothingUntilEveryObjectIsSignalled) {
  Handle a(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  Handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  HANDLE handles[2] = {a.get(), b.get()};
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, handles, TRUE, 50));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a.get(), 0)) << "a was taken by a wait that failed";
  ASSERT_TRUE(SetEvent(a.get()));
  std::thread setter([&] {
    Sleep(50);
    SetEvent(b.get());
  });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, handles, TRUE, kLongMs));
  setter.join();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(a.get(), 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(b.get(), 0));
}

TEST(Waits, AClosedOrUnknownHandleFailsTheWait) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(event, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  HANDLE handles[1] = {event};
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(1, handles, FALSE, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(CriticalSections, AreRecursiveAndHeldUntilTheLastLeave) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  Handle entered(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  std::thread other([&] {
    EnterCriticalSection(&section);
    SetEvent(entered.get());
    LeaveCriticalSection(&section);
  });
  LeaveCriticalSection(&section);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(entered.get(), 100))
      << "entered after one of two leaves";
  LeaveCriticalSection(&section);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), kLongMs));
  other.join();
  DeleteCriticalSection(&section);
}

TEST(Interlocked, OperationsReturnWhatTheProgramRelieson) {
  volatile LONG value = 5;
  EXPECT_EQ(6, InterlockedIncrement(&value));
  EXPECT_EQ(5, InterlockedDecrement(&value));
  EXPECT_EQ(5, InterlockedExchange(&value, 9));
  EXPECT_EQ(9, InterlockedCompareExchange(&value, 1, 4)) << "no exchange: returns the value";
  EXPECT_EQ(9, value);
  EXPECT_EQ(9, InterlockedCompareExchange(&value, 1, 9));
  EXPECT_EQ(1, value);
  int a = 0, b = 0;
  PVOID volatile pointer = &a;
  EXPECT_EQ(&a, InterlockedExchangePointer(&pointer, &b));
  EXPECT_EQ(&b, InterlockedCompareExchangePointer(&pointer, nullptr, &a));
  EXPECT_EQ(&b, InterlockedCompareExchangePointer(&pointer, nullptr, &b));
  EXPECT_EQ(nullptr, pointer);
}

TEST(Interlocked, IncrementsFromTwoThreadsAreNotLost) {
  volatile LONG count = 0;
  auto add = [&] {
    for (int i = 0; i < 100000; i++) InterlockedIncrement(&count);
  };
  std::thread first(add);
  std::thread second(add);
  first.join();
  second.join();
  EXPECT_EQ(200000, count);
}

TEST(TickCount, NeverGoesBackAndFollowsSleep) {
  DWORD last = GetTickCount();
  for (int i = 0; i < 100000; i++) {
    const DWORD now = GetTickCount();
    ASSERT_GE(static_cast<LONG>(now - last), 0);
    last = now;
  }
  // It moves in steps of 10 to 16 ms.
  const DWORD start = GetTickCount();
  Sleep(100);
  EXPECT_GE(GetTickCount() - start, 68u);
}

}  // namespace
