#include "emulated_device.h"

#include <dirent.h>
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <usbdrv/requests.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace usbfs {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

// How a model's transfer status reaches libusb as a URB status.
int UrbStatus(uint32_t status, bool discarded) {
  switch (status) {
    case 0:
      return 0;
    case USBDRV_ERROR_OPERATION_ABORTED:
      // Only a URB that was asked to go reads as cancelled.
      return discarded ? -ENOENT : -EPROTO;
    case USBDRV_ERROR_DEVICE_NOT_CONNECTED:
      return -ESHUTDOWN;
    case USBDRV_STATUS_FAILED:
      return -EPIPE;
    case USBDRV_STATUS_TIMEOUT:
      return -ETIME;
    default:
      return -EPROTO;
  }
}

template <class T>
bool ReadArg(UMockdevIoctlData* arg, T* value) {
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
  if (data == nullptr) return false;
  memcpy(value, data->data, sizeof(T));
  g_object_unref(data);
  return true;
}

}  // namespace

struct ModelSession {
  std::unique_ptr<usbdrv::Session> session;
  int pending = 0;       // transfers not yet completed
  bool retired = false;  // its client is gone: destroyed once nothing is pending
};

struct Urb;

struct Client {
  std::map<uint8_t, std::shared_ptr<ModelSession>> sessions;  // by endpoint address
  std::set<Urb*> inFlight;
  std::deque<Urb*> done;  // finished, waiting to be reaped
  bool claimed = false;
  bool gone = false;
};

// One URB of a client. It goes when the model has completed it and it has
// been reaped or dropped; until then it holds the client's URB record. The
// model works on a buffer of the URB's own: the record is written only on the
// handler thread, when the URB is reaped, since umockdev copies records back
// to the client while it answers their requests.
struct Urb final : usbdrv::Transfer {
  EmulatedDevice::Impl* device = nullptr;
  std::shared_ptr<Client> client;
  std::shared_ptr<ModelSession> session;  // null for a control URB
  UMockdevIoctlData* record = nullptr;
  bool discardRequested = false;
  bool modelDone = false;
  bool finished = false;  // has its final status
  bool released = false;  // reaped, or dropped with its client
  int status = 0;         // the URB's final status and length
  uint32_t actual = 0;
  std::vector<uint8_t> buffer;

  usbdevfs_urb* urb() const { return reinterpret_cast<usbdevfs_urb*>(record->data); }
  void Complete(uint32_t status, uint32_t actual) override;
};

struct EmulatedDevice::Impl {
  Bus* bus = nullptr;
  std::shared_ptr<usbdrv::Instance> model;
  std::string node;
  std::string syspath;
  std::string fifoPath;
  std::string error;
  UMockdevIoctlBase* handler = nullptr;
  std::vector<uint8_t> configurationDescriptor;
  uint8_t configurationValue = 0;  // of the first configuration
  // Serves the device's control requests; used by the handler thread only.
  std::unique_ptr<usbdrv::Session> control;

  mutable std::mutex lock;  // guards everything below
  mutable std::condition_variable changed;
  int fifo = -1;
  bool fifoFull = false;
  bool unplugged = false;
  bool detached = false;  // the ioctl handler is off the node
  bool removed = false;   // the device is off the bus
  std::map<UMockdevIoctlClient*, std::shared_ptr<Client>> clients;
  std::vector<std::shared_ptr<ModelSession>> retired;
  // umockdev objects let go of by other threads: their references are
  // dropped on the handler thread, which umockdev's own work runs on (GLib's
  // reference counts are invisible to ThreadSanitizer).
  std::vector<gpointer> garbage;
  Counts counts;

  // --- with lock held -------------------------------------------------------
  void UpdatePollLocked() {
    if (fifo < 0) return;
    bool reapable = false;
    for (auto& entry : clients) reapable = reapable || !entry.second->done.empty();
    char byte = 0;
    if (reapable && fifoFull) {
      if (read(fifo, &byte, 1) == 1) fifoFull = false;
    } else if (!reapable && !fifoFull) {
      if (write(fifo, &byte, 1) == 1) fifoFull = true;
    }
    changed.notify_all();
  }

