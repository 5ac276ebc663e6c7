// JSON string text: the quoted, escaped form of a UTF-8 text.
#include <array>
#include <cstring>

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

// Length of the leading run of `text` that needs no escape. Texts are
// mostly such runs, so eight bytes are tested at a time: a block passes when
// none of its bytes is below 0x20, a quote or a backslash.
std::size_t plain_run(const char* text, std::size_t n) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, text + i, 8);
    const std::uint64_t quote = w ^ (kOnes * '"');
    const std::uint64_t backslash = w ^ (kOnes * '\\');
    // Per byte: the high bit ends up set when the byte is below the
    // subtracted amount (and had its own high bit clear).
    const std::uint64_t hits = ((w - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) &
                               ~w & kHighs;
    if (hits != 0) break;
  }
  while (i < n && kEscapes[static_cast<unsigned char>(text[i])] == 0) ++i;
  return i;
}

}  // namespace

void Serializer::serialize_str(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  out_.reserve(out_.size() + n + 2);
  out_.push_back('"');
  std::size_t i = 0;
  while (true) {
    const std::size_t run = plain_run(p + i, n - i);
    out_.append(p + i, run);
    i += run;
    if (i == n) break;
    const auto byte = static_cast<unsigned char>(p[i++]);
    const char letter = kEscapes[byte];
    if (letter == 'u') {
      const char escape[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
      out_.append(escape, 6);
    } else {
      const char escape[2] = {'\\', letter};
      out_.append(escape, 2);
    }
  }
  out_.push_back('"');
}

}  // namespace kelvane::json
