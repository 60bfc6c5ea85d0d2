// The console functions of the C run-time and the console-mode calls, on a
// POSIX terminal or on redirected standard streams.
//
// Keys: on a terminal, standard input is put into key mode the first time
// the console is used for keys (SetConsoleMode on standard input, _kbhit or
// _getch): keys arrive one at a time and unechoed, Enter reads as 13 and
// Ctrl-C as the key value 3 (no signal keys, no CR/NL translation). Output
// processing is left as it was. The terminal's previous mode comes back when
// the process ends: at exit, and on every signal that ends a process and can
// be caught (after which the signal takes its own effect, so that the exit
// status still tells it).
// Cursor and function keys, which a terminal sends as escape sequences, read
// as the two values of the Windows console (a lead value 0 or 224, then the
// key code).
//
// Redirected input: keys are the bytes as read. At end of input _kbhit keeps
// reporting no key until nothing has been written with _putch for 500 ms and
// then reports the key value 3 (Ctrl-C), so a terminal loop ends by its own
// Ctrl-C path after the last answer of the other side has been shown.
//
// Console output (_putch) goes to the console, as on Windows, never into a
// redirected standard output: the console is standard output when that is a
// terminal, else the process's controlling terminal. A process with neither
// has no console; its console output goes nowhere and _putch reports EOF, as
// the Windows run-time does without a console.
#include <conio.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <mutex>

#include "kernel.h"

namespace {

const DWORD consoleModeDefault = 7;  // processed, line and echo input
const long long eofQuietMs = 500;
const int escapeWaitMs = 30;

// The console lock: every key and console-write operation holds it.
std::mutex consoleLock;

// Key values read but not yet returned by _getch (guarded by consoleLock).
int pendingKeys[8];
int pendingCount = 0;
bool inputEnded = false;     // standard input reached its end
long long inputEndedAt = 0;  // when that was seen, in ms
DWORD inputMode = consoleModeDefault;

// Terminal state. savedTerminal is written once, before the restore handlers
// are installed, and read-only afterwards (also from a signal handler).
struct termios savedTerminal;
std::atomic<bool> terminalSaved{false};
std::atomic<bool> keyModeOn{false};

std::atomic<long long> lastPutchAt{0};

// The controlling terminal, opened for console output at its first use
// (guarded by consoleLock); -1 when the process has none.
int controllingTerminal = -2;
// A test's replacement of the console (guarded by consoleLock); -1 for none.
int consoleOverride = -1;

// With consoleLock held: where console output goes, or -1.
int consoleOutput() {
  if (consoleOverride >= 0) return consoleOverride;
  if (isatty(STDOUT_FILENO)) return STDOUT_FILENO;
  if (controllingTerminal == -2)
    controllingTerminal = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  return controllingTerminal;
}

long long nowMs() { return posixplat::MonotonicMs(); }

void restoreTerminal() {
  if (keyModeOn.load()) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
}

void restoreAtExit() { restoreTerminal(); }

// The signals whose default action ends the process and which a program
// can catch.
const int restoreSignals[] = {
    SIGTERM,   SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1,   SIGUSR2, SIGALRM, SIGABRT, SIGSEGV,
    SIGBUS,    SIGFPE, SIGILL, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,  SIGTRAP,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// Puts the terminal back and ends the process by the same signal: the
// signal is blocked while this runs, so the raised one takes effect, with its
// default action, as soon as the handler returns. For a fault (SIGSEGV and
// the like) the faulting instruction then runs again and faults again.
void restoreOnSignal(int sig) {
  restoreTerminal();
  signal(sig, SIG_DFL);
  raise(sig);
}

void installRestoreHandlers() {
  atexit(restoreAtExit);
  for (int sig : restoreSignals) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0) continue;
    // A handler or an ignored signal set up by someone else stays as it is.
    if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO)) continue;
    struct sigaction act = {};
    act.sa_handler = restoreOnSignal;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
  }
}

// Switches a terminal on standard input to key mode; caller holds consoleLock.
void enterKeyMode() {
  if (keyModeOn.load() || !isatty(STDIN_FILENO)) return;
  if (!terminalSaved.load()) {
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    terminalSaved.store(true);
    installRestoreHandlers();
  }
  struct termios keys = savedTerminal;
  keys.c_lflag &= ~(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
  keys.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  keyModeOn.store(true);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) keyModeOn.store(false);
}

