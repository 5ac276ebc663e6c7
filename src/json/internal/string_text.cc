// JSON string text: the quoted, escaped form of a UTF-8 text.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "json/internal/output_cursor.h"
#include "json/internal/plain_run.h"
#include "json/json.h"
#include "support/hex.h"

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

using detail::plain_run;

}  // namespace

namespace detail {

std::size_t escape_sequence(unsigned char byte, char* out) noexcept {
  const char letter = kEscapes[byte];
  out[0] = '\\';
  out[1] = letter;
  if (letter != 'u') return 2;
  out[2] = '0';
  out[3] = '0';
  out[4] = hex::kDigits[byte >> 4];
  out[5] = hex::kDigits[byte & 0xF];
  return 6;
}

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
    out.advance(escape_sequence(byte, out.room(6 + (n - i) + 1)));
  }
  out.put('"');
}

void write_short_str(OutputCursor& out, const unsigned char* bytes) {
  const std::size_t n = bytes[1];
  const char* text = reinterpret_cast<const char*>(bytes + 2);
#if defined(__GNUC__) && defined(__SSE2__) && defined(__SIZEOF_INT128__) && \
    !defined(KOA_NO_VECTOR_SCAN)
  // Most keys and many values are short: one test of the sixteen bytes
  // (the text is among them) and a copy of fixed size, where the general
  // path would pad and copy a tail of varying length.
  const auto marks = escape_marks16(load16(reinterpret_cast<const char*>(bytes)));
  std::uint64_t halves[2];
  std::memcpy(halves, &marks, 16);
  __extension__ using Uint128 = unsigned __int128;
  const Uint128 all = (Uint128{halves[1]} << 64) | halves[0];
  const Uint128 text_bytes = ((Uint128{1} << (8 * n)) - 1) << 16;
  if ((all & text_bytes) == 0) {
    char* p = out.room(16);
    p[0] = '"';
    std::memcpy(p + 1, text, 14);
    p[1 + n] = '"';
    out.advance(n + 2);
    return;
  }
#endif
  write_str(out, std::string_view(text, n));
}

}  // namespace detail

void Serializer::serialize_str(std::string_view text) {
  detail::OutputCursor out(out_);
  detail::write_str(out, text);
}

}  // namespace kelvane::json
