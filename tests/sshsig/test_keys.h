// Keys of the four types made from a seed with nettle, and signatures made
// by the format's rules: in particular what a security key would return,
// with the flags and counter the test chooses (no authenticator here).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "sshsig/verify.h"

namespace kelvane::sshsig::testing {

class TestKey {
 public:
  // The same seed makes the same key; the application is for the
  // security-key types only.
  TestKey(KeyType type, std::uint8_t seed, std::string_view application = "ssh:");

  const PublicKey& public_key() const { return public_; }

  // The key type's signature blob of `data`; for a security key over
  // security_key_message(application, flags, counter, data).
  std::string sign(std::string_view data, std::uint8_t flags = kUserPresent,
                   std::uint32_t counter = 1) const;

  // A whole detached signature blob of `message`.
  std::string sign_detached(std::string_view name_space, std::string_view message,
                            HashAlgorithm hash = HashAlgorithm::Sha512,
                            std::uint8_t flags = kUserPresent, std::uint32_t counter = 1) const;

 private:
  std::string raw_signature(std::string_view signed_bytes) const;

  KeyType type_;
  std::string secret_;  // Ed25519 seed, or the P-256 scalar big-endian
  PublicKey public_;
};

}  // namespace kelvane::sshsig::testing