bool inputReady(int timeoutMs) {
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

// Reads one byte of standard input: 1 read, 0 end of input, -1 nothing yet.
int readByte(unsigned char* byte) {
  ssize_t r;
  do {
    r = read(STDIN_FILENO, byte, 1);
  } while (r < 0 && errno == EINTR);
  if (r == 1) return 1;
  if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return 0;
  return -1;
}

void pushKey(int value) {
  if (pendingCount < (int)(sizeof pendingKeys / sizeof pendingKeys[0]))
    pendingKeys[pendingCount++] = value;
}

struct KeySequence {
  const char* tail;  // what follows ESC
  int lead;
  int code;
};

// Terminal escape sequences of cursor and function keys and their values on
// the Windows console.
const KeySequence keySequences[] = {
    {"[A", 224, 72},  {"[B", 224, 80},  {"[C", 224, 77},  {"[D", 224, 75},    {"[H", 224, 71},
    {"[F", 224, 79},  {"OA", 224, 72},  {"OB", 224, 80},  {"OC", 224, 77},    {"OD", 224, 75},
    {"OH", 224, 71},  {"OF", 224, 79},  {"[1~", 224, 71}, {"[2~", 224, 82},   {"[3~", 224, 83},
    {"[4~", 224, 79}, {"[5~", 224, 73}, {"[6~", 224, 81}, {"OP", 0, 59},      {"OQ", 0, 60},
    {"OR", 0, 61},    {"OS", 0, 62},    {"[15~", 0, 63},  {"[17~", 0, 64},    {"[18~", 0, 65},
    {"[19~", 0, 66},  {"[20~", 0, 67},  {"[21~", 0, 68},  {"[23~", 224, 133}, {"[24~", 224, 134},
};

// After an ESC from a terminal: reads what follows within a short time and
// turns a known key sequence into its two values; anything else stays bytes.
void readEscape() {
  char tail[8];
  int length = 0;
  while (length < (int)sizeof tail - 1 && inputReady(escapeWaitMs)) {
    unsigned char byte;
    if (readByte(&byte) != 1) break;
    tail[length++] = (char)byte;
    tail[length] = 0;
    bool prefix = false;
    for (const KeySequence& k : keySequences) {
      int i = 0;
      while (i < length && k.tail[i] == tail[i]) i++;
      if (i == length) {
        if (k.tail[i] == 0) {
          pushKey(k.lead);
          pushKey(k.code);
          return;
        }
        prefix = true;
      }
    }
    if (!prefix) break;
  }
  pushKey(27);
  for (int i = 0; i < length; i++) pushKey((unsigned char)tail[i]);
}

// Takes in whatever key input is available without blocking; caller holds
// consoleLock.
void pollKeys() {
  if (pendingCount > 0) return;
  bool terminal = isatty(STDIN_FILENO);
  if (terminal) enterKeyMode();
  if (!inputEnded && inputReady(0)) {
    unsigned char byte;
    int r = readByte(&byte);
    if (r == 1) {
      if (terminal && byte == 27)
        readEscape();
      else
        pushKey(byte);
    } else if (r == 0) {
      inputEnded = true;
      inputEndedAt = nowMs();
    }
  }
  if (pendingCount == 0 && inputEnded) {
    long long now = nowMs();
    long long quietSince = lastPutchAt.load();
    if (quietSince < inputEndedAt) quietSince = inputEndedAt;
    if (now - quietSince >= eofQuietMs) pushKey(3);
  }
}

int takeKey() {
  int value = pendingKeys[0];
  pendingCount--;
  for (int i = 0; i < pendingCount; i++) pendingKeys[i] = pendingKeys[i + 1];
  return value;
}

char stdHandles[3];

}  // namespace

extern "C" int _kbhit(void) {
  std::lock_guard<std::mutex> hold(consoleLock);
  pollKeys();
  return pendingCount > 0;
}

extern "C" int _getch(void) {
  for (;;) {
    bool ended;
    {
      std::lock_guard<std::mutex> hold(consoleLock);
      pollKeys();
      if (pendingCount > 0) return takeKey();
      ended = inputEnded;
    }
    // Wait outside the lock so that _putch is never held up.
    if (ended)
      usleep(10000);
    else
      inputReady(50);
  }
}

extern "C" int _putch(int c) {
  std::lock_guard<std::mutex> hold(consoleLock);
  lastPutchAt.store(nowMs());
  const int fd = consoleOutput();
  if (fd < 0) return EOF;
  // When standard output is the console, what printf holds goes first.
  if (fd == STDOUT_FILENO) fflush(stdout);
  unsigned char byte = (unsigned char)c;
  ssize_t r;
  do {
    r = write(fd, &byte, 1);
  } while (r < 0 && errno == EINTR);
  return r == 1 ? c : EOF;
}

namespace posixplat {

void SetConsoleOutput(int fd) {
  std::lock_guard<std::mutex> hold(consoleLock);
  consoleOverride = fd;
}

}  // namespace posixplat

HANDLE WINAPI GetStdHandle(DWORD stdHandle) {
  switch (stdHandle) {
    case STD_INPUT_HANDLE:
      return &stdHandles[0];
    case STD_OUTPUT_HANDLE:
      return &stdHandles[1];
    case STD_ERROR_HANDLE:
      return &stdHandles[2];
    default:
      return INVALID_HANDLE_VALUE;
  }
}

// Standard input on a terminal is a console input: any mode puts it into key
// mode (the key functions read keys one at a time and unechoed whatever the
// mode says, as on Windows). A redirected standard input is no console.
BOOL WINAPI SetConsoleMode(HANDLE consoleHandle, DWORD mode) {
  if (consoleHandle == &stdHandles[0]) {
    if (!isatty(STDIN_FILENO)) return FALSE;
    std::lock_guard<std::mutex> hold(consoleLock);
    enterKeyMode();
    inputMode = mode;
    return TRUE;
  }
  if (consoleHandle == &stdHandles[1]) return isatty(STDOUT_FILENO) ? TRUE : FALSE;
  if (consoleHandle == &stdHandles[2]) return isatty(STDERR_FILENO) ? TRUE : FALSE;
  return FALSE;
}

BOOL WINAPI GetConsoleMode(HANDLE consoleHandle, LPDWORD mode) {
  if (mode == nullptr) return FALSE;
  int fd = consoleHandle == &stdHandles[0]   ? STDIN_FILENO
           : consoleHandle == &stdHandles[1] ? STDOUT_FILENO
           : consoleHandle == &stdHandles[2] ? STDERR_FILENO
                                             : -1;
  if (fd < 0 || !isatty(fd)) return FALSE;
  if (fd == STDIN_FILENO) {
    std::lock_guard<std::mutex> hold(consoleLock);
    *mode = inputMode;
  } else {
    *mode = 3;  // processed output, wrap at end of line
  }
  return TRUE;
}
