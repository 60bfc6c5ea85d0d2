// Events, semaphores, threads, waits, critical sections, errors and time.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <string>

#include "posixplat/testing.h"

namespace {

// Polls until `count` threads are inside a wait function, for at most 10 s.
bool WaitForWaiters(int count) {
  for (int i = 0; i < 10000 && posixplat::WaitingThreadCount() < count; ++i) Sleep(1);
  return posixplat::WaitingThreadCount() >= count;
}

HANDLE StartThread(unsigned(__stdcall* start)(void*), void* argument, unsigned* id = nullptr) {
  return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, start, argument, 0, id));
}

TEST(SemaphoreTest, ReleasePastTheMaximumFailsAndKeepsTheCount) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 3, nullptr);
  ASSERT_NE(nullptr, semaphore);
  LONG previous = -1;
  ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(1, previous);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 2, &previous));
  EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
  EXPECT_EQ(1, previous) << "a release that fails reports no previous count";
  ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(2, previous);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, nullptr));
  // The count is the maximum, 3: three waits succeed, the fourth times out.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(semaphore, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(semaphore, 0));
  CloseHandle(semaphore);
}

TEST(SemaphoreTest, CreationRefusesInconsistentCounts) {
  const LONG cases[][2] = {{0, 0}, {-1, 2}, {3, 2}};
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateSemaphoreA(nullptr, c[0], c[1], nullptr)) << c[0] << "/" << c[1];
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
}

TEST(EventTest, AutoResetReleasesOneWaitManualResetStaysSet) {
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(automatic, 0));
  SetEvent(automatic);
  SetEvent(automatic);  // no count: still one wait
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(automatic, 0));

  SetEvent(manual);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  ResetEvent(manual);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(manual, 0));
  CloseHandle(automatic);
  CloseHandle(manual);
}

TEST(WaitTest, TimedWaitLastsAtLeastItsTimeout) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const DWORD start = GetTickCount();
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 60));
  EXPECT_GE(GetTickCount() - start, 59u);
  CloseHandle(event);
}

TEST(WaitTest, BadHandlesFailTheWait) {
  HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(closed);
  HANDLE cases[] = {nullptr, INVALID_HANDLE_VALUE, closed, reinterpret_cast<HANDLE>(0x12345)};
  for (HANDLE handle : cases) {
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(handle, 0)) << handle;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(1, &handle, FALSE, 0));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_FALSE(SetEvent(handle));
  }
}

TEST(WaitTest, WaitAnyReportsTheLowestSignalledIndex) {
  HANDLE events[3];
  for (HANDLE& event : events) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, FALSE, 0));
  SetEvent(events[2]);
  SetEvent(events[1]);
  EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, events, FALSE, 0));
  for (HANDLE event : events) CloseHandle(event);
}

TEST(WaitTest, WaitAllTakesEveryObjectAtOnce) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 5, nullptr);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[2] = {semaphore, event};
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(2, both, TRUE, 0));
  // The failed wait-all took nothing: the semaphore still has its count.
  SetEvent(event);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(semaphore, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
  HANDLE twice[2] = {event, event};
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, twice, TRUE, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, both, FALSE, 0));
  CloseHandle(semaphore);
  CloseHandle(event);
}

struct CloseWhileWaited {
  HANDLE doomed;
  HANDLE wake;
  DWORD result;
};

unsigned __stdcall WaitOnBoth(void* raw) {
  auto* args = static_cast<CloseWhileWaited*>(raw);
  HANDLE both[2] = {args->doomed, args->wake};
  args->result = WaitForMultipleObjects(2, both, FALSE, INFINITE);
  return 0;
}

TEST(WaitTest, ClosingAHandleThatIsWaitedOnLeavesTheWaiterIntact) {
  CloseWhileWaited args{CreateEventA(nullptr, FALSE, FALSE, nullptr),
                        CreateEventA(nullptr, FALSE, FALSE, nullptr), 0};
  HANDLE thread = StartThread(WaitOnBoth, &args);
  ASSERT_NE(nullptr, thread);
  ASSERT_TRUE(WaitForWaiters(1));
  ASSERT_TRUE(CloseHandle(args.doomed));
  EXPECT_FALSE(SetEvent(args.doomed));
  SetEvent(args.wake);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  EXPECT_EQ(WAIT_OBJECT_0 + 1, args.result);
  CloseHandle(thread);
  CloseHandle(args.wake);
}

