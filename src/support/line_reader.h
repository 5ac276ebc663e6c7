// One line at a time out of bytes as they arrive, with a cap on its length:
// the services read their peers' lines through it (the daemon's requesters
// and operators, the demo service). It never holds more of a line than the
// cap.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace kelvane {

class LineReader {
 public:
  enum class Event {
    NeedMore,  // every byte offered was taken; the line is not complete yet
    Line,      // line() holds a complete line, without its line feed
    TooLong,   // the line passed the cap; its bytes are dropped
  };

  explicit LineReader(std::size_t max_bytes) noexcept : max_bytes_(max_bytes) {}

  // Takes bytes from the front of `input` up to and including the first line
  // feed (or all of them) and removes them from `input`. A line of exactly
  // `max_bytes` bytes is taken; TooLong is reported once, as soon as the
  // line is known to be longer, and the rest of that line up to its line
  // feed is then skipped by later calls (skipping() tells while it lasts),
  // so that a peer still sending can finish and read the answer. Bytes after
  // a line feed stay in `input` for the next call.
  Event feed(std::string_view& input);

  // For a peer that sends many lines, read ahead of their use: `hold` keeps
  // bytes as they arrive, and next() is feed() over what is held. The caller
  // bounds what it holds (held()); the cap still applies to each line.
  void hold(std::string_view bytes) { held_.append(bytes); }
  Event next();
  // Bytes held and not yet taken by next().
  std::size_t held() const noexcept { return held_.size() - held_start_; }
  // A line feed is among them: next() has a line (or a too-long one) to give.
  bool holds_line_end() const noexcept {
    return held_.find('\n', held_start_) != std::string::npos;
  }

  // The line of the last Line event, valid until the next feed.
  const std::string& line() const noexcept { return line_; }
  // The same line moved out, leaving the reader ready for the next.
  std::string take_line() noexcept {
    std::string out = std::move(line_);
    line_.clear();
    complete_ = false;
    return out;
  }
  // True while the rest of a too-long line is being skipped.
  bool skipping() const noexcept { return skipping_; }
  // True when bytes of a line (or of a too-long line being skipped) came
  // since the last complete line: the peer stopped in the middle of one.
  bool in_line() const noexcept { return skipping_ || (!complete_ && !line_.empty()); }

 private:
  std::size_t max_bytes_;
  std::string line_;
  bool complete_ = false;
  bool skipping_ = false;
  std::string held_;
  std::size_t held_start_ = 0;
};

}  // namespace kelvane
