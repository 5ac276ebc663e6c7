// Whether a socket file at a path still has a service behind it.
#pragma once

#include <string>

namespace kelvane::service {

enum class Probe {
  Live,     // something accepted, or would accept once its queue drains
  Stale,    // the kernel refused the connection: nobody listens
  Unknown,  // any other failure; `error` of probe_socket says which
};

// Tries one non-blocking connection to `path` and closes it at once. Only a
// refused connection counts as stale: a full backlog, an interrupted call or
// a permission problem say nothing about whether the service is gone, and
// guessing wrong would delete a live service's socket.
Probe probe_socket(const std::string& path, int& error);

}  // namespace kelvane::service
