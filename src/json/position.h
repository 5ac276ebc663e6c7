// Line and column of a byte offset, worked out only when an error is built.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvane::json {

struct Position {
  std::size_t line;    // from 1; only a line feed ends a line
  std::size_t column;  // bytes since the last line feed
};

// The position of offset `index` (at most text.size()) in `text`.
Position position_of_index(std::string_view text, std::size_t index) noexcept;

}  // namespace kelvane::json
