// The search for the handset among the driver's instances.
#include <string.h>

#include "usbhandler/kv30ids.h"
#include "usbhandler/usbhandler.h"

namespace {

bool IsKv30(const USBIO_DEVICE_DESCRIPTOR& descriptor) {
  for (int i = 0; i < KV30_DEVICE_ID_COUNT; i++) {
    if (descriptor.idVendor == KV30_DEVICE_IDS[i].idVendor &&
        descriptor.idProduct == KV30_DEVICE_IDS[i].idProduct) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool CUsbHandler::Connect(int endpoint) {
  const BYTE inAddress = static_cast<BYTE>((endpoint & 0xFF) | 0x80);
  const BYTE outAddress = static_cast<BYTE>(endpoint & 0xFF);
  const GUID* interfaceClass = &KV30_INTERFACE_CLASS_GUID;

  CUsbIoDevice usbIo;
  HDEVINFO list = CUsbIoDevice::BuildInterfaceList(interfaceClass);
  if (list == nullptr) {
    return false;
  }

  USBIO_DEVICE_DESCRIPTOR usbDeviceDescriptor;
  BYTE configurationValue;
  USBIO_SET_CONFIGURATION usbConfiguration;
  bool found = false;
  bool stop = false;
  instanceIndex = 0;
  while (!found && !stop) {
    memset(&usbDeviceDescriptor, 0, sizeof(usbDeviceDescriptor));
    DWORD status = usbIo.OpenInstance(instanceIndex, list, interfaceClass);
    if (status == 0) {
      status = usbIo.ReadDeviceDescriptor(&usbDeviceDescriptor);
    }
    if (status != 0) {
      // Normally the end of the list.
      stop = true;
    } else {
      found = IsKv30(usbDeviceDescriptor);
    }

    configurationValue = 0;
    if (found && usbIo.QueryConfigurationValue(&configurationValue) != 0) {
      found = false;
    }
    if (found && configurationValue == 0) {
      // Unconfigured: select the first configuration with one interface.
      memset(&usbConfiguration, 0, sizeof(usbConfiguration));
      usbConfiguration.configurationIndex = 0;
      usbConfiguration.interfaceCount = 1;
      usbConfiguration.interfaces[0].interfaceNumber = 0;
      usbConfiguration.interfaces[0].alternateSetting = 0;
      usbConfiguration.interfaces[0].maximumTransferSize = 4096;
      if (usbIo.ApplyConfiguration(&usbConfiguration) != 0) {
        found = false;
      }
    }
    if (found) {
      if (reader.AttachEndpoint(instanceIndex, inAddress, list, interfaceClass) != 0) {
        reader.CloseInstance();
        found = false;
      } else if (writer.AttachEndpoint(instanceIndex, outAddress, list, interfaceClass) != 0) {
        writer.CloseInstance();
        reader.CloseInstance();
        found = false;
      }
    }
    usbIo.CloseInstance();
    instanceIndex++;
  }
  usbIo.CloseInstance();
  CUsbIoDevice::FreeInterfaceList(list);
  return found;
}