  // A URB's last step: freed once completed by the model and reaped/dropped.
  void MaybeFreeLocked(Urb* urb) {
    if (!urb->modelDone || !urb->released) return;
    garbage.push_back(urb->record);
    delete urb;
  }

  void FinishLocked(Urb* urb, int status, uint32_t actual) {
    urb->finished = true;
    urb->client->inFlight.erase(urb);
    if (urb->client->gone) {
      urb->released = true;
      return;
    }
    urb->status = status;
    urb->actual = actual;
    urb->client->done.push_back(urb);
  }

  std::shared_ptr<Client> ClientLocked(UMockdevIoctlClient* id) {
    std::shared_ptr<Client>& client = clients[id];
    if (!client) {
      client = std::make_shared<Client>();
      g_object_ref(id);
    }
    return client;
  }

  bool ClaimedByOtherLocked(const Client* self) const {
    for (auto& entry : clients) {
      if (entry.second.get() != self && entry.second->claimed) return true;
    }
    return false;
  }

  // Model sessions whose client is gone and that have nothing pending; the
  // caller destroys them without the lock.
  std::vector<std::shared_ptr<ModelSession>> TakeRetiredLocked() {
    std::vector<std::shared_ptr<ModelSession>> idle;
    auto keep = std::remove_if(retired.begin(), retired.end(),
                               [](const std::shared_ptr<ModelSession>& s) { return s->pending == 0; });
    for (auto it = keep; it != retired.end(); ++it) idle.push_back(*it);
    retired.erase(keep, retired.end());
    counts.sessions -= static_cast<int>(idle.size());
    return idle;
  }

  // --- the handler thread ---------------------------------------------------
  // On the handler thread (or once it is gone).
  void Sweep() {
    std::vector<std::shared_ptr<ModelSession>> idle;
    std::vector<gpointer> dropped;
    {
      std::lock_guard<std::mutex> guard(lock);
      idle = TakeRetiredLocked();
      dropped.swap(garbage);
      changed.notify_all();
    }
    for (gpointer object : dropped) g_object_unref(object);
    // The model sessions are destroyed here, outside the lock.
  }

  void Answer(UMockdevIoctlClient* client, long result, int error) {
    {
      // The node's readiness must be right before the client's ioctl returns.
      std::lock_guard<std::mutex> guard(lock);
      UpdatePollLocked();
    }
    umockdev_ioctl_client_complete(client, result, error);
  }

  gboolean OnIoctl(UMockdevIoctlClient* client);
  void SubmitUrb(UMockdevIoctlClient* id, UMockdevIoctlData* arg);
  void ControlUrb(UMockdevIoctlClient* id, const std::shared_ptr<Client>& client, Urb* urb);
  void Reap(UMockdevIoctlClient* id, UMockdevIoctlData* arg);
  void Discard(UMockdevIoctlClient* id, UMockdevIoctlData* arg);
  void Claim(UMockdevIoctlClient* id, unsigned interface);
  void SetConfiguration(UMockdevIoctlClient* id, unsigned value);
  void OnVanished(UMockdevIoctlClient* client);
  void OnConnected(UMockdevIoctlClient* id) {
    std::lock_guard<std::mutex> guard(lock);
    ClientLocked(id);
    changed.notify_all();
  }
  // umockdev 0.17 does not say when a client closes its file; it only
  // clears the client's connected flag. Clients found closed are dropped.
  void DropClosedClients() {
    std::vector<UMockdevIoctlClient*> closed;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (auto& entry : clients) {
        if (!umockdev_ioctl_client_get_connected(entry.first)) closed.push_back(entry.first);
      }
    }
    for (UMockdevIoctlClient* id : closed) OnVanished(id);
  }
  void OnComplete(Urb* urb, uint32_t status, uint32_t actual);

  void AbortAll(std::vector<std::shared_ptr<ModelSession>> sessions) {
    for (auto& session : sessions) session->session->AbortEndpoint();
  }
};

void Urb::Complete(uint32_t status, uint32_t actual) { device->OnComplete(this, status, actual); }

