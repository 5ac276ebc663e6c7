// Decimal digit helpers shared by the integer and double texts.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace kelvane::json::detail {

// "00" "01" ... "99": two digits per division by 100.
inline constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

inline constexpr std::array<std::uint64_t, 20> kPowersOfTen = [] {
  std::array<std::uint64_t, 20> p{};
  std::uint64_t v = 1;
  for (std::uint64_t& e : p) {
    e = v;
    v *= 10;
  }
  return p;
}();

// Number of decimal digits of v (1 for zero).
inline int decimal_length(std::uint64_t v) noexcept {
  if (v < 10) return 1;
  // bit_width * log10(2), then one correction step.
  const int guess = (static_cast<int>(std::bit_width(v)) * 1233) >> 12;
  return guess + (v >= kPowersOfTen[static_cast<std::size_t>(guess)] ? 1 : 0);
}

// Writes the digits of v so that the last one lands just before `end`.
inline void write_digits_backward(std::uint64_t v, char* end) noexcept {
  while (v >= 100) {
    const std::uint64_t pair = v % 100;
    v /= 100;
    end -= 2;
    std::memcpy(end, &kDigitPairs[static_cast<std::size_t>(2 * pair)], 2);
  }
  if (v >= 10) {
    end -= 2;
    std::memcpy(end, &kDigitPairs[static_cast<std::size_t>(2 * v)], 2);
  } else {
    *--end = static_cast<char>('0' + v);
  }
}

}  // namespace kelvane::json::detail
