#include "app/command.h"

#include <stdio.h>
#include <string.h>

#include "app/link.h"
#include "app/textcallback.h"
#include "app/trace.h"

// The line with its CR LF and a terminating zero fits in this.
static const int commandLineSize = 1024;
static const int commandTextMax = commandLineSize - 3;

int commandCommand(int count, char** words) {
  CTextCallback appUsbCallback;
  CUsbHandler* link = openLink(&appUsbCallback, 3);
  if (link == NULL) return 1;

  // Words joined by single blanks; refused before anything is sent when too long.
  size_t textLength = 0;
  for (int i = 0; i < count; i++) textLength += strlen(words[i]) + (i + 1 < count ? 1 : 0);
  if (textLength > (size_t)commandTextMax) {
    printf("velkor: command too long (at most %d characters).\n", commandTextMax);
    closeLink(link);
    return 1;
  }
  char line[commandLineSize];
  int length = 0;
  for (int i = 0; i < count; i++) {
    size_t n = strlen(words[i]);
    memcpy(line + length, words[i], n);
    length += (int)n;
    if (i + 1 < count) line[length++] = ' ';
  }
  line[length++] = '\r';
  line[length++] = '\n';
  line[length] = 0;

  if (traceEnabled) printf("velkor: send <%s>", line);
  // Echo from before the line goes out: the handset may answer before Send
  // returns, and that answer is what the user asked for.
  appUsbCallback.setEcho(true);
  link->Send(line, length);
  // A stuck link sent nothing, so the prompt cannot come back: no wait.
  int status = !link->IsStuck() && appUsbCallback.waitFor("$ ", 2000, true) == 1 ? 0 : 1;
  closeLink(link);
  return status;
}
