#include "support/line_collector.h"

namespace kelvane {

LineCollector::Event LineCollector::feed(std::string_view& input) {
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

}  // namespace kelvane
