// What the service publishes for target hosts, in a world-readable
// directory: the public keys (public-keys.json) and the revocation list
// (revoked.json) beside them. Both are compact JSON written by the project's
// writer; a target copies both files and verifies with them.
//
//   public-keys.json  {"keys":[{"kid":K,"publicKey":B},{"kid":K,"publicKey":B,"retireAt":T}]}
//   revoked.json      {"revoked":[{"exp":T,"requestId":"17"}]}
//
// The current key comes first and has no retireAt; a previous key stays
// listed until retireAt (Unix seconds), when the last token it signed has
// expired. A revocation stays listed until its exp has passed (then the
// token is refused as expired anyway).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "support/result.h"
#include "token/signing_key.h"

namespace kelvane::token {

inline constexpr std::string_view kPublicKeysFile = "public-keys.json";
inline constexpr std::string_view kRevokedFile = "revoked.json";
// Either file is small; anything larger is not one the service wrote.
inline constexpr std::size_t kMaxPublishedBytes = 1 << 20;

struct PublicKey {
  std::string kid;  // key_id(key): checked when read
  PublicKeyBytes key{};
  std::optional<std::uint64_t> retire_at;  // absent for the current key

  bool operator==(const PublicKey&) const = default;
};

struct Revocation {
  std::string request_id;
  std::uint64_t exp = 0;  // no token for the request outlives it

  bool operator==(const Revocation&) const = default;
};

std::string write_public_keys(const std::vector<PublicKey>& keys);
// The entries alone, as an array: the service's private key file keeps its
// previous keys in the same form.
void append_key_entries(std::string& out, const std::vector<PublicKey>& keys);
Result<std::vector<PublicKey>, std::string> read_key_entries(const json::Value& array);
std::string write_revocations(const std::vector<Revocation>& revoked);
// The revocations alone, as an array (the fleet's database keeps each host's).
void append_revocation_entries(std::string& out, const std::vector<Revocation>& revoked);

// Each refuses a text of another shape (unknown or missing members, a key
// that is not 32 bytes of base64url, a kid that is not its key's).
Result<std::vector<PublicKey>, std::string> read_public_keys(std::string_view text);
Result<std::vector<Revocation>, std::string> read_revocations(std::string_view text);

// The files: `public_keys_path`, and revoked.json in the same directory.
struct PublishedFiles {
  std::vector<PublicKey> keys;
  std::vector<Revocation> revoked;
};
Result<PublishedFiles, std::string> load_published(const std::string& public_keys_path);

}  // namespace kelvane::token
