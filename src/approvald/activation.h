// Sockets handed over by systemd (socket activation).
#pragma once

#include <string>

namespace kelvane::approvald {

struct ActivatedSockets {
  int requests = -1;   // -1: create it
  int operators = -1;  // -1: create it
  std::string error;   // a socket that could not be placed
};

// Takes the sockets systemd passed (LISTEN_FDS): each named "requests" or
// "operators" (FileDescriptorName=), or else told apart by the path it is
// bound to. One unnamed socket on neither path is taken as the request
// socket, as systemd-socket-activate passes it.
ActivatedSockets take_activated_sockets(const std::string& request_path,
                                        const std::string& operator_path);

}  // namespace kelvane::approvald
