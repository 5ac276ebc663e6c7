// The fake service run as another user, to play the stranger who bound the
// socket path first (or a service under a dedicated uid). Needs root.
#pragma once

#include <sys/types.h>

#include <string>

#include "testing/service.h"

namespace kelvane::testing {

inline constexpr uid_t kNobody = 65534;

// Serves one connection in a child process whose credentials are `uid` from
// the moment it listens: it reads one line (or up to the client's close),
// answers `reply` and ends. received() gives what the client sent.
class ServiceAs : public FakeService {
 public:
  ServiceAs(const std::string& path, uid_t uid, const std::string& reply)
      : FakeService(setup(path, uid, reply)) {}

 private:
  static ServiceSetup setup(const std::string& path, uid_t uid, const std::string& reply) {
    ServiceSetup setup(path, reply_after_line(reply));
    setup.as_uid = uid;
    setup.backlog = 1;
    return setup;
  }
};

}  // namespace kelvane::testing
