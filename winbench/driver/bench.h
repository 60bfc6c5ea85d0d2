/* The test kernel driver's shared state.
 *
 * One control device, through which one user-mode server registers and
 * serves instances, and up to WINBENCH_MAX_INSTANCES instance devices that
 * clients open. Every request of a client handle is held here until the
 * server answers it; the driver keeps no data of the device it stands for.
 *
 * All state below is guarded by `lock`. IRPs are never completed with it
 * held: whoever finishes requests collects them and completes them after
 * releasing it. */
#ifndef VELKOR_WINBENCH_DRIVER_BENCH_H
#define VELKOR_WINBENCH_DRIVER_BENCH_H

#include <ddk/wdm.h>

#include "winbench/protocol.h"

#define BENCH_TAG 0x686e6276u /* 'vbnh' */

enum bench_device_kind { BENCH_DEVICE_CONTROL = 1, BENCH_DEVICE_INSTANCE = 2 };

/* The extension of every device object of the driver. */
struct bench_extension {
  ULONG kind;
  ULONG index; /* instance devices: the instance index */
};

/* A client handle on an instance (the FILE_OBJECT's FsContext). */
struct bench_file {
  ULONG handle; /* its number in the protocol */
  ULONG instance;
  ULONG generation; /* the registration it was opened under */
  LONG refs;        /* the file object and each request or notice for it */
  BOOLEAN closing;  /* the close went to the server */
};

/* A client request held for the server, or a notice for the server. */
struct bench_request {
  LIST_ENTRY link;         /* on the delivery queue or the in-service list */
  ULONG kind;              /* WINBENCH_REQUEST_* */
  ULONG id;                /* requests: their id; CANCEL: the id withdrawn */
  PIRP irp;                /* null for notices */
  struct bench_file* file; /* null for STOP */
  BOOLEAN delivered;       /* handed to the server */
  BOOLEAN cancelSpent;     /* the cancel routine ran and left the IRP to the answer */
  BOOLEAN answered;        /* the answer is kept for a cancel routine that is due */
  NTSTATUS answerStatus;
  ULONG_PTR answerInformation;
};

struct bench_state {
  KSPIN_LOCK lock;
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT control;
  PDEVICE_OBJECT instances[WINBENCH_MAX_INSTANCES];
  PFILE_OBJECT server; /* the registered server's handle, or null */
  struct winbench_guid interfaceClass;
  ULONG instanceCount; /* instances listed and served now */
  ULONG listedCount;   /* instances with links and registry entries */
  ULONG generation;    /* grows with every registration and teardown */
  ULONG mode;          /* WINBENCH_MODE_* */
  ULONG nextId;
  ULONG nextHandle;
  LIST_ENTRY toDeliver;                  /* requests and notices not yet handed over, in order */
  LIST_ENTRY inService;                  /* requests the server holds */
  LIST_ENTRY fetchers;                   /* the server's pending NEXT_REQUEST IRPs */
  ULONG pending[WINBENCH_MAX_INSTANCES]; /* client IRPs held, per instance */
};

extern struct bench_state bench;

/* The NTSTATUS with which a client sees a driver status (0, a Windows error
 * code or a 0xE000xxxx status) through GetLastError. */
NTSTATUS bench_ntstatus(ULONG status);

NTSTATUS bench_complete(PIRP irp, NTSTATUS status, ULONG_PTR information);
/* Completes every IRP on `done` (linked through Tail.Overlay.ListEntry). */
void bench_complete_list(PLIST_ENTRY done);

/* queue.c */
void bench_queue_init(void);
/* Holds a client request (CONTROL, READ, WRITE) for the server; returns
 * what the dispatch routine returns. */
NTSTATUS bench_hold(PIRP irp, struct bench_file* file, ULONG kind);
/* Tells the server that a handle was opened or closed (CREATE, CLOSE);
 * false when the handle's server is gone. */
BOOLEAN bench_notify(struct bench_file* file, ULONG kind);
NTSTATUS bench_fetch(PIRP irp);
NTSTATUS bench_answer(PIRP irp);
NTSTATUS bench_stop_server(void);
/* Ends everything the server held; the caller has made `server` null. */
void bench_end_service(void);
void bench_release_file(struct bench_file* file);

/* listing.c: instance devices, their links and registry entries. Called
 * at PASSIVE_LEVEL without the lock. */
NTSTATUS bench_create_instances(ULONG count);
NTSTATUS bench_list(const struct winbench_guid* interfaceClass, ULONG count);
void bench_unlist(const struct winbench_guid* interfaceClass, ULONG count);
void bench_delete_instances(void);

#endif
