#include "simwire/codec.h"

#include <cstring>

namespace simwire {
namespace {

// Builds a frame: room for the length prefix first, filled in by Finish.
class Writer {
 public:
  explicit Writer(uint8_t type) {
    bytes_.assign(4, 0);
    bytes_.push_back(type);
  }
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void Bytes(const uint8_t* p, size_t n) { bytes_.insert(bytes_.end(), p, p + n); }
  std::vector<uint8_t> Finish() {
    uint32_t body = static_cast<uint32_t>(bytes_.size() - 4);
    for (int i = 0; i < 4; i++) bytes_[i] = static_cast<uint8_t>(body >> (8 * i));
    return std::move(bytes_);
  }

 private:
  std::vector<uint8_t> bytes_;
};

// Reads fields of a body; every read checks the bounds, and once one fails
// all later ones fail too.
class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool Type(uint8_t type) {
    uint8_t t = 0;
    return U8(&t) && t == type;
  }
  bool U8(uint8_t* v) {
    if (!Need(1)) return false;
    *v = p_[pos_++];
    return true;
  }
  bool U16(uint16_t* v) {
    uint8_t a = 0, b = 0;
    if (!U8(&a) || !U8(&b)) return false;
    *v = static_cast<uint16_t>(a | (b << 8));
    return true;
  }
  bool U32(uint32_t* v) {
    uint16_t a = 0, b = 0;
    if (!U16(&a) || !U16(&b)) return false;
    *v = static_cast<uint32_t>(a) | (static_cast<uint32_t>(b) << 16);
    return true;
  }
  bool Bytes(size_t n, std::vector<uint8_t>* out) {
    if (!Need(n)) return false;
    out->assign(p_ + pos_, p_ + pos_ + n);
    pos_ += n;
    return true;
  }
  bool Bytes(size_t n, uint8_t* out) {
    if (!Need(n)) return false;
    memcpy(out, p_ + pos_, n);
    pos_ += n;
    return true;
  }
  bool End() const { return ok_ && pos_ == n_; }

