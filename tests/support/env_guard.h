// Restores an environment variable when the test ends.
#ifndef VELKOR_TESTS_SUPPORT_ENV_GUARD_H
#define VELKOR_TESTS_SUPPORT_ENV_GUARD_H

#include <stdlib.h>

#include <string>

class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    const char* v = getenv(name);
    had_ = v != nullptr;
    if (had_) value_ = v;
  }
  ~EnvGuard() {
    if (had_) {
      setenv(name_, value_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  const char* name_;
  bool had_;
  std::string value_;
};

#endif
