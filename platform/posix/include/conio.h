// The C run-time's console functions, for POSIX hosts.
#ifndef VELKOR_POSIX_CONIO_H
#define VELKOR_POSIX_CONIO_H

#ifdef __cplusplus
extern "C" {
#endif

// Nonzero when a key value is waiting; returns at once.
int _kbhit(void);
// The next key value, not echoed.
int _getch(void);
// Writes one character straight to the console; returns it.
int _putch(int c);

#ifdef __cplusplus
}
#endif

#endif
