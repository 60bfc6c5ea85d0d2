#include "usbhandler/usbcallback.h"

void CUsbCallback::onRecv(CUsbIoBuffer*) {}
