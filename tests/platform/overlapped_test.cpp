// Overlapped reads and writes on driver handles.
#include <process.h>

#include "driver_fixture.h"

namespace platformtest {
namespace {

using OverlappedTest = DriverTest;

TEST_F(OverlappedTest, PendingReadCompletesLaterWithStatusBytesAndEvent) {
  HANDLE handle = OpenBound(0x83);
  HANDLE event = Event();
  SetEvent(event);  // starting the read must clear it
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  uint8_t buffer[16] = {};
  DWORD count = 77;

  ASSERT_FALSE(ReadFile(handle, buffer, sizeof buffer, &count, &overlapped));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  EXPECT_EQ(0u, count);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), GetLastError());
  EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));

  ASSERT_TRUE(state->WaitPending(1));
  ASSERT_TRUE(state->CompleteOldest(0, {1, 2, 3}));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 10000));
  EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
  EXPECT_EQ(0u, overlapped.Internal);
  EXPECT_EQ(3u, overlapped.InternalHigh);
  ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
  EXPECT_EQ(3u, transferred);
  EXPECT_EQ(1, buffer[0]);
  EXPECT_EQ(3, buffer[2]);
  EXPECT_EQ(0, buffer[3]);
}

TEST_F(OverlappedTest, WaitingGetOverlappedResultReturnsWhenTheDeviceCompletes) {
  HANDLE handle = OpenBound(0x03);
  OVERLAPPED overlapped{};
  overlapped.hEvent = Event(true);
  const uint8_t data[5] = {9, 8, 7, 6, 5};
  ASSERT_FALSE(WriteFile(handle, data, sizeof data, nullptr, &overlapped));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  ASSERT_TRUE(state->WaitPending(1));

  struct Args {
    FakeState* state;
  } args{state.get()};
  unsigned (*completer)(void*) = [](void* raw) -> unsigned {
    static_cast<Args*>(raw)->state->CompleteOldest(0, std::vector<uint8_t>(4));
    return 0;
  };
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, completer, &args, 0, nullptr));
  ASSERT_NE(nullptr, thread);
  DWORD transferred = 0;
  EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &transferred, TRUE));
  EXPECT_EQ(4u, transferred);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  CloseHandle(thread);
}

TEST_F(OverlappedTest, FailedTransferReportsItsStatusAndCount) {
  HANDLE handle = OpenBound(0x83);
  OVERLAPPED overlapped{};
  overlapped.hEvent = Event();
  uint8_t buffer[8];
  ASSERT_FALSE(ReadFile(handle, buffer, sizeof buffer, nullptr, &overlapped));
  ASSERT_TRUE(state->WaitPending(1));
  ASSERT_TRUE(state->CompleteOldest(0xE000101B, {4, 4}));
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &transferred, TRUE));
  EXPECT_EQ(0xE000101Bu, GetLastError());
  EXPECT_EQ(2u, transferred);
}

TEST_F(OverlappedTest, TransferCompletedInsideSubmitReturnsAtOnce) {
  HANDLE handle = OpenBound(0x83);
  state->completeInSubmit = true;
  OVERLAPPED overlapped{};
  overlapped.hEvent = Event();
  uint8_t buffer[6] = {};
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(handle, buffer, sizeof buffer, &count, &overlapped));
  EXPECT_EQ(6u, count);
  EXPECT_EQ(0x5A, buffer[0]);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 0));
  DWORD transferred = 0;
  EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
  EXPECT_EQ(6u, transferred);

  // A transfer that fails at once leaves its record running and its event
  // unset, as on Windows: the failure is in the call's result only.
  state->inlineStatus = 0xE0001000;
  EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &count, &overlapped));
  EXPECT_EQ(0xE0001000u, GetLastError());
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(overlapped.hEvent, 0));
  EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
  EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), GetLastError());
}