void EmulatedDevice::Impl::OnComplete(Urb* urb, uint32_t status, uint32_t actual) {
  std::lock_guard<std::mutex> guard(lock);
  urb->modelDone = true;
  if (urb->session) urb->session->pending--;
  counts.inFlight--;
  if (!urb->finished) FinishLocked(urb, UrbStatus(status, urb->discardRequested), actual);
  MaybeFreeLocked(urb);
  UpdatePollLocked();
}

gboolean EmulatedDevice::Impl::OnIoctl(UMockdevIoctlClient* client) {
  DropClosedClients();
  Sweep();
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  bool gone;
  {
    std::lock_guard<std::mutex> guard(lock);
    gone = unplugged;
  }
  if (gone && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
    Answer(client, -1, ENODEV);
    return TRUE;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
      if (data == nullptr) {
        Answer(client, -1, EFAULT);
        return TRUE;
      }
      const guint32 capabilities = USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      memcpy(data->data, &capabilities, sizeof capabilities);
      g_object_unref(data);
      Answer(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_SUBMITURB:
      SubmitUrb(client, arg);
      return TRUE;
    case USBDEVFS_REAPURB:  // libusb only reaps without waiting
    case USBDEVFS_REAPURBNDELAY:
      Reap(client, arg);
      return TRUE;
    case USBDEVFS_DISCARDURB:
      Discard(client, arg);
      return TRUE;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
      // Both begin with the interface number; no kernel driver is bound.
      unsigned interface = 0;
      if (!ReadArg(arg, &interface)) {
        Answer(client, -1, EFAULT);
      } else {
        Claim(client, interface);
      }
      return TRUE;
    }
    case USBDEVFS_RELEASEINTERFACE: {
      unsigned interface = 0;
      int error = 0;
      {
        std::lock_guard<std::mutex> guard(lock);
        std::shared_ptr<Client> self = ClientLocked(client);
        if (!ReadArg(arg, &interface)) {
          error = EFAULT;
        } else if (interface != 0 || !self->claimed) {
          error = EINVAL;
        } else {
          self->claimed = false;
          counts.claimed = false;
        }
      }
      Answer(client, error == 0 ? 0 : -1, error);
      return TRUE;
    }
    case USBDEVFS_SETCONFIGURATION: {
      unsigned value = 0;
      if (!ReadArg(arg, &value)) {
        Answer(client, -1, EFAULT);
      } else {
        SetConfiguration(client, value);
      }
      return TRUE;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
      Answer(client, 0, 0);
      return TRUE;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      // No kernel driver is bound to the interface.
      Answer(client, -1, ENODATA);
      return TRUE;
    default: {
      std::lock_guard<std::mutex> guard(lock);
      counts.unknownRequests++;
      fprintf(stderr, "usbfs emulation: unknown request 0x%lx on %s\n",
              static_cast<unsigned long>(request), node.c_str());
      return FALSE;  // umockdev answers ENOTTY
    }
  }
}

void EmulatedDevice::Impl::Claim(UMockdevIoctlClient* id, unsigned interface) {
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<Client> self = ClientLocked(id);
    if (interface != 0) {
      error = ENOENT;  // the handset has interface 0 only
    } else if (configurationValue == 0) {
      error = ENOENT;  // unconfigured: no interfaces
    } else if (ClaimedByOtherLocked(self.get())) {
      error = EBUSY;
    } else {
      self->claimed = true;
      counts.claimed = true;
    }
  }
  Answer(id, error == 0 ? 0 : -1, error);
}

void EmulatedDevice::Impl::SetConfiguration(UMockdevIoctlClient* id, unsigned value) {
  bool busy;
  uint8_t wanted;
  {
    std::lock_guard<std::mutex> guard(lock);
    busy = false;
    for (auto& entry : clients) busy = busy || entry.second->claimed;
    wanted = configurationDescriptor.size() > 5 ? configurationDescriptor[5] : 0;
  }
  // The kernel refuses a change while any interface is claimed; the model
  // knows only its first configuration.
  if (busy) return Answer(id, -1, EBUSY);
  if (value != wanted) return Answer(id, -1, EINVAL);
  usbdrv::ConfigurationRequest request;
  request.configurationIndex = 0;
  request.interfaces.push_back({0, 0, 4096});
  if (control->SetConfiguration(request) != 0) return Answer(id, -1, EIO);
  {
    std::lock_guard<std::mutex> guard(lock);
    configurationValue = wanted;
  }
  // libusb reads the active configuration from sysfs.
  umockdev_testbed_set_attribute_int(bus->testbed(), syspath.c_str(), "bConfigurationValue",
                                     wanted);
  Answer(id, 0, 0);
}

