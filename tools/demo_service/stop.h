// Stopping the demo service cleanly on SIGINT and SIGTERM.
#pragma once

#include <csignal>

namespace kelvane::demo {

// Set once a stop signal has arrived.
extern volatile std::sig_atomic_t g_stop;

// Catches SIGINT and SIGTERM, ignores SIGPIPE. The stop signals stay blocked
// except while wait_readable waits, so that none can slip in between the
// check of g_stop and the wait and leave the service asleep.
void install_stop_handlers();

// Waits until `fd` is readable (-1: no time limit). False on time-out, on a
// stop signal and on error.
bool wait_readable(int fd, int timeout_ms);

}  // namespace kelvane::demo
