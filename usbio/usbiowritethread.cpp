#include "usbio/usbiothread.h"

CUsbIoWriteThread::CUsbIoWriteThread() {}

CUsbIoWriteThread::~CUsbIoWriteThread() { StopWorkerOnDestruction(); }

void CUsbIoWriteThread::WorkerLoop() { RunTransferLoop(false); }

void CUsbIoWriteThread::CancelTransfers() { AbortEndpoint(); }
