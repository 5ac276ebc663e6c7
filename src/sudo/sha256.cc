#include "sudo/sha256.h"

#include <array>
#include <cstdint>

namespace kelvane::sudo {

Sha256::Sha256() noexcept : context_{} {
  sha256_init(&context_);
}

void Sha256::update(std::string_view bytes) noexcept {
  sha256_update(&context_, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

std::string Sha256::hex_digest() noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest;
  sha256_digest(&context_, digest.size(), digest.data());
  std::string out;
  out.reserve(2 * digest.size());
  for (const std::uint8_t byte : digest) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

}  // namespace kelvane::sudo
