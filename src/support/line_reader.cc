#include "support/line_reader.h"

namespace kelvane {

LineReader::Event LineReader::feed(std::string_view& input) {
  if (complete_) {
    line_.clear();
    complete_ = false;
  }
  const std::size_t end = input.find('\n');
  const std::size_t taken = end == std::string_view::npos ? input.size() : end;
  const std::string_view piece = input.substr(0, taken);
  input.remove_prefix(end == std::string_view::npos ? taken : taken + 1);

  if (skipping_) {
    if (end != std::string_view::npos) skipping_ = false;
    return Event::NeedMore;
  }
  if (piece.size() > max_bytes_ - line_.size()) {
    line_.clear();
    skipping_ = end == std::string_view::npos;
    return Event::TooLong;
  }
  line_.append(piece);
  if (end == std::string_view::npos) return Event::NeedMore;
  complete_ = true;
  return Event::Line;
}

LineReader::Event LineReader::next() {
  std::string_view input(held_);
  input.remove_prefix(held_start_);
  const Event event = feed(input);
  held_start_ = held_.size() - input.size();
  // What was taken goes once it is all taken, or once it is most of what
  // is held: each byte is moved at most about once.
  if (held_start_ == held_.size()) {
    held_.clear();
    held_start_ = 0;
  } else if (held_start_ > held_.size() / 2) {
    held_.erase(0, held_start_);
    held_start_ = 0;
  }
  return event;
}

}  // namespace kelvane
