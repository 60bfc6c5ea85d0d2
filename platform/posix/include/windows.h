// The subset of the Windows API that velkor uses, for POSIX hosts.
// Types keep the sizes of the 32-bit Windows API where the program's records
// depend on them (DWORD and LONG are 32 bits wide on every host).
#ifndef VELKOR_POSIX_WINDOWS_H
#define VELKOR_POSIX_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define __stdcall
#define CALLBACK

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef char CHAR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef void* HWND;
typedef void* HMODULE;
typedef HMODULE HINSTANCE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef BOOL* LPBOOL;
typedef LONG* LPLONG;
typedef INT_PTR(WINAPI* FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_TOO_MANY_POSTS 298L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_INVALID_USER_BUFFER 1784L

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// The platform keeps a Windows error code or driver status in Internal:
// ERROR_IO_PENDING while the operation runs, then its final status.
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // status of the operation
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define HasOverlappedIoCompleted(overlapped) \
  (__atomic_load_n(&(overlapped)->Internal, __ATOMIC_ACQUIRE) != (ULONG_PTR)ERROR_IO_PENDING)

// A recursive lock, as on Windows. The platform allocates the lock behind
// `impl` in InitializeCriticalSection and frees it in DeleteCriticalSection.
typedef struct _RTL_CRITICAL_SECTION {
  void* impl;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

#ifdef __cplusplus
extern "C" {
#endif

// Files and overlapped I/O.
HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead,
                     LPDWORD numberOfBytesRead, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite,
                      LPDWORD numberOfBytesWritten, LPOVERLAPPED overlapped);
BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                                LPDWORD numberOfBytesTransferred, BOOL wait);
BOOL WINAPI CancelIo(HANDLE file);
BOOL WINAPI CloseHandle(HANDLE object);

// Events, semaphores and waits.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES eventAttributes, BOOL manualReset,
                           BOOL initialState, LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);
HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES semaphoreAttributes, LONG initialCount,
                               LONG maximumCount, LPCSTR name);
BOOL WINAPI ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds);

// Critical sections.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);

// Time, errors, threads.
DWORD WINAPI GetTickCount(void);
void WINAPI Sleep(DWORD milliseconds);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD errorCode);
DWORD WINAPI GetCurrentThreadId(void);

// Console.
HANDLE WINAPI GetStdHandle(DWORD stdHandle);
BOOL WINAPI SetConsoleMode(HANDLE consoleHandle, DWORD mode);
BOOL WINAPI GetConsoleMode(HANDLE consoleHandle, LPDWORD mode);

// Modules.
HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
BOOL WINAPI FreeLibrary(HMODULE module);

// Debugger output.
void WINAPI OutputDebugStringA(LPCSTR outputString);

#ifdef __cplusplus
}
#endif

// Interlocked operations: sequentially consistent, as on Windows.
static inline LONG InterlockedIncrement(LONG volatile* addend) {
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile* addend) {
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange,
                                              LONG comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, 0, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
static inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                                      PVOID comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, 0, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}

#endif