TEST_F(OverlappedTest, TransfersNeedAHandleBoundInTheirDirection) {
  HANDLE unbound = Open();
  HANDLE in = OpenBound(0x83);
  HANDLE out = OpenBound(0x03);
  OVERLAPPED overlapped{};
  overlapped.hEvent = Event();
  uint8_t buffer[4] = {};
  struct Case {
    HANDLE handle;
    bool read;
  } cases[] = {{unbound, true}, {unbound, false}, {out, true}, {in, false}};
  for (const Case& c : cases) {
    const BOOL ok = c.read ? ReadFile(c.handle, buffer, 4, nullptr, &overlapped)
                           : WriteFile(c.handle, buffer, 4, nullptr, &overlapped);
    EXPECT_FALSE(ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  }
  EXPECT_EQ(0, state->submitted);
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, 4, nullptr, &overlapped));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(ReadFile(overlapped.hEvent, buffer, 4, nullptr, &overlapped));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

struct CancelArgs {
  HANDLE handle;
  OVERLAPPED* overlapped;
  uint8_t* buffer;
  HANDLE submitted;
  HANDLE finish;
  DWORD cancelStatus;
};

// Submits a read on a thread of its own, waits, then cancels its own reads.
unsigned __stdcall ReadOnOtherThread(void* raw) {
  auto* args = static_cast<CancelArgs*>(raw);
  ReadFile(args->handle, args->buffer, 4, nullptr, args->overlapped);
  SetEvent(args->submitted);
  WaitForSingleObject(args->finish, INFINITE);
  CancelIo(args->handle);
  DWORD count;
  args->cancelStatus =
      GetOverlappedResult(args->handle, args->overlapped, &count, TRUE) ? 0 : GetLastError();
  return 0;
}

TEST_F(OverlappedTest, CancelIoEndsOnlyTheCallingThreadsTransfers) {
  HANDLE handle = OpenBound(0x83);
  OVERLAPPED mine{};
  mine.hEvent = Event();
  OVERLAPPED theirs{};
  theirs.hEvent = Event();
  uint8_t myBuffer[4];
  uint8_t theirBuffer[4];
  CancelArgs args{handle, &theirs, theirBuffer, Event(), Event(), 0};
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReadOnOtherThread, &args, 0, nullptr));
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(args.submitted, 10000));
  ASSERT_FALSE(ReadFile(handle, myBuffer, 4, nullptr, &mine));
  ASSERT_TRUE(state->WaitPending(2));

  ASSERT_TRUE(CancelIo(handle));
  DWORD count = 5;
  EXPECT_FALSE(GetOverlappedResult(handle, &mine, &count, TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
  EXPECT_EQ(0u, count);
  EXPECT_FALSE(GetOverlappedResult(handle, &theirs, &count, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), GetLastError());
  EXPECT_EQ(1u, state->PendingCount());

  SetEvent(args.finish);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  CloseHandle(thread);
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), args.cancelStatus);
}

TEST_F(OverlappedTest, AbortEndpointEndsEveryPendingTransfer) {
  HANDLE handle = OpenBound(0x83);
  OVERLAPPED records[3] = {};
  uint8_t buffers[3][4];
  for (int i = 0; i < 3; ++i) {
    records[i].hEvent = Event();
    ASSERT_FALSE(ReadFile(handle, buffers[i], 4, nullptr, &records[i]));
  }
  ASSERT_TRUE(state->WaitPending(3));
  EXPECT_EQ(0u, Request(handle, kAbortEndpoint, nullptr, 0, nullptr, 0));
  for (auto& record : records) {
    DWORD count;
    EXPECT_FALSE(GetOverlappedResult(handle, &record, &count, TRUE));
    EXPECT_EQ(kAbortStatus, GetLastError());
  }
}

