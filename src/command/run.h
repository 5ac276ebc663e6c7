// One run of the command, from the argument vector to the exit status.
#pragma once

#include <span>
#include <string_view>

namespace kelvane::command {

// Reads the options, asks the service, writes the outcome to `out_fd` and
// `err_fd`, and returns the exit status. Never ends the process itself.
int run(std::span<const std::string_view> args, int out_fd, int err_fd);

}  // namespace kelvane::command
