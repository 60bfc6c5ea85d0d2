/* The USB kernel driver's requests, records and statuses, as the driver
 * stand-ins (the POSIX platform layer, the Windows test driver and its
 * user-mode server), the simulated handset and the tests see them.
 *
 * velkor's own code keeps its copy of these values in usbio/usbiodefs.h: it
 * is written against the real driver and builds without anything of the test
 * bench. The two copies describe the same driver; tests compare them.
 *
 * Plain C, so that the test kernel driver can include it too. */
#ifndef VELKOR_USBDRV_REQUESTS_H
#define VELKOR_USBDRV_REQUESTS_H

/* Request codes (DeviceIoControl). */
#define USBDRV_REQUEST_DRIVER_INFO 0x8094206Cu       /* out: 12-byte record */
#define USBDRV_REQUEST_GET_DESCRIPTOR 0x80942006u    /* in: 8-byte record; out: descriptor */
#define USBDRV_REQUEST_GET_CONFIGURATION 0x80942018u /* out: 1 byte */
#define USBDRV_REQUEST_SET_CONFIGURATION 0x80942024u /* in: 260-byte record */
#define USBDRV_REQUEST_BIND_ENDPOINT 0x80942078u     /* in: 1 byte, the endpoint address */
#define USBDRV_REQUEST_ABORT_ENDPOINT 0x80942084u    /* no data */

/* Record sizes. */
#define USBDRV_DRIVER_INFO_SIZE 12u
#define USBDRV_DESCRIPTOR_REQUEST_SIZE 8u
#define USBDRV_CONFIGURATION_RECORD_SIZE 260u
#define USBDRV_MAX_INTERFACE_ENTRIES 32u
#define USBDRV_INTERFACE_ENTRY_SIZE 8u

/* The driver interface version velkor works with. */
#define USBDRV_INTERFACE_VERSION 0x0200u

/* Driver statuses (0 is success). */
#define USBDRV_STATUS_NO_MEMORY 0xE0000100u
#define USBDRV_STATUS_FAILED 0xE0001000u
#define USBDRV_STATUS_TIMEOUT 0xE000100Cu
#define USBDRV_STATUS_POWERED_DOWN 0xE000101Bu
#define USBDRV_STATUS_VERSION_MISMATCH 0xE000101Cu
#define USBDRV_STATUS_DEVICE_NOT_FOUND 0xE0001100u
#define USBDRV_STATUS_NOT_OPEN 0xE0001102u
#define USBDRV_STATUS_NO_SUCH_INSTANCE 0xE0001104u
#define USBDRV_STATUS_INVALID_PARAMETER 0xE0001105u

/* Windows error codes a driver answers with. */
#define USBDRV_ERROR_INVALID_FUNCTION 1u
#define USBDRV_ERROR_INVALID_HANDLE 6u
#define USBDRV_ERROR_GEN_FAILURE 31u
#define USBDRV_ERROR_INVALID_PARAMETER 87u
#define USBDRV_ERROR_INSUFFICIENT_BUFFER 122u
#define USBDRV_ERROR_OPERATION_ABORTED 995u
#define USBDRV_ERROR_IO_PENDING 997u
#define USBDRV_ERROR_DEVICE_NOT_CONNECTED 1167u

/* Standard USB descriptor types. */
#define USBDRV_DESCRIPTOR_TYPE_DEVICE 1u
#define USBDRV_DESCRIPTOR_TYPE_CONFIGURATION 2u

#endif
