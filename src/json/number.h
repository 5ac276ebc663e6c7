// Composing a double from a decimal significand and exponent.
#pragma once

#include <cstdint>
#include <optional>

namespace kelvane::json {

// significand * 10^exponent, negated when !positive, computed as one
// conversion of the significand followed by one multiplication or division
// per table entry of a power of ten (1e0 to 1e308), each rounded to nearest.
// This is not always the double nearest to the decimal value (37e-23 gives
// 3.7000000000000005e-22), and readers of our output rely on exactly this
// result. Nothing when the result would not be finite.
std::optional<double> compose_double(bool positive, std::uint64_t significand,
                                     std::int32_t exponent) noexcept;

}  // namespace kelvane::json
