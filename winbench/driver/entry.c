/* The test kernel driver: its entry, its dispatch routine, and the control
 * device's own requests. */
#include "winbench/driver/bench.h"

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

static void state_locked(struct winbench_state* state) {
  ULONG i;
  RtlZeroMemory(state, sizeof *state);
  state->serving = bench.server != NULL;
  state->instanceCount = bench.instanceCount;
  state->mode = bench.mode;
  for (i = 0; i < WINBENCH_MAX_INSTANCES; i++) {
    state->pending[i] = bench.pending[i];
    state->pendingTotal += bench.pending[i];
  }
}

static void read_state(struct winbench_state* state) {
  KIRQL irql;
  KeAcquireSpinLock(&bench.lock, &irql);
  state_locked(state);
  KeReleaseSpinLock(&bench.lock, irql);
}

/* Takes the instances away and ends what the server held. */
static void end_server(void) {
  struct winbench_guid interfaceClass;
  ULONG listed;
  KIRQL irql;
  KeAcquireSpinLock(&bench.lock, &irql);
  bench.server = NULL;
  bench.instanceCount = 0;
  bench.generation++;
  listed = bench.listedCount;
  bench.listedCount = 0;
  interfaceClass = bench.interfaceClass;
  KeReleaseSpinLock(&bench.lock, irql);
  bench_end_service();
  bench_unlist(&interfaceClass, listed);
}

static NTSTATUS register_server(PFILE_OBJECT file, const struct winbench_register* request) {
  NTSTATUS status;
  KIRQL irql;
  if (request->instanceCount == 0 || request->instanceCount > WINBENCH_MAX_INSTANCES)
    return STATUS_INVALID_PARAMETER;
  KeAcquireSpinLock(&bench.lock, &irql);
  if (bench.server) {
    KeReleaseSpinLock(&bench.lock, irql);
    return STATUS_DEVICE_BUSY;
  }
  bench.server = file;
  bench.interfaceClass = request->interfaceClass;
  bench.instanceCount = request->instanceCount;
  bench.listedCount = request->instanceCount;
  bench.generation++;
  KeReleaseSpinLock(&bench.lock, irql);

  status = bench_create_instances(request->instanceCount);
  if (NT_SUCCESS(status)) status = bench_list(&request->interfaceClass, request->instanceCount);
  if (!NT_SUCCESS(status)) end_server();
  return status;
}

static BOOLEAN is_server(PFILE_OBJECT file) {
  KIRQL irql;
  BOOLEAN result;
  KeAcquireSpinLock(&bench.lock, &irql);
  result = bench.server == file;
  KeReleaseSpinLock(&bench.lock, irql);
  return result;
}

static NTSTATUS control_request(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  KIRQL irql;
  switch (code) {
    case WINBENCH_IOCTL_REGISTER:
      if (inSize < sizeof(struct winbench_register))
        return bench_complete(irp, STATUS_INVALID_PARAMETER, 0);
      return bench_complete(irp, register_server(stack->FileObject, buffer), 0);
    case WINBENCH_IOCTL_NEXT_REQUEST:
      if (!is_server(stack->FileObject)) return bench_complete(irp, STATUS_ACCESS_DENIED, 0);
      if (outSize < WINBENCH_FETCH_ROOM) return bench_complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      return bench_fetch(irp);
    case WINBENCH_IOCTL_COMPLETE:
      if (!is_server(stack->FileObject)) return bench_complete(irp, STATUS_ACCESS_DENIED, 0);
      return bench_answer(irp);
    case WINBENCH_IOCTL_QUERY:
      if (outSize < sizeof(struct winbench_state))
        return bench_complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      read_state(buffer);
      return bench_complete(irp, STATUS_SUCCESS, sizeof(struct winbench_state));
    case WINBENCH_IOCTL_SET_MODE:
      if (inSize < sizeof(uint32_t)) return bench_complete(irp, STATUS_INVALID_PARAMETER, 0);
      KeAcquireSpinLock(&bench.lock, &irql);
      bench.mode = *(const uint32_t*)buffer;
      KeReleaseSpinLock(&bench.lock, irql);
      return bench_complete(irp, STATUS_SUCCESS, 0);
    case WINBENCH_IOCTL_STOP_SERVER:
      return bench_complete(irp, bench_stop_server(), 0);
    default:
      return bench_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS control_dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
      return control_request(irp);
    case IRP_MJ_READ:
      /* Completes at once: the driver's state. */
      if (stack->Parameters.Read.Length < sizeof(struct winbench_state))
        return bench_complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      read_state(irp->AssociatedIrp.SystemBuffer);
      return bench_complete(irp, STATUS_SUCCESS, sizeof(struct winbench_state));
    case IRP_MJ_WRITE:
      /* Completes at once: the bytes are taken and dropped. */
      return bench_complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      /* The server's handle goes: so do its instances. */
      if (is_server(stack->FileObject)) end_server();
      return bench_complete(irp, STATUS_SUCCESS, 0);
    default: /* create */
      return bench_complete(irp, STATUS_SUCCESS, 0);
  }
}