void EmulatedDevice::Impl::SubmitUrb(UMockdevIoctlClient* id, UMockdevIoctlData* arg) {
  UMockdevIoctlData* record =
      umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), nullptr);
  if (record == nullptr) return Answer(id, -1, EFAULT);
  auto* raw = reinterpret_cast<usbdevfs_urb*>(record->data);
  if (raw->buffer_length < 0) {
    g_object_unref(record);
    return Answer(id, -1, EINVAL);
  }
  if (raw->buffer_length > 0) {
    // Points the record's buffer at a local copy, written back when the URB
    // is reaped.
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        record, offsetof(struct usbdevfs_urb, buffer), raw->buffer_length, nullptr);
    if (buffer == nullptr) {
      g_object_unref(record);
      return Answer(id, -1, EFAULT);
    }
    g_object_unref(buffer);  // the record keeps it
  }
  auto* urb = new Urb;
  urb->device = this;
  urb->record = record;
  urb->endpoint = raw->endpoint;
  urb->length = static_cast<uint32_t>(raw->buffer_length);
  const uint8_t* bytes = static_cast<const uint8_t*>(raw->buffer);
  urb->buffer.assign(bytes, bytes + urb->length);
  urb->data = urb->buffer.data();

  std::shared_ptr<Client> client;
  std::shared_ptr<ModelSession> session;
  int error = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    client = ClientLocked(id);
    urb->client = client;
    if (raw->type == USBDEVFS_URB_TYPE_CONTROL) {
      if (raw->endpoint != 0 || raw->buffer_length < 8) error = EINVAL;
    } else if (raw->type != USBDEVFS_URB_TYPE_BULK) {
      error = EINVAL;
    } else if (ClaimedByOtherLocked(client.get())) {
      error = EBUSY;
    } else {
      // Using an interface claims it, as the kernel does.
      client->claimed = true;
      counts.claimed = true;
      auto it = client->sessions.find(raw->endpoint);
      if (it != client->sessions.end()) session = it->second;
    }
  }
  if (error != 0) {
    urb->client.reset();
    g_object_unref(record);
    delete urb;
    return Answer(id, -1, error);
  }
  if (raw->type == USBDEVFS_URB_TYPE_CONTROL) return ControlUrb(id, client, urb);

  if (!session) {
    // The client's first URB on this endpoint: a model session bound to it.
    std::unique_ptr<usbdrv::Session> opened = model->Open();
    if (!opened || opened->BindEndpoint(raw->endpoint) != 0) {
      urb->client.reset();
      g_object_unref(record);
      delete urb;
      return Answer(id, -1, opened ? ENOENT : EIO);
    }
    session = std::make_shared<ModelSession>();
    session->session = std::move(opened);
    std::lock_guard<std::mutex> guard(lock);
    client->sessions[raw->endpoint] = session;
    counts.sessions++;
  }
  urb->session = session;
  {
    std::lock_guard<std::mutex> guard(lock);
    client->inFlight.insert(urb);
    session->pending++;
    counts.inFlight++;
    counts.submitted++;
  }
  // The model may complete it at once, from inside Submit.
  session->session->Submit(urb);
  Answer(id, 0, 0);
}

