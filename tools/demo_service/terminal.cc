#include "terminal.h"

#include <unistd.h>

#include "support/write_loop.h"

namespace kelvane::demo {
// What cannot be written is lost: there is nobody left to tell.
void say(std::string_view text) {
  (void)io::write_fully(1, text);
}
void complain(std::string_view text) {
  (void)io::write_fully(2, text);
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
