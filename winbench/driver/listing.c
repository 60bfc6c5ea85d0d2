/* The instance devices and what makes the setup API list them: a symbolic
 * link per instance and the registry entries of a device interface.
 *
 * Instance i is the device \Device\VelkorBench<i>, reached through the link
 * \??\root#velkorbench#000i#{class}. The link is lower case because the
 * setup API hands out the device path in lower case. The interface entries
 * are volatile, so that a Wine session that ended without taking them away
 * leaves none behind; Control\Linked=1 is what makes the setup API count
 * the interface as present. */
#include "winbench/driver/bench.h"

#define TEXT_ROOM 200

struct text {
  WCHAR buffer[TEXT_ROOM + 1];
  USHORT length; /* characters */
};

static void text_reset(struct text* t) {
  t->length = 0;
  t->buffer[0] = 0;
}

static void text_ascii(struct text* t, const char* s) {
  while (*s && t->length < TEXT_ROOM) t->buffer[t->length++] = (WCHAR)*s++;
  t->buffer[t->length] = 0;
}

static void text_hex(struct text* t, ULONG value, int digits) {
  static const char hex[] = "0123456789abcdef";
  int shift;
  for (shift = (digits - 1) * 4; shift >= 0 && t->length < TEXT_ROOM; shift -= 4)
    t->buffer[t->length++] = (WCHAR)hex[(value >> shift) & 0xF];
  t->buffer[t->length] = 0;
}

/* "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case. */
static void text_guid(struct text* t, const struct winbench_guid* g) {
  int i;
  text_ascii(t, "{");
  text_hex(t, g->data1, 8);
  text_ascii(t, "-");
  text_hex(t, g->data2, 4);
  text_ascii(t, "-");
  text_hex(t, g->data3, 4);
  text_ascii(t, "-");
  text_hex(t, g->data4[0], 2);
  text_hex(t, g->data4[1], 2);
  text_ascii(t, "-");
  for (i = 2; i < 8; i++) text_hex(t, g->data4[i], 2);
  text_ascii(t, "}");
}

/* Instance numbers as the device instance names show them: 0000 to 0007. */
static void text_instance(struct text* t, ULONG index) {
  text_ascii(t, "000");
  text_hex(t, index, 1);
}

static void text_string(struct text* t, UNICODE_STRING* s) {
  s->Buffer = t->buffer;
  s->Length = (USHORT)(t->length * sizeof(WCHAR));
  s->MaximumLength = (USHORT)sizeof t->buffer;
}

static const char kBase[] = "\\Registry\\Machine\\System\\CurrentControlSet";

static void enum_path(struct text* t, ULONG index) {
  text_reset(t);
  text_ascii(t, kBase);
  text_ascii(t, "\\Enum\\ROOT\\VELKORBENCH\\");
  text_instance(t, index);
}

static void class_path(struct text* t, const struct winbench_guid* g) {
  text_reset(t);
  text_ascii(t, kBase);
  text_ascii(t, "\\Control\\DeviceClasses\\");
  text_guid(t, g);
}

static void interface_path(struct text* t, const struct winbench_guid* g, ULONG index) {
  class_path(t, g);
  text_ascii(t, "\\##?#ROOT#VELKORBENCH#");
  text_instance(t, index);
  text_ascii(t, "#");
  text_guid(t, g);
}

static void link_name(struct text* t, const struct winbench_guid* g, ULONG index) {
  text_reset(t);
  text_ascii(t, "\\??\\root#velkorbench#");
  text_instance(t, index);
  text_ascii(t, "#");
  text_guid(t, g);
}

static void device_name(struct text* t, ULONG index) {
  text_reset(t);
  text_ascii(t, "\\Device\\VelkorBench");
  text_hex(t, index, 1);
}

static NTSTATUS create_key(struct text* path, ULONG options, HANDLE* key) {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  ULONG disposition;
  text_string(path, &name);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, options, &disposition);
}

/* Creates (or opens) a key and closes it again. */
static NTSTATUS ensure_key(struct text* path, ULONG options) {
  HANDLE key;
  NTSTATUS status = create_key(path, options, &key);
  if (NT_SUCCESS(status)) ZwClose(key);
  return status;
}

static NTSTATUS set_value(HANDLE key, const char* valueName, ULONG type, const void* data,
                          ULONG size) {
  struct text nameText;
  UNICODE_STRING name;
  text_reset(&nameText);
  text_ascii(&nameText, valueName);
  text_string(&nameText, &name);
  return ZwSetValueKey(key, &name, 0, type, (PVOID)data, size);
}

static NTSTATUS set_text(HANDLE key, const char* valueName, const struct text* value) {
  return set_value(key, valueName, REG_SZ, value->buffer, (value->length + 1) * sizeof(WCHAR));
}

