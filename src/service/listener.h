// A service's listening socket and the file that names it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "support/file_descriptor.h"
#include "support/result.h"

namespace kelvane::service {

// The reason a socket path cannot be listened on, or nullopt if it can.
std::optional<std::string> socket_path_problem(std::string_view path);

class Listener {
 public:
  // Binds and listens on `path`, replacing a stale socket file left by an
  // earlier run. Refuses to replace anything that is not a socket, or a
  // socket that some service still answers on; the error says why. The
  // file is made with `mode` (less nothing: the umask is set for bind), so
  // that it never needs a chmod by path.
  static Result<Listener, std::string> open(const std::string& path, mode_t mode = 0600);

  Listener() = default;
  Listener(Listener&& other) noexcept;
  // Closes this one's socket (see below) and takes over the other's.
  Listener& operator=(Listener&& other) noexcept;
  // Closes the socket and removes its file, unless another process has put
  // its own there meanwhile.
  ~Listener() { close(); }

  int fd() const { return fd_.get(); }
  // The socket file, as found right after bind.
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

 private:
  void close() noexcept;

  std::string path_;
  FileDescriptor fd_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace kelvane::service
