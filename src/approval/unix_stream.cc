#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "approval/connection.h"

namespace kelvane::approval {

Result<FileDescriptor, io::Error> connect_unix_stream(const std::string& path) {
  // SOCK_CLOEXEC sets close-on-exec atomically with the creation. Linux has no
  // per-socket "no SIGPIPE" option; sends use MSG_NOSIGNAL instead, and the
  // process ignores SIGPIPE from the start as well.
  FileDescriptor stream(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!stream.is_open()) return fail(io::Error::last_os_error());

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
  if (::connect(stream.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return fail(io::Error::last_os_error());
  }
  return stream;
}

}  // namespace kelvane::approval
