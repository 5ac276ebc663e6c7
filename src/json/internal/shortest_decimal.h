// The shortest decimal that reads back as a given double, and its layout.
// Split out of double_text so that each step can be measured and checked on
// its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane::json {

// digits * 10^exponent. `digits` has no trailing zeros and 1 to 17 digits.
struct Decimal {
  std::uint64_t digits;
  int exponent;
};

// Among the decimals that round to `value`, those with the fewest
// significant digits; of these the nearest to `value`, and on a tie the one
// with an even last digit. Precondition: `value` is finite and above zero.
Decimal shortest_decimal(double value) noexcept;

// The shortest decimal of the double composed from a short literal,
// significand * 10^exponent, known without working it out: when the
// significand is at most 2^53 and the exponent within 22 of zero, the double
// is the one nearest to the literal (one correctly rounded multiplication or
// division of two exact doubles), and a decimal of at most 15 significant
// digits is the only decimal that short which rounds to its nearest double.
// So the literal's own digits, trailing zeros dropped, are the shortest when
// there are at most 15 of them. False otherwise (and for zero); `out` is
// then left alone. shortest_decimal is the plain way to the same digits.
bool literal_is_shortest(std::uint64_t significand, std::int32_t exponent, Decimal& out) noexcept;

// Writes "-" when `negative`, then the digits of `d`: plain ("123.456",
// "100.0", "0.00001") when the decimal exponent of its first digit lies in
// -5..15, scientific ("1e+16", "1.5e-7") otherwise. Returns the length;
// `out` must have room for 24 bytes.
std::size_t layout_decimal(bool negative, Decimal d, char* out) noexcept;

}  // namespace kelvane::json