/* Opens a handle at once: Wine does not wait for a driver to complete an
 * open. The server opens its session when it gets to the notice, before
 * any request of the handle. */
static NTSTATUS instance_create(ULONG index, PIRP irp) {
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
  struct bench_file* file = ExAllocatePoolWithTag(NonPagedPool, sizeof *file, BENCH_TAG);
  KIRQL irql;
  if (!file) return bench_complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlZeroMemory(file, sizeof *file);
  KeAcquireSpinLock(&bench.lock, &irql);
  if (!bench.server || index >= bench.instanceCount) {
    KeReleaseSpinLock(&bench.lock, irql);
    ExFreePoolWithTag(file, BENCH_TAG);
    return bench_complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  if (++bench.nextHandle == 0) ++bench.nextHandle;
  file->handle = bench.nextHandle;
  file->instance = index;
  file->generation = bench.generation;
  file->refs = 1; /* the file object's */
  KeReleaseSpinLock(&bench.lock, irql);
  if (!bench_notify(file, WINBENCH_REQUEST_CREATE)) {
    bench_release_file(file);
    return bench_complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  fileObject->FsContext = file;
  return bench_complete(irp, STATUS_SUCCESS, 0);
}

/* Cleanup, and close when no cleanup came before it: the server ends the
 * handle's session once, withdrawing what it still waits for. */
static NTSTATUS instance_close(PIRP irp, BOOLEAN last) {
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
  struct bench_file* file = fileObject->FsContext;
  BOOLEAN first;
  KIRQL irql;
  if (file) {
    KeAcquireSpinLock(&bench.lock, &irql);
    first = !file->closing;
    file->closing = TRUE;
    KeReleaseSpinLock(&bench.lock, irql);
    if (first) bench_notify(file, WINBENCH_REQUEST_CLOSE);
    if (last) {
      fileObject->FsContext = NULL;
      bench_release_file(file);
    }
  }
  return bench_complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS instance_dispatch(ULONG index, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  struct bench_file* file = stack->FileObject ? stack->FileObject->FsContext : NULL;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      return instance_create(index, irp);
    case IRP_MJ_CLEANUP:
      return instance_close(irp, FALSE);
    case IRP_MJ_CLOSE:
      return instance_close(irp, TRUE);
    case IRP_MJ_READ:
      if (!file) return bench_complete(irp, STATUS_INVALID_HANDLE, 0);
      if (stack->Parameters.Read.Length > WINBENCH_MAX_DATA)
        return bench_complete(irp, STATUS_INVALID_PARAMETER, 0);
      return bench_hold(irp, file, WINBENCH_REQUEST_READ);
    case IRP_MJ_WRITE:
      if (!file) return bench_complete(irp, STATUS_INVALID_HANDLE, 0);
      if (stack->Parameters.Write.Length > WINBENCH_MAX_DATA)
        return bench_complete(irp, STATUS_INVALID_PARAMETER, 0);
      return bench_hold(irp, file, WINBENCH_REQUEST_WRITE);
    case IRP_MJ_DEVICE_CONTROL:
      if (!file) return bench_complete(irp, STATUS_INVALID_HANDLE, 0);
      if (stack->Parameters.DeviceIoControl.InputBufferLength > WINBENCH_MAX_DATA ||
          stack->Parameters.DeviceIoControl.OutputBufferLength > WINBENCH_MAX_DATA)
        return bench_complete(irp, STATUS_INVALID_PARAMETER, 0);
      return bench_hold(irp, file, WINBENCH_REQUEST_CONTROL);
    default:
      return bench_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
  const struct bench_extension* extension = device->DeviceExtension;
  if (extension->kind == BENCH_DEVICE_CONTROL) return control_dispatch(irp);
  return instance_dispatch(extension->index, irp);
}

static VOID NTAPI unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  (void)driver;
  end_server();
  bench_delete_instances();
  RtlInitUnicodeString(&link, WINBENCH_CONTROL_LINK_NAME);
  IoDeleteSymbolicLink(&link);
  if (bench.control) IoDeleteDevice(bench.control);
  bench.control = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNICODE_STRING name, link;
  struct bench_extension* extension;
  NTSTATUS status;
  (void)registryPath;
  bench_queue_init();
  bench.driver = driver;
  RtlInitUnicodeString(&name, WINBENCH_CONTROL_DEVICE_NAME);
  status = IoCreateDevice(driver, sizeof(struct bench_extension), &name, FILE_DEVICE_UNKNOWN, 0,
                          FALSE, &bench.control);
  if (!NT_SUCCESS(status)) return status;
  extension = bench.control->DeviceExtension;
  extension->kind = BENCH_DEVICE_CONTROL;
  extension->index = 0;
  bench.control->Flags |= DO_BUFFERED_IO;
  bench.control->Flags &= ~DO_DEVICE_INITIALIZING;
  RtlInitUnicodeString(&link, WINBENCH_CONTROL_LINK_NAME);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(bench.control);
    bench.control = NULL;
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch;
  driver->MajorFunction[IRP_MJ_READ] = dispatch;
  driver->MajorFunction[IRP_MJ_WRITE] = dispatch;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
  driver->DriverUnload = unload;
  return STATUS_SUCCESS;
}
