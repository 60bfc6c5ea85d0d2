#include "sim/kv30sim/handset.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "sim/descriptors.h"
#include "sim/kv30sim/recording.h"
#include "sim/loader.h"
#include "sim/shell.h"

namespace kv30sim {
namespace {

// Identifiers of the foreign device --foreign-first lists before the handset.
constexpr uint16_t kForeignVendor = 0x1234;
constexpr uint16_t kForeignProduct = 0x5678;

// Moves a finished temporary file over `path`, so that a reader never sees
// half a file. Where rename does not replace an existing file, the old one
// is removed first.
void Replace(const std::string& temporary, const std::string& path) {
  if (std::rename(temporary.c_str(), path.c_str()) == 0) return;
  std::remove(path.c_str());
  std::rename(temporary.c_str(), path.c_str());
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    if (!out) return;
  }
  Replace(temporary, path);
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) return;
  }
  Replace(temporary, path);
}

// The shell, with its stored settings kept in a file whenever they change.
class SettingsKeeper : public sim::Function {
 public:
  SettingsKeeper(std::shared_ptr<sim::Shell> shell, std::string path)
      : shell_(std::move(shell)), path_(std::move(path)) {
    WriteLines(path_, last_);
  }
  sim::WriteResult OnWrite(const uint8_t* data, uint32_t length, sim::InPipe& in) override {
    sim::WriteResult result = shell_->OnWrite(data, length, in);
    std::vector<std::string> now = shell_->Settings();
    std::lock_guard<std::mutex> lock(mutex_);
    if (now != last_) {
      last_ = now;
      WriteLines(path_, last_);
    }
    return result;
  }

 private:
  std::shared_ptr<sim::Shell> shell_;
  std::string path_;
  std::mutex mutex_;
  std::vector<std::string> last_;
};

std::shared_ptr<sim::Shell> BuildShell(const Options& options) {
  auto shell = std::make_shared<sim::Shell>();
  shell->SetCredentials(options.user, options.password);
  shell->SetLoggedIn(options.loggedIn);
  shell->SetEcho(options.echo);
  shell->SetSilent(options.silent);
  shell->SetSplitPrompt(options.splitPrompt);
  shell->SetNewlineBeforePrompt(options.newlinePrompt);
  shell->SetAnswerDelay(options.answerDelayMs);
  if (!options.withhold.empty()) shell->SetWithheld(options.withhold);
  // "reset needed" then the prompt, whatever was changed.
  if (options.resetNeeded) shell->SetReply("config activate", {"reset needed\r\n", "$ "});
  return shell;
}

// Writes the received image to `path` once for each upload whose image
// arrived whole.
void KeepImage(const std::shared_ptr<sim::Loader>& loader, const std::string& path) {
  auto written = std::make_shared<bool>(false);
  sim::Loader* raw = loader.get();
  loader->SetWriteHook([raw, written, path](uint32_t) {
    const int64_t declared = raw->DeclaredLength();
    if (!raw->HeaderAccepted() || declared < 0) {
      *written = false;
      return;
    }
    // One acknowledgement is owed per started 64 bytes of each write, so
    // until that covers the declared length the image cannot be whole; this
    // spares a copy of the image after every write.
    if (static_cast<int64_t>(raw->AcksOwed()) * 64 < declared) {
      *written = false;
      return;
    }
    std::vector<uint8_t> image = raw->Image();
    if (static_cast<int64_t>(image.size()) != declared) {
      *written = false;
    } else if (!*written) {
      *written = true;
      WriteBytes(path, image);
    }
  });
}

// Stops or ends the whole process, like a handset that hangs or dies, when
// the write it waits for arrives: the write is never taken. Both functions
// share one count of writes.
class Tripwire : public sim::Function {
 public:
  Tripwire(std::shared_ptr<sim::Function> inner, std::shared_ptr<std::atomic<uint32_t>> count,
           uint32_t at, Options::Trip trip, TripAction action)
      : inner_(std::move(inner)), count_(std::move(count)), at_(at), trip_(trip), action_(action) {}
  sim::WriteResult OnWrite(const uint8_t* data, uint32_t length, sim::InPipe& in) override {
    if (count_->fetch_add(1) == at_) action_(trip_);
    return inner_->OnWrite(data, length, in);
  }

