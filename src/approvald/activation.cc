#include "activation.h"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace kelvane::approvald {

ActivatedSockets take_activated_sockets(const std::string& request_path,
                                        const std::string& operator_path) {
  ActivatedSockets sockets;
  char** names = nullptr;
  const int count = sd_listen_fds_with_names(1, &names);
  if (count <= 0) return sockets;
  int unplaced = -1;
  for (int i = 0; i < count; ++i) {
    const int fd = SD_LISTEN_FDS_START + i;
    const std::string_view name = names && names[i] ? names[i] : "";
    if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
      sockets.error = "a socket passed by systemd is not a listening Unix stream socket";
    } else if (name == "requests" ||
               sd_is_socket_unix(fd, SOCK_STREAM, 1, request_path.c_str(), 0) > 0) {
      // A second one would listen unserved: its requesters would wait in
      // connect for ever.
      if (sockets.requests >= 0) sockets.error = "systemd passed more than one request socket";
      sockets.requests = fd;
    } else if (name == "operators" ||
               sd_is_socket_unix(fd, SOCK_STREAM, 1, operator_path.c_str(), 0) > 0) {
      if (sockets.operators >= 0) sockets.error = "systemd passed more than one operator socket";
      sockets.operators = fd;
    } else if (unplaced < 0) {
      unplaced = fd;
    } else {
      sockets.error = "systemd passed sockets that are neither \"requests\" nor \"operators\"";
    }
  }
  if (sockets.requests < 0 && unplaced >= 0) {
    sockets.requests = unplaced;
  } else if (unplaced >= 0 && sockets.operators < 0) {
    sockets.operators = unplaced;
  }
  if (names) {
    for (int i = 0; i < count; ++i) std::free(names[i]);
    std::free(static_cast<void*>(names));
  }
  return sockets;
}

}  // namespace kelvane::approvald