void EmulatedDevice::Impl::ControlUrb(UMockdevIoctlClient* id, const std::shared_ptr<Client>& client,
                                      Urb* urb) {
  usb_ctrlrequest setup;
  memcpy(&setup, urb->data, sizeof setup);
  const uint16_t value = le16toh(setup.wValue);
  const uint16_t index = le16toh(setup.wIndex);
  const uint32_t room = std::min<uint32_t>(le16toh(setup.wLength), urb->length - 8);
  uint8_t* stage = urb->data + 8;
  const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
  const bool standard = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_STANDARD;
  int status = -EPIPE;  // what the device does not know, it stalls
  uint32_t actual = 0;
  if (in && standard && setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
    usbdrv::DescriptorRequest request;
    request.recipient = setup.bRequestType & USB_RECIP_MASK;
    request.type = static_cast<uint8_t>(value >> 8);
    request.index = static_cast<uint8_t>(value);
    request.language = index;
    uint32_t length = room;
    if (control->GetDescriptor(request, stage, &length) == 0) {
      status = 0;
      actual = std::min(length, room);
    }
  } else if (in && standard && setup.bRequest == USB_REQ_GET_CONFIGURATION && room >= 1) {
    if (control->GetConfiguration(stage) == 0) {
      status = 0;
      actual = 1;
    }
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    urb->modelDone = true;
    client->inFlight.insert(urb);
    counts.submitted++;
    FinishLocked(urb, status, actual);
    MaybeFreeLocked(urb);
  }
  Answer(id, 0, 0);
}

void EmulatedDevice::Impl::Reap(UMockdevIoctlClient* id, UMockdevIoctlData* arg) {
  Urb* urb = nullptr;
  bool gone;
  {
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<Client> client = ClientLocked(id);
    if (!client->done.empty()) {
      urb = client->done.front();
      client->done.pop_front();
    }
    gone = unplugged;
  }
  if (urb == nullptr) return Answer(id, -1, gone ? ENODEV : EAGAIN);
  {
    std::lock_guard<std::mutex> guard(lock);
    usbdevfs_urb* raw = urb->urb();
    raw->status = urb->status;
    raw->actual_length = static_cast<int>(urb->actual);
    // What the device sent: a control transfer's data stage follows its
    // 8-byte setup packet.
    const size_t offset = raw->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
    if ((offset != 0 || (raw->endpoint & USB_DIR_IN) != 0) && urb->actual > 0) {
      memcpy(static_cast<uint8_t*>(raw->buffer) + offset, urb->buffer.data() + offset,
             std::min<size_t>(urb->actual, urb->buffer.size() - offset));
    }
  }
  // The argument is a pointer to the client's URB pointer: it is pointed at
  // the URB's record, which is written back to the client with the answer.
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  if (slot != nullptr) {
    umockdev_ioctl_data_set_ptr(slot, 0, urb->record);
    g_object_unref(slot);
  }
  Answer(id, slot != nullptr ? 0 : -1, slot != nullptr ? 0 : EFAULT);
  std::lock_guard<std::mutex> guard(lock);
  urb->released = true;
  MaybeFreeLocked(urb);
}

void EmulatedDevice::Impl::Discard(UMockdevIoctlClient* id, UMockdevIoctlData* arg) {
  gulong address = 0;
  memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
  Urb* found = nullptr;
  std::shared_ptr<ModelSession> session;
  {
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<Client> client = ClientLocked(id);
    for (Urb* urb : client->inFlight) {
      if (urb->record->client_addr == address && !urb->finished) found = urb;
    }
    if (found != nullptr) {
      found->discardRequested = true;
      session = found->session;
      counts.discarded++;
    }
  }
  // A URB that has finished can no longer be discarded.
  if (found == nullptr || !session) return Answer(id, -1, EINVAL);
  // Only the handler thread releases URBs, so `found` stays while the model
  // cancels it (at once or later).
  session->session->Cancel(found);
  Answer(id, 0, 0);
}

void EmulatedDevice::Impl::OnVanished(UMockdevIoctlClient* id) {
  std::vector<std::shared_ptr<ModelSession>> sessions;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto it = clients.find(id);
    if (it == clients.end()) {
      changed.notify_all();
      return;
    }
    std::shared_ptr<Client> client = it->second;
    clients.erase(it);
    garbage.push_back(id);
    client->gone = true;
    if (client->claimed) counts.claimed = ClaimedByOtherLocked(client.get());
    client->claimed = false;
    for (Urb* urb : client->done) {
      urb->released = true;
      MaybeFreeLocked(urb);
    }
    client->done.clear();
    for (Urb* urb : client->inFlight) urb->released = true;  // freed when the model completes
    for (auto& entry : client->sessions) {
      entry.second->retired = true;
      retired.push_back(entry.second);
      sessions.push_back(entry.second);
    }
    client->sessions.clear();
    UpdatePollLocked();
  }
  // A closed usbfs file ends its URBs.
  AbortAll(sessions);
  sessions.clear();
  std::vector<std::shared_ptr<ModelSession>> idle;
  {
    std::lock_guard<std::mutex> guard(lock);
    idle = TakeRetiredLocked();
    changed.notify_all();
  }
}

