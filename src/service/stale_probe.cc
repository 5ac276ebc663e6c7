#include "service/stale_probe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/file_descriptor.h"

namespace kelvane::service {

Result<Probe, io::Error> probe_socket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return fail(io::Error::os(ENAMETOOLONG));
  std::memcpy(address.sun_path, path.data(), path.size());
  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.is_open()) return fail(io::Error::last_os_error());
  // A connection the listener has queued counts as live even if it is never
  // accepted; closing it right away tells the service nothing came.
  const int connected =
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int connect_errno = errno;
  fd.close();
  if (connected == 0) return Probe::Live;
  switch (connect_errno) {
    case ECONNREFUSED:
      return Probe::Stale;
    case EAGAIN:  // the backlog is full: busy, not gone
      return Probe::Live;
    default:
      return fail(io::Error::os(connect_errno));
  }
}

}  // namespace kelvane::service