TEST_F(OverlappedTest, ClosingAHandleEndsItsTransfersAndThenDropsTheSession) {
  HANDLE handle = OpenBound(0x83);
  HANDLE other = OpenBound(0x83);
  EXPECT_EQ(2, posixplat::OpenDriverHandleCount(path));
  OVERLAPPED overlapped{};
  overlapped.hEvent = Event();
  uint8_t buffer[4];
  ASSERT_FALSE(ReadFile(handle, buffer, 4, nullptr, &overlapped));
  ASSERT_TRUE(state->WaitPending(1));

  Forget(handle);
  ASSERT_TRUE(CloseHandle(handle));
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(1, posixplat::OpenDriverHandleCount(path));
  EXPECT_EQ(1, posixplat::OpenDriverHandleCount());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 10000));
  EXPECT_EQ(static_cast<ULONG_PTR>(ERROR_OPERATION_ABORTED), overlapped.Internal);
  posixplat::FlushCompletions();
  EXPECT_EQ(1, state->sessions.load());
  EXPECT_EQ(1, posixplat::LiveSessionCount());

  Forget(other);
  CloseHandle(other);
  EXPECT_EQ(0, posixplat::OpenDriverHandleCount(path));
  EXPECT_EQ(0, posixplat::LiveSessionCount());
}

TEST_F(OverlappedTest, SessionOfAClosedHandleLivesUntilItsLastTransferCompletes) {
  // A device that ignores cancellation: the session must wait for it.
  HANDLE handle = OpenBound(0x03);
  OVERLAPPED overlapped{};
  overlapped.hEvent = Event();
  uint8_t data[4] = {};
  ASSERT_FALSE(WriteFile(handle, data, 4, nullptr, &overlapped));
  ASSERT_TRUE(state->WaitPending(1));
  usbdrv::Transfer* transfer;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    transfer = state->pending.front();
    state->pending.clear();  // hidden from Cancel
  }
  Forget(handle);
  CloseHandle(handle);
  posixplat::FlushCompletions();
  EXPECT_EQ(1, state->sessions.load());
  transfer->Complete(0, 4);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 10000));
  posixplat::FlushCompletions();
  EXPECT_EQ(0, state->sessions.load());
}

TEST_F(OverlappedTest, RecordWithoutEventIsWaitedForThroughTheRecord) {
  HANDLE handle = OpenBound(0x03);
  OVERLAPPED overlapped{};  // no event
  const uint8_t data[3] = {1, 2, 3};
  ASSERT_FALSE(WriteFile(handle, data, 3, nullptr, &overlapped));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  unsigned (*completer)(void*) = [](void* raw) -> unsigned {
    auto* fake = static_cast<FakeState*>(raw);
    if (fake->WaitPending(1)) fake->CompleteOldest(0, std::vector<uint8_t>(3));
    return 0;
  };
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, completer, state.get(), 0, nullptr));
  DWORD count = 0;
  EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &count, TRUE));
  EXPECT_EQ(3u, count);
  WaitForSingleObject(thread, 10000);
  CloseHandle(thread);
  // A driver handle is no waitable object here, and an event that is no
  // event is refused before anything starts.
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(handle, 0));
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
  overlapped.hEvent = semaphore;
  EXPECT_FALSE(WriteFile(handle, data, 3, nullptr, &overlapped));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(1, state->submitted);
  CloseHandle(semaphore);
}

TEST_F(OverlappedTest, ReadWithoutOverlappedRecordWaitsForTheTransfer) {
  HANDLE handle = Open(0);
  uint8_t address = 0x83;
  ASSERT_EQ(0u, Request(handle, kBindEndpoint, &address, 1, nullptr, 0));
  struct Args {
    FakeState* state;
  } args{state.get()};
  unsigned (*completer)(void*) = [](void* raw) -> unsigned {
    auto* a = static_cast<Args*>(raw);
    if (a->state->WaitPending(1)) a->state->CompleteOldest(0, {42});
    return 0;
  };
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, completer, &args, 0, nullptr));
  uint8_t buffer[4] = {};
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(handle, buffer, 4, &count, nullptr));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(42, buffer[0]);
  WaitForSingleObject(thread, 10000);
  CloseHandle(thread);
}

struct HeldReadArgs {
  HANDLE handle;
  OVERLAPPED* overlapped;
  uint8_t buffer[4];
  BOOL started;
  DWORD error;
};

unsigned __stdcall StartHeldRead(void* raw) {
  auto* args = static_cast<HeldReadArgs*>(raw);
  args->started = ReadFile(args->handle, args->buffer, 4, nullptr, args->overlapped);
  args->error = GetLastError();
  return 0;
}

