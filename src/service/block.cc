#include "service/block.h"

#include <algorithm>

#include "service/shown_text.h"

namespace kelvane::service {
namespace {

// The narrowest room a text gets, however deep it sits.
constexpr std::size_t kMinTextWidth = 24;

std::string rule(std::string_view title) {
  std::string line = "+-- ";
  line.append(title).append(" ");
  if (line.size() < kTextWidth + 2) line.append(kTextWidth + 2 - line.size(), '-');
  return line + "\n";
}

}  // namespace

void Block::add_text(std::string head, std::size_t head_width, std::string_view text,
                     std::size_t value_column) {
  const std::size_t room =
      value_column + kMinTextWidth <= kTextWidth ? kTextWidth - value_column : kMinTextWidth;
  const std::vector<Piece> pieces = quoted_pieces(text, room);
  const std::size_t first_column =
      head_width == 0 ? value_column : std::max(value_column, head_width + 1);
  std::size_t next = 0;
  if (first_column + pieces.front().width <= std::max(kTextWidth, value_column + room)) {
    head.append(first_column - head_width, ' ');
    head += pieces.front().text;
    next = 1;
  }
  lines_.push_back(std::move(head));
  const std::string indent(value_column, ' ');
  for (; next < pieces.size(); ++next) lines_.push_back(indent + pieces[next].text);
}

std::string fenced(const Block& block, std::string_view heading, std::string_view footer) {
  std::string out = rule(heading);
  for (const std::string& line : block.lines()) out.append("| ").append(line) += '\n';
  return out + rule(footer);
}

void text_field(Block& block, std::string_view label, std::string_view text) {
  std::string head(kLabelIndent, ' ');
  head.append(label);
  block.add_text(std::move(head), kLabelIndent + label.size(), text, kValueColumn);
}

void plain_field(Block& block, std::string_view label, std::string_view text) {
  std::string line(kLabelIndent, ' ');
  line.append(label);
  line.append(kValueColumn > line.size() ? kValueColumn - line.size() : 1, ' ');
  block.add(line.append(text));
}

}  // namespace kelvane::service
