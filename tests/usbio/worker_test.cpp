// Launching, stopping and destroying workers.
#include "recording_workers.h"
#include "usbio_test_util.h"

namespace {

const char kStillRunningText[] =
    "CUsbIoThread::~CUsbIoThread(): Thread is still running! ShutdownThread() must be called "
    "before the object is destroyed!\n";

// A read worker attached to IN endpoint 0x83 of a handset that sends nothing.
class WorkerTest : public UsbIoTest {
 protected:
  void SetUp() override {
    UsbIoTest::SetUp();
    handset = AddDevice();
    handset->Withhold(3, true);
    list = List();
    ASSERT_NE(nullptr, list);
  }
  bool AllReadsQueued(uint32_t count = 32) {
    return handset->WaitUntil([&] { return handset->ReadsPending(3) == count; }, kWaitMs);
  }

  std::shared_ptr<sim::Device> handset;
  HDEVINFO list = nullptr;
};

TEST_F(WorkerTest, SecondLaunchIsRefusedAndKeepsTheErrorLimit) {
  RecordingReader reader;
  ASSERT_EQ(0u, reader.AttachEndpoint(0, 0x83, list, Class()));
  ASSERT_TRUE(reader.CreateBuffers(4096, 32));
  EXPECT_EQ(3u, reader.ErrorLimit());
  ASSERT_TRUE(reader.LaunchWorker(5));
  EXPECT_FALSE(reader.LaunchWorker(7));
  EXPECT_EQ(5u, reader.ErrorLimit());
  ASSERT_TRUE(AllReadsQueued()) << "one worker, one fill";
  EXPECT_TRUE(reader.ShutdownThread());
  EXPECT_EQ(1, reader.cancelCalls);
  EXPECT_EQ(0u, handset->ReadsPending(3));
  EXPECT_EQ(1, reader.record.Exits());
}

TEST_F(WorkerTest, ShutdownOfAnIdleWorkerCancelsNothing) {
  RecordingReader reader;
  ASSERT_EQ(0u, reader.AttachEndpoint(0, 0x83, list, Class()));
  EXPECT_TRUE(reader.ShutdownThread());
  EXPECT_EQ(0, reader.cancelCalls);

  ASSERT_TRUE(reader.CreateBuffers(64, 4));
  ASSERT_TRUE(reader.LaunchWorker(3));
  ASSERT_TRUE(AllReadsQueued(4));
  EXPECT_TRUE(reader.ShutdownThread());
  EXPECT_TRUE(reader.ShutdownThread());
  EXPECT_EQ(1, reader.cancelCalls) << "the second call finds no worker";
  EXPECT_FALSE(reader.HasWorker());
}

TEST_F(WorkerTest, WorkerWithoutBuffersEndsByItself) {
  RecordingReader reader;
  ASSERT_EQ(0u, reader.AttachEndpoint(0, 0x83, list, Class()));
  ASSERT_TRUE(reader.CreateBuffers(4096, 0));
  int handles = posixplat::OpenHandleCount();
  ASSERT_TRUE(reader.LaunchWorker(3));
  ASSERT_TRUE(reader.record.WaitForExit(kWaitMs));
  EXPECT_TRUE(reader.ShutdownThread());
  EXPECT_FALSE(reader.HasWorker());
  EXPECT_EQ(handles, posixplat::OpenHandleCount()) << "the thread handle is closed once";
  EXPECT_TRUE(reader.record.Events().empty());
  EXPECT_EQ(0u, handset->ReadsPending(3));
}

TEST_F(WorkerTest, WorkerCanBeLaunchedAgainAfterItStopped) {
  handset->Withhold(3, false);
  RecordingReader reader;
  ASSERT_EQ(0u, reader.AttachEndpoint(0, 0x83, list, Class()));
  ASSERT_TRUE(reader.CreateBuffers(128, 8));
  for (int round = 0; round < 3; round++) {
    ASSERT_TRUE(reader.LaunchWorker(3)) << round;
    ASSERT_TRUE(AllReadsQueued(8)) << round;
    std::string text = "round " + std::to_string(round);
    handset->In(3).Send(text.data(), text.size());
    ASSERT_TRUE(reader.record.WaitForEvents(static_cast<size_t>(round) * 3 + 1, kWaitMs));
    // The buffer submitted again: the worker is in a pass and waits for a read.
    ASSERT_TRUE(AllReadsQueued(8)) << round;
    EXPECT_TRUE(reader.ShutdownThread());
    EXPECT_EQ(0u, handset->ReadsPending(3)) << round;
    auto events = reader.record.Events();
    ASSERT_EQ(static_cast<size_t>(round) * 3 + 3, events.size()) << round;
    EXPECT_EQ(text, events[events.size() - 3].data);
    EXPECT_EQ('E', events[events.size() - 2].kind) << "the waited read, cancelled";
    EXPECT_EQ('D', events[events.size() - 1].kind);
  }
  EXPECT_EQ(3, reader.record.Exits());
}

TEST_F(WorkerTest, BuffersCanBeRebuiltOnlyAfterDiscarding) {
  RecordingReader reader;
  EXPECT_TRUE(reader.CreateBuffers(4096, 2));
  EXPECT_FALSE(reader.CreateBuffers(4096, 2));
  reader.DiscardBuffers();
  EXPECT_TRUE(reader.CreateBuffers(512, 3));
}

// Destroying a running worker: the debugger hears of it, and the worker is
// stopped before its buffers and handle go.
template <typename Worker>
void DestroyRunningWorker(sim::Device& handset, HDEVINFO list, const GUID* interfaceClass) {
  int handles = posixplat::OpenHandleCount();
  Worker* worker = new Worker();
  ASSERT_EQ(0u, worker->AttachEndpoint(0, 0x83, list, interfaceClass));
  ASSERT_TRUE(worker->CreateBuffers(4096, 32));
  ASSERT_TRUE(worker->LaunchWorker(3));
  ASSERT_TRUE(handset.WaitUntil([&] { return handset.ReadsPending(3) == 32; }, kWaitMs));
  posixplat::ClearDebugOutput();
  delete worker;
  EXPECT_EQ(kStillRunningText, posixplat::DebugOutput());
  EXPECT_EQ(0u, handset.ReadsPending(3));
  posixplat::FlushCompletions();  // sessions go with their last completion
  EXPECT_EQ(0, handset.OpenSessions());
  EXPECT_EQ(handles, posixplat::OpenHandleCount()) << "thread, events and instance released";
}

TEST_F(WorkerTest, DestroyingARunningReadWorkerReportsAndStopsIt) {
  DestroyRunningWorker<CUsbIoReadThread>(*handset, list, Class());
}

TEST_F(WorkerTest, DestroyingARunningSubclassReportsAndStopsIt) {
  DestroyRunningWorker<RecordingReader>(*handset, list, Class());
}

TEST_F(WorkerTest, DestroyingAStoppedWorkerSaysNothing) {
  posixplat::ClearDebugOutput();
  {
    RecordingReader reader;
    ASSERT_EQ(0u, reader.AttachEndpoint(0, 0x83, list, Class()));
    ASSERT_TRUE(reader.CreateBuffers(4096, 32));
    ASSERT_TRUE(reader.LaunchWorker(3));
    ASSERT_TRUE(AllReadsQueued());
    EXPECT_TRUE(reader.ShutdownThread());
  }
  EXPECT_EQ("", posixplat::DebugOutput());
  posixplat::FlushCompletions();  // sessions go with their last completion
  EXPECT_EQ(0, handset->OpenSessions());
}

}  // namespace
