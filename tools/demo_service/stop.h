// Stopping the demo service cleanly on SIGINT, SIGTERM and SIGHUP.
#pragma once

#include <csignal>

#include "demo_service/deadline.h"

namespace kelvane::demo {

// Set once a stop signal has arrived.
extern volatile std::sig_atomic_t g_stop;

// Catches SIGINT, SIGTERM and SIGHUP, ignores SIGPIPE.
void install_stop_handlers();

// Readable from the first stop signal on, for poll sets of one's own; -1
// before install_stop_handlers.
int stop_descriptor();

enum class Wait { Ready, TimedOut, Stopped };

// Waits until `fd` is readable or has hung up. A stop signal, also one that
// arrived before the call, wins over both.
Wait wait_readable_until(int fd, const service::Deadline& deadline);

// The same without a deadline: true when readable, false on a stop signal.
bool wait_readable(int fd);

}  // namespace kelvane::demo
