// Lower-case hexadecimal digits: tokens, digests, escapes of bytes and of
// code points.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kelvane::hex {

inline constexpr char kDigits[] = "0123456789abcdef";

// Appends the `count` lowest hexadecimal digits of `value`, leading zeros
// included: append_digits(out, 0xAB, 4) appends "00ab".
inline void append_digits(std::string& out, std::uint32_t value, int count) {
  for (int shift = 4 * (count - 1); shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// Two digits for every byte, in order.
inline std::string of_bytes(std::span<const unsigned char> bytes) {
  std::string out;
  out.reserve(2 * bytes.size());
  for (const unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

}  // namespace kelvane::hex
