// The C run-time's thread start function, for POSIX hosts.
#ifndef VELKOR_POSIX_PROCESS_H
#define VELKOR_POSIX_PROCESS_H

#include <stdint.h>

#ifndef __stdcall
#define __stdcall
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Starts a thread running start(arglist). Returns its handle (a kernel object
// that is signalled when the thread ends; close it with CloseHandle), or 0 on
// failure. initflag must be 0 (the thread runs at once).
uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                         void* arglist, unsigned initflag, unsigned* thrdaddr);

#ifdef __cplusplus
}
#endif

#endif
