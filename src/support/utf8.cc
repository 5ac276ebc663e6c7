#include "support/utf8.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace kelvane::utf8 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

std::uint8_t byte_at(std::string_view text, std::size_t i) {
  return static_cast<std::uint8_t>(text[i]);
}

bool is_continuation(std::uint8_t b) {
  return (b & 0xC0u) == 0x80u;
}

// What may follow a lead byte (Unicode's table of well-formed byte
// sequences): how many continuation bytes, and the range of the first of
// them, which excludes overlong forms, surrogates and values above
// U+10FFFF. `continuations` is -1 for a byte that starts nothing.
struct LeadRule {
  int continuations;
  std::uint8_t lo;
  std::uint8_t hi;
};

consteval LeadRule lead_rule(std::uint8_t b0) {
  if (b0 < 0x80) return {0, 0, 0};
  if (b0 < 0xC2) return {-1, 0, 0};
  if (b0 < 0xE0) return {1, 0x80, 0xBF};
  if (b0 < 0xF0)
    return {2, b0 == 0xE0 ? std::uint8_t{0xA0} : std::uint8_t{0x80},
            b0 == 0xED ? std::uint8_t{0x9F} : std::uint8_t{0xBF}};
  if (b0 < 0xF5)
    return {3, b0 == 0xF0 ? std::uint8_t{0x90} : std::uint8_t{0x80},
            b0 == 0xF4 ? std::uint8_t{0x8F} : std::uint8_t{0xBF}};
  return {-1, 0, 0};
}

// The bytes at `i` that follow the lead byte's rule: the whole sequence, or
// the longest start of one (at least the lead byte itself), which is the
// piece one U+FFFD stands for (Unicode's "maximal subpart").
struct Prefix {
  std::size_t length;
  bool complete;
};

// The rule of every byte, looked up rather than worked out: validation
// meets a lead byte at every character past ASCII.
constexpr std::array<LeadRule, 256> kLeadRules = []() consteval {
  std::array<LeadRule, 256> rules{};
  for (int b = 0; b < 256; ++b)
    rules[static_cast<std::size_t>(b)] = lead_rule(static_cast<std::uint8_t>(b));
  return rules;
}
();

Prefix well_formed_prefix(std::string_view text, std::size_t i) {
  const LeadRule rule = kLeadRules[byte_at(text, i)];
  if (rule.continuations < 0) return {1, false};
  const auto wanted = static_cast<std::size_t>(rule.continuations) + 1;
  std::size_t length = 1;
  while (length < wanted && i + length < text.size()) {
    const std::uint8_t b = byte_at(text, i + length);
    const bool fits = length == 1 ? (b >= rule.lo && b <= rule.hi) : is_continuation(b);
    if (!fits) break;
    ++length;
  }
  return {length, length == wanted};
}

// Length of the well-formed sequence starting at `i`, or 0 if there is none:
// well_formed_prefix's answer for a complete sequence, without its loop.
[[gnu::always_inline]] inline std::size_t sequence_length(std::string_view text, std::size_t i) {
  const LeadRule rule = kLeadRules[byte_at(text, i)];
  if (rule.continuations <= 0) return rule.continuations == 0 ? 1 : 0;
  const auto wanted = static_cast<std::size_t>(rule.continuations) + 1;
  if (text.size() - i < wanted) return 0;
  const std::uint8_t b1 = byte_at(text, i + 1);
  if (b1 < rule.lo || b1 > rule.hi) return 0;
  if (wanted > 2 && !is_continuation(byte_at(text, i + 2))) return 0;
  if (wanted > 3 && !is_continuation(byte_at(text, i + 3))) return 0;
  return wanted;
}

}  // namespace

bool is_valid(std::string_view bytes) noexcept {
  // Texts are mostly ASCII with a character beyond it now and then: sixteen
  // bytes are tested at a time, and on a hit the first byte at or above 0x80
  // is found from the bit mask rather than by stepping to it.
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    while (n - i >= 16) {
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, bytes.data() + i, 8);
      std::memcpy(&b, bytes.data() + i + 8, 8);
      if (((a | b) & kHigh) == 0) {
        i += 16;
        continue;
      }
      static_assert(std::endian::native == std::endian::little,
                    "the mask is read lowest byte first");
      i += (a & kHigh) != 0 ? static_cast<std::size_t>(std::countr_zero(a & kHigh)) / 8
                            : 8 + static_cast<std::size_t>(std::countr_zero(b & kHigh)) / 8;
      break;
    }
    if (i >= n) break;
    if (byte_at(bytes, i) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = sequence_length(bytes, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

char32_t decode(std::string_view text, std::size_t pos, std::size_t& length) noexcept {
  const std::uint8_t b0 = byte_at(text, pos);
  if (b0 < 0x80) {
    length = 1;
    return b0;
  }
  const std::size_t n = sequence_length(text, pos);
  if (n == 0) {
    length = 1;
    return kReplacement;
  }
  char32_t c = b0 & (0x7Fu >> n);
  for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (byte_at(text, pos + k) & 0x3Fu);
  length = n;
  return c;
}

std::string replace_invalid(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Prefix prefix = well_formed_prefix(bytes, i);
    if (prefix.complete) {
      out.append(bytes.substr(i, prefix.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += prefix.length;
  }
  return out;
}

char32_t decode_before(std::string_view text, std::size_t end, std::size_t& length) noexcept {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && is_continuation(byte_at(text, start))) --start;
  const char32_t c = decode(text, start, length);
  if (start + length == end) return c;
  length = 1;
  return kReplacement;
}

std::size_t encode(char32_t c, char* out) noexcept {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace kelvane::utf8
