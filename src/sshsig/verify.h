// Checking a signature by one of the four key types (nettle does the
// arithmetic), and a detached signature over a message in a namespace.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "support/result.h"

namespace kelvane::sshsig {

// The flags of a security key's signature.
inline constexpr std::uint8_t kUserPresent = 0x01;
inline constexpr std::uint8_t kUserVerified = 0x04;

// What a security key signed besides the data; zero for the plain types.
struct SignatureDetails {
  std::uint8_t flags = 0;
  std::uint32_t counter = 0;
};

// What an authenticator signs for `data`: SHA-256(application) ‖ flags ‖
// counter ‖ SHA-256(data) (no extensions). Ed25519 signs it as it is,
// ECDSA its SHA-256.
std::string security_key_message(std::string_view application, std::uint8_t flags,
                                 std::uint32_t counter, std::string_view data);

// `signature`, the key type's signature blob, is `key`'s over exactly
// `data`; or why not. Says nothing about the flags: see Requirements.
Result<SignatureDetails, std::string> verify_key_signature(const PublicKey& key,
                                                           std::string_view signature,
                                                           std::string_view data);

struct Requirements {
  // A security key's signature must carry the user-presence flag (a touch).
  bool user_presence = true;
  // Only the security-key types are accepted (require_touch).
  bool security_key = false;
};

struct VerifiedSignature {
  PublicKey key;
  HashAlgorithm hash = HashAlgorithm::Sha512;
  SignatureDetails details;
};

// `signature` is its key's signature of `message` in `name_space`, meeting
// `requirements`. Which key may sign is the caller's business (see
// allowed_signers.h): this only proves the named key signed.
Result<VerifiedSignature, std::string> verify_detached(const DetachedSignature& signature,
                                                       std::string_view message,
                                                       std::string_view name_space,
                                                       const Requirements& requirements = {});

}  // namespace kelvane::sshsig
