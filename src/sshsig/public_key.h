// SSH public keys of the four types a vote may be signed with: Ed25519,
// ECDSA on P-256, and their security-key forms, which add the application
// string (usually "ssh:") the authenticator binds the key to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::sshsig {

enum class KeyType { Ed25519, EcdsaP256, SkEd25519, SkEcdsaP256 };

inline constexpr std::size_t kEd25519KeyBytes = 32;
inline constexpr std::size_t kEd25519SignatureBytes = 64;
inline constexpr std::size_t kP256PointBytes = 65;  // 0x04 ‖ x ‖ y
inline constexpr std::size_t kP256ScalarBytes = 32;

// The SSH name of a type, e.g. "sk-ssh-ed25519@openssh.com".
std::string_view type_name(KeyType type) noexcept;
std::optional<KeyType> type_named(std::string_view name) noexcept;
bool is_security_key(KeyType type) noexcept;

struct PublicKey {
  KeyType type = KeyType::Ed25519;
  // The whole wire encoding, exactly as read: what fingerprints, agents and
  // signature blobs name the key by.
  std::string blob;
  // The 32-byte Ed25519 key, or the 65-byte uncompressed P-256 point.
  std::string point;
  // Security keys only.
  std::string application;

  friend bool operator==(const PublicKey& a, const PublicKey& b) { return a.blob == b.blob; }
};

// The key `blob` encodes, which must be one of the four types and nothing
// more (the message says what is wrong, e.g. "key type ssh-rsa is not
// supported").
Result<PublicKey, std::string> read_public_key(std::string_view blob);

// The wire encoding of a key from its parts (tests and the tools that make
// keys); `application` only for the security-key types.
PublicKey make_public_key(KeyType type, std::string_view point, std::string_view application = {});

// "SHA256:" and the unpadded base64 of the SHA-256 of the blob, as
// `ssh-keygen -l` prints it.
std::string fingerprint(const PublicKey& key);

// True for text of the form fingerprint() writes: "SHA256:" and 43
// characters of the base64 alphabet.
bool is_fingerprint_text(std::string_view text) noexcept;

// "TYPE BASE64", the form of authorized_keys and allowed_signers.
std::string key_text(const PublicKey& key);

}  // namespace kelvane::sshsig
