// CAckCallback on its own: which transfers count as the expected
// acknowledgement, what it prints, and how it releases the semaphore.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/ackcallback.h"
#include "app/trace.h"
#include "app/upload.h"
#include "tests/support/stdout_capture.h"

namespace {

const DWORD kAreaSize = 4096;

class AckCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    semaphore = CreateSemaphoreA(nullptr, 0, 16, nullptr);
    ASSERT_NE(semaphore, nullptr);
    callback.reset(new CAckCallback(semaphore));
  }
  void TearDown() override {
    traceEnabled = false;
    callback.reset();
    CloseHandle(semaphore);
  }

  // Hands one transfer to the callback the way the link does: in a 4096-byte
  // area, the bytes after the transfer set to `fill`. Returns what it printed.
  std::string Deliver(const std::string& bytes, char fill = 0) {
    std::unique_ptr<BYTE[]> area(new BYTE[kAreaSize]);
    memset(area.get(), fill, kAreaSize);
    memcpy(area.get(), bytes.data(), bytes.size());
    CUsbIoBuffer buffer(area.get(), kAreaSize);
    buffer.actualLength = static_cast<DWORD>(bytes.size());
    StdoutCapture capture;
    callback->onRecv(&buffer);
    return capture.Finish();
  }

  // Takes what the semaphore holds without waiting.
  int Released() {
    int count = 0;
    while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) count++;
    return count;
  }

  HANDLE semaphore = nullptr;
  std::unique_ptr<CAckCallback> callback;
};

struct AcceptanceCase {
  const char* name;
  LONG expected;
  std::string bytes;
  bool accepted;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const AcceptanceCase& c, std::ostream* os) { *os << c.name; }

class AckAcceptance : public AckCallbackTest,
                      public ::testing::WithParamInterface<AcceptanceCase> {};

TEST_P(AckAcceptance, AcceptsOnlyTheExactNextNumber) {
  const AcceptanceCase& c = GetParam();
  callback->expectedAck = c.expected;
  std::string printed = Deliver(c.bytes);
  if (c.accepted) {
    EXPECT_EQ(printed, "");
    EXPECT_EQ(callback->expectedAck, c.expected + 1);
    EXPECT_EQ(Released(), 1);
  } else {
    EXPECT_EQ(printed, "Error: unexpected usb ack #" + std::to_string(c.expected) + "\n");
    EXPECT_EQ(callback->expectedAck, c.expected);
    EXPECT_EQ(Released(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AckAcceptance,
    ::testing::Values(AcceptanceCase{"Digits", 5, "#5", true},
                      AcceptanceCase{"DigitsAndNul", 5, std::string("#5\0", 3), true},
                      AcceptanceCase{"LeadingBlank", 5, "# 5", true},
                      AcceptanceCase{"LeadingPlus", 5, "#+5", true},
                      AcceptanceCase{"SeveralDigits", 1234, "#1234", true},
                      AcceptanceCase{"LeadingZero", 5, "#05", true},
                      AcceptanceCase{"HashAndNulIsZero", 0, std::string("#\0", 2), true},
                      AcceptanceCase{"LineEnd", 5, "#5\r\n", false},
                      AcceptanceCase{"TrailingLetter", 5, "#05x", false},
                      AcceptanceCase{"NextNumber", 5, "#6", false},
                      AcceptanceCase{"PreviousNumber", 5, "#4", false},
                      AcceptanceCase{"NoHash", 5, "5", false},
                      AcceptanceCase{"HashAlone", 0, "#", false},
                      AcceptanceCase{"TwoAcksInOne", 5, "#5#6", false},
                      AcceptanceCase{"DoubleHash", 5, "##5", false},
                      AcceptanceCase{"NegativeNumber", 5, "#-5", false},
                      AcceptanceCase{"TrailingBlank", 5, "#5 ", false},
                      AcceptanceCase{"NulThenMore", 5, std::string("#5\0#6", 5), true},
                      AcceptanceCase{"NoDigitsBeforeNul", 5,
                                     std::string("#\0"
                                                 "5",
                                                 3),
                                     false}),
    [](const ::testing::TestParamInfo<AcceptanceCase>& info) { return info.param.name; });

TEST_F(AckCallbackTest, EmptyTransferIsPassedOverSilently) {
  callback->expectedAck = 3;
  EXPECT_EQ(Deliver(""), "");
  EXPECT_EQ(callback->expectedAck, 3);
  EXPECT_EQ(Released(), 0);
}

TEST_F(AckCallbackTest, ReadsNoFurtherThanTheReceivedBytes) {
  // Bytes after the transfer are not part of it, whatever the area holds.
  callback->expectedAck = 5;
  EXPECT_EQ(Deliver("#5", '7'), "");
  EXPECT_EQ(callback->expectedAck, 6);
  EXPECT_EQ(Released(), 1);
}

TEST_F(AckCallbackTest, TransferFillingTheWholeBufferIsNeverAnAcknowledgement) {
  // "#000...05": its digits would read as 5, but no NUL follows inside the
  // area. The area is exactly 4096 bytes, so a read past it is caught by ASan.
  std::string full = "#" + std::string(kAreaSize - 2, '0') + "5";
  callback->expectedAck = 5;
  EXPECT_EQ(Deliver(full, 0), "Error: unexpected usb ack #5\n");
  EXPECT_EQ(Released(), 0);
  // One byte shorter, the zero-filled area ends it: accepted.
  std::string shorter = "#" + std::string(kAreaSize - 3, '0') + "5";
  EXPECT_EQ(Deliver(shorter, 0), "");
  EXPECT_EQ(Released(), 1);
}

TEST_F(AckCallbackTest, CountsUpAndReportsTheCountBeforeEachRelease) {
  EXPECT_EQ(Deliver("#0"), "");
  EXPECT_EQ(callback->previousCount, 0);
  EXPECT_EQ(Deliver("#1"), "");
  EXPECT_EQ(callback->previousCount, 1);
  EXPECT_EQ(Deliver("#1"), "Error: unexpected usb ack #2\n");
  EXPECT_EQ(Deliver("#2"), "");
  EXPECT_EQ(callback->previousCount, 2);
  EXPECT_EQ(callback->expectedAck, 3);
  EXPECT_EQ(Released(), 3);
}

TEST_F(AckCallbackTest, TraceLineShowsEachTransferWithinItsBytes) {
  traceEnabled = true;
  EXPECT_EQ(Deliver("#0"), "onRecv #0 sema:0 <2,#0>\n");
  EXPECT_EQ(Deliver("#1"), "onRecv #1 sema:0 <2,#1>\n");
  EXPECT_EQ(Deliver(std::string("#2\0#3", 5)), "onRecv #2 sema:1 <5,#2>\n");
  EXPECT_EQ(Deliver(""), "onRecv #3 sema:2 <0,>\n");
  EXPECT_EQ(Deliver("#9\r\n"), "onRecv #3 sema:2 <4,#9\r\n>\nError: unexpected usb ack #3\n");
  EXPECT_EQ(Deliver("#3", 'x'), "onRecv #3 sema:2 <2,#3>\n");
  std::string full(kAreaSize, '#');
  EXPECT_EQ(Deliver(full), "onRecv #4 sema:3 <4096," + full + ">\nError: unexpected usb ack #4\n");
}

}  // namespace
