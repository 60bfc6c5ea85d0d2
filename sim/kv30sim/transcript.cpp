#include "sim/kv30sim/transcript.h"

namespace kv30sim {

std::string FormatTransfer(uint8_t endpoint, const uint8_t* data, uint32_t length) {
  static const char hex[] = "0123456789abcdef";
  std::string line = (endpoint & 0x80) ? "IN " : "OUT ";
  line += hex[endpoint >> 4];
  line += hex[endpoint & 15];
  line += ' ';
  line += std::to_string(length);
  if (length == 0) return line;
  line += ' ';
  for (uint32_t i = 0; i < length; i++) {
    uint8_t c = data[i];
    if (c == '\\') {
      line += "\\\\";
    } else if (c >= 0x20 && c <= 0x7e) {
      line += static_cast<char>(c);
    } else {
      line += "\\x";
      line += hex[c >> 4];
      line += hex[c & 15];
    }
  }
  return line;
}

Transcript::~Transcript() {
  if (file_) fclose(file_);
}

bool Transcript::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) fclose(file_);
  file_ = fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void Transcript::Record(uint8_t endpoint, const uint8_t* data, uint32_t length) {
  std::string line = FormatTransfer(endpoint, data, length);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  fprintf(file_, "%s\n", line.c_str());
  fflush(file_);
}

}  // namespace kv30sim