struct ThreadArgs {
  HANDLE go;
  HANDLE ended;
  unsigned seenId;
  DWORD seenError;
};

unsigned __stdcall WaitForGo(void* raw) {
  auto* args = static_cast<ThreadArgs*>(raw);
  args->seenId = GetCurrentThreadId();
  SetLastError(1234);
  WaitForSingleObject(args->go, INFINITE);
  args->seenError = GetLastError();
  if (args->ended != nullptr) SetEvent(args->ended);
  return 7;
}

TEST(ThreadTest, HandleIsSignalledWhenTheThreadEnds) {
  ThreadArgs args{CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr, 0, 0};
  unsigned id = 0;
  SetLastError(55);
  HANDLE thread = StartThread(WaitForGo, &args, &id);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 20));
  SetEvent(args.go);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  // Still signalled for every later wait.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
  EXPECT_EQ(id, args.seenId);
  EXPECT_NE(GetCurrentThreadId(), args.seenId);
  EXPECT_EQ(1234u, args.seenError);
  EXPECT_EQ(55u, GetLastError());  // the error code is per thread
  EXPECT_TRUE(CloseHandle(thread));
  CloseHandle(args.go);
}

TEST(ThreadTest, HandleClosedBeforeTheThreadEnds) {
  ThreadArgs args{CreateEventA(nullptr, FALSE, FALSE, nullptr),
                  CreateEventA(nullptr, TRUE, FALSE, nullptr), 0, 0};
  HANDLE thread = StartThread(WaitForGo, &args);
  ASSERT_NE(nullptr, thread);
  EXPECT_TRUE(CloseHandle(thread));
  SetEvent(args.go);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(args.ended, 10000));
  CloseHandle(args.go);
  CloseHandle(args.ended);
}

TEST(ThreadTest, SuspendedStartIsRefused) {
  ThreadArgs args{};
  EXPECT_EQ(0u, _beginthreadex(nullptr, 0, WaitForGo, &args, 4 /* CREATE_SUSPENDED */, nullptr));
}

struct LockArgs {
  CRITICAL_SECTION* section;
  HANDLE entered;
};

unsigned __stdcall EnterAndLeave(void* raw) {
  auto* args = static_cast<LockArgs*>(raw);
  EnterCriticalSection(args->section);
  SetEvent(args->entered);
  LeaveCriticalSection(args->section);
  return 0;
}

TEST(CriticalSectionTest, IsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  LeaveCriticalSection(&section);
  LockArgs args{&section, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  HANDLE thread = StartThread(EnterAndLeave, &args);
  ASSERT_NE(nullptr, thread);
  // Held once more by this thread: the other cannot get in.
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(args.entered, 50));
  LeaveCriticalSection(&section);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(args.entered, 10000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  CloseHandle(thread);
  CloseHandle(args.entered);
  DeleteCriticalSection(&section);
}

TEST(TimeTest, TickCountAdvancesAcrossSleep) {
  const DWORD start = GetTickCount();
  Sleep(25);
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 24u);
  EXPECT_LT(elapsed, 60000u);
}

TEST(DebugOutputTest, IsKeptForTestsAndCleared) {
  posixplat::ClearDebugOutput();
  OutputDebugStringA("first ");
  OutputDebugStringA(nullptr);
  OutputDebugStringA("second\n");
  EXPECT_EQ("first second\n", posixplat::DebugOutput());
  posixplat::ClearDebugOutput();
  EXPECT_EQ("", posixplat::DebugOutput());
}

TEST(InterlockedTest, OperationsReturnWhatWindowsReturns) {
  volatile LONG value = 5;
  EXPECT_EQ(6, InterlockedIncrement(&value));
  EXPECT_EQ(5, InterlockedDecrement(&value));
  EXPECT_EQ(5, InterlockedExchange(&value, 9));
  EXPECT_EQ(9, InterlockedCompareExchange(&value, 1, 8));  // no match: unchanged
  EXPECT_EQ(9, InterlockedCompareExchange(&value, 1, 9));
  EXPECT_EQ(1, value);
}

TEST(HandleCountTest, CountsOpenHandles) {
  const int before = posixplat::OpenHandleCount();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(before + 1, posixplat::OpenHandleCount());
  CloseHandle(event);
  EXPECT_EQ(before, posixplat::OpenHandleCount());
}

}  // namespace
