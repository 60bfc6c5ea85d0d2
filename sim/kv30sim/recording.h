// A driver instance that records every successful transfer of the instance
// it wraps in a transcript, for kv30sim's --log.
#ifndef VELKOR_KV30SIM_RECORDING_H
#define VELKOR_KV30SIM_RECORDING_H

#include <memory>

#include "sim/kv30sim/transcript.h"
#include "usbdrv/device.h"

namespace kv30sim {

class RecordingInstance : public usbdrv::Instance {
 public:
  // `transcript` must outlive every session opened here.
  RecordingInstance(std::shared_ptr<usbdrv::Instance> inner, Transcript* transcript)
      : inner_(std::move(inner)), transcript_(transcript) {}
  std::unique_ptr<usbdrv::Session> Open() override;

 private:
  std::shared_ptr<usbdrv::Instance> inner_;
  Transcript* transcript_;
};

}  // namespace kv30sim

#endif
