#include "sudo/sha256.h"

#include <array>
#include <cstdint>

#include "support/hex.h"

namespace kelvane::sudo {

Sha256::Sha256() noexcept : context_{} {
  sha256_init(&context_);
}

void Sha256::update(std::string_view bytes) noexcept {
  sha256_update(&context_, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

std::string Sha256::hex_digest() {
  std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest;
  sha256_digest(&context_, digest.size(), digest.data());
  return hex::of_bytes(digest);
}

}  // namespace kelvane::sudo
