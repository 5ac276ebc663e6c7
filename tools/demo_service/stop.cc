#include "stop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "support/retry.h"

namespace kelvane::demo {

volatile std::sig_atomic_t g_stop = 0;

namespace {

// The handler also writes a byte here. A flag alone could be set just after
// the waiting code looked at it and just before it went to sleep; the pipe
// stays readable until the end, so every wait sees the stop.
int g_stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
  const int saved = errno;
  g_stop = 1;
  const char byte = 1;
  (void)!::write(g_stop_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

void install_stop_handlers() {
  if (::pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_stop_pipe[0] = g_stop_pipe[1] = -1;
  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  sigemptyset(&stop.sa_mask);
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
  // The operator's terminal closing: stop as cleanly, so that the socket
  // file goes too.
  ::sigaction(SIGHUP, &stop, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

int stop_descriptor() {
  return g_stop_pipe[0];
}

Wait wait_readable_until(int fd, const service::Deadline& deadline) {
  for (;;) {
    if (g_stop) return Wait::Stopped;
    pollfd p[2] = {{fd, POLLIN, 0}, {g_stop_pipe[0], POLLIN, 0}};
    const int n = repeat_if_interrupted([&] { return ::poll(p, 2, deadline.poll_timeout()); });
    // The pipe is written only after the flag is set; it being readable
    // without the flag would make every poll return at once.
    if (g_stop || (n > 0 && p[1].revents != 0)) return Wait::Stopped;
    if (n > 0 && p[0].revents != 0) return Wait::Ready;
    if (n < 0) return Wait::Stopped;  // cannot wait: give up like a stop
    if (n == 0 && deadline.expired()) return Wait::TimedOut;
  }
}

bool wait_readable(int fd) {
  return wait_readable_until(fd, service::Deadline::never()) == Wait::Ready;
}

}  // namespace kelvane::demo
