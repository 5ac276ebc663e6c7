#include "service/shown_text.h"

#include "support/utf8.h"
#include "support/visible_text.h"

namespace kelvane::service {
namespace {

// Columns a character takes as it is copied: two from U+1100 on, which is
// where the wide scripts begin. Overestimating only makes a piece end early.
std::size_t columns(char32_t c) {
  return c < 0x1100 ? 1 : 2;
}

struct Character {
  std::string form;   // as shown, without quotes
  std::size_t width;  // its columns
  std::size_t bytes;  // of the original
  bool line_feed;
};

// The character at `text[i]` as it is shown. Texts from /proc need not be
// UTF-8; quoting shows a byte that starts no character as \x{..}.
Character next_character(std::string_view text, std::size_t i) {
  std::size_t length = 1;
  const char32_t c = utf8::decode(text, i, length);
  const std::string_view original = text.substr(i, length);
  std::string form;
  visible::append_quoted(form, original);
  form = form.substr(1, form.size() - 2);
  const std::size_t width = form == original ? columns(c) : form.size();
  return {std::move(form), width, length, c == U'\n'};
}

}  // namespace

std::vector<Piece> quoted_pieces(std::string_view text, std::size_t width) {
  std::vector<Piece> pieces;
  Piece current{"\"", 2};
  bool empty = true;
  auto finish = [&] {
    current.text += '"';
    pieces.push_back(std::move(current));
    current = Piece{"\"", 2};
    empty = true;
  };
  std::size_t i = 0;
  while (i < text.size()) {
    const Character c = next_character(text, i);
    if (!empty && current.width + c.width > width) finish();
    current.text += c.form;
    current.width += c.width;
    empty = false;
    i += c.bytes;
    if (c.line_feed && i < text.size()) finish();
  }
  finish();
  return pieces;
}

}  // namespace kelvane::service
