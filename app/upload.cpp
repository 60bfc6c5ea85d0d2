#include "app/upload.h"

#include <conio.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "app/ackcallback.h"
#include "app/link.h"
#include "app/trace.h"

namespace {

const int kLoaderEndpoint = 7;
const LONG kAckSemaphoreMax = 16;  // at most 8 acknowledgements are owed at a time
const DWORD kHeaderAckWaitMs = 4000;
const DWORD kDataAckWaitMs = 2000;
const DWORD kChunkPauseMs = 10;
const DWORD kFinalPauseMs = 200;
const DWORD kChunkSize = 512;
const DWORD kAckPiece = 64;               // data bytes covered by one acknowledgement
const long kMaxImageLength = 0x7FFFFFFF;  // the header carries the length as "%i"

const int kStatusDone = 0;
const int kStatusRefused = 1;
const int kStatusFailed = 2;

// Measures the open file and leaves it at its start. False when the length
// cannot be told or does not fit the header's signed 32-bit decimal. Where
// `long` is 32 bits wide, a C library may report the end of a larger file
// wrongly instead of failing, so the measured end is checked to be the end.
bool measureFile(FILE* file, DWORD* length) {
  if (fseek(file, 0, SEEK_END) != 0) return false;
  long end = ftell(file);
  bool fits = end >= 0 && end <= kMaxImageLength && fseek(file, end, SEEK_SET) == 0 &&
              fgetc(file) == EOF && !ferror(file);
  rewind(file);
  if (!fits) return false;
  *length = static_cast<DWORD>(end);
  return true;
}

// Bytes 4 to 7 as a little-endian word: its low 24 bits shifted right by one
// must read 0x48 (byte 4 0x90 or 0x91, bytes 5 and 6 zero, byte 7 free).
bool isFirmwareImage(const BYTE* fileHeader) {
  DWORD word = fileHeader[4] | (fileHeader[5] << 8) | (fileHeader[6] << 16) |
               (static_cast<DWORD>(fileHeader[7]) << 24);
  return ((word & 0x00FFFFFF) >> 1) == 0x48;
}

// Streams the measured, checked file to the loader: the header, then chunks
// of up to 512 bytes, each fully acknowledged before the next one.
int sendImage(CUsbHandler* usbHandler, HANDLE ackSemaphore, FILE* file, DWORD total) {
  DWORD startTick = GetTickCount();
  DWORD sent = 0;
  DWORD acksExpected = 0;
  DWORD acksCounted = 0;
  DWORD remaining = total;

  char header[32];
  snprintf(header, sizeof(header), "%s %i", "! upload ", static_cast<int>(total));
  int headerLength = static_cast<int>(strlen(header)) + 1;
  if (usbHandler->Send(header, headerLength) != headerLength) {
    printf("Error: writing header to USB\n");
    return kStatusFailed;
  }
  if (WaitForSingleObject(ackSemaphore, kHeaderAckWaitMs) != WAIT_OBJECT_0) {
    printf("Error: waiting for ack #0\n");
    return kStatusFailed;
  }

  BYTE data[kChunkSize];
  while (remaining != 0) {
    // Never more than the header announced, even if the file grew meanwhile.
    DWORD wanted = remaining < kChunkSize ? remaining : kChunkSize;
    int n = static_cast<int>(fread(data, 1, wanted, file));
    // A file that shrank reads short; nothing left to read ends the upload.
    int w = n > 0 ? usbHandler->Send(data, n) : 0;
    if (w == 0 || w != n) {
      printf("Error: writing to USB (%i!=%i)\n", w, n);
      return kStatusFailed;
    }
    if (static_cast<DWORD>(n) > remaining) {
      remaining = 0;
    } else {
      remaining -= n;
    }
    sent += w;
    DWORD acks = (w - 1) / kAckPiece + 1;
    acksExpected += acks;
    for (DWORD j = 0; j < acks; j++) {
      if (WaitForSingleObject(ackSemaphore, kDataAckWaitMs) != WAIT_OBJECT_0) {
        printf("Error: waiting for ack #%i\n", static_cast<int>(acksCounted));
        return kStatusFailed;
      }
      acksCounted++;
      if (traceEnabled) {
        printf("sent: (%i) %i/%i %ib [%ib]\n", static_cast<int>(j), static_cast<int>(acksCounted),
               static_cast<int>(acksExpected), static_cast<int>(sent), w);
      }
    }
    Sleep(kChunkPauseMs);
    _putch(13);
    int percent = static_cast<int>(static_cast<uint64_t>(sent) * 100 / total);
    printf("%7.i/%7.i (%3.2i %%) #%6.6i", static_cast<int>(sent), static_cast<int>(total), percent,
           static_cast<int>(acksCounted));
  }

  DWORD elapsed = GetTickCount() - startTick;
  if (traceEnabled) {
    DWORD rate = elapsed != 0 ? static_cast<DWORD>(static_cast<uint64_t>(sent) * 8 / elapsed) : 0;
    printf("\nWritten (%i/%i)p - %ib in %ims (%i kbps)\n", static_cast<int>(acksExpected),
           static_cast<int>(acksCounted), static_cast<int>(sent), static_cast<int>(elapsed),
           static_cast<int>(rate));
  } else {
    printf("\nok\n");
  }
  Sleep(kFinalPauseMs);
  return kStatusDone;
}

// False for what is known not to be a regular file. An image is a regular
// file: opening a FIFO would wait for a writer for ever, and a directory or a
// device has no length to announce. Where the mode cannot be told (a file
// too large for the C run-time's stat), the open and the length check decide.
bool mayBeRegular(int result, const struct stat& mode) {
  return result != 0 || (mode.st_mode & S_IFMT) == S_IFREG;
}

// Opens, measures and checks the file, then sends it.
int uploadFile(CUsbHandler* usbHandler, HANDLE ackSemaphore, const char* fileName) {
  struct stat mode;
  FILE* file = NULL;
  // Looked at before the open, which must not block, and again on the open
  // file, in case the name meanwhile stands for something else.
  if (mayBeRegular(stat(fileName, &mode), mode)) {
    file = fopen(fileName, "rb");
  }
  if (file != NULL && !mayBeRegular(fstat(fileno(file), &mode), mode)) {
    fclose(file);
    file = NULL;
  }
  if (file == NULL) {
    printf("Error opening file '%s'\n", fileName);
    return kStatusRefused;
  }
  int status = kStatusRefused;
  DWORD total = 0;
  if (!measureFile(file, &total) || total < 8) {
    printf("Error file length file '%s'\n", fileName);
  } else {
    BYTE fileHeader[8];
    memset(fileHeader, 0, sizeof(fileHeader));
    size_t got = fread(fileHeader, 1, sizeof(fileHeader), file);  // short: zeros stay
    (void)got;
    rewind(file);
    if (!isFirmwareImage(fileHeader)) {
      printf("Error file '%s' is nor an KV30 firmware file\n", fileName);
    } else {
      status = sendImage(usbHandler, ackSemaphore, file, total);
    }
  }
  fclose(file);
  return status;
}

}  // namespace

// The handset is looked for first, the file only once the link receives.
// Every path after a successful Connect ends the link, failures included, so
// no acknowledgement can reach the callback after the command has returned.
int uploadCommand(const char* fileName) {
  HANDLE ackSemaphore = CreateSemaphoreA(NULL, 0, kAckSemaphoreMax, NULL);
  CAckCallback appUsbCallback(ackSemaphore);
  int status = kStatusRefused;
  CUsbHandler* usbHandler = openLink(&appUsbCallback, kLoaderEndpoint);
  if (usbHandler != NULL) {
    status = uploadFile(usbHandler, ackSemaphore, fileName);
    closeLink(usbHandler);
  }
  if (ackSemaphore != NULL) CloseHandle(ackSemaphore);
  return status;
}
