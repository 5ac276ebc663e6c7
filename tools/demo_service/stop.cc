#include "stop.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace kelvane::demo {

volatile std::sig_atomic_t g_stop = 0;

namespace {

sigset_t g_wait_mask;  // the mask in force while waiting: stop signals let through

void on_stop_signal(int) { g_stop = 1; }

}  // namespace

void install_stop_handlers() {
  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  sigemptyset(&stop.sa_mask);
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);

  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stops, &g_wait_mask);
  sigdelset(&g_wait_mask, SIGINT);
  sigdelset(&g_wait_mask, SIGTERM);
}

bool wait_readable(int fd, int timeout_ms) {
  timespec limit{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  for (;;) {
    if (g_stop) return false;
    pollfd p{fd, POLLIN, 0};
    const int n = ::ppoll(&p, 1, timeout_ms < 0 ? nullptr : &limit, &g_wait_mask);
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

}  // namespace kelvane::demo
