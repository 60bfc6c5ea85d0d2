// The frame every command that talks to the handset shares: open the link
// on one endpoint number, send on it, end it.
#ifndef VELKOR_APP_LINK_H
#define VELKOR_APP_LINK_H

#include "usbhandler/usbhandler.h"

// Creates a link for the callback, finds the handset on the endpoint number
// and starts receiving. Without a handset it prints "KV30 not found." and
// returns null.
CUsbHandler* openLink(CUsbCallback* callback, int endpoint);
// Stops receiving, closes both endpoints and deletes a link from openLink,
// so that nothing reaches the callback any more.
void closeLink(CUsbHandler* link);
// Sends a text without its terminator; a zero-length block for "".
void sendText(CUsbHandler* link, const char* text);

#endif
