// The record of every transfer a kv30sim handset moved, one line each.
#ifndef VELKOR_KV30SIM_TRANSCRIPT_H
#define VELKOR_KV30SIM_TRANSCRIPT_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kv30sim {

// One line without its line end: "OUT" or "IN", the endpoint address as two
// hex digits, the byte count in decimal, then the bytes, printable ASCII as
// it is, a backslash as "\\" and every other byte as "\x" and two lowercase
// hex digits. A transfer of no bytes ends after its count.
std::string FormatTransfer(uint8_t endpoint, const uint8_t* data, uint32_t length);

class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  // Starts a new transcript in `path` (truncated). False when it cannot be
  // written.
  bool Open(const std::string& path);
  // Appends one line and flushes it, so that others can read the file while
  // the process runs. Does nothing when no file is open.
  void Record(uint8_t endpoint, const uint8_t* data, uint32_t length);

 private:
  std::mutex mutex_;
  FILE* file_ = nullptr;
};

}  // namespace kv30sim

#endif
