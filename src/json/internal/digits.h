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

// Writes exactly eight digits of v < 10^8, leading zeros included: the
// halves, the pairs of each half and the digits of each pair are split in
// lanes of one word side by side (each division by a multiplication that
// is exact in the range of its lane), the first digit in the lowest byte.
inline void write_eight_digits(std::uint32_t v, char* p) noexcept {
  static_assert(std::endian::native == std::endian::little,
                "the first digit goes in the lowest byte");
  const std::uint64_t halves =
      (v / 10000) | (std::uint64_t{v % 10000} << 32);  // two lanes below 10000
  const std::uint64_t high_pairs = ((halves * 10486) >> 20) & 0x0000007F0000007F;  // x / 100
  const std::uint64_t pairs =
      high_pairs | ((halves - high_pairs * 100) << 16);                   // four lanes below 100
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000F;  // x / 10
  const std::uint64_t digits = tens | ((pairs - tens * 10) << 8);
  const std::uint64_t text = digits + 0x3030303030303030;
  std::memcpy(p, &text, 8);
}

// The plain way to the same eight digits: four pairs from the table.
inline void write_eight_digits_plain(std::uint32_t v, char* p) noexcept {
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
