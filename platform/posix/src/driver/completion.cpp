#include "completion.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <thread>

#include "posixplat/testing.h"

namespace posixplat {
namespace {

struct Queue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Completion*> items;
  uint64_t queued = 0;
  uint64_t delivered = 0;
  bool started = false;
};

// Never destroyed: the completion thread runs until the process ends.
Queue& TheQueue() {
  static Queue* queue = new Queue;
  return *queue;
}

void Run() {
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> guard(queue.lock);
  for (;;) {
    queue.changed.wait(guard, [&] { return !queue.items.empty(); });
    Completion* item = queue.items.front();
    queue.items.pop_front();
    guard.unlock();
    item->Deliver();
    guard.lock();
    ++queue.delivered;
    queue.changed.notify_all();
  }
}

}  // namespace

std::mutex& CompletionLock() { return TheQueue().lock; }

void QueueCompletionLocked(Completion* item) {
  Queue& queue = TheQueue();
  if (!queue.started) {
    queue.started = true;
    std::thread(Run).detach();
  }
  queue.items.push_back(item);
  ++queue.queued;
  queue.changed.notify_all();
}

void QueueCompletion(Completion* item) {
  std::lock_guard<std::mutex> guard(CompletionLock());
  QueueCompletionLocked(item);
}

void FlushCompletionQueue() {
  Queue& queue = TheQueue();
  std::unique_lock<std::mutex> guard(queue.lock);
  const uint64_t target = queue.queued;
  queue.changed.wait(guard, [&] { return queue.delivered >= target; });
}

void FlushCompletions() { FlushCompletionQueue(); }

}  // namespace posixplat
