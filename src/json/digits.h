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

inline void write_pair(std::uint32_t pair, char* p) noexcept {
  std::memcpy(p, &kDigitPairs[2 * pair], 2);
}

// Writes exactly eight digits of v < 10^8, leading zeros included. The four
// pairs do not depend on each other, so they are computed side by side.
inline void write_eight_digits(std::uint32_t v, char* p) noexcept {
  const std::uint32_t high = v / 10000;
  const std::uint32_t low = v % 10000;
  write_pair(high / 100, p);
  write_pair(high % 100, p + 2);
  write_pair(low / 100, p + 4);
  write_pair(low % 100, p + 6);
}

// Writes the digits of v so that the last one lands just before `end`.
inline void write_digits_backward(std::uint64_t v, char* end) noexcept {
  while (v >= 100000000) {
    end -= 8;
    write_eight_digits(static_cast<std::uint32_t>(v % 100000000), end);
    v /= 100000000;
  }
  auto w = static_cast<std::uint32_t>(v);
  while (w >= 100) {
    end -= 2;
    write_pair(w % 100, end);
    w /= 100;
  }
  if (w >= 10) {
    end -= 2;
    write_pair(w, end);
  } else {
    *--end = static_cast<char>('0' + w);
  }
}

}  // namespace kelvane::json::detail
