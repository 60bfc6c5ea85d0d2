#include "tests/support/stdout_capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

StdoutCapture::StdoutCapture() {
  std::string path = ::testing::TempDir() + "velkor-stdout-XXXXXX";
  file = mkstemp(&path[0]);
  if (file < 0) {
    ADD_FAILURE() << "cannot create " << path;
    return;
  }
  unlink(path.c_str());
  fflush(stdout);
  saved = dup(1);
  dup2(file, 1);
}

StdoutCapture::~StdoutCapture() { Finish(); }

std::string StdoutCapture::Finish() {
  std::string text;
  if (file < 0) return text;
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  lseek(file, 0, SEEK_SET);
  char chunk[4096];
  ssize_t n;
  while ((n = read(file, chunk, sizeof(chunk))) > 0) text.append(chunk, n);
  close(file);
  file = -1;
  return text;
}
