#include "app/interactive.h"

#include "app/echocallback.h"

#include <conio.h>
#include <stdio.h>
#include <windows.h>

#include "app/link.h"

void CEchoCallback::onRecv(CUsbIoBuffer* buffer) {
  if (buffer == NULL) return;
  unsigned char previous = 0;
  for (DWORD i = 0; i < buffer->actualLength; i++) {
    unsigned char byte = buffer->dataPtr[i];
    if (byte == '\n' && previous != '\r') _putch('\r');
    _putch(byte);
    previous = byte;
  }
}

int interactiveCommand() {
  CEchoCallback appUsbCallback;
  CUsbHandler* link = openLink(&appUsbCallback, 3);
  if (link == NULL) return 1;
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), 3);

  link->Send("\r\n", 2);
  unsigned char previous = 0;
  for (;;) {
    if (!_kbhit()) {
      Sleep(200);
      continue;
    }
    unsigned char ch = (unsigned char)_getch();
    if (ch == 3) {
      printf("CTRL-C\n");
      break;
    }
    link->Send(&ch, 1);
    // A line feed on its own goes out as a whole line end.
    if (ch == '\n' && previous != '\r') link->Send("\r\n", 2);
    previous = ch;
  }
  closeLink(link);
  return 0;
}