TEST_F(OverlappedTest, SubmissionHeldInTheDeviceBlocksNeitherRequestsNorClose) {
  HANDLE handle = OpenBound(0x83);
  OVERLAPPED overlapped{};
  overlapped.hEvent = Event(true);
  HeldReadArgs args{handle, &overlapped, {}, TRUE, 0};
  {
    std::lock_guard<std::mutex> guard(state->lock);
    state->holdSubmit = true;
  }
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, StartHeldRead, &args, 0, nullptr));
  {
    std::unique_lock<std::mutex> guard(state->lock);
    ASSERT_TRUE(
        state->changed.wait_for(guard, std::chrono::seconds(10), [&] { return state->inSubmit; }));
  }
  // Control requests and the close go on while the device holds Submit.
  EXPECT_EQ(0u, Request(handle, kAbortEndpoint, nullptr, 0, nullptr, 0));
  EXPECT_EQ(1, state->aborts);
  Forget(handle);
  EXPECT_TRUE(CloseHandle(handle));
  {
    std::lock_guard<std::mutex> guard(state->lock);
    state->holdSubmit = false;
    state->changed.notify_all();
  }
  // Once Submit returns, the close's cancellation reaches the read before it
  // pended: the read fails at once.
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  CloseHandle(thread);
  EXPECT_FALSE(args.started);
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), args.error);
  EXPECT_EQ(0u, state->PendingCount());
}

struct StressArgs {
  HANDLE handle;
  int index;
  int ended;  // operations that reached their end
};

// Reads on its own handle, ending the reads by turns through the device,
// CancelIo and an abort request, and one last read by closing the handle.
unsigned __stdcall ReadAndEnd(void* raw) {
  auto* args = static_cast<StressArgs*>(raw);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  uint8_t buffer[8];
  for (int i = 0; i < 100; ++i) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    if (!ReadFile(args->handle, buffer, sizeof buffer, nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      break;
    }
    if ((i + args->index) % 3 == 1) {
      CancelIo(args->handle);
    } else if ((i + args->index) % 3 == 2) {
      OVERLAPPED request{};
      request.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      DWORD count;
      if (!DeviceIoControl(args->handle, kAbortEndpoint, nullptr, 0, nullptr, 0, &count,
                           &request)) {
        GetOverlappedResult(args->handle, &request, &count, TRUE);
      }
      CloseHandle(request.hEvent);
    }
    DWORD count;
    GetOverlappedResult(args->handle, &overlapped, &count, TRUE);
    ++args->ended;
  }
  OVERLAPPED last{};
  last.hEvent = event;
  if (ReadFile(args->handle, buffer, sizeof buffer, nullptr, &last) ||
      GetLastError() == ERROR_IO_PENDING) {
    CloseHandle(args->handle);
    if (WaitForSingleObject(event, 10000) == WAIT_OBJECT_0) ++args->ended;
  }
  CloseHandle(event);
  return 0;
}

unsigned __stdcall CompleteUntilStopped(void* raw) {
  auto* state = static_cast<FakeState*>(raw);
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(state->lock);
      state->changed.wait(guard, [&] { return !state->pending.empty() || state->stopDevice; });
      if (state->stopDevice) return 0;
    }
    state->CompleteOldest(0, {1, 2, 3});
  }
}

TEST_F(OverlappedTest, ConcurrentTransfersCancelsAbortsAndClosesAllEnd) {
  posixplat::SetControlCompletion(posixplat::ControlCompletion::kPending);
  HANDLE device = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, CompleteUntilStopped, state.get(), 0, nullptr));
  StressArgs args[4];
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) {
    args[i] = {OpenBound(0x83), i, 0};
    Forget(args[i].handle);  // the reader closes it
    threads[i] =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReadAndEnd, &args[i], 0, nullptr));
    ASSERT_NE(nullptr, threads[i]);
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, threads, TRUE, 60000));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(101, args[i].ended) << "reader " << i;
    CloseHandle(threads[i]);
  }
  {
    std::lock_guard<std::mutex> guard(state->lock);
    state->stopDevice = true;
    state->changed.notify_all();
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(device, 10000));
  CloseHandle(device);
}

}  // namespace
}  // namespace platformtest
