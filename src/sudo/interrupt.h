// Ctrl-C while the operator has not answered ends the wait at once, and the
// command does not run. sudo's own handlers restart interrupted calls and
// act on a signal only once the plugin returns, which would keep the user
// waiting for an answer that no longer matters.
#pragma once

#include <signal.h>

#include <array>

namespace kelvane::sudo {

class InterruptGuard {
 public:
  // Catches SIGINT, SIGQUIT, SIGTERM and SIGHUP, each unless it is ignored
  // (a background or nohup run keeps it so), for as long as it lives. The
  // handlers do not restart calls, so a connect in progress fails at once.
  InterruptGuard() noexcept;
  // Puts sudo's handlers back, then raises the signal caught, if any, so
  // that sudo learns of it as well.
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // The first signal caught so far, or 0.
  int caught() const noexcept;

  // For ServiceAddress::on_connected: the connection that a signal shuts
  // down, which ends a send or receive in progress. A signal that came
  // before the connection did shuts it down at once.
  static void watch(int fd) noexcept;

 private:
  static constexpr std::array<int, 4> kSignals = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
  std::array<struct sigaction, kSignals.size()> saved_{};
  std::array<bool, kSignals.size()> installed_{};
};

}  // namespace kelvane::sudo
