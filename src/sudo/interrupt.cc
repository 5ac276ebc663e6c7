#include "sudo/interrupt.h"

#include <sys/socket.h>

#include <cerrno>
#include <csignal>

namespace kelvane::sudo {
namespace {

// Shared with the handler, hence these types. One guard lives at a time.
volatile std::sig_atomic_t g_caught = 0;
volatile std::sig_atomic_t g_watched_fd = -1;

extern "C" void on_interrupt(int signal) {
  const int saved_errno = errno;
  if (g_caught == 0) g_caught = signal;
  const int fd = g_watched_fd;
  // shutdown() is async-signal-safe; a blocked recv then returns 0.
  if (fd >= 0) (void)::shutdown(fd, SHUT_RDWR);
  errno = saved_errno;
}

}  // namespace

InterruptGuard::InterruptGuard() noexcept {
  g_caught = 0;
  g_watched_fd = -1;
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigfillset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (::sigaction(kSignals[i], nullptr, &saved_[i]) != 0) continue;
    if (!(saved_[i].sa_flags & SA_SIGINFO) && saved_[i].sa_handler == SIG_IGN) continue;
    installed_[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
  }
}

InterruptGuard::~InterruptGuard() {
  g_watched_fd = -1;
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (installed_[i]) (void)::sigaction(kSignals[i], &saved_[i], nullptr);
  }
  if (g_caught != 0) (void)std::raise(g_caught);
}

int InterruptGuard::caught() const noexcept {
  return g_caught;
}

void InterruptGuard::watch(int fd) noexcept {
  g_watched_fd = fd;
  if (g_caught != 0) (void)::shutdown(fd, SHUT_RDWR);
}

}  // namespace kelvane::sudo
