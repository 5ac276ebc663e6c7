#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "approval/connection.h"

namespace kelvane::approval {

UnixStream& UnixStream::operator=(UnixStream&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void UnixStream::close() noexcept {
  if (fd_ < 0) return;
  // Even an interrupted close has released the descriptor on Linux, so it is
  // never repeated: a repeat could close a descriptor opened meanwhile.
  (void)::close(fd_);
  fd_ = -1;
}

Result<UnixStream, io::Error> UnixStream::connect(std::string path) {
  // SOCK_CLOEXEC sets close-on-exec atomically with the creation. Linux has no
  // per-socket "no SIGPIPE" option; sends use MSG_NOSIGNAL instead, and the
  // process ignores SIGPIPE from the start as well.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(io::Error::last_os_error());
  UnixStream stream(fd);  // closes the descriptor on every failure below

  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.find('\0') != std::string::npos) {
    return fail(io::Error::fixed(io::ErrorKind::InvalidInput,
                                 "paths must not contain interior null bytes"));
  }
  // The terminating NUL must fit as well.
  if (path.size() >= sizeof address.sun_path) {
    return fail(io::Error::fixed(io::ErrorKind::InvalidInput, "path must be shorter than SUN_LEN"));
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);

  // Called once: not even an interrupted connect is repeated, since the
  // connection may then be completing in the background.
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return fail(io::Error::last_os_error());
  }
  return stream;
}

}  // namespace kelvane::approval
