// The simulated handset's firmware loader (endpoint number 7).
//
// It takes the upload header "! upload " and a decimal length up to its NUL,
// answers "#0", then takes the image bytes as they come and answers "#1",
// "#2", ... : one acknowledgement per started 64 bytes of each write, each an
// IN transfer of its own without a line end. It keeps the received image.
// Once the announced length has arrived it waits for the next header; an
// accepted header starts a new image and numbers from #0 again.
//
// Tests can make it misbehave: drop, repeat, swap or reword single
// acknowledgements, ignore the header, stall, fail or shorten a write and
// answer late. Settings may be changed at any time; they apply from the next
// write on.
#ifndef VELKOR_SIM_LOADER_H
#define VELKOR_SIM_LOADER_H

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/function.h"

namespace sim {

class Loader : public Function {
 public:
  // The longest header line taken; a longer one is refused.
  static const uint32_t kMaxHeader = 256;

  Loader();

  WriteResult OnWrite(const uint8_t* data, uint32_t length, InPipe& in) override;

  // Forgets the upload in progress and waits for a header (settings and the
  // write log stay).
  void Reset();

  // Behaviour. Acknowledgements are named by their number in the correct
  // sequence (0 for the header, 1 for the first 64 data bytes, ...); writes by
  // their index (0 for the first write of the upload, normally the header).

  // Acknowledgement `number` is never sent; the numbering goes on after it.
  void DropAck(uint32_t number);
  // Acknowledgement `number` is sent twice.
  void RepeatAck(uint32_t number);
  // Acknowledgements `a` and `b` change places in the sequence.
  void SwapAcks(uint32_t a, uint32_t b);
  // Acknowledgement `number` is sent as "#<number>\r\n".
  void LineEndOnAck(uint32_t number);
  // Acknowledgement `number` is sent as these bytes instead.
  void ReplaceAck(uint32_t number, const std::string& bytes);
  // The header is taken but never answered.
  void IgnoreHeader();
  // No acknowledgement is sent after the first `count` ones.
  void StallAfter(uint32_t count);
  // Write `index` fails with `status` (nonzero); its bytes are not taken.
  void FailWrite(uint32_t index, uint32_t status);
  // Write `index` reports only `accepted` bytes moved; only those are taken.
  void ShortenWrite(uint32_t index, uint32_t accepted);
  // Every acknowledgement is due `ms` after the write that caused it.
  void SetAckDelay(uint32_t ms);
  // Acknowledgement `number` is due `ms` after its write (replaces the
  // common delay for it). Later transfers never overtake it.
  void DelayAck(uint32_t number, uint32_t ms);
  // Called (outside the loader's lock) after each write has been handled,
  // with the write's index.
  void SetWriteHook(std::function<void(uint32_t index)> hook);

  // What the loader saw.
  std::vector<uint8_t> Image() const;         // data bytes taken after the header
  std::string Header() const;                 // last header text taken, without its NUL
  bool HeaderAccepted() const;                // the current header passed the check
  uint32_t HeaderRefusals() const;            // headers that failed the check
  int64_t DeclaredLength() const;             // length the header announced, -1 before
  std::vector<uint32_t> WriteSizes() const;   // length of every write, in order
  std::vector<std::string> AckTexts() const;  // every IN transfer queued, in order
  uint32_t AcksOwed() const;                  // acknowledgements the data so far called for

 private:
  struct Outgoing {
    std::string bytes;
    uint32_t delayMs;
  };

  void QueueAcks(uint32_t count, std::vector<Outgoing>& out);  // lock held
  void TakeHeader(const uint8_t* data, uint32_t length);       // lock held
  bool CheckHeader(int64_t* declared) const;                   // lock held

  mutable std::mutex lock;
  // Settings.
  std::map<uint32_t, std::string> replaced;   // ack number -> bytes sent instead
  std::map<uint32_t, uint32_t> repeated;      // ack number -> times sent
  std::map<uint32_t, uint32_t> swapped;       // ack position -> number sent there
  std::map<uint32_t, uint32_t> delays;        // ack number -> delay
  std::map<uint32_t, uint32_t> failedWrites;  // write index -> status
  std::map<uint32_t, uint32_t> shortWrites;   // write index -> bytes accepted
  bool ignoreHeader = false;
  bool stalls = false;
  uint32_t stallCount = 0;
  uint32_t ackDelayMs = 0;
  std::function<void(uint32_t)> writeHook;
  // State.
  bool inHeader = true;
  bool headerOk = false;
  uint32_t refusals = 0;
  std::string headerText;
  std::string pendingHeader;
  int64_t declaredLength = -1;
  uint32_t nextAck = 0;  // position of the next acknowledgement in the sequence
  uint32_t writeCount = 0;
  std::vector<uint8_t> image;
  std::vector<uint32_t> writeSizes;
  std::vector<std::string> ackTexts;
};

}  // namespace sim

#endif
