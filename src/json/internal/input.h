// The text being read and the index of its next unread byte: the cursor
// that every part of the reader moves, and the two positions that its errors
// carry.
//
// error() uses the index as it is (just after the last byte consumed);
// peek_error() the index plus one, at most the length of the text (the
// offending byte, not yet consumed). Lines and columns are only worked out
// when an error is built.
#pragma once

#include <cstddef>
#include <string_view>

#include "json/error.h"
#include "support/result.h"

namespace kelvane::json::detail {

using Status = Result<void, Error>;

// Line and column of a byte offset, worked out only when an error is built.
struct Position {
  std::size_t line;    // from 1; only a line feed ends a line
  std::size_t column;  // bytes since the last line feed
};

// The position of offset `index` (at most text.size()) in `text`. Out of
// line (error.cc): only errors need it, and the walker that builds them
// stays small enough to keep its lexers inline.
[[gnu::cold]] Position position_of_index(std::string_view text, std::size_t index) noexcept;

// How a value is gone over: read, with numbers computed and escapes
// resolved, or skipped, with its grammar checked and nothing else. Skipping
// has no nesting limit and, where the two part, errors of its own (see
// walker.h).
enum class Mode : bool { Read, Skip };

class Input {
 public:
  explicit Input(std::string_view text) noexcept : data_(text.data()), size_(text.size()) {}

  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t index() const noexcept { return index_; }
  void set_index(std::size_t i) noexcept { index_ = i; }
  bool at_end() const noexcept { return index_ == size_; }

  // The byte at the index, or -1 at the end of the text.
  int peek() const noexcept {
    return index_ < size_ ? static_cast<unsigned char>(data_[index_]) : -1;
  }
  void eat() noexcept { ++index_; }

  // Skips JSON white space (space, tab, line feed, carriage return and
  // nothing else); returns the byte then at the index, or -1. Most tokens
  // follow each other without any, and every white-space byte is below '!'.
  int skip_whitespace() noexcept {
    std::size_t i = index_;
    if (i<size_&& static_cast<unsigned char>(data_[i])> ' ')
      return static_cast<unsigned char>(data_[i]);
    while (i < size_) {
      const char c = data_[i];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
        index_ = i;
        return static_cast<unsigned char>(c);
      }
      ++i;
    }
    index_ = i;
    return -1;
  }

  [[gnu::cold]] Error error(ErrorCode code) const noexcept { return at(code, index_); }
  [[gnu::cold]] Error peek_error(ErrorCode code) const noexcept {
    return at(code, index_ < size_ ? index_ + 1 : size_);
  }
  // Gives an error that has no position yet (a record's or a visitor's) the
  // current one.
  void fix_position(Error& e) const noexcept {
    if (e.has_position()) return;
    const Position p = position_of_index({data_, size_}, index_);
    e.set_position(p.line, p.column);
  }

 private:
  Error at(ErrorCode code, std::size_t i) const noexcept {
    const Position p = position_of_index({data_, size_}, i);
    return Error(code, p.line, p.column);
  }

  const char* data_;
  std::size_t size_;
  std::size_t index_ = 0;
};

}  // namespace kelvane::json::detail
