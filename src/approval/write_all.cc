#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

#include "approval/connection.h"

namespace kelvane::approval {

Result<void, io::Error> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    // MSG_NOSIGNAL: a peer that has gone away gives EPIPE, not SIGPIPE.
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(io::Error::last_os_error());
    }
    if (n == 0) {
      return fail(io::Error::fixed(io::ErrorKind::WriteZero, "failed to write whole buffer"));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace kelvane::approval
