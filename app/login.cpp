#include "app/login.h"

#include <stdio.h>
#include <string.h>

#include "app/link.h"
#include "app/textcallback.h"
#include "app/trace.h"

static const char lineEnd[] = "\r\n";

int shellLogin(const char* user, const char* password, CTextCallback* callback, CUsbHandler* link) {
  // Asks for a fresh prompt a few times: the shell may be busy or logged in.
  int attempt = 0;
  for (;;) {
    if (attempt == 5) {
      printf("Error: waiting for KV30 answer (login-1)\n");
      return 0;
    }
    attempt++;
    sendText(link, lineEnd);
    // A stuck link sent nothing, so nothing can answer: no wait.
    int result = link->IsStuck() ? 0 : callback->waitForEither("user: ", "$ ", 400);
    if (result == 1) break;
    if (result == 2) return 1;
    if (result != 0) {
      printf("Error: waiting for KV30 answer (login-1)\n");
      return 0;
    }
  }
  sendText(link, user);
  sendText(link, lineEnd);
  if (link->IsStuck() || callback->waitFor("password: ", 2000, false) != 1) {
    printf("Error: waiting for KV30 answer (login-2)\n");
    return 0;
  }
  sendText(link, password);
  sendText(link, lineEnd);
  if (link->IsStuck() || callback->waitFor("$ ", 4000, false) != 1) {
    printf("Error: waiting for KV30 answer (login-3)\n");
    return 0;
  }
  return 1;
}

void splitLoginValue(char* value, const char** user, const char** password) {
  *user = value;
  *password = "";
  char* comma = strchr(value, ',');
  if (comma != NULL) {
    *comma = 0;
    *password = comma + 1;
  }
}

int loginCommand(int count, char** words) {
  CTextCallback appUsbCallback;
  CUsbHandler* link = openLink(&appUsbCallback, 3);
  if (link == NULL) return 1;

  const char* user = "admin";
  const char* password = "kv30";
  if (count >= 2 && strcmp(words[1], "/login") == 0) {
    if (count >= 3) {
      splitLoginValue(words[2], &user, &password);
      if (traceEnabled) printf("velkor: using login (%s,%s)\n", user, password);
    } else {
      printf("velkor: missing option to %s\n", "/login");
    }
  }

  int status = shellLogin(user, password, &appUsbCallback, link) == 1 ? 0 : 2;
  // Closing the link leaves the shell logged in.
  closeLink(link);
  return status;
}
