// The detached signature `ssh-keygen -Y sign` writes: a blob that names the
// signing key, the namespace (what the signature is for), the hash of the
// message and the key's signature over the "signed data" below; and its
// armored text between BEGIN/END SSH SIGNATURE lines.
#pragma once

#include <string>
#include <string_view>

#include "sshsig/public_key.h"
#include "support/result.h"

namespace kelvane::sshsig {

enum class HashAlgorithm { Sha256, Sha512 };

std::string_view hash_name(HashAlgorithm hash) noexcept;

struct DetachedSignature {
  PublicKey key;
  std::string name_space;
  HashAlgorithm hash = HashAlgorithm::Sha512;
  // The key type's own signature blob (type name, signature, and for a
  // security key its flags and counter).
  std::string signature;
};

// Caps on what is read: far above any real signature, so that a hostile
// text cannot make the reader hold much.
inline constexpr std::size_t kMaxSignatureBlobBytes = 8192;
inline constexpr std::size_t kMaxArmoredBytes = 16384;

// The blob's fields, checked: version 1, a supported key, a namespace that
// is not empty, sha256 or sha512. The reserved field is passed over (it is
// always empty when made, and the signed data always holds it empty).
Result<DetachedSignature, std::string> read_signature_blob(std::string_view blob);
std::string write_signature_blob(const DetachedSignature& signature);

// The blob inside the armor; lines may end in CR LF, and blank lines may
// stand around it.
Result<std::string, std::string> dearmor(std::string_view text);
// Base64 in lines of 76 characters between the BEGIN and END lines, each
// line ending in a line feed.
std::string armor(std::string_view blob);

// What the key signs: "SSHSIG" ‖ string namespace ‖ string "" ‖ string
// hash name ‖ string H(message).
std::string signed_data(std::string_view name_space, HashAlgorithm hash, std::string_view message);

}  // namespace kelvane::sshsig