/* Creates a volatile key with one value. */
static NTSTATUS key_with_value(struct text* path, const char* valueName, ULONG type,
                               const void* data, ULONG size) {
  HANDLE key;
  NTSTATUS status = create_key(path, REG_OPTION_VOLATILE, &key);
  if (!NT_SUCCESS(status)) return status;
  status = set_value(key, valueName, type, data, size);
  ZwClose(key);
  return status;
}

static void delete_key(struct text* path) {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  text_string(path, &name);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  if (NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) {
    ZwDeleteKey(key);
    ZwClose(key);
  }
}

NTSTATUS bench_create_instances(ULONG count) {
  ULONG i;
  for (i = 0; i < count; i++) {
    struct text nameText;
    UNICODE_STRING name;
    PDEVICE_OBJECT device;
    struct bench_extension* extension;
    NTSTATUS status;
    if (bench.instances[i]) continue;
    device_name(&nameText, i);
    text_string(&nameText, &name);
    status = IoCreateDevice(bench.driver, sizeof(struct bench_extension), &name,
                            FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    extension = device->DeviceExtension;
    extension->kind = BENCH_DEVICE_INSTANCE;
    extension->index = i;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    bench.instances[i] = device;
  }
  return STATUS_SUCCESS;
}

void bench_delete_instances(void) {
  ULONG i;
  for (i = 0; i < WINBENCH_MAX_INSTANCES; i++) {
    if (bench.instances[i]) IoDeleteDevice(bench.instances[i]);
    bench.instances[i] = NULL;
  }
}

static NTSTATUS list_one(const struct winbench_guid* g, ULONG index) {
  /* The device class of system devices, as the setup API expects one. */
  static const char kSystemClass[] = "{4d36e97d-e325-11ce-bfc1-08002be10318}";
  struct text path, value, target;
  UNICODE_STRING linkString, targetString;
  const ULONG linked = 1;
  HANDLE key;
  NTSTATUS status;

  enum_path(&path, index);
  status = create_key(&path, REG_OPTION_VOLATILE, &key);
  if (!NT_SUCCESS(status)) return status;
  text_reset(&value);
  text_ascii(&value, kSystemClass);
  status = set_text(key, "ClassGUID", &value);
  if (NT_SUCCESS(status)) {
    text_reset(&value);
    text_ascii(&value, "velkor test bench instance ");
    text_hex(&value, index, 1);
    status = set_text(key, "DeviceDesc", &value);
  }
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;

  interface_path(&path, g, index);
  text_reset(&value);
  text_ascii(&value, "ROOT\\VELKORBENCH\\");
  text_instance(&value, index);
  status = key_with_value(&path, "DeviceInstance", REG_SZ, value.buffer,
                          (value.length + 1) * sizeof(WCHAR));
  if (!NT_SUCCESS(status)) return status;

  text_ascii(&path, "\\#");
  link_name(&value, g, index);
  value.buffer[1] = '\\'; /* the user-mode form: \\?\root#... */
  status = key_with_value(&path, "SymbolicLink", REG_SZ, value.buffer,
                          (value.length + 1) * sizeof(WCHAR));
  if (!NT_SUCCESS(status)) return status;

  text_ascii(&path, "\\Control");
  status = key_with_value(&path, "Linked", REG_DWORD, &linked, sizeof linked);
  if (!NT_SUCCESS(status)) return status;

  link_name(&value, g, index);
  text_string(&value, &linkString);
  device_name(&target, index);
  text_string(&target, &targetString);
  IoDeleteSymbolicLink(&linkString);
  return IoCreateSymbolicLink(&linkString, &targetString);
}

NTSTATUS bench_list(const struct winbench_guid* g, ULONG count) {
  struct text path;
  NTSTATUS status;
  ULONG i;
  text_reset(&path);
  text_ascii(&path, kBase);
  text_ascii(&path, "\\Enum\\ROOT");
  status = ensure_key(&path, REG_OPTION_NON_VOLATILE);
  if (NT_SUCCESS(status)) {
    text_ascii(&path, "\\VELKORBENCH");
    status = ensure_key(&path, REG_OPTION_NON_VOLATILE);
  }
  if (NT_SUCCESS(status)) {
    class_path(&path, g);
    status = ensure_key(&path, REG_OPTION_NON_VOLATILE);
  }
  for (i = 0; NT_SUCCESS(status) && i < count; i++) status = list_one(g, i);
  return status;
}

void bench_unlist(const struct winbench_guid* g, ULONG count) {
  ULONG i;
  for (i = 0; i < count; i++) {
    struct text path;
    UNICODE_STRING linkString;
    link_name(&path, g, i);
    text_string(&path, &linkString);
    IoDeleteSymbolicLink(&linkString);
    interface_path(&path, g, i);
    text_ascii(&path, "\\#\\Control");
    delete_key(&path);
    path.length -= 8; /* "\\Control" */
    path.buffer[path.length] = 0;
    delete_key(&path);
    path.length -= 2; /* "\\#" */
    path.buffer[path.length] = 0;
    delete_key(&path);
    enum_path(&path, i);
    delete_key(&path);
  }
}
