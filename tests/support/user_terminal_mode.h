// A terminal mode as a user's shell leaves it: line editing, echo, signal
// keys and CR to NL on input; output without NL to CR NL, so the bytes read
// from the terminal's other side are the bytes the program wrote.
#ifndef VELKOR_TESTS_SUPPORT_USER_TERMINAL_MODE_H
#define VELKOR_TESTS_SUPPORT_USER_TERMINAL_MODE_H

#include <string.h>
#include <termios.h>

inline struct termios UserTerminalMode() {
  struct termios t;
  memset(&t, 0, sizeof t);
  t.c_iflag = ICRNL | IXON | BRKINT;
  t.c_oflag = OPOST;
  t.c_cflag = CS8 | CREAD | CLOCAL | B38400;
  t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  t.c_cc[VINTR] = 3;
  t.c_cc[VQUIT] = 28;
  t.c_cc[VERASE] = 127;
  t.c_cc[VEOF] = 4;
  t.c_cc[VMIN] = 1;
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  return t;
}

#endif
