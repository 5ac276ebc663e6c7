// The lines the operator reads about one request, laid out in columns and
// shown inside a fence that the request's own text cannot draw.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::service {

// Columns of a line inside the fence; with the fence's "| " it stays within
// an 80-column terminal, so the terminal never wraps a line by itself.
inline constexpr std::size_t kTextWidth = 76;

class Block {
 public:
  // A line of the service's own, with its indentation.
  void add(std::string line) { lines_.push_back(std::move(line)); }

  // `head` (already indented, `head_width` columns) followed by `text` as
  // quoted pieces: the first on the head's line at `value_column` or just
  // after the head, whichever is further right, if it fits there; the
  // others, one per line, at `value_column`. An empty head puts the first
  // piece at `value_column` too.
  void add_text(std::string head, std::size_t head_width, std::string_view text,
                std::size_t value_column);

  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

// The layout of a labelled line: the label indented, the value at a column
// of its own.
inline constexpr std::size_t kLabelIndent = 2;
inline constexpr std::size_t kValueColumn = 16;

// `label` and then `text` as quoted pieces (see Block::add_text).
void text_field(Block& block, std::string_view label, std::string_view text);

// A line of the program's own making: label and text already safe. A label
// reaching the value column keeps one space before the text.
void plain_field(Block& block, std::string_view label, std::string_view text);

// Every line of the block behind "| ", between a heading and a footer line
// that start with "+-- ", each line ending in a line feed.
std::string fenced(const Block& block, std::string_view heading, std::string_view footer);

}  // namespace kelvane::service
