// The text of numbers: integers in plain decimal, doubles in their shortest
// round-trip digits.
#include <bit>
#include <cstring>

#include "json/internal/digits.h"
#include "json/internal/number_text.h"
#include "json/internal/shortest_decimal.h"
#include "json/internal/small_copy.h"

namespace kelvane::json {
namespace {

// Plain notation is used for first-digit exponents in this range; beyond it
// the zeros would outweigh the digits.
constexpr int kMinPlainExponent = -5;
constexpr int kMaxPlainExponent = 15;

std::size_t copy_literal(const char* text, std::size_t n, char* out) noexcept {
  std::memcpy(out, text, n);
  return n;
}

// d1[.d2...dn]e(+|-)E
char* write_scientific(Decimal d, int n, int e, char* p) noexcept {
  // Write all digits one place to the right, then pull the first one back
  // in front of the point.
  detail::write_digits_backward(d.digits, p + 1 + n);
  p[0] = p[1];
  if (n > 1) {
    p[1] = '.';
    p += n + 1;
  } else {
    p += 1;
  }
  *p++ = 'e';
  *p++ = e < 0 ? '-' : '+';
  const auto magnitude = static_cast<std::uint64_t>(e < 0 ? -e : e);
  const int len = detail::decimal_length(magnitude);
  detail::write_digits_backward(magnitude, p + len);
  return p + len;
}

// 0.000ddd
char* write_small(Decimal d, int n, int e, char* p) noexcept {
  const int zeros = -e - 1;
  p[0] = '0';
  p[1] = '.';
  std::memset(p + 2, '0', static_cast<std::size_t>(zeros));
  p += 2 + zeros;
  detail::write_digits_backward(d.digits, p + n);
  return p + n;
}

// ddd000.0
char* write_whole(Decimal d, int n, int e, char* p) noexcept {
  detail::write_digits_backward(d.digits, p + n);
  p += n;
  const int zeros = e + 1 - n;
  std::memset(p, '0', static_cast<std::size_t>(zeros));
  p += zeros;
  p[0] = '.';
  p[1] = '0';
  return p + 2;
}

// ddd.ddd
char* write_fraction(Decimal d, int n, int e, char* p) noexcept {
  // Write the digits, then move the fraction one place to the right and put
  // the point in the gap.
  detail::write_digits_backward(d.digits, p + n);
  const int integer_digits = e + 1;
  detail::move_short(p + integer_digits + 1, p + integer_digits,
                     static_cast<std::size_t>(n - integer_digits));
  p[integer_digits] = '.';
  return p + n + 1;
}

}  // namespace

std::size_t layout_decimal(bool negative, Decimal d, char* out) noexcept {
  char* p = out;
  if (negative) *p++ = '-';
  const int n = detail::decimal_length(d.digits);
  const int e = d.exponent + n - 1;  // exponent of the first digit
  if (e < kMinPlainExponent || e > kMaxPlainExponent) {
    p = write_scientific(d, n, e, p);
  } else if (e < 0) {
    p = write_small(d, n, e, p);
  } else if (n <= e + 1) {
    p = write_whole(d, n, e, p);
  } else {
    p = write_fraction(d, n, e, p);
  }
  return static_cast<std::size_t>(p - out);
}

std::size_t double_text(double value, char* out) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const bool negative = (bits >> 63) != 0;
  const std::uint64_t magnitude = bits & ~(std::uint64_t{1} << 63);
  constexpr std::uint64_t kInfinity = std::uint64_t{0x7FF} << 52;
  if (magnitude >= kInfinity) return copy_literal("null", 4, out);
  if (magnitude == 0) return negative ? copy_literal("-0.0", 4, out) : copy_literal("0.0", 3, out);
  return layout_decimal(negative, shortest_decimal(std::bit_cast<double>(magnitude)), out);
}

std::size_t unsigned_text(std::uint64_t value, char* out) noexcept {
  const int n = detail::decimal_length(value);
  detail::write_digits_backward(value, out + n);
  return static_cast<std::size_t>(n);
}

std::size_t negative_text(std::int64_t value, char* out) noexcept {
  // Negating in unsigned arithmetic keeps INT64_MIN exact.
  const std::uint64_t magnitude = 0 - static_cast<std::uint64_t>(value);
  out[0] = '-';
  return 1 + unsigned_text(magnitude, out + 1);
}

}  // namespace kelvane::json
