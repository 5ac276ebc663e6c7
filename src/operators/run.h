// One run of kelvane-operator-approvals, from the argument vector to the
// exit status.
#pragma once

#include <span>
#include <string_view>

#include "approval/connection.h"

namespace kelvane::operators {

enum ExitStatus : int {
  kDone = 0,
  kRefused = 1,
  kUsage = 2,
  kUnreachable = 3,
};

// The descriptors a run reads from and writes to.
struct Streams {
  int in = 0;
  int out = 1;
  int err = 2;
};

// Reads the options, asks the daemon, writes what it answered, and returns
// the exit status. Never ends the process itself. The socket variable is
// looked up through `env`.
int run(std::span<const std::string_view> args, const approval::EnvLookup& env,
        const Streams& streams);

}  // namespace kelvane::operators
