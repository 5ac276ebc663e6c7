// The operator's terminal while `watch` runs: single keys without echo
// while a request is asked, a whole echoed line while a reason is typed, and
// the settings it had given back at the end.
#pragma once

#include <termios.h>

#include <optional>
#include <string>
#include <utility>

namespace kelvane::operators {

class TerminalMode {
 public:
  // Takes over the terminal on `fd`; nullopt when `fd` is no terminal.
  static std::optional<TerminalMode> take(int fd);

  TerminalMode(TerminalMode&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), saved_(other.saved_) {}
  TerminalMode& operator=(TerminalMode&&) = delete;
  TerminalMode(const TerminalMode&) = delete;
  TerminalMode& operator=(const TerminalMode&) = delete;
  ~TerminalMode();

  // Each key as it is pressed, not echoed. Ctrl-C still interrupts.
  void keys() const;
  // A line at a time, echoed and editable as the terminal normally is.
  void lines() const;
  // Throws away what was typed and not yet read.
  void flush_input() const;

 private:
  TerminalMode(int fd, const termios& saved) noexcept : fd_(fd), saved_(saved) {}

  int fd_;
  termios saved_;
};

}  // namespace kelvane::operators
