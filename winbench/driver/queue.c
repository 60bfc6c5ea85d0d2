/* The requests held for the server: handing them over, their answers,
 * their cancellation, and the end of the service. */
#include "winbench/driver/bench.h"

#include "usbdrv/requests.h"

struct bench_state bench;

void bench_queue_init(void) {
  KeInitializeSpinLock(&bench.lock);
  InitializeListHead(&bench.toDeliver);
  InitializeListHead(&bench.inService);
  InitializeListHead(&bench.fetchers);
}

NTSTATUS bench_ntstatus(ULONG status) {
  if (status == 0) return STATUS_SUCCESS;
  if (status == USBDRV_ERROR_OPERATION_ABORTED) return STATUS_CANCELLED;
  /* Customer statuses reach the client's GetLastError unchanged. */
  if ((status & 0xE0000000u) == 0xE0000000u) return (NTSTATUS)status;
  /* So does a Windows error code wrapped as a Win32 failure status. A
   * pending status is no result: it reads as a general failure. */
  if (status <= 0xFFFFu && status != USBDRV_ERROR_IO_PENDING)
    return (NTSTATUS)(0xC0070000u | status);
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS bench_complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void bench_complete_list(PLIST_ENTRY done) {
  while (!IsListEmpty(done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

static void release_file_locked(struct bench_file* file) {
  if (--file->refs == 0) ExFreePoolWithTag(file, BENCH_TAG);
}

void bench_release_file(struct bench_file* file) {
  KIRQL irql;
  KeAcquireSpinLock(&bench.lock, &irql);
  release_file_locked(file);
  KeReleaseSpinLock(&bench.lock, irql);
}

static ULONG next_id_locked(void) {
  if (++bench.nextId == 0) ++bench.nextId;
  return bench.nextId;
}

static ULONG control_method(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode & 3;
}

static const void* control_input(PIRP irp) {
  if (control_method(irp) == METHOD_NEITHER)
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
  return irp->AssociatedIrp.SystemBuffer;
}

static void* control_output(PIRP irp) {
  switch (control_method(irp)) {
    case METHOD_BUFFERED:
      return irp->AssociatedIrp.SystemBuffer;
    case METHOD_NEITHER:
      return irp->UserBuffer;
    default:
      return irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                             : NULL;
  }
}

/* With the lock held: ends a client request. Its IRP goes on `done`, and
 * the request and its reference to the file go. */
static void finish_locked(struct bench_request* request, NTSTATUS status, ULONG_PTR information,
                          PLIST_ENTRY done) {
  PIRP irp = request->irp;
  struct bench_file* file = request->file;
  bench.pending[file->instance]--;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  InsertTailList(done, &irp->Tail.Overlay.ListEntry);
  release_file_locked(file);
  ExFreePoolWithTag(request, BENCH_TAG);
}

/* With the lock held, the request on no list: ends it with this outcome,
 * unless its cancel routine is due; that one then ends it with the outcome
 * kept here. */
static void conclude_locked(struct bench_request* request, NTSTATUS status, ULONG_PTR information,
                            PLIST_ENTRY done) {
  if (!request->cancelSpent && IoSetCancelRoutine(request->irp, NULL) == NULL) {
    request->answered = TRUE;
    request->answerStatus = status;
    request->answerInformation = information;
    return;
  }
  finish_locked(request, status, information, done);
}

static void free_notice_locked(struct bench_request* notice) {
  if (notice->file) release_file_locked(notice->file);
  ExFreePoolWithTag(notice, BENCH_TAG);
}

static BOOLEAN queue_notice_locked(ULONG kind, ULONG id, struct bench_file* file) {
  struct bench_request* notice = ExAllocatePoolWithTag(NonPagedPool, sizeof *notice, BENCH_TAG);
  if (!notice) return FALSE;
  RtlZeroMemory(notice, sizeof *notice);
  notice->kind = kind;
  notice->id = id;
  notice->file = file;
  if (file) file->refs++;
  InsertTailList(&bench.toDeliver, &notice->link);
  return TRUE;
}

/* What a request carries to the server: its input bytes (control input,
 * write data), or none. */
static const void* message_input(const struct bench_request* request, ULONG* length) {
  PIO_STACK_LOCATION stack;
  const void* input = NULL;
  *length = 0;
  if (!request->irp) return NULL;
  stack = IoGetCurrentIrpStackLocation(request->irp);
  if (request->kind == WINBENCH_REQUEST_CONTROL) {
    *length = stack->Parameters.DeviceIoControl.InputBufferLength;
    input = control_input(request->irp);
  } else if (request->kind == WINBENCH_REQUEST_WRITE) {
    *length = stack->Parameters.Write.Length;
    input = request->irp->AssociatedIrp.SystemBuffer;
  }
  if (!input) *length = 0;
  return input;
}

/* The room a request's record takes. */
static ULONG message_size(const struct bench_request* request) {
  ULONG length;
  message_input(request, &length);
  return WINBENCH_PADDED(sizeof(struct winbench_request) + length);
}

/* Writes what the server is told about a request into `buffer`, which has
 * room for message_size bytes. */
static void build_message(const struct bench_request* request, void* buffer) {
  struct winbench_request* message = buffer;
  ULONG length;
  const void* input = message_input(request, &length);
  RtlZeroMemory(message, sizeof *message);
  message->kind = request->kind;
  message->id = request->id;
  if (request->file) {
    message->handle = request->file->handle;
    message->instance = request->file->instance;
  }
  if (request->irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->irp);
    if (request->kind == WINBENCH_REQUEST_CONTROL) {
      message->code = stack->Parameters.DeviceIoControl.IoControlCode;
      message->outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    } else if (request->kind == WINBENCH_REQUEST_READ) {
      message->outputLength = stack->Parameters.Read.Length;
    }
  }
  message->inputLength = length;
  if (length != 0) RtlCopyMemory(message + 1, input, length);
}

/* With the lock held: moves the queued items that fit into a fetch IRP (at
 * least the first), which goes on `done`. */
static void hand_over_locked(PIRP fetch, PLIST_ENTRY done) {
  UCHAR* out = fetch->AssociatedIrp.SystemBuffer;
  const ULONG room =
      IoGetCurrentIrpStackLocation(fetch)->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG used = 0;
  while (!IsListEmpty(&bench.toDeliver)) {
    struct bench_request* request =
        CONTAINING_RECORD(bench.toDeliver.Flink, struct bench_request, link);
    const ULONG size = message_size(request);
    if (used + size > room) break;
    RemoveEntryList(&request->link);
    build_message(request, out + used);
    used += size;
    if (request->irp) {
      request->delivered = TRUE;
      InsertTailList(&bench.inService, &request->link);
    } else {
      free_notice_locked(request);
    }
  }
  fetch->IoStatus.Status = STATUS_SUCCESS;
  fetch->IoStatus.Information = used;
  InsertTailList(done, &fetch->Tail.Overlay.ListEntry);
}

/* With the lock held: hands queued items to the server's waiting fetches. */
static void pump_locked(PLIST_ENTRY done) {
  PLIST_ENTRY entry = bench.fetchers.Flink;
  while (!IsListEmpty(&bench.toDeliver) && entry != &bench.fetchers) {
    PIRP fetch = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    /* A fetch whose cancel routine is due stays for that routine. */
    if (IoSetCancelRoutine(fetch, NULL) == NULL) continue;
    RemoveEntryList(&fetch->Tail.Overlay.ListEntry);
    hand_over_locked(fetch, done);
  }
}

static VOID NTAPI cancel_request(PDEVICE_OBJECT device, PIRP irp) {
  struct bench_request* request = irp->Tail.Overlay.DriverContext[0];
  LIST_ENTRY done;
  KIRQL irql;
  (void)device;
  InitializeListHead(&done);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&bench.lock, &irql);
  request->cancelSpent = TRUE;
  if (request->answered) {
    finish_locked(request, request->answerStatus, request->answerInformation, &done);
  } else if (bench.mode & WINBENCH_MODE_IGNORE_CANCEL) {
    /* Left as it is: it ends with the server's answer. */
  } else if (!request->delivered) {
    RemoveEntryList(&request->link);
    finish_locked(request, STATUS_CANCELLED, 0, &done);
  } else if (queue_notice_locked(WINBENCH_REQUEST_CANCEL, request->id, request->file)) {
    /* The server withdraws it and answers. */
    pump_locked(&done);
  }
  KeReleaseSpinLock(&bench.lock, irql);
  bench_complete_list(&done);
}

NTSTATUS bench_hold(PIRP irp, struct bench_file* file, ULONG kind) {
  struct bench_request* request = ExAllocatePoolWithTag(NonPagedPool, sizeof *request, BENCH_TAG);
  LIST_ENTRY done;
  KIRQL irql;
  BOOLEAN usable;
  if (!request) return bench_complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlZeroMemory(request, sizeof *request);
  request->kind = kind;
  request->irp = irp;
  request->file = file;
  InitializeListHead(&done);

  KeAcquireSpinLock(&bench.lock, &irql);
  usable = bench.server != NULL && file->generation == bench.generation && !file->closing;
  if (!usable) {
    /* The handle's device is gone: the handset was pulled out. */
    KeReleaseSpinLock(&bench.lock, irql);
    ExFreePoolWithTag(request, BENCH_TAG);
    return bench_complete(irp, bench_ntstatus(USBDRV_ERROR_DEVICE_NOT_CONNECTED), 0);
  }
  request->id = next_id_locked();
  file->refs++;
  bench.pending[file->instance]++;
  irp->Tail.Overlay.DriverContext[0] = request;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, cancel_request);
  if (irp->Cancel && !(bench.mode & WINBENCH_MODE_IGNORE_CANCEL) &&
      IoSetCancelRoutine(irp, NULL) != NULL) {
    /* Withdrawn before it was queued. */
    finish_locked(request, STATUS_CANCELLED, 0, &done);
    KeReleaseSpinLock(&bench.lock, irql);
    bench_complete_list(&done);
    return STATUS_PENDING;
  }
  InsertTailList(&bench.toDeliver, &request->link);
  pump_locked(&done);
  KeReleaseSpinLock(&bench.lock, irql);
  bench_complete_list(&done);
  return STATUS_PENDING;
}

BOOLEAN bench_notify(struct bench_file* file, ULONG kind) {
  LIST_ENTRY done;
  KIRQL irql;
  BOOLEAN sent = FALSE;
  InitializeListHead(&done);
  KeAcquireSpinLock(&bench.lock, &irql);
  if (bench.server != NULL && file->generation == bench.generation &&
      queue_notice_locked(kind, 0, file)) {
    pump_locked(&done);
    sent = TRUE;
  }
  KeReleaseSpinLock(&bench.lock, irql);
  bench_complete_list(&done);
  return sent;
}

static VOID NTAPI cancel_fetch(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql;
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&bench.lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&bench.lock, irql);
  bench_complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS bench_fetch(PIRP irp) {
  LIST_ENTRY done;
  KIRQL irql;
  InitializeListHead(&done);
  KeAcquireSpinLock(&bench.lock, &irql);
  if (!IsListEmpty(&bench.toDeliver)) {
    hand_over_locked(irp, &done);
    KeReleaseSpinLock(&bench.lock, irql);
    bench_complete_list(&done);
    return STATUS_SUCCESS;
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, cancel_fetch);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    KeReleaseSpinLock(&bench.lock, irql);
    bench_complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  InsertTailList(&bench.fetchers, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&bench.lock, irql);
  return STATUS_PENDING;
}

static ULONG smallest(ULONG a, ULONG b) { return a < b ? a : b; }

/* With the lock held: ends the request that `answer` answers, when the
 * driver still holds it; its data follows the record. */
static void answer_locked(const struct winbench_completion* answer, PLIST_ENTRY done) {
  const UCHAR* data = (const UCHAR*)(answer + 1);
  struct bench_request* request = NULL;
  PLIST_ENTRY entry;
  ULONG_PTR information = 0;
  for (entry = bench.inService.Flink; entry != &bench.inService; entry = entry->Flink) {
    struct bench_request* held = CONTAINING_RECORD(entry, struct bench_request, link);
    if (held->id == answer->id) {
      request = held;
      break;
    }
  }
  if (!request) return;
  RemoveEntryList(&request->link);
  {
    PIO_STACK_LOCATION client = IoGetCurrentIrpStackLocation(request->irp);
    ULONG count;
    void* out;
    switch (request->kind) {
      case WINBENCH_REQUEST_READ:
        count =
            smallest(smallest(answer->length, answer->dataLength), client->Parameters.Read.Length);
        if (count != 0) RtlCopyMemory(request->irp->AssociatedIrp.SystemBuffer, data, count);
        information = count;
        break;
      case WINBENCH_REQUEST_CONTROL:
        count = smallest(smallest(answer->length, answer->dataLength),
                         client->Parameters.DeviceIoControl.OutputBufferLength);
        out = control_output(request->irp);
        if (!out) count = 0;
        if (count != 0) RtlCopyMemory(out, data, count);
        information = count;
        break;
      case WINBENCH_REQUEST_WRITE:
        information = smallest(answer->length, client->Parameters.Write.Length);
        break;
      default:
        break;
    }
  }
  conclude_locked(request, bench_ntstatus(answer->status), information, done);
}

NTSTATUS bench_answer(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const UCHAR* records = irp->AssociatedIrp.SystemBuffer;
  ULONG at = 0;
  LIST_ENTRY done;
  KIRQL irql;
  if (records == NULL || size < sizeof(struct winbench_completion))
    return bench_complete(irp, STATUS_INVALID_PARAMETER, 0);
  InitializeListHead(&done);
  KeAcquireSpinLock(&bench.lock, &irql);
  while (size - at >= sizeof(struct winbench_completion)) {
    const struct winbench_completion* answer = (const struct winbench_completion*)(records + at);
    if (answer->dataLength > size - at - sizeof *answer) break; /* a record cut short */
    answer_locked(answer, &done);
    at += WINBENCH_PADDED(sizeof *answer + answer->dataLength);
    if (at > size) break;
  }
  KeReleaseSpinLock(&bench.lock, irql);
  bench_complete_list(&done);
  return bench_complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS bench_stop_server(void) {
  LIST_ENTRY done;
  KIRQL irql;
  NTSTATUS status = STATUS_SUCCESS;
  InitializeListHead(&done);
  KeAcquireSpinLock(&bench.lock, &irql);
  if (!bench.server)
    status = STATUS_DEVICE_NOT_READY;
  else if (!queue_notice_locked(WINBENCH_REQUEST_STOP, 0, NULL))
    status = STATUS_INSUFFICIENT_RESOURCES;
  else
    pump_locked(&done);
  KeReleaseSpinLock(&bench.lock, irql);
  bench_complete_list(&done);
  return status;
}

void bench_end_service(void) {
  const NTSTATUS gone = bench_ntstatus(USBDRV_ERROR_DEVICE_NOT_CONNECTED);
  LIST_ENTRY done;
  PLIST_ENTRY entry;
  KIRQL irql;
  InitializeListHead(&done);
  KeAcquireSpinLock(&bench.lock, &irql);
  while (!IsListEmpty(&bench.toDeliver)) {
    struct bench_request* request =
        CONTAINING_RECORD(RemoveHeadList(&bench.toDeliver), struct bench_request, link);
    if (request->irp)
      conclude_locked(request, gone, 0, &done);
    else
      free_notice_locked(request);
  }
  while (!IsListEmpty(&bench.inService)) {
    struct bench_request* request =
        CONTAINING_RECORD(RemoveHeadList(&bench.inService), struct bench_request, link);
    conclude_locked(request, gone, 0, &done);
  }
  entry = bench.fetchers.Flink;
  while (entry != &bench.fetchers) {
    PIRP fetch = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    if (IoSetCancelRoutine(fetch, NULL) == NULL) continue;
    RemoveEntryList(&fetch->Tail.Overlay.ListEntry);
    fetch->IoStatus.Status = STATUS_CANCELLED;
    fetch->IoStatus.Information = 0;
    InsertTailList(&done, &fetch->Tail.Overlay.ListEntry);
  }
  KeReleaseSpinLock(&bench.lock, irql);
  bench_complete_list(&done);
}