 private:
  bool Need(size_t n) {
    if (!ok_ || n > n_ - pos_) ok_ = false;
    return ok_;
  }
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace

std::vector<uint8_t> Encode(const Hello& m) {
  Writer w(kHello);
  w.U32(kMagic);
  w.U16(kVersion);
  w.U8(m.mode);
  return w.Finish();
}

std::vector<uint8_t> Encode(const HelloReply& m) {
  Writer w(kHelloReply);
  w.U32(kMagic);
  w.U16(kVersion);
  w.U8(m.opened);
  w.U32(m.interfaceClass.data1);
  w.U16(m.interfaceClass.data2);
  w.U16(m.interfaceClass.data3);
  w.Bytes(m.interfaceClass.data4, sizeof m.interfaceClass.data4);
  w.U16(m.interfaceVersion);
  return w.Finish();
}

std::vector<uint8_t> Encode(const Control& m) {
  Writer w(kControl);
  w.U32(m.id);
  w.U8(m.op);
  switch (m.op) {
    case kGetDescriptor:
      w.U32(m.descriptor.recipient);
      w.U8(m.descriptor.type);
      w.U8(m.descriptor.index);
      w.U16(m.descriptor.language);
      w.U32(m.room);
      break;
    case kSetConfiguration:
      w.U16(m.configuration.configurationIndex);
      w.U16(static_cast<uint16_t>(m.configuration.interfaces.size()));
      for (const usbdrv::InterfaceSetting& entry : m.configuration.interfaces) {
        w.U16(entry.interfaceNumber);
        w.U16(entry.alternateSetting);
        w.U32(entry.maximumTransferSize);
      }
      break;
    case kBindEndpoint:
      w.U8(m.address);
      break;
    default:
      break;
  }
  return w.Finish();
}

std::vector<uint8_t> Encode(const ControlReply& m) {
  Writer w(kControlReply);
  w.U32(m.id);
  w.U8(m.op);
  w.U32(m.status);
  w.U32(static_cast<uint32_t>(m.data.size()));
  w.Bytes(m.data.data(), m.data.size());
  return w.Finish();
}

std::vector<uint8_t> Encode(const Submit& m) {
  Writer w(kSubmit);
  w.U32(m.id);
  w.U8(m.endpoint);
  w.U32(m.length);
  if (!(m.endpoint & 0x80)) w.Bytes(m.data.data(), m.data.size());
  return w.Finish();
}

std::vector<uint8_t> Encode(const Cancel& m) {
  Writer w(kCancel);
  w.U32(m.id);
  return w.Finish();
}

std::vector<uint8_t> Encode(const Abort&) {
  Writer w(kAbort);
  return w.Finish();
}

std::vector<uint8_t> Encode(const Complete& m) {
  Writer w(kComplete);
  w.U32(m.id);
  w.U32(m.status);
  w.U32(m.actual);
  w.Bytes(m.data.data(), m.data.size());
  return w.Finish();
}

static bool Greeting(Reader& r) {
  uint32_t magic = 0;
  uint16_t version = 0;
  return r.U32(&magic) && magic == kMagic && r.U16(&version) && version == kVersion;
}

bool Decode(const uint8_t* body, size_t size, Hello* m) {
  Reader r(body, size);
  return r.Type(kHello) && Greeting(r) && r.U8(&m->mode) && r.End() &&
         (m->mode == kProbe || m->mode == kOpen);
}

bool Decode(const uint8_t* body, size_t size, HelloReply* m) {
  Reader r(body, size);
  return r.Type(kHelloReply) && Greeting(r) && r.U8(&m->opened) &&
         r.U32(&m->interfaceClass.data1) && r.U16(&m->interfaceClass.data2) &&
         r.U16(&m->interfaceClass.data3) &&
         r.Bytes(sizeof m->interfaceClass.data4, m->interfaceClass.data4) &&
         r.U16(&m->interfaceVersion) && r.End() && m->opened <= 1;
}

bool Decode(const uint8_t* body, size_t size, Control* m) {
  Reader r(body, size);
  if (!r.Type(kControl) || !r.U32(&m->id) || !r.U8(&m->op)) return false;
  m->configuration.interfaces.clear();
  switch (m->op) {
    case kGetConfiguration:
      return r.End();
    case kGetDescriptor:
      return r.U32(&m->descriptor.recipient) && r.U8(&m->descriptor.type) &&
             r.U8(&m->descriptor.index) && r.U16(&m->descriptor.language) && r.U32(&m->room) &&
             r.End() && m->room <= kMaxData;
    case kSetConfiguration: {
      uint16_t count = 0;
      if (!r.U16(&m->configuration.configurationIndex) || !r.U16(&count) ||
          count > USBDRV_MAX_INTERFACE_ENTRIES)
        return false;
      for (uint16_t i = 0; i < count; i++) {
        usbdrv::InterfaceSetting entry;
        if (!r.U16(&entry.interfaceNumber) || !r.U16(&entry.alternateSetting) ||
            !r.U32(&entry.maximumTransferSize))
          return false;
        m->configuration.interfaces.push_back(entry);
      }
      return r.End();
    }
    case kBindEndpoint:
      return r.U8(&m->address) && r.End();
    default:
      return false;
  }
}

bool Decode(const uint8_t* body, size_t size, uint8_t expectedOp, uint32_t room, ControlReply* m) {
  Reader r(body, size);
  uint32_t n = 0;
  if (!r.Type(kControlReply) || !r.U32(&m->id) || !r.U8(&m->op) || !r.U32(&m->status) ||
      !r.U32(&n) || m->op != expectedOp)
    return false;
  uint32_t most = 0;
  switch (m->op) {
    case kGetDescriptor:
      most = room;
      break;
    case kGetConfiguration:
      most = 1;
      break;
    default:
      most = 0;
      break;
  }
  return n <= most && r.Bytes(n, &m->data) && r.End();
}

bool Decode(const uint8_t* body, size_t size, Submit* m) {
  Reader r(body, size);
  if (!r.Type(kSubmit) || !r.U32(&m->id) || !r.U8(&m->endpoint) || !r.U32(&m->length) ||
      m->length > kMaxData)
    return false;
  m->data.clear();
  if (m->endpoint & 0x80) return r.End();
  return r.Bytes(m->length, &m->data) && r.End();
}

bool Decode(const uint8_t* body, size_t size, Cancel* m) {
  Reader r(body, size);
  return r.Type(kCancel) && r.U32(&m->id) && r.End();
}

bool Decode(const uint8_t* body, size_t size, Abort*) {
  Reader r(body, size);
  return r.Type(kAbort) && r.End();
}

bool DecodeCompleteHeader(const uint8_t* body, size_t size, uint32_t* id) {
  Reader r(body, size);
  return r.Type(kComplete) && r.U32(id);
}

bool Decode(const uint8_t* body, size_t size, bool in, uint32_t length, Complete* m) {
  Reader r(body, size);
  if (!r.Type(kComplete) || !r.U32(&m->id) || !r.U32(&m->status) || !r.U32(&m->actual) ||
      m->actual > length)
    return false;
  m->data.clear();
  if (!in) return r.End();
  return r.Bytes(m->actual, &m->data) && r.End();
}

}  // namespace simwire
