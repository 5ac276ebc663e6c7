// The text of JSON numbers: integers in plain decimal, doubles in the
// shortest form that reads back to the same bits. Each function writes into
// a caller's buffer, never allocates, and returns the number of bytes written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane::json {

// Longest integer text: "18446744073709551615" or "-9223372036854775808".
inline constexpr std::size_t kMaxIntegerText = 20;
// Longest double text, e.g. "-2.2250738585072014e-308".
inline constexpr std::size_t kMaxDoubleText = 24;

// Decimal digits of `value`, no sign, no leading zeros ("0" for zero).
// `out` must have room for kMaxIntegerText bytes.
std::size_t unsigned_text(std::uint64_t value, char* out) noexcept;

// "-" and the digits of the magnitude. Precondition: value < 0.
// `out` must have room for kMaxIntegerText bytes.
std::size_t negative_text(std::int64_t value, char* out) noexcept;

// The text of a double: "null" for NaN and the infinities, "0.0" / "-0.0"
// for the zeros, otherwise the shortest round-trip digits laid out with a
// "." or an exponent so that it never reads back as an integer.
// `out` must have room for kMaxDoubleText bytes.
std::size_t double_text(double value, char* out) noexcept;

}  // namespace kelvane::json
