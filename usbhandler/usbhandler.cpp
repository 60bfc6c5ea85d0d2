#include "usbhandler/usbhandler.h"

namespace {

const DWORD kReadBufferSize = 4096;
const DWORD kReadBufferCount = 32;
const DWORD kReadErrorLimit = 3;
// Longer than any wait of the protocols, so that only a handset that has
// stopped taking data runs into it.
const DWORD kWriteTimeoutMs = 5000;

}  // namespace

CUsbHandler::CUsbHandler(CUsbCallback* callback)
    : instanceIndex(0), receiving(false), stuck(false), reader(callback), writer() {}

// The writer goes first, then the reader; each closes its endpoint.
CUsbHandler::~CUsbHandler() {}

bool CUsbHandler::StartReceiving() {
  if (receiving) {
    return true;
  }
  if (reader.CreateBuffers(kReadBufferSize, kReadBufferCount)) {
    receiving = reader.LaunchWorker(kReadErrorLimit);
  }
  return receiving;
}

int CUsbHandler::Send(const void* data, int length) {
  // A negative length would become a write of some 4 GB beyond the block.
  if (length < 0 || stuck) {
    return 0;
  }
  DWORD count = static_cast<DWORD>(length);
  DWORD status = writer.WriteBlocking(data, &count, kWriteTimeoutMs);
  if (status == USBIO_STATUS_TIMEOUT) {
    // The write has been withdrawn; a handset that took nothing for this
    // long takes nothing more, and each further write would wait as long.
    stuck = true;
  }
  if (status != 0) {
    return 0;
  }
  return static_cast<int>(count);
}

bool CUsbHandler::IsStuck() const { return stuck; }

void CUsbHandler::Disconnect() {
  if (!receiving) {
    return;
  }
  reader.ShutdownThread();
  reader.DiscardBuffers();
  reader.CloseInstance();
  writer.ShutdownThread();
  writer.CloseInstance();
  receiving = false;
}
