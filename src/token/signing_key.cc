#include "token/signing_key.h"

#include <nettle/eddsa.h>
#include <nettle/sha2.h>
#include <string.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "support/hex.h"
#include "support/retry.h"

namespace kelvane::token {
namespace {

const std::uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

std::string key_id(const PublicKeyBytes& public_key) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, public_key.size(), public_key.data());
  std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest{};
  sha256_digest(&context, digest.size(), digest.data());
  return hex::of_bytes(std::span<const unsigned char>(digest.data(), 8));
}

SigningKey::SigningKey(const std::array<std::uint8_t, kKeyBytes>& secret) : secret_(secret) {
  ed25519_sha512_public_key(public_.data(), secret_.data());
  kid_ = key_id(public_);
}

SigningKey::~SigningKey() {
  ::explicit_bzero(secret_.data(), secret_.size());
}

Result<SigningKey, std::string> SigningKey::generate() {
  std::array<std::uint8_t, kKeyBytes> secret{};
  // Up to 256 bytes come whole once the pool is ready, and it waits for that.
  const ssize_t got =
      repeat_if_interrupted([&] { return ::getrandom(secret.data(), secret.size(), 0); });
  if (got != static_cast<ssize_t>(secret.size())) {
    return fail(std::string("no random bytes for a key: ") +
                (got < 0 ? std::strerror(errno) : "too few"));
  }
  SigningKey key(secret);
  ::explicit_bzero(secret.data(), secret.size());
  return key;
}

SigningKey SigningKey::from_secret(const std::array<std::uint8_t, kKeyBytes>& secret) {
  return SigningKey(secret);
}

Signature SigningKey::sign(std::string_view message) const {
  Signature signature{};
  ed25519_sha512_sign(public_.data(), secret_.data(), message.size(), bytes_of(message),
                      signature.data());
  return signature;
}

bool signature_holds(const PublicKeyBytes& public_key, std::string_view message,
                     const Signature& signature) {
  return ed25519_sha512_verify(public_key.data(), message.size(), bytes_of(message),
                               signature.data()) == 1;
}

}  // namespace kelvane::token
