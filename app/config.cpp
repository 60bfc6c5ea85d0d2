#include "app/config.h"

#include <stdio.h>

#include "app/configoptions.h"
#include "app/link.h"
#include "app/login.h"
#include "app/textcallback.h"

static int endLink(CUsbHandler* link, int status) {
  closeLink(link);
  return status;
}

int configCommand(int count, char** words) {
  CTextCallback appUsbCallback;
  CUsbHandler* link = openLink(&appUsbCallback, 3);
  if (link == NULL) return 1;

  ConfigRequest request;
  if (parseConfigOptions(count, words, &request) != 0) return endLink(link, 1);
  const ConfigLine& wlan = request.wlan;
  const ConfigLine& phone = request.phone;

  if (shellLogin(request.user, request.password, &appUsbCallback, link) != 1)
    return endLink(link, 2);

  // From here on, a line that a stuck link could not send has no answer to
  // wait for: the step ends at once with its message.
  link->Send(wlan.text, wlan.length);
  if (link->IsStuck() || appUsbCallback.waitFor("ok", 2000, false) != 1) {
    printf("Error: waiting for KV30 answer (config wlan)\n");
    return endLink(link, 2);
  }
  if (request.sendPhone) {
    link->Send(phone.text, phone.length);
    if (link->IsStuck() || appUsbCallback.waitFor("ok", 2000, false) != 1) {
      printf("Error: waiting for KV30 answer (config wlan)\n");
      return endLink(link, 2);
    }
  }
  sendText(link, "config write\r\n");
  if (link->IsStuck() || appUsbCallback.waitFor("ok", 2000, false) != 1) {
    printf("Error: waiting for KV30 answer (config write)\n");
    return endLink(link, 2);
  }
  sendText(link, "config activate\r\n");
  int activated = link->IsStuck() ? 0 : appUsbCallback.waitForEither("ok", "reset needed", 4000);
  if (activated == 2) {
    sendText(link, "reset\r\n");
    printf("ok (reset)\n");
  } else if (activated == 1) {
    sendText(link, "exit\r\n");
    printf("ok\n");
  } else {
    printf("Error: waiting for KV30 answer (config-activate)\n");
    return endLink(link, 2);
  }
  // Gives the last line time to reach the handset before the link closes.
  Sleep(500);
  return endLink(link, 0);
}
