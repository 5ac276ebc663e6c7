// Cutting the daemon's byte stream into lines, with a bound on how long one
// may grow: a daemon that never ends its line must not take all memory.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::operators {

class LineSplitter {
 public:
  explicit LineSplitter(std::size_t max_line) noexcept : max_line_(max_line) {}

  // Adds bytes as they were received.
  void add(std::string_view bytes);

  // The next complete line, without its line feed; nullopt until one is.
  std::optional<std::string> take_line();

  // True once take_line has met a line, finished or not, longer than the
  // bound; no line is given out after that.
  bool overlong() const noexcept { return overlong_; }

  // True when bytes of an unfinished line are waiting.
  bool has_partial_line() const noexcept { return buffer_.size() > start_; }

 private:
  std::size_t max_line_;
  std::string buffer_;
  std::size_t start_ = 0;    // where the next line begins
  std::size_t scanned_ = 0;  // bytes from start_ known to hold no line feed
  bool overlong_ = false;
};

}  // namespace kelvane::operators
