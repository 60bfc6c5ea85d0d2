// kv30sim on POSIX hosts: a simulated KV30 handset in a process of its own.
// It publishes the handset on a Unix-domain socket in the kv30sim folder,
// where velkor's driver stand-in finds it like a driver instance of a
// plugged-in handset. The handset's state (login, settings, received image)
// lives here and outlasts each velkor run.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim/identity.h"
#include "sim/kv30sim/handset.h"
#include "sim/kv30sim/options.h"
#include "sim/kv30sim/transcript.h"
#include "simwire/server.h"
#include "simwire/simdir.h"

namespace {

volatile sig_atomic_t stopFd = -1;

void OnStopSignal(int) {
  int fd = stopFd;
  if (fd >= 0) {
    char c = 1;
    ssize_t r = write(fd, &c, 1);
    (void)r;
  }
}

// --stop-at-write and --kill-at-write: the process stops as a hung handset
// does, or dies, from inside the write it will not take.
void Trip(kv30sim::Options::Trip trip) {
  raise(trip == kv30sim::Options::kTripStop ? SIGSTOP : SIGKILL);
}

int Fail(const std::string& message) {
  fprintf(stderr, "kv30sim: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  kv30sim::Options options;
  int exitStatus = 0;
  if (!kv30sim::ReadCommandLine(argc, argv, &options, &exitStatus)) return exitStatus;
  std::string error;

  std::string problem;
  const std::string dir = simwire::SimDirectory(&problem);
  if (dir.empty()) return Fail(problem + "; refusing to publish there");
  const simwire::DirCheck check = simwire::PrepareDirectory(dir);
  if (check != simwire::kDirSafe) {
    return Fail(dir + " " + simwire::DirCheckText(check) + "; refusing to publish there");
  }

  kv30sim::Transcript transcript;
  if (!options.log.empty() && !transcript.Open(options.log)) {
    return Fail("cannot write the transcript " + options.log + ": " + strerror(errno));
  }

  kv30sim::Handset handset =
      kv30sim::BuildHandset(options, options.log.empty() ? nullptr : &transcript, Trip);

  signal(SIGPIPE, SIG_IGN);
  {
    simwire::Server server;
    simwire::ConnectionFault fault;
    if (options.garbage) fault = {simwire::ConnectionFault::kGarbage, options.garbageAfter};
    if (options.close) fault = {simwire::ConnectionFault::kClose, options.closeAfter};
    server.SetConnectionFault(fault);
    const std::string handsetPath = dir + "/" + options.name + ".sock";
    // "-" sorts before ".", so the other instances are listed first.
    for (size_t i = 0; i < handset.instances.size(); i++) {
      const std::string& name = handset.names[i];
      const std::string path =
          name.empty() ? handsetPath : dir + "/" + options.name + "-" + name + ".sock";
      if (!server.Publish(path, sim::kHandsetInterfaceClass, handset.instances[i], &error)) {
        return Fail(error);
      }
    }

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
  return 0;
}
