#include "support/base64url.h"

#include <array>
#include <cstdint>

namespace kelvane::base64url {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_values() {
  std::array<std::uint8_t, 256> values{};
  for (auto& v : values) v = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
  return values;
}

constexpr std::array<std::uint8_t, 256> kValues = make_values();

}  // namespace

std::string encode(std::span<const unsigned char> bytes) {
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                            std::uint32_t{bytes[i + 2]};
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(n >> shift) & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t n = std::uint32_t{bytes[i]} << 16;
    out += kAlphabet[(n >> 18) & 0x3F];
    out += kAlphabet[(n >> 12) & 0x3F];
  } else if (rest == 2) {
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    out += kAlphabet[(n >> 18) & 0x3F];
    out += kAlphabet[(n >> 12) & 0x3F];
    out += kAlphabet[(n >> 6) & 0x3F];
  }
  return out;
}

std::string encode(std::string_view bytes) {
  return encode(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()),
                                               bytes.size()));
}

Result<std::string, std::string> decode(std::string_view text) {
  // Four characters carry three bytes; a last group of one carries none.
  if (text.size() % 4 == 1) return fail(std::string("a length that no byte string encodes to"));
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int held = 0;  // bits in `bits` not yet written out
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint8_t value = kValues[static_cast<unsigned char>(text[i])];
    if (value == kInvalid) {
      return fail(
          std::string(text[i] == '=' ? "padding" : "a byte outside the base64url alphabet") +
          " at offset " + std::to_string(i));
    }
    bits = (bits << 6) | value;
    held += 6;
    if (held >= 8) {
      held -= 8;
      out += static_cast<char>((bits >> held) & 0xFF);
      bits &= (1u << held) - 1;
    }
  }
  // What is left over is the padding bits of the last character: zero in
  // the one text the encoder writes.
  if (bits != 0) return fail(std::string("unused bits that are not zero at the end"));
  return out;
}

}  // namespace kelvane::base64url
