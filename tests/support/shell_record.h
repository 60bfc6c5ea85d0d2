// The record a test host leaves of what the simulated shell was sent: one
// line per write, its bytes as decimal values separated by spaces, so that
// the test can read it after the host process has ended.
#ifndef VELKOR_TESTS_SUPPORT_SHELL_RECORD_H
#define VELKOR_TESTS_SUPPORT_SHELL_RECORD_H

#include <stdio.h>

#include <string>
#include <vector>

// False when the file cannot be written.
inline bool WriteShellRecord(const char* path, const std::vector<std::string>& writes) {
  FILE* file = fopen(path, "w");
  if (file == nullptr) return false;
  for (const std::string& write : writes) {
    for (size_t k = 0; k < write.size(); k++)
      fprintf(file, "%s%u", k ? " " : "", static_cast<unsigned char>(write[k]));
    fprintf(file, "\n");
  }
  return fclose(file) == 0;
}

#endif
