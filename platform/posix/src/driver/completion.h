// The driver's completion thread: delivers the results of pending
// operations (writes the overlapped record, sets its event) in the order in
// which they were queued, on a thread of its own, as a kernel driver's
// completion routine would.
#ifndef VELKOR_POSIX_DRIVER_COMPLETION_H
#define VELKOR_POSIX_DRIVER_COMPLETION_H

#include <mutex>

namespace posixplat {

class Completion {
 public:
  virtual ~Completion() = default;
  // Runs on the completion thread, without any lock held. The queue does not
  // touch the item afterwards: the item disposes of itself.
  virtual void Deliver() = 0;
};

// The lock of the completion queue. Transfer state that the device's
// Complete call and the submitting thread both look at is kept under it.
std::mutex& CompletionLock();
// Queues an item; the caller holds CompletionLock().
void QueueCompletionLocked(Completion* item);
void QueueCompletion(Completion* item);
// Blocks until everything queued before the call has been delivered.
void FlushCompletionQueue();

}  // namespace posixplat

#endif
