// Whether a socket file at a path still has a service behind it.
#pragma once

#include <string>

#include "support/io_error.h"
#include "support/result.h"

namespace kelvane::service {

enum class Probe {
  Live,   // something accepted, or would accept once its queue drains
  Stale,  // the kernel refused the connection: nobody listens
};

// Tries one non-blocking connection to `path` and closes it at once. Only a
// refused connection counts as stale: a full backlog, an interrupted call or
// a permission problem say nothing about whether the service is gone, and
// guessing wrong would delete a live service's socket. Any failure but those
// is the error (ENOENT when nothing is at the path).
Result<Probe, io::Error> probe_socket(const std::string& path);

}  // namespace kelvane::service