namespace {

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  return (*static_cast<std::shared_ptr<EmulatedDevice::Impl>*>(data))->OnIoctl(client);
}

void ClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  (*static_cast<std::shared_ptr<EmulatedDevice::Impl>*>(data))->OnConnected(client);
}

void ClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  (*static_cast<std::shared_ptr<EmulatedDevice::Impl>*>(data))->OnVanished(client);
}

void DropImpl(gpointer data, GClosure*) {
  delete static_cast<std::shared_ptr<EmulatedDevice::Impl>*>(data);
}

// The model's descriptors: the device descriptor and the first
// configuration descriptor with everything it holds.
bool ReadDescriptors(usbdrv::Session& session, std::vector<uint8_t>* device,
                     std::vector<uint8_t>* configuration, std::string* error) {
  usbdrv::DescriptorRequest request;
  request.type = USBDRV_DESCRIPTOR_TYPE_DEVICE;
  device->assign(18, 0);
  uint32_t length = 18;
  if (session.GetDescriptor(request, device->data(), &length) != 0 || length != 18) {
    *error = "the model gives no device descriptor";
    return false;
  }
  request.type = USBDRV_DESCRIPTOR_TYPE_CONFIGURATION;
  configuration->assign(9, 0);
  length = 9;
  if (session.GetDescriptor(request, configuration->data(), &length) != 0 || length != 9) {
    *error = "the model gives no configuration descriptor";
    return false;
  }
  const uint32_t total = (*configuration)[2] | ((*configuration)[3] << 8);
  configuration->assign(total, 0);
  length = total;
  if (total < 9 || session.GetDescriptor(request, configuration->data(), &length) != 0 ||
      length != total) {
    *error = "the model's configuration descriptor is incomplete";
    return false;
  }
  return true;
}

}  // namespace