 private:
  std::shared_ptr<sim::Function> inner_;
  std::shared_ptr<std::atomic<uint32_t>> count_;
  uint32_t at_;
  Options::Trip trip_;
  TripAction action_;
};

std::shared_ptr<sim::Loader> BuildLoader(const Options& options) {
  auto loader = std::make_shared<sim::Loader>();
  for (uint32_t n : options.dropAcks) loader->DropAck(n);
  for (uint32_t n : options.dupAcks) loader->RepeatAck(n);
  if (options.stall) loader->StallAfter(options.stallAfter);
  loader->SetAckDelay(options.ackDelayMs);
  if (options.ignoreHeader) loader->IgnoreHeader();
  for (const auto& pair : options.swappedAcks) loader->SwapAcks(pair.first, pair.second);
  for (uint32_t n : options.lineEndAcks) loader->LineEndOnAck(n);
  for (const auto& replaced : options.replacedAcks)
    loader->ReplaceAck(replaced.first, replaced.second);
  for (const auto& delayed : options.delayedAcks) loader->DelayAck(delayed.first, delayed.second);
  if (!options.image.empty()) KeepImage(loader, options.image);
  return loader;
}

}  // namespace

Handset BuildHandset(const Options& options, Transcript* transcript, TripAction trip) {
  Handset handset;
  auto device = std::make_shared<sim::Device>(sim::kDefaultVendor, sim::kDefaultProduct,
                                              options.unconfigured ? 0 : sim::kConfigurationValue);
  if (options.versionSet) device->SetInterfaceVersion(options.version);
  if (options.failBindIn) {
    device->FailBind(0x83, sim::kStatusFailed);
    device->FailBind(0x87, sim::kStatusFailed);
  }
  if (options.failBindOut) {
    device->FailBind(0x03, sim::kStatusFailed);
    device->FailBind(0x07, sim::kStatusFailed);
  }
  if (options.failSetConfiguration) device->FailSetConfiguration(sim::kStatusFailed);
  for (const uint8_t number : {3, 7}) {
    for (char kind : options.readErrors) {
      device->FailReads(number, 1, kind == 'p' ? sim::kStatusPoweredDown : sim::kStatusFailed);
    }
    if (options.failWrites > 0) device->FailWrites(number, options.failWrites, sim::kStatusFailed);
    if (options.shortWrites > 0) {
      device->ShortWrites(number, options.shortWrites, options.shortWriteMax);
    }
  }
  std::shared_ptr<sim::Shell> shellItself = BuildShell(options);
  std::shared_ptr<sim::Function> shell = shellItself;
  if (!options.settings.empty()) {
    shell = std::make_shared<SettingsKeeper>(shellItself, options.settings);
  }
  std::shared_ptr<sim::Function> loader = BuildLoader(options);
  if (options.trip != Options::kTripNone && trip != nullptr) {
    auto count = std::make_shared<std::atomic<uint32_t>>(0);
    shell = std::make_shared<Tripwire>(shell, count, options.tripWrite, options.trip, trip);
    loader = std::make_shared<Tripwire>(loader, count, options.tripWrite, options.trip, trip);
  }
  device->SetFunction(3, shell);
  device->SetFunction(7, loader);
  handset.device = device;

  if (options.unopenableFirst) {
    handset.unopenable = std::make_shared<sim::Device>();
    handset.unopenable->SetOpenable(false);
    handset.instances.push_back(handset.unopenable);
    handset.names.push_back("closed");
  }
  if (options.foreignFirst) {
    handset.foreign =
        std::make_shared<sim::Device>(kForeignVendor, kForeignProduct, sim::kConfigurationValue);
    handset.instances.push_back(handset.foreign);
    handset.names.push_back("foreign");
  }
  if (transcript != nullptr) {
    handset.instances.push_back(std::make_shared<RecordingInstance>(device, transcript));
  } else {
    handset.instances.push_back(device);
  }
  handset.names.push_back("");
  return handset;
}

}  // namespace kv30sim
