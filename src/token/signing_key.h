// Ed25519 keys, from nettle: the service's signing key (32 random bytes from
// the kernel) and the public keys that verify its tokens. A key's id (kid)
// is the first 16 hexadecimal digits of the SHA-256 of its public key: it
// follows from the key itself, so a published list cannot pair an id with
// another key without the verifier noticing.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::token {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kSignatureBytes = 64;

using PublicKeyBytes = std::array<std::uint8_t, kKeyBytes>;
using Signature = std::array<std::uint8_t, kSignatureBytes>;

// The kid of a public key.
std::string key_id(const PublicKeyBytes& public_key);

class SigningKey {
 public:
  // A new key from getrandom, or why none could be made.
  static Result<SigningKey, std::string> generate();
  static SigningKey from_secret(const std::array<std::uint8_t, kKeyBytes>& secret);

  SigningKey(const SigningKey&) = default;
  SigningKey& operator=(const SigningKey&) = default;
  // The secret does not outlive the key in memory.
  ~SigningKey();

  const std::array<std::uint8_t, kKeyBytes>& secret() const noexcept { return secret_; }
  const PublicKeyBytes& public_key() const noexcept { return public_; }
  const std::string& kid() const noexcept { return kid_; }

  Signature sign(std::string_view message) const;

 private:
  explicit SigningKey(const std::array<std::uint8_t, kKeyBytes>& secret);

  std::array<std::uint8_t, kKeyBytes> secret_{};
  PublicKeyBytes public_{};
  std::string kid_;
};

// True when `signature` is `public_key`'s signature of exactly `message`.
bool signature_holds(const PublicKeyBytes& public_key, std::string_view message,
                     const Signature& signature);

}  // namespace kelvane::token
