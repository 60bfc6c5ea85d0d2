// Shared pieces of the USB access layer tests: a fixture that registers
// simulated handsets with the driver stand-in, and views of the layer's
// protected state.
#ifndef VELKOR_TESTS_USBIO_USBIO_TEST_UTIL_H
#define VELKOR_TESTS_USBIO_USBIO_TEST_UTIL_H

#include <gtest/gtest.h>
#include <posixplat/testing.h>

#include <memory>
#include <vector>

#include "sim/device.h"
#include "sim/register.h"
#include "usbhandler/kv30ids.h"
#include "usbio/setupapiloader.h"
#include "usbio/usbiodevice.h"
#include "usbio/usbiothread.h"

// Generous bound for waits on other threads; a correct run never gets near it.
constexpr uint32_t kWaitMs = 10000;

// The protected state of a layer class, readable from the tests.
template <typename Base>
class Probe : public Base {
 public:
  using Base::deviceHandle;
  using Base::interfaceDetail;
  using Base::requestOverlapped;
};

class UsbIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    posixplat::Reset();
    setupApi.Unload();
  }
  void TearDown() override {
    // Makes the setup API whole again, so that the lists can be freed.
    posixplat::Reset();
    for (HDEVINFO list : lists_) CUsbIoDevice::FreeInterfaceList(list);
    setupApi.Unload();
  }

  // A handset (or, with other identifiers, a foreign device of the same
  // driver) listed after those added before.
  std::shared_ptr<sim::Device> AddDevice(uint16_t vendor = 0xADDE, uint16_t product = 0xEFBE,
                                         uint8_t configurationValue = 1) {
    auto device = std::make_shared<sim::Device>(vendor, product, configurationValue);
    ids_.push_back(sim::RegisterHandset(device));
    devices_.push_back(device);
    return device;
  }
  int InstanceId(size_t position) const { return ids_.at(position); }

  // The handset class's interface list, freed at the end of the test.
  HDEVINFO List() {
    HDEVINFO list = CUsbIoDevice::BuildInterfaceList(&KV30_INTERFACE_CLASS_GUID);
    if (list != nullptr) lists_.push_back(list);
    return list;
  }

  const GUID* Class() const { return &KV30_INTERFACE_CLASS_GUID; }

 private:
  std::vector<std::shared_ptr<sim::Device>> devices_;
  std::vector<int> ids_;
  std::vector<HDEVINFO> lists_;
};

#endif
