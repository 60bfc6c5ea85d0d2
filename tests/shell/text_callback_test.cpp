#include "app/textcallback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/trace.h"
#include "tests/support/stdout_capture.h"
#include "usbio/usbiobuffer.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Hands one received transfer to the callback as the link does: a zeroed
// 4096-byte data area holding the bytes.
void Deliver(CTextCallback& callback, const std::string& bytes) {
  std::vector<BYTE> area(4096, 0);
  std::copy(bytes.begin(), bytes.end(), area.begin());
  CUsbIoBuffer record(area.data(), static_cast<DWORD>(area.size()));
  record.actualLength = static_cast<DWORD>(bytes.size());
  callback.onRecv(&record);
}

// Takes every stored chunk as its string.
std::vector<std::string> Chunks(CTextCallback& callback) {
  std::vector<std::string> chunks;
  while (char* line = callback.nextLine()) {
    chunks.push_back(line);
    delete[] line;
  }
  return chunks;
}

int SemaphoreCount(CTextCallback& callback) {
  int count = 0;
  while (WaitForSingleObject(callback.semaphore, 0) == WAIT_OBJECT_0) count++;
  return count;
}

struct MatchCase {
  std::string transfer;
  const char* expected;
  int result;
};

TEST(TextCallback, AnAnswerCountsOnlyAsAWholeTransferUpToItsLineEnd) {
  const MatchCase cases[] = {
      {"ok\r\n", "ok", 1},
      {"ok", "ok", 1},
      {"ok\n", "ok", 1},
      {"ok\rjunk", "ok", 1},
      {"\r\nok", "ok", 0},
      {"OK", "ok", 0},
      {"ok ", "ok", 0},
      {"$ ", "$ ", 1},
      {"$", "$ ", 0},
      {"\r\n$ ", "$ ", 0},
      {"user: ", "user: ", 1},
      {"xok", "ok", 0},
      {"reset needed\r\n", "reset needed", 1},
  };
  for (const MatchCase& c : cases) {
    CTextCallback callback;
    Deliver(callback, c.transfer);
    EXPECT_EQ(c.result, callback.waitFor(c.expected, 0, false)) << "transfer " << c.transfer;
  }
}

TEST(TextCallback, PromptSplitOverTwoTransfersNeverMatches) {
  CTextCallback callback;
  Deliver(callback, "$");
  Deliver(callback, " ");
  EXPECT_EQ(0, callback.waitFor("$ ", 0, false));
}

TEST(TextCallback, ChunksAreCutAtZeroBytesAndTrimmedAtLineEnds) {
  CTextCallback callback;
  Deliver(callback, std::string("ok\0ok", 5));
  Deliver(callback, std::string("a\0\0b\r\nrest", 10));
  Deliver(callback, "\r\nhidden");
  EXPECT_EQ((std::vector<std::string>{"ok", "ok", "a", "", "b", ""}), Chunks(callback));
  EXPECT_EQ(nullptr, callback.nextLine());
  EXPECT_EQ(callback.writePosition.load(), callback.readPosition);
}

TEST(TextCallback, TwoChunksFromOneTransferSatisfyTwoWaits) {
  CTextCallback callback;
  Deliver(callback, std::string("ok\0ok", 5));
  EXPECT_EQ(1, callback.waitFor("ok", 0, false));
  EXPECT_EQ(1, callback.waitFor("ok", 0, false));
  EXPECT_EQ(0, callback.waitFor("ok", 0, false));
}

TEST(TextCallback, EachWaitConsumesUpToItsMatchAndLeavesTheRest) {
  CTextCallback callback;
  Deliver(callback, "ok\r\n");
  Deliver(callback, "noise");
  Deliver(callback, "ok\r\n");
  EXPECT_EQ(1, callback.waitFor("ok", 2000, false));
  EXPECT_EQ(1, callback.waitFor("ok", 0, false));
  EXPECT_EQ(nullptr, callback.nextLine());
}

TEST(TextCallback, EitherTakesWhicheverComesFirst) {
  {
    CTextCallback callback;
    Deliver(callback, "user: ");
    Deliver(callback, "$ ");
    EXPECT_EQ(1, callback.waitForEither("user: ", "$ ", 0));
    EXPECT_EQ(2, callback.waitForEither("user: ", "$ ", 0));
  }
  {
    CTextCallback callback;
    Deliver(callback, "x");
    Deliver(callback, "reset needed\r\n");
    Deliver(callback, "ok\r\n");
    EXPECT_EQ(2, callback.waitForEither("ok", "reset needed", 0));
  }
  {
    CTextCallback callback;  // both texts equal: the first wins
    Deliver(callback, "ok");
    EXPECT_EQ(1, callback.waitForEither("ok", "ok", 0));
  }
  {
    CTextCallback callback;  // absent texts match nothing
    Deliver(callback, "ok");
    EXPECT_EQ(0, callback.matchLines(nullptr, nullptr));
    EXPECT_EQ(nullptr, callback.nextLine());
  }
}

