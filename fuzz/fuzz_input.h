// Helpers shared by the fuzz targets: reading an input as a sequence of
// pieces, and keeping the program's messages off the fuzzer's output.
#ifndef VELKOR_FUZZ_FUZZ_INPUT_H
#define VELKOR_FUZZ_FUZZ_INPUT_H

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace fuzzinput {

// An input read from the front.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  // The next byte, 0 past the end.
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // A piece: a two-byte little-endian length (taken modulo limit + 1), then
  // that many bytes, fewer where the input ends.
  std::string Piece(size_t limit) {
    size_t length = Byte();
    length |= static_cast<size_t>(Byte()) << 8;
    length %= limit + 1;
    if (length > size_ - at_) length = size_ - at_;
    std::string piece(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return piece;
  }
  // The rest of the input.
  std::string Rest() {
    std::string rest(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    at_ = size_;
    return rest;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Words as a command line has them: the text cut at each zero byte.
inline std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) {
      if (start < text.size()) words.push_back(text.substr(start));
      return words;
    }
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// Words as writable zero-terminated copies with an argument vector over
// them (ending in a null pointer), as a process's own argv is.
class WritableWords {
 public:
  explicit WritableWords(const std::vector<std::string>& words) {
    for (const std::string& w : words) {
      storage.emplace_back(w.begin(), w.end());
      storage.back().push_back(0);
    }
    for (std::vector<char>& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
  }
  WritableWords(const WritableWords&) = delete;
  WritableWords& operator=(const WritableWords&) = delete;

  int count() const { return static_cast<int>(argv.size() - 1); }

  std::vector<std::vector<char>> storage;
  std::vector<char*> argv;
};

// The program prints to standard output: send that to /dev/null (the fuzzer
// reports on standard error).
inline void QuietStdout() {
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    fflush(stdout);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
}

// Stops the run with a message when an invariant does not hold; the
// fuzzer keeps the input that did it.
#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

}  // namespace fuzzinput

#endif
