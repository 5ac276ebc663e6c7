#include "support/visible_text.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "support/hex.h"
#include "support/utf8.h"

namespace kelvane::visible {

namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "support/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodePointRange (&table)[N], char32_t c) noexcept {
  const CodePointRange* it =
      std::upper_bound(std::begin(table), std::end(table), c,
                       [](char32_t v, const CodePointRange& r) { return v < r.first; });
  return it != std::begin(table) && c <= std::prev(it)->last;
}

void append_code_point_escape(std::string& out, char32_t c) {
  char digits[8];
  const auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(c), 16);
  out += "\\u{";
  out.append(digits, end);
  out += '}';
}

}  // namespace

bool is_printable(char32_t c) noexcept {
  return !in_table(kNotPrintable, c);
}

bool is_grapheme_extend(char32_t c) noexcept {
  return in_table(kGraphemeExtend, c);
}

std::optional<Unprintable> first_unprintable(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 1;
    const char32_t c = utf8::decode(text, i, length);
    // A real U+FFFD takes three bytes; one byte read as it starts nothing.
    const bool malformed = c == 0xFFFD && length != 3;
    if (malformed || !is_printable(c)) return Unprintable{i, length, c};
    i += length;
  }
  return std::nullopt;
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t length = 1;
    const char32_t c = utf8::decode(text, i, length);
    switch (c) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (c == 0xFFFD && length != 3) {
          // A byte that starts no character (a real U+FFFD takes three):
          // never copied, since some terminals obey single bytes such as
          // 0x9B, the 8-bit start of a control sequence.
          out += "\\x{";
          hex::append_digits(out, static_cast<unsigned char>(text[i]), 2);
          out += '}';
        } else if (needs_escape(c)) {
          append_code_point_escape(out, c);
        } else {
          out.append(text.substr(i, length));  // the original bytes, whatever they decoded to
        }
        break;
    }
    i += length;
  }
  out += '"';
}

}  // namespace kelvane::visible
