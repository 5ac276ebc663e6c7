// A service that runs as another user, to play the stranger who bound the
// socket path first (or a service under a dedicated uid). Needs root.
#pragma once

#include <sys/types.h>

#include <string>

namespace kelvane::testing {

inline constexpr uid_t kNobody = 65534;

// Serves one connection in a child process whose credentials are `uid`
// from the moment it listens, which is what the client's SO_PEERCRED
// sees: it reads one line (or up to the client's close), answers `reply`
// and ends.
class ServiceAs {
 public:
  ServiceAs(const std::string& path, uid_t uid, std::string reply);
  ~ServiceAs();
  ServiceAs(const ServiceAs&) = delete;
  ServiceAs& operator=(const ServiceAs&) = delete;

  // Waits for the child and returns every byte the client sent. Call it
  // once the client is done.
  std::string received();

 private:
  pid_t child_ = -1;
  int from_child_ = -1;
};

}  // namespace kelvane::testing
