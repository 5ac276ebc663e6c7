#include "operators/line_splitter.h"

namespace kelvane::operators {

void LineSplitter::add(std::string_view bytes) {
  // What was taken is dropped before the buffer grows, so it holds at most
  // one unfinished line and what has just arrived.
  if (start_ > 0 && start_ * 2 >= buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

std::optional<std::string> LineSplitter::take_line() {
  if (overlong_) return std::nullopt;
  const std::size_t end = buffer_.find('\n', start_ + scanned_);
  if (end == std::string::npos) {
    scanned_ = buffer_.size() - start_;
    overlong_ = scanned_ > max_line_;
    return std::nullopt;
  }
  if (end - start_ > max_line_) {
    overlong_ = true;
    return std::nullopt;
  }
  std::string line = buffer_.substr(start_, end - start_);
  start_ = end + 1;
  scanned_ = 0;
  return line;
}

}  // namespace kelvane::operators
