#include "terminal.h"

#include <unistd.h>

#include <cerrno>

namespace kelvane::demo {
namespace {

void write_fully(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void say(std::string_view text) {
  write_fully(1, text);
}
void complain(std::string_view text) {
  write_fully(2, text);
}

std::optional<std::string> operator_terminal_problem() {
  if (!::isatty(0)) return "standard input is not a terminal, so no operator can answer";
  const pid_t foreground = ::tcgetpgrp(0);
  if (foreground < 0 || foreground != ::getpgrp()) {
    return "this process is not in the foreground of its terminal, so no operator can answer";
  }
  return std::nullopt;
}

}  // namespace kelvane::demo
