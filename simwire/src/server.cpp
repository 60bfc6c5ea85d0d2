#include "simwire/server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "simwire/connection.h"
#include "simwire/simdir.h"

namespace simwire {

Server::Server() {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

Server::~Server() {
  Unpublish();
  Reap(true);
  if (wake_[0] >= 0) close(wake_[0]);
  if (wake_[1] >= 0) close(wake_[1]);
}

bool Server::Publish(const std::string& path, const usbdrv::InterfaceClass& interfaceClass,
                     std::shared_ptr<usbdrv::Instance> instance, std::string* error) {
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *error = path + ": path too long for a socket";
    return false;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + ": exists and is not a socket";
      return false;
    }
    int probe = ConnectSocket(path);
    if (probe >= 0) {
      close(probe);
      *error = path + ": another kv30sim is running there";
      return false;
    }
    if (errno != ECONNREFUSED) {
      *error = path + ": cannot tell whether it is in use: " + strerror(errno);
      return false;
    }
    unlink(path.c_str());  // stale: its process is gone
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return false;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(path.c_str(), 0600) != 0 || listen(fd, 16) != 0) {
    *error = path + ": " + strerror(errno);
    close(fd);
    return false;
  }
  endpoints_.push_back(Endpoint{path, fd, interfaceClass, std::move(instance)});
  return true;
}

void Server::Stop() {
  if (wake_[1] >= 0) {
    char c = 1;
    ssize_t r = write(wake_[1], &c, 1);
    (void)r;
  }
}

void Server::Unpublish() {
  for (Endpoint& e : endpoints_) {
    unlink(e.path.c_str());
    close(e.fd);
  }
  endpoints_.clear();
}

void Server::Reap(bool all) {
  if (all)
    for (auto& c : connections_) c->Stop();
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all || (*it)->Finished())
      it = connections_.erase(it);
    else
      ++it;
  }
}

void Server::Run() {
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back(pollfd{wake_[0], POLLIN, 0});
    for (Endpoint& e : endpoints_) fds.push_back(pollfd{e.fd, POLLIN, 0});
    int r = poll(fds.data(), fds.size(), 500);
    Reap(false);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (fds[0].revents) break;
    for (size_t i = 1; i < fds.size(); i++) {
      if (!(fds[i].revents & POLLIN)) continue;
      int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        // Out of descriptors or memory: back off instead of spinning on a
        // socket that stays readable.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          usleep(100000);
        continue;
      }
      accepted_++;
      Endpoint& e = endpoints_[i - 1];
      connections_.emplace_back(new Connection(c, e.interfaceClass, e.instance));
    }
  }
  Unpublish();
  Reap(true);
}

}  // namespace simwire
