// Stopping the demo service cleanly on SIGINT and SIGTERM.
#pragma once

#include <csignal>

namespace kelvane::demo {

// Set once a stop signal has arrived.
extern volatile std::sig_atomic_t g_stop;

// Catches SIGINT and SIGTERM, ignores SIGPIPE.
void install_stop_handlers();

// Waits until `fd` is readable (-1: no time limit). False on time-out, on a
// stop signal (also one that arrived before the call) and on error.
bool wait_readable(int fd, int timeout_ms);

}  // namespace kelvane::demo