EmulatedDevice::EmulatedDevice(Bus& bus, int busNumber, int address,
                               std::shared_ptr<usbdrv::Instance> model)
    : impl_(std::make_shared<Impl>()) {
  Impl& d = *impl_;
  d.bus = &bus;
  d.model = std::move(model);
  char text[128];
  snprintf(text, sizeof text, "/dev/bus/usb/%03d/%03d", busNumber, address);
  d.node = text;
  snprintf(text, sizeof text, "/sys/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", busNumber,
           busNumber, address);
  d.syspath = text;

  d.control = d.model->Open();
  if (!d.control) {
    d.error = "the model cannot be opened";
    return;
  }
  std::vector<uint8_t> device;
  if (!ReadDescriptors(*d.control, &device, &d.configurationDescriptor, &d.error)) return;
  uint8_t configuration = 0;
  if (d.control->GetConfiguration(&configuration) != 0) {
    d.error = "the model gives no configuration value";
    return;
  }
  d.configurationValue = configuration;

  // The handler must be in place before the device appears.
  d.handler = umockdev_ioctl_base_new();
  g_signal_connect_data(d.handler, "handle-ioctl", G_CALLBACK(HandleIoctl),
                        new std::shared_ptr<Impl>(impl_), DropImpl, GConnectFlags(0));
  g_signal_connect_data(d.handler, "client-connected", G_CALLBACK(ClientConnected),
                        new std::shared_ptr<Impl>(impl_), DropImpl, GConnectFlags(0));
  g_signal_connect_data(d.handler, "client-vanished", G_CALLBACK(ClientVanished),
                        new std::shared_ptr<Impl>(impl_), DropImpl, GConnectFlags(0));
  GError* failure = nullptr;
  if (!umockdev_testbed_attach_ioctl(bus.testbed(), d.node.c_str(), d.handler, &failure)) {
    d.error = std::string("attach_ioctl: ") + (failure ? failure->message : "?");
    if (failure) g_error_free(failure);
    return;
  }

  const uint16_t vendor = device[8] | (device[9] << 8);
  const uint16_t product = device[10] | (device[11] << 8);
  const uint16_t release = device[12] | (device[13] << 8);
  std::vector<uint8_t> descriptors = device;
  descriptors.insert(descriptors.end(), d.configurationDescriptor.begin(),
                     d.configurationDescriptor.end());
  // The kernel shows an unconfigured device's value as an empty line, which
  // libusb 1.0.26 cannot read; 0 means the same to it.
  const std::string configurationText = std::to_string(configuration);
  char head[1024];
  snprintf(head, sizeof head,
           "P: %s\n"
           "N: bus/usb/%03d/%03d\n"
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DRIVER=usb\n"
           "E: DEVNAME=/dev/bus/usb/%03d/%03d\n"
           "E: BUSNUM=%03d\n"
           "E: DEVNUM=%03d\n"
           "E: PRODUCT=%x/%x/%x\n"
           "A: busnum=%d\\n\n"
           "A: devnum=%d\\n\n"
           "A: idVendor=%04x\\n\n"
           "A: idProduct=%04x\\n\n"
           "A: speed=12\\n\n"
           "A: bConfigurationValue=%s\\n\n"
           "A: bNumConfigurations=%d\\n\n",
           d.syspath.c_str() + 4, busNumber, address, busNumber, address, busNumber, address,
           vendor, product, release, busNumber, address, vendor, product,
           configurationText.c_str(), device[17]);
  const std::string description = std::string(head) + "H: descriptors=" + Hex(descriptors) + "\n";
  if (!umockdev_testbed_add_from_string(bus.testbed(), description.c_str(), &failure)) {
    d.error = std::string("add_from_string: ") + (failure ? failure->message : "?");
    if (failure) g_error_free(failure);
    return;
  }

  // The node becomes a one-slot FIFO: full (no POLLOUT) while nothing can be
  // reaped. A plain file is always writable and would make libusb's event
  // thread spin.
  d.fifoPath = bus.RealPath(d.node);
  if (unlink(d.fifoPath.c_str()) != 0 || mkfifo(d.fifoPath.c_str(), 0666) != 0) {
    d.error = "cannot make the node a FIFO: " + std::string(strerror(errno));
    return;
  }
  d.fifo = open(d.fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (d.fifo < 0 || fcntl(d.fifo, F_SETPIPE_SZ, 4096) < 0) {
    d.error = "cannot open the node's FIFO: " + std::string(strerror(errno));
    return;
  }
  std::lock_guard<std::mutex> guard(d.lock);
  d.UpdatePollLocked();
}

EmulatedDevice::~EmulatedDevice() {
  Impl& d = *impl_;
  bool attached;
  bool present;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    attached = d.handler != nullptr && !d.detached;
    present = d.handler != nullptr && !d.removed;
    d.detached = true;
    d.removed = true;
  }
  if (attached) umockdev_testbed_detach_ioctl(d.bus->testbed(), d.node.c_str(), nullptr);
  if (present) umockdev_testbed_remove_device(d.bus->testbed(), d.syspath.c_str());
  // Whatever the clients left: their model transfers end, then their sessions.
  std::vector<std::shared_ptr<ModelSession>> sessions;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    for (auto& entry : d.clients) {
      for (auto& session : entry.second->sessions) sessions.push_back(session.second);
    }
  }
  d.AbortAll(sessions);
  sessions.clear();
  if (d.handler != nullptr) {
    g_signal_handlers_disconnect_matched(d.handler, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                         reinterpret_cast<gpointer>(HandleIoctl), nullptr);
    g_signal_handlers_disconnect_matched(d.handler, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                         reinterpret_cast<gpointer>(ClientConnected), nullptr);
    g_signal_handlers_disconnect_matched(d.handler, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                         reinterpret_cast<gpointer>(ClientVanished), nullptr);
    g_object_unref(d.handler);
  }
  std::vector<std::shared_ptr<ModelSession>> idle;
  std::map<UMockdevIoctlClient*, std::shared_ptr<Client>> clients;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    clients.swap(d.clients);
    for (auto& entry : clients) {
      for (Urb* urb : entry.second->done) {
        urb->released = true;
        d.MaybeFreeLocked(urb);
      }
      entry.second->done.clear();
      for (Urb* urb : entry.second->inFlight) urb->released = true;
      for (auto& session : entry.second->sessions) d.retired.push_back(session.second);
      entry.second->sessions.clear();
      d.garbage.push_back(entry.first);
    }
    idle = d.TakeRetiredLocked();
    if (d.fifo >= 0) close(d.fifo);
    d.fifo = -1;
  }
  idle.clear();
  d.Sweep();
  d.control.reset();
}

