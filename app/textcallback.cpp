#include "app/textcallback.h"

#include <stdio.h>
#include <string.h>

#include "app/trace.h"

CTextCallback::CTextCallback()
    : semaphore(CreateSemaphoreA(NULL, 0, semaphoreMax, NULL)),
      writePosition(0),
      readPosition(0),
      echoEnabled(false) {
  memset(response, 0, sizeof response);
}

CTextCallback::~CTextCallback() {
  if (semaphore != NULL) CloseHandle(semaphore);
}

void CTextCallback::onRecv(CUsbIoBuffer* buffer) {
  if (buffer == NULL || buffer->actualLength == 0) return;
  DWORD length = buffer->actualLength;
  DWORD position = writePosition.load(std::memory_order_relaxed);  // only this thread writes it
  if ((unsigned long long)length + 1 > (unsigned long long)(bufferSize - position)) {
    printf("onRecv error: low buffer %i/%i/%i", (int)position, (int)bufferSize, (int)length);
    return;
  }
  char* text = response + position;
  memcpy(text, buffer->dataPtr, length);
  text[length] = 0;
  writePosition.store(position + length + 1, std::memory_order_release);
  if (traceEnabled) printf("onRecv:%s\n", text);
  if (echoEnabled.load(std::memory_order_relaxed)) printf("%s\n", text);
  // Past the maximum the release fails; the text is found all the same.
  ReleaseSemaphore(semaphore, 1, NULL);
}

char* CTextCallback::nextLine() {
  DWORD end = writePosition.load(std::memory_order_acquire);
  if (readPosition >= end) return NULL;
  // The byte before the write position is a terminator, so this stops there
  // at the latest.
  DWORD length = 0;
  while (response[readPosition + length] != 0) length++;
  length++;
  char* line = new char[length + 1];
  memcpy(line, response + readPosition, length);
  line[length] = 0;
  readPosition += length;
  for (DWORD i = 0; i < length; i++)
    if (line[i] == '\r' || line[i] == '\n') line[i] = 0;
  if (traceEnabled) printf("Read:%s.\n", line);
  return line;
}

int CTextCallback::matchLines(const char* first, const char* second) {
  for (;;) {
    char* line = nextLine();
    if (line == NULL) return 0;
    int result = 0;
    if (first != NULL && strcmp(line, first) == 0)
      result = 1;
    else if (second != NULL && strcmp(line, second) == 0)
      result = 2;
    delete[] line;
    if (result != 0) return result;
  }
}

// The remaining time shrinks only after a wait that timed out, then by all
// the time since the start; a wake-up without a match waits again with the
// remaining time unchanged.
int CTextCallback::waitForMatch(const char* first, const char* second, int ms) {
  int result = matchLines(first, second);
  if (result != 0) return result;
  DWORD start = GetTickCount();
  int remaining = ms;
  while (remaining > 0) {
    DWORD outcome = WaitForSingleObject(semaphore, (DWORD)remaining);
    if (outcome == WAIT_OBJECT_0) {
      result = matchLines(first, second);
      if (result != 0) return result;
    } else if (outcome == WAIT_TIMEOUT) {
      remaining -= (int)(GetTickCount() - start);
    } else {
      return -1;
    }
  }
  return 0;
}

void CTextCallback::setEcho(bool echo) { echoEnabled.store(echo, std::memory_order_relaxed); }

int CTextCallback::waitFor(const char* text, int ms, bool echo) {
  setEcho(echo);
  return waitForMatch(text, NULL, ms);
}

int CTextCallback::waitForEither(const char* first, const char* second, int ms) {
  return waitForMatch(first, second, ms);
}
