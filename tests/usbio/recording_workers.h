// Workers that record what their virtual operations see.
#ifndef VELKOR_TESTS_USBIO_RECORDING_WORKERS_H
#define VELKOR_TESTS_USBIO_RECORDING_WORKERS_H

#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "usbio/usbiothread.h"

// One call of OnTransferError ('E') or OnTransferDone ('D').
struct WorkerEvent {
  char kind;
  DWORD status;
  DWORD actualLength;
  std::string data;
  bool tailZero;  // the bytes after the received ones are zero
};

class WorkerRecord {
 public:
  void Add(char kind, CUsbIoBuffer* buffer) {
    WorkerEvent event{kind, buffer->status, buffer->actualLength,
                      std::string(reinterpret_cast<char*>(buffer->dataPtr), buffer->actualLength),
                      true};
    for (DWORD i = buffer->actualLength; i < buffer->capacity; i++) {
      if (buffer->dataPtr[i] != 0) event.tailZero = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  void Exit() {
    std::lock_guard<std::mutex> lock(mutex_);
    exits_++;
    changed_.notify_all();
  }
  std::vector<WorkerEvent> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // The 'D' events only.
  std::vector<WorkerEvent> Done() {
    std::vector<WorkerEvent> done;
    for (const WorkerEvent& event : Events()) {
      if (event.kind == 'D') done.push_back(event);
    }
    return done;
  }
  int Exits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return exits_;
  }
  bool WaitForEvents(size_t count, uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return events_.size() >= count; });
  }
  bool WaitForExit(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return exits_ > 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<WorkerEvent> events_;
  int exits_ = 0;
};

// A read worker that records; PrepareBuffer can be told to end the stream.
class RecordingReader : public CUsbIoReadThread {
 public:
  ~RecordingReader() override { StopWorkerOnDestruction(); }

  WorkerRecord record;
  std::atomic<int> cancelCalls{0};
  // Buffers prepared with their full length before requestLength becomes 0.
  std::atomic<int> fullPrepares{1 << 30};
  // Called on the worker thread with the number of the preparation (1, 2, ...);
  // set before the launch.
  std::function<void(int)> onPrepare;

  // The owner's stop request alone, without the cancellation that
  // ShutdownThread makes after it: stands for an abort that has not reached
  // the reads the worker is submitting.
  void RequestStopOnly() { InterlockedExchange(&stopRequested, 1); }

  // Protected state, for the checks.
  DWORD ErrorLimit() const { return errorLimit; }
  bool HasWorker() { return InterlockedCompareExchangePointer(&workerHandle, nullptr, nullptr); }

 protected:
  void OnTransferDone(CUsbIoBuffer* buffer) override { record.Add('D', buffer); }
  void OnTransferError(CUsbIoBuffer* buffer) override { record.Add('E', buffer); }
  void OnWorkerExit() override { record.Exit(); }
  void PrepareBuffer(CUsbIoBuffer* buffer) override {
    CUsbIoReadThread::PrepareBuffer(buffer);
    if (onPrepare) onPrepare(++prepared_);
    if (fullPrepares.fetch_sub(1) <= 0) buffer->requestLength = 0;
  }
  void CancelTransfers() override {
    cancelCalls++;
    CUsbIoReadThread::CancelTransfers();
  }

 private:
  int prepared_ = 0;  // worker thread only
};

// A write worker that sends numbered blocks and ends its stream after a
// given number of them.
class RecordingWriter : public CUsbIoWriteThread {
 public:
  explicit RecordingWriter(int blocks) : blocks_(blocks) {}
  ~RecordingWriter() override { StopWorkerOnDestruction(); }

  WorkerRecord record;

 protected:
  void OnTransferDone(CUsbIoBuffer* buffer) override { record.Add('D', buffer); }
  void OnTransferError(CUsbIoBuffer* buffer) override { record.Add('E', buffer); }
  void OnWorkerExit() override { record.Exit(); }
  void PrepareBuffer(CUsbIoBuffer* buffer) override {
    if (prepared_ >= blocks_) {
      buffer->streamEnd = 1;
      return;
    }
    std::string text = "block " + std::to_string(prepared_++);
    memcpy(buffer->dataPtr, text.data(), text.size());
    buffer->requestLength = static_cast<DWORD>(text.size());
  }

 private:
  int blocks_;
  int prepared_ = 0;  // worker thread only
};

#endif