const std::string& EmulatedDevice::error() const { return impl_->error; }
const std::string& EmulatedDevice::node() const { return impl_->node; }

void EmulatedDevice::Unplug() {
  Impl& d = *impl_;
  std::vector<std::shared_ptr<ModelSession>> sessions;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    if (d.unplugged) return;
    d.unplugged = true;
    for (auto& entry : d.clients) {
      std::vector<Urb*> inFlight(entry.second->inFlight.begin(), entry.second->inFlight.end());
      for (Urb* urb : inFlight) d.FinishLocked(urb, -ESHUTDOWN, 0);
      for (auto& session : entry.second->sessions) sessions.push_back(session.second);
    }
    // The kernel's usbfs file reports POLLERR once its device is gone. A pipe
    // without a reader does the same: it takes the place of every descriptor
    // of this process open on the node.
    int broken[2];
    if (d.fifo >= 0 && pipe2(broken, O_CLOEXEC) == 0) {
      close(broken[0]);
      DIR* fds = opendir("/proc/self/fd");
      while (dirent* entry = fds != nullptr ? readdir(fds) : nullptr) {
        const int fd = atoi(entry->d_name);
        if (fd <= 2 || fd == d.fifo || fd == broken[1] || fd == dirfd(fds)) continue;
        char link[64];
        char target[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = 0;
        if (d.fifoPath == target) dup2(broken[1], fd);
      }
      if (fds != nullptr) closedir(fds);
      close(broken[1]);
    }
    d.UpdatePollLocked();
  }
  d.AbortAll(sessions);
  umockdev_testbed_uevent(d.bus->testbed(), d.syspath.c_str(), "remove");
  bool attached;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    attached = !d.detached;
    d.detached = true;
    d.removed = true;
  }
  if (attached) umockdev_testbed_detach_ioctl(d.bus->testbed(), d.node.c_str(), nullptr);
  umockdev_testbed_remove_device(d.bus->testbed(), d.syspath.c_str());
}

void EmulatedDevice::RefuseOpen() {
  Impl& d = *impl_;
  bool attached;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    attached = !d.detached;
    d.detached = true;
  }
  // Nothing can reach the handler any more (umockdev would otherwise keep a
  // connection for every refused open).
  if (attached) umockdev_testbed_detach_ioctl(d.bus->testbed(), d.node.c_str(), nullptr);
  // A directory in the node's place: opening it for reading and writing
  // fails for every user, root included.
  unlink(d.fifoPath.c_str());
  mkdir(d.fifoPath.c_str(), 0);
}

EmulatedDevice::Counts EmulatedDevice::counts() const {
  impl_->DropClosedClients();
  std::lock_guard<std::mutex> guard(impl_->lock);
  Counts now = impl_->counts;
  now.clients = static_cast<int>(impl_->clients.size());
  for (auto& entry : impl_->clients) now.unreaped += static_cast<int>(entry.second->done.size());
  return now;
}

bool EmulatedDevice::WaitUntil(const std::function<bool()>& condition, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> guard(impl_->lock);
  while (true) {
    guard.unlock();
    if (condition()) return true;
    guard.lock();
    // Re-tested at least every 50 ms: the condition may depend on more than
    // this device.
    if (impl_->changed.wait_until(guard, std::min(deadline, std::chrono::steady_clock::now() +
                                                               std::chrono::milliseconds(50))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      guard.unlock();
      return condition();
    }
  }
}

}  // namespace usbfs
