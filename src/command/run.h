// One run of the command, from the argument vector to the exit status.
#pragma once

#include <span>
#include <string_view>

#include "approval/connection.h"

namespace kelvane::command {

// Reads the options, asks the service, writes the outcome to `out_fd` and
// `err_fd`, and returns the exit status. Never ends the process itself.
// Environment variables are looked up through `env`: HOSTNAME while the
// options are read, the socket path variables only once they have passed.
int run(std::span<const std::string_view> args, const approval::EnvLookup& env, int out_fd,
        int err_fd);

// The same with the process environment.
int run(std::span<const std::string_view> args, int out_fd, int err_fd);

}  // namespace kelvane::command
