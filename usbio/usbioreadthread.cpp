#include "usbio/usbiothread.h"

CUsbIoReadThread::CUsbIoReadThread() {}

CUsbIoReadThread::~CUsbIoReadThread() { StopWorkerOnDestruction(); }

void CUsbIoReadThread::WorkerLoop() { RunTransferLoop(true); }

void CUsbIoReadThread::CancelTransfers() { AbortEndpoint(); }