TEST(TextCallback, BufferLimitNinetyNineFitsAHundredIsRefused) {
  CTextCallback callback;
  // Fill up to 100 bytes free: 8092 bytes in transfers of 2022 + terminators.
  for (int i = 0; i < 4; i++) Deliver(callback, std::string(2022, 'a'));
  ASSERT_EQ(8092u, callback.writePosition.load());
  StdoutCapture out;
  Deliver(callback, std::string(100, 'b'));
  Deliver(callback, std::string(4000, 'c'));
  EXPECT_EQ(8092u, callback.writePosition.load());
  Deliver(callback, std::string(99, 'd'));
  EXPECT_EQ(8192u, callback.writePosition.load());
  Deliver(callback, "e");
  EXPECT_EQ(
      "onRecv error: low buffer 8092/8192/100onRecv error: low buffer 8092/8192/4000"
      "onRecv error: low buffer 8192/8192/1",
      out.Finish());
  EXPECT_EQ(5, SemaphoreCount(callback));  // refused transfers release nothing
  EXPECT_EQ(0, callback.response[8191]);
  std::vector<std::string> chunks = Chunks(callback);
  ASSERT_EQ(5u, chunks.size());
  EXPECT_EQ(std::string(99, 'd'), chunks[4]);
}

TEST(TextCallback, EmptyOrMissingRecordStoresAndReleasesNothing) {
  CTextCallback callback;
  StdoutCapture out;
  traceEnabled = true;
  Deliver(callback, "");
  callback.onRecv(nullptr);
  traceEnabled = false;
  EXPECT_EQ("", out.Finish());
  EXPECT_EQ(0u, callback.writePosition.load());
  EXPECT_EQ(0, SemaphoreCount(callback));
}

TEST(TextCallback, MoreThanThirtyTwoTransfersAreAllKept) {
  CTextCallback callback;
  for (int i = 0; i < 40; i++) Deliver(callback, "line " + std::to_string(i) + "\r\n");
  EXPECT_EQ(1, callback.waitFor("line 39", 0, false));
  EXPECT_EQ(32, SemaphoreCount(callback));
}

TEST(TextCallback, ZeroWaitLooksOnlyAtWhatIsStored) {
  CTextCallback callback;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, callback.waitFor("ok", 0, false));
  EXPECT_EQ(0, callback.waitForEither("ok", "no", -5));
  EXPECT_LT(MsSince(start), 1000);
  Deliver(callback, "ok");
  EXPECT_EQ(1, callback.waitFor("ok", 0, false));
}

TEST(TextCallback, WaitRunsItsTimeWithoutAnswer) {
  CTextCallback callback;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(0, callback.waitFor("ok", 300, false));
  EXPECT_GE(MsSince(start), 295);
}

TEST(TextCallback, WaitWakesForAnAnswerFromTheWorker) {
  CTextCallback callback;
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Deliver(callback, "password: ");
  });
  EXPECT_EQ(1, callback.waitFor("password: ", 10000, false));
  worker.join();
}

// A transfer that does not match starts the wait afresh, so a steady stream
// keeps it going well past its own time.
TEST(TextCallback, StreamOfNonMatchingTransfersKeepsAWaitAlive) {
  CTextCallback callback;
  std::atomic<bool> stop{false};
  Clock::time_point start = Clock::now();
  std::thread worker([&] {
    while (MsSince(start) < 1500 && !stop) {
      Deliver(callback, "noise\r\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Deliver(callback, "ok\r\n");
  });
  int result = callback.waitFor("ok", 600, false);
  long long elapsed = MsSince(start);
  stop = true;
  worker.join();
  EXPECT_EQ(1, result);
  EXPECT_GE(elapsed, 1400);
}

TEST(TextCallback, WaitEndsOnceTheStreamStops) {
  CTextCallback callback;
  Clock::time_point start = Clock::now();
  std::thread worker([&] {
    while (MsSince(start) < 500) {
      Deliver(callback, "noise");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  EXPECT_EQ(0, callback.waitFor("ok", 300, false));
  EXPECT_GE(MsSince(start), 500);
  worker.join();
}

TEST(TextCallback, FailedWaitReturnsMinusOne) {
  CTextCallback callback;
  CloseHandle(callback.semaphore);
  callback.semaphore = NULL;
  EXPECT_EQ(-1, callback.waitFor("ok", 100, false));
  EXPECT_EQ(-1, callback.waitForEither("ok", "no", 100));
  Deliver(callback, "ok");  // what is stored is still found first
  EXPECT_EQ(1, callback.waitFor("ok", 100, false));
}

TEST(TextCallback, EchoPrintsTransfersFromTheWaitOnUntilTheNextWaitClearsIt) {
  CTextCallback callback;
  StdoutCapture out;
  Deliver(callback, "before\r\n");
  std::thread worker([&] {
    while (!callback.echoEnabled.load()) std::this_thread::yield();
    Deliver(callback, "$ ");
  });
  EXPECT_EQ(1, callback.waitFor("$ ", 10000, true));
  worker.join();
  Deliver(callback, "after");
  EXPECT_EQ(0, callback.waitFor("x", 0, false));
  Deliver(callback, "quiet");
  EXPECT_EQ("$ \nafter\n", out.Finish());
}

TEST(TextCallback, TraceLinesShowStoredAndTakenText) {
  CTextCallback callback;
  StdoutCapture out;
  traceEnabled = true;
  Deliver(callback, "ok\r\n");
  EXPECT_EQ(1, callback.waitFor("ok", 0, false));
  traceEnabled = false;
  EXPECT_EQ("onRecv:ok\r\n\nRead:ok.\n", out.Finish());
}

// The worker appends while the command thread takes; every answer arrives
// whole and in order.
TEST(TextCallback, ConcurrentAppendAndTake) {
  CTextCallback callback;
  const int count = 300;
  std::thread worker([&] {
    for (int i = 0; i < count; i++) Deliver(callback, std::to_string(i) + "\r\n");
  });
  for (int i = 0; i < count; i++)
    ASSERT_EQ(1, callback.waitFor(std::to_string(i).c_str(), 10000, false)) << i;
  worker.join();
}

}  // namespace
