// JSON string text: the quoted, escaped form of a UTF-8 text.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "json/output_cursor.h"
#include "json/plain_run.h"
#include "json/writer.h"

namespace kelvane::json {
namespace {

// For every byte: 0 when it is copied as it is, else the letter after the
// backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (std::size_t b = 0; b < 0x20; ++b) table[b] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

constexpr char kHexDigits[] = "0123456789abcdef";

using detail::plain_run;

}  // namespace

namespace detail {

void write_str(OutputCursor& out, std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  // Room for the text without escapes and both quotes; each escape asks
  // again for what it adds.
  *out.room(n + 2) = '"';
  out.advance(1);
  std::size_t i = 0;
  for (;;) {
    const std::size_t run = plain_run(p + i, n - i);
    std::memcpy(out.room(n - i + 1), p + i, run);
    out.advance(run);
    i += run;
    if (i == n) break;
    const auto byte = static_cast<unsigned char>(p[i++]);
    const char letter = kEscapes[byte];
    char* e = out.room(6 + (n - i) + 1);
    e[0] = '\\';
    e[1] = letter;
    if (letter == 'u') {
      e[2] = '0';
      e[3] = '0';
      e[4] = kHexDigits[byte >> 4];
      e[5] = kHexDigits[byte & 0xF];
      out.advance(6);
    } else {
      out.advance(2);
    }
  }
  out.put('"');
}

}  // namespace detail

void Serializer::serialize_str(std::string_view text) {
  detail::OutputCursor out(out_);
  detail::write_str(out, text);
}

}  // namespace kelvane::json
