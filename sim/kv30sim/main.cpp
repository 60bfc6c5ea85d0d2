// kv30sim: a simulated KV30 handset in a process of its own. It publishes the
// handset on a Unix-domain socket in the kv30sim folder, where velkor's driver
// stand-in finds it like a driver instance of a plugged-in handset. The
// handset's state (login, settings, received image) lives here and outlasts
// each velkor run.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "remote/simdir.h"
#include "sim/descriptors.h"
#include "sim/device.h"
#include "sim/kv30sim/options.h"
#include "sim/kv30sim/server.h"
#include "sim/kv30sim/transcript.h"
#include "sim/loader.h"
#include "sim/shell.h"

namespace {

// The interface class of the handset's USB driver.
const GUID kHandsetClass = {
    0x3B7D51E2, 0x9C04, 0x4A6F, {0xB8, 0x12, 0x6E, 0x0D, 0x2C, 0x9F, 0x7A, 0x35}};
// Identifiers of the foreign device --foreign-first lists before the handset.
constexpr uint16_t kForeignVendor = 0x1234;
constexpr uint16_t kForeignProduct = 0x5678;

volatile sig_atomic_t stopFd = -1;

void OnStopSignal(int) {
  int fd = stopFd;
  if (fd >= 0) {
    char c = 1;
    ssize_t r = write(fd, &c, 1);
    (void)r;
  }
}

// Writes `lines` to `path` through a temporary file, so that a reader never
// sees half a file.
void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    if (!out) return;
  }
  rename(temporary.c_str(), path.c_str());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) return;
  }
  rename(temporary.c_str(), path.c_str());
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

int Fail(const std::string& message) {
  fprintf(stderr, "kv30sim: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  kv30sim::Options options;
  std::string error;
  if (!kv30sim::ParseOptions(words, &options, &error)) {
    fprintf(stderr, "kv30sim: %s (see kv30sim --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    fputs(kv30sim::UsageText(), stdout);
    return 0;
  }

  std::string dir = remote::SimDirectory();
  remote::DirCheck check = remote::PrepareDirectory(dir);
  if (check != remote::kDirSafe)
    return Fail(dir + " " + remote::DirCheckText(check) + "; refusing to publish there");

  kv30sim::Transcript transcript;
  if (!options.log.empty() && !transcript.Open(options.log))
    return Fail("cannot write the transcript " + options.log + ": " + strerror(errno));

  // The handset.
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
  if (options.settings.empty())
    device->SetFunction(3, shell);
  else
    device->SetFunction(3, std::make_shared<SettingsKeeper>(shell, options.settings));

  auto loader = std::make_shared<sim::Loader>();
  for (uint32_t n : options.dropAcks) loader->DropAck(n);
  for (uint32_t n : options.dupAcks) loader->RepeatAck(n);
  if (options.stall) loader->StallAfter(options.stallAfter);
  loader->SetAckDelay(options.ackDelayMs);
  if (options.ignoreHeader) loader->IgnoreHeader();
  if (!options.image.empty()) {
    // Written once for each upload whose image arrived whole.
    auto written = std::make_shared<bool>(false);
    std::string path = options.image;
    sim::Loader* raw = loader.get();
    loader->SetWriteHook([raw, written, path](uint32_t) {
      int64_t declared = raw->DeclaredLength();
      if (!raw->HeaderAccepted() || declared < 0) {
        *written = false;
        return;
      }
      // One acknowledgement is owed per started 64 bytes of each write, so
      // until that covers the declared length the image cannot be whole;
      // this spares a copy of the image after every write.
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
  device->SetFunction(7, loader);

  std::shared_ptr<sim::Device> foreign;
  if (options.foreignFirst)
    foreign =
        std::make_shared<sim::Device>(kForeignVendor, kForeignProduct, sim::kConfigurationValue);

  signal(SIGPIPE, SIG_IGN);
  int status = 0;
  {
    kv30sim::Server server(options.log.empty() ? nullptr : &transcript);
    std::string handsetPath = dir + "/" + options.name + ".sock";
    // "-" sorts before ".", so the foreign device is listed first.
    if (foreign &&
        !server.Publish(dir + "/" + options.name + "-foreign.sock", kHandsetClass, foreign, &error))
      return Fail(error);
    if (!server.Publish(handsetPath, kHandsetClass, device, &error)) return Fail(error);

    stopFd = server.StopFd();
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    printf("kv30sim: ready %s\n", handsetPath.c_str());
    fflush(stdout);
    server.Run();
    stopFd = -1;
  }
  // The sessions are gone; the devices' threads end with them.
  device.reset();
  foreign.reset();
  return status;
}
