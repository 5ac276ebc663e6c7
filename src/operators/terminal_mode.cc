#include "operators/terminal_mode.h"

#include <unistd.h>

namespace kelvane::operators {

std::optional<TerminalMode> TerminalMode::take(int fd) {
  termios saved{};
  if (!::isatty(fd) || ::tcgetattr(fd, &saved) != 0) return std::nullopt;
  return TerminalMode(fd, saved);
}

TerminalMode::~TerminalMode() {
  if (fd_ >= 0) ::tcsetattr(fd_, TCSANOW, &saved_);
}

void TerminalMode::keys() const {
  termios t = saved_;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  ::tcsetattr(fd_, TCSANOW, &t);
}

void TerminalMode::lines() const {
  termios t = saved_;
  t.c_lflag |= ICANON | ECHO;
  ::tcsetattr(fd_, TCSANOW, &t);
}

void TerminalMode::flush_input() const {
  ::tcflush(fd_, TCIFLUSH);
}

}  // namespace kelvane::operators
