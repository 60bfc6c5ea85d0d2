/* The test kernel driver's control device: how its user-mode server and the
 * bench's tools talk to it.
 *
 * The driver lists one device interface of the interface class its server
 * registers for each instance the server asks for, and answers nothing on
 * them itself: every request of a client handle (control request, read,
 * write) waits in the driver until the server has fetched it with
 * WINBENCH_IOCTL_NEXT_REQUEST and answered it with WINBENCH_IOCTL_COMPLETE
 * (an inverted call). Opening and closing a handle reach the server as
 * notices, in order with the handle's requests: Wine completes a client's
 * CreateFile without waiting for the driver, so an open cannot fail there.
 * A client's CancelIo reaches the server as a WINBENCH_REQUEST_CANCEL notice
 * for a request it holds.
 *
 * Statuses in answers are those of the USB kernel driver
 * (usbdrv/requests.h): 0, a Windows error code or a 0xE000xxxx driver
 * status; the client's GetLastError shows them unchanged.
 *
 * Plain C; all records are little-endian with 32-bit fields. */
#ifndef VELKOR_WINBENCH_PROTOCOL_H
#define VELKOR_WINBENCH_PROTOCOL_H

#include <stdint.h>

/* The control device, as the driver names it and as user mode opens it. */
#define WINBENCH_CONTROL_DEVICE_NAME L"\\Device\\VelkorBenchControl"
#define WINBENCH_CONTROL_LINK_NAME L"\\??\\VelkorBenchControl"
#define WINBENCH_CONTROL_PATH "\\\\.\\VelkorBenchControl"

/* The service name under which the driver is installed. */
#define WINBENCH_SERVICE_NAME "velkorbench"

/* Instance i is listed as the device ROOT\VELKORBENCH\000i with the device
 * path \\?\root#velkorbench#000i#{class} (lower case). */
#define WINBENCH_MAX_INSTANCES 8u

/* The most data one request carries either way (control input or output,
 * a read, a write); larger requests fail at once with
 * ERROR_INVALID_PARAMETER. */
#define WINBENCH_MAX_DATA 65536u

/* Control device requests: CTL_CODE(FILE_DEVICE_UNKNOWN, function,
 * METHOD_BUFFERED, FILE_ANY_ACCESS). */
#define WINBENCH_IOCTL(function) (0x00220000u | ((uint32_t)(function) << 2))
/* in: winbench_register. The calling handle becomes the server (only one at
 * a time) and the instances appear. Closing that handle takes them away and
 * ends whatever the server still held. */
#define WINBENCH_IOCTL_REGISTER WINBENCH_IOCTL(0x900)
/* Server only. out: at least WINBENCH_FETCH_ROOM bytes. Pends until there
 * is a request or notice to hand over; then hands over, in order, as many
 * of those waiting as fit: records of a winbench_request and its data. */
#define WINBENCH_IOCTL_NEXT_REQUEST WINBENCH_IOCTL(0x901)
/* Server only. in: records of a winbench_completion and its data, one for
 * each request answered. Answers to requests the driver no longer holds
 * (their handle's device was taken away meanwhile) are passed over. */
#define WINBENCH_IOCTL_COMPLETE WINBENCH_IOCTL(0x902)
/* out: winbench_state, at once. Any handle. */
#define WINBENCH_IOCTL_QUERY WINBENCH_IOCTL(0x903)
/* in: uint32_t, WINBENCH_MODE_* flags, at once. Any handle. */
#define WINBENCH_IOCTL_SET_MODE WINBENCH_IOCTL(0x904)
/* Asks the server to end: it is handed a WINBENCH_REQUEST_STOP notice.
 * Fails with ERROR_NOT_READY (STATUS_DEVICE_NOT_READY) when no server is
 * registered. Any handle. */
#define WINBENCH_IOCTL_STOP_SERVER WINBENCH_IOCTL(0x905)

/* Modes. IGNORE_CANCEL: a client's CancelIo (and the cancellation of a
 * process's requests when it ends) has no effect on requests of the
 * instances; they end only when the server answers them, after an abort
 * for instance, or when their handle is closed. */
#define WINBENCH_MODE_IGNORE_CANCEL 0x1u

/* Besides, the control device completes ReadFile and WriteFile at once:
 * a read returns the winbench_state (and fails at once with
 * ERROR_INSUFFICIENT_BUFFER when the buffer is smaller); a write takes its
 * bytes and returns their count. Tests of the Windows API use these as
 * operations that never pend. */

/* Records follow one another, each padded to a multiple of 8 bytes. */
#define WINBENCH_PADDED(size) (((size) + 7u) & ~7u)

struct winbench_guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

struct winbench_register {
  struct winbench_guid interfaceClass;
  uint32_t instanceCount; /* 1 to WINBENCH_MAX_INSTANCES */
};

struct winbench_state {
  uint32_t serving;                         /* 1 while a server is registered */
  uint32_t instanceCount;                   /* instances listed now */
  uint32_t mode;                            /* WINBENCH_MODE_* */
  uint32_t pendingTotal;                    /* requests of client handles not yet completed */
  uint32_t pending[WINBENCH_MAX_INSTANCES]; /* the same per instance */
};

/* Kinds of what WINBENCH_IOCTL_NEXT_REQUEST hands over. */
#define WINBENCH_REQUEST_CREATE 1u  /* notice: a client opened the instance (a new handle) */
#define WINBENCH_REQUEST_CLOSE 2u   /* notice: the handle is closed; withdraw what it waits for */
#define WINBENCH_REQUEST_CONTROL 3u /* DeviceIoControl */
#define WINBENCH_REQUEST_READ 4u    /* ReadFile of outputLength bytes */
#define WINBENCH_REQUEST_WRITE 5u   /* WriteFile of the inputLength bytes that follow */
#define WINBENCH_REQUEST_CANCEL 6u  /* notice: the client withdraws request `id` */
#define WINBENCH_REQUEST_STOP 7u    /* notice: the server is asked to end */

struct winbench_request {
  uint32_t kind;
  uint32_t id;           /* answer with this id; CANCEL: the request withdrawn */
  uint32_t handle;       /* the client handle (never 0) the request belongs to */
  uint32_t instance;     /* its instance index */
  uint32_t code;         /* CONTROL: the request code */
  uint32_t inputLength;  /* bytes following this record */
  uint32_t outputLength; /* CONTROL: room for output; READ: bytes asked for */
  uint32_t reserved;
};

/* The room a fetch must offer: the largest record. */
#define WINBENCH_FETCH_ROOM (sizeof(struct winbench_request) + WINBENCH_MAX_DATA)

/* CONTROL, READ and WRITE are answered once each; the notices are not
 * answered. */
struct winbench_completion {
  uint32_t id;
  uint32_t status; /* 0, a Windows error code or a driver status */
  /* The bytes moved: READ and CONTROL, those following this record (at
   * most the room asked for); WRITE, the count written. */
  uint32_t length;
  uint32_t dataLength; /* bytes following this record */
};

#endif
