#include <sys/socket.h>

#include <string>

#include "approval/connection.h"

namespace kelvane::approval {

Result<void, io::Error> check_service_peer(int fd, const std::string& path,
                                           const TrustedPeer& trusted) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    return fail(io::Error::last_os_error());
  }
  if (peer.uid == 0 || peer.uid == trusted.uid) return {};
  std::string reason = "the service at " + path + " runs as uid " + std::to_string(peer.uid) +
                       ", neither root nor " + std::string(trusted.described_as) + "; " +
                       std::string(trusted.opt_in);
  return fail(io::Error::message(io::ErrorKind::Other, std::move(reason)));
}

}  // namespace kelvane::approval
