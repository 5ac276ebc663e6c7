// The one number lexer: a JSON number literal, from its minus sign or first
// digit to the first byte that does not continue it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "json/internal/input.h"
#include "json/internal/plain_run.h"
#include "json/value.h"

namespace kelvane::json::detail {

struct NumberToken {
  // In the representation the literal calls for (see Number).
  Number value = Number::unsigned64(0);
  // The literal as it stands in the input, minus sign included.
  std::string_view text;
  // Set when every digit of the literal went into `significand`: the
  // literal is exactly significand * 10^exponent (and negative when
  // value says so). Not set for literals too long for the quick path.
  bool exact = false;
  std::uint64_t significand = 0;
  std::int32_t exponent = 0;
};

// Reads the number at the minus sign or first digit. The common short
// literals (at most 19 significant digits and 9 exponent digits, value
// finite) are taken a word of digits at a time; anything else, errors
// included, goes digit by digit through the grammar (lex_number_plain),
// which is the plain reference for the quick path.
Status lex_number(Input& in, NumberToken& out);

// The grammar digit by digit. Read computes the value; Skip checks the
// grammar only, so "number out of range" never arises, and the end of the
// text after a minus sign, an exponent's letter or its sign, or a point is
// "invalid number" there. The token is left alone when skipping. Skipping's
// quick path is skip_number_quick below, taken by the walker itself.
template <Mode M>
Status lex_number_plain(Input& in, NumberToken& out);

// significand * 10^exponent, negated when !positive, computed as one
// conversion of the significand followed by one multiplication or division
// per table entry of a power of ten (1e0 to 1e308), each rounded to nearest.
// This is not always the double nearest to the decimal value (37e-23 gives
// 3.7000000000000005e-22), and readers of our output rely on exactly this
// result. Nothing when the result would not be finite.
std::optional<double> compose_double(bool positive, std::uint64_t significand,
                                     std::int32_t exponent) noexcept;

// ---- Skipping's quick path, inline ----------------------------------------

#if defined(__GNUC__) && defined(__SSE2__) && !defined(KOA_NO_VECTOR_SCAN)
// The end of the run of digits that starts at p[i]. A number's digits are
// mostly one run of up to twenty, so one test of sixteen bytes usually finds
// its end.
[[gnu::always_inline]] inline std::size_t skip_digit_run(const char* p, std::size_t n,
                                                         std::size_t i) noexcept {
  while (n - i >= 16) {
    const Bytes16 v = load16(p + i) - static_cast<unsigned char>('0');
    const auto marks = v > 9;
    std::uint64_t halves[2];
    std::memcpy(halves, &marks, 16);
    if (halves[0] != 0) return i + static_cast<std::size_t>(std::countr_zero(halves[0])) / 8;
    if (halves[1] != 0) return i + 8 + static_cast<std::size_t>(std::countr_zero(halves[1])) / 8;
    i += 16;
  }
  while (i < n && static_cast<unsigned char>(p[i] - '0') <= 9) ++i;
  return i;
}
#else
inline std::size_t skip_digit_run(const char* p, std::size_t n, std::size_t i) noexcept {
  while (i < n && static_cast<unsigned char>(p[i] - '0') <= 9) ++i;
  return i;
}
#endif

inline constexpr std::size_t kNotQuick = static_cast<std::size_t>(-1);

// The end of the well-formed number at p[i] (its minus sign or first
// digit), or kNotQuick for anything that is not one, which the grammar then
// goes over again for its error.
[[gnu::always_inline]] inline std::size_t skip_number_quick(const char* p, std::size_t n,
                                                            std::size_t i) noexcept {
  const auto digit = [&](std::size_t k) {
    return k < n && static_cast<unsigned char>(p[k] - '0') <= 9;
  };
  if (p[i] == '-') ++i;
  if (!digit(i)) return kNotQuick;
  if (p[i] == '0') {
    if (digit(++i)) return kNotQuick;
  } else {
    i = skip_digit_run(p, n, i + 1);
  }
  if (i < n && p[i] == '.') {
    if (!digit(++i)) return kNotQuick;
    i = skip_digit_run(p, n, i + 1);
  }
  if (i < n && (p[i] == 'e' || p[i] == 'E')) {
    ++i;
    if (i < n && (p[i] == '+' || p[i] == '-')) ++i;
    if (!digit(i)) return kNotQuick;
    i = skip_digit_run(p, n, i + 1);
  }
  return i;
}

// Skipping a number, which has no token.
Status skip_number_plain(Input& in);

}  // namespace kelvane::json::detail
