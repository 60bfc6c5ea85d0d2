#include "sim/loader.h"

#include <cstring>
#include <utility>

namespace sim {

namespace {

const char kHeaderPrefix[] = "! upload ";
const uint32_t kAckPiece = 64;  // data bytes covered by one acknowledgement

}  // namespace

Loader::Loader() = default;

WriteResult Loader::OnWrite(const uint8_t* data, uint32_t length, InPipe& in) {
  std::vector<Outgoing> out;
  WriteResult result;
  std::function<void(uint32_t)> hook;
  uint32_t index;
  {
    std::lock_guard<std::mutex> guard(lock);
    index = writeCount++;
    writeSizes.push_back(length);
    hook = writeHook;
    auto failed = failedWrites.find(index);
    if (failed != failedWrites.end()) {
      result.status = failed->second;
      result.accepted = 0;
    } else {
      uint32_t taken = length;
      auto shortened = shortWrites.find(index);
      if (shortened != shortWrites.end() && shortened->second < length) taken = shortened->second;
      result.accepted = taken;
      uint32_t pos = 0;
      // The header may come in pieces; bytes after its NUL are image data.
      while (inHeader && pos < taken) {
        const uint8_t* nul = static_cast<const uint8_t*>(memchr(data + pos, 0, taken - pos));
        uint32_t end = nul ? static_cast<uint32_t>(nul - data) : taken;
        TakeHeader(data + pos, end - pos);
        pos = nul ? end + 1 : taken;
        if (!nul) break;
        int64_t declared = -1;
        headerText = pendingHeader;
        pendingHeader.clear();
        if (CheckHeader(&declared)) {
          // A new upload: its own image and its own numbering from #0.
          inHeader = false;
          headerOk = true;
          declaredLength = declared;
          image.clear();
          nextAck = 0;
          if (!ignoreHeader) {
            QueueAcks(1, out);
          } else {
            nextAck++;  // the header's acknowledgement is owed but never sent
          }
        } else {
          refusals++;
        }
      }
      if (!inHeader && pos < taken) {
        uint32_t count = taken - pos;
        image.insert(image.end(), data + pos, data + taken);
        QueueAcks((count - 1) / kAckPiece + 1, out);
      }
      // Once the announced length has arrived, the next write starts a new
      // upload with its header.
      if (!inHeader && static_cast<int64_t>(image.size()) >= declaredLength) inHeader = true;
    }
  }
  for (const Outgoing& ack : out) in.Send(ack.bytes.data(), ack.bytes.size(), ack.delayMs);
  if (hook) hook(index);
  return result;
}

void Loader::TakeHeader(const uint8_t* data, uint32_t length) {
  if (pendingHeader.size() + length > kMaxHeader) {
    // Far too long for a header: keep only enough to refuse it at its NUL.
    length = pendingHeader.size() < kMaxHeader + 1
                 ? static_cast<uint32_t>(kMaxHeader + 1 - pendingHeader.size())
                 : 0;
  }
  pendingHeader.append(reinterpret_cast<const char*>(data), length);
}

// "! upload ", blanks, then decimal digits up to the end of the text.
bool Loader::CheckHeader(int64_t* declared) const {
  const std::string& text = headerText;
  size_t prefix = sizeof(kHeaderPrefix) - 1;
  if (text.size() > kMaxHeader || text.compare(0, prefix, kHeaderPrefix) != 0) return false;
  size_t pos = prefix;
  while (pos < text.size() && text[pos] == ' ') pos++;
  if (pos == text.size()) return false;
  int64_t value = 0;
  for (; pos < text.size(); pos++) {
    char c = text[pos];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return false;
  }
  *declared = value;
  return true;
}

void Loader::QueueAcks(uint32_t count, std::vector<Outgoing>& out) {
  for (uint32_t i = 0; i < count; i++) {
    uint32_t position = nextAck++;
    if (stalls && position >= stallCount) continue;
    uint32_t number = position;
    auto swap = swapped.find(position);
    if (swap != swapped.end()) number = swap->second;
    std::string bytes = "#" + std::to_string(number);
    auto replacement = replaced.find(number);
    if (replacement != replaced.end()) bytes = replacement->second;
    uint32_t times = 1;
    auto repeat = repeated.find(number);
    if (repeat != repeated.end()) times = repeat->second;
    uint32_t delay = ackDelayMs;
    auto late = delays.find(number);
    if (late != delays.end()) delay = late->second;
    for (uint32_t t = 0; t < times; t++) {
      out.push_back(Outgoing{bytes, delay});
      ackTexts.push_back(bytes);
    }
  }
}

void Loader::Reset() {
  std::lock_guard<std::mutex> guard(lock);
  inHeader = true;
  headerOk = false;
  headerText.clear();
  pendingHeader.clear();
  declaredLength = -1;
  nextAck = 0;
  image.clear();
}

void Loader::DropAck(uint32_t number) {
  std::lock_guard<std::mutex> guard(lock);
  repeated[number] = 0;
}

void Loader::RepeatAck(uint32_t number) {
  std::lock_guard<std::mutex> guard(lock);
  repeated[number] = 2;
}

void Loader::SwapAcks(uint32_t a, uint32_t b) {
  std::lock_guard<std::mutex> guard(lock);
  swapped[a] = b;
  swapped[b] = a;
}

void Loader::LineEndOnAck(uint32_t number) {
  std::lock_guard<std::mutex> guard(lock);
  replaced[number] = "#" + std::to_string(number) + "\r\n";
}

void Loader::ReplaceAck(uint32_t number, const std::string& bytes) {
  std::lock_guard<std::mutex> guard(lock);
  replaced[number] = bytes;
}

void Loader::IgnoreHeader() {
  std::lock_guard<std::mutex> guard(lock);
  ignoreHeader = true;
}

void Loader::StallAfter(uint32_t count) {
  std::lock_guard<std::mutex> guard(lock);
  stalls = true;
  stallCount = count;
}

void Loader::FailWrite(uint32_t index, uint32_t status) {
  std::lock_guard<std::mutex> guard(lock);
  failedWrites[index] = status;
}

void Loader::ShortenWrite(uint32_t index, uint32_t accepted) {
  std::lock_guard<std::mutex> guard(lock);
  shortWrites[index] = accepted;
}

void Loader::SetAckDelay(uint32_t ms) {
  std::lock_guard<std::mutex> guard(lock);
  ackDelayMs = ms;
}

void Loader::DelayAck(uint32_t number, uint32_t ms) {
  std::lock_guard<std::mutex> guard(lock);
  delays[number] = ms;
}

void Loader::SetWriteHook(std::function<void(uint32_t)> hook) {
  std::lock_guard<std::mutex> guard(lock);
  writeHook = std::move(hook);
}

std::vector<uint8_t> Loader::Image() const {
  std::lock_guard<std::mutex> guard(lock);
  return image;
}

std::string Loader::Header() const {
  std::lock_guard<std::mutex> guard(lock);
  return headerText;
}

bool Loader::HeaderAccepted() const {
  std::lock_guard<std::mutex> guard(lock);
  return headerOk;
}

uint32_t Loader::HeaderRefusals() const {
  std::lock_guard<std::mutex> guard(lock);
  return refusals;
}

int64_t Loader::DeclaredLength() const {
  std::lock_guard<std::mutex> guard(lock);
  return declaredLength;
}

std::vector<uint32_t> Loader::WriteSizes() const {
  std::lock_guard<std::mutex> guard(lock);
  return writeSizes;
}

std::vector<std::string> Loader::AckTexts() const {
  std::lock_guard<std::mutex> guard(lock);
  return ackTexts;
}

uint32_t Loader::AcksOwed() const {
  std::lock_guard<std::mutex> guard(lock);
  return nextAck;
}

}  // namespace sim
