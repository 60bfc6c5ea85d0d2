#include "simwire/simdir.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

namespace simwire {

std::string SimDirectory() {
  const char* dir = getenv("KV30SIM_DIR");
  if (dir && *dir) return dir;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return std::string(runtime) + "/kv30sim";
  return "/tmp/kv30sim-" + std::to_string(static_cast<unsigned long>(getuid()));
}

DirCheck CheckDirectory(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT ? kDirMissing : kDirError;
  if (!S_ISDIR(st.st_mode)) return kDirNotDirectory;
  if (st.st_uid != getuid()) return kDirForeign;
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return kDirOpen;
  return kDirSafe;
}

const char* DirCheckText(DirCheck check) {
  switch (check) {
    case kDirSafe:
      return "usable";
    case kDirMissing:
      return "does not exist";
    case kDirNotDirectory:
      return "is not a directory";
    case kDirForeign:
      return "is owned by another user";
    case kDirOpen:
      return "can be written by others";
    default:
      return "cannot be examined";
  }
}

DirCheck PrepareDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return kDirError;
  return CheckDirectory(path);
}

std::vector<std::string> ListSockets(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (lstat((path + "/" + name).c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

int ConnectSocket(const std::string& path) {
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace simwire
