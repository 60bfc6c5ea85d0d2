#include "app/link.h"

#include <stdio.h>
#include <string.h>

CUsbHandler* openLink(CUsbCallback* callback, int endpoint) {
  CUsbHandler* link = new CUsbHandler(callback);
  if (!link->Connect(endpoint)) {
    printf("KV30 not found.");
    delete link;
    return NULL;
  }
  // Its result is not needed: a link that receives nothing shows as waits
  // running out.
  link->StartReceiving();
  return link;
}

void closeLink(CUsbHandler* link) {
  link->Disconnect();
  delete link;
}

void sendText(CUsbHandler* link, const char* text) { link->Send(text, (int)strlen(text)); }
