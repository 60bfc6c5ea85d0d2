// Where kv30sim processes publish their sockets, and the checks both sides
// make before they trust that place.
#ifndef VELKOR_SIMWIRE_SIMDIR_H
#define VELKOR_SIMWIRE_SIMDIR_H

#include <string>
#include <vector>

namespace simwire {

// The folder: $KV30SIM_DIR when set and not empty, else
// $XDG_RUNTIME_DIR/kv30sim when that is set and not empty, else
// /tmp/kv30sim-<uid>.
std::string SimDirectory();

enum DirCheck {
  kDirSafe = 0,
  kDirMissing,       // nothing at that path
  kDirNotDirectory,  // something else than a directory
  kDirForeign,       // owned by another user
  kDirOpen,          // the group or others may write to it
  kDirError,         // could not be examined
};

// Examines the folder (following a symbolic link to it): it must be a
// directory owned by the calling user that neither the group nor others can
// write to.
DirCheck CheckDirectory(const std::string& path);
const char* DirCheckText(DirCheck check);

// Creates the folder with mode 0700 when it is missing (its parent must
// exist), then checks it. Returns the check's result.
DirCheck PrepareDirectory(const std::string& path);

// The names of the sockets in the folder, in byte order of their names.
std::vector<std::string> ListSockets(const std::string& path);

// Connects a stream socket to `path`. Returns the descriptor (close-on-exec),
// or -1 with errno set; ECONNREFUSED means no process listens there.
int ConnectSocket(const std::string& path);

}  // namespace simwire

#endif
