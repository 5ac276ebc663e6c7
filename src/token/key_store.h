// The service's side of the keys: the signing key and the keys it replaced,
// kept in the state directory, and what is published for target hosts.
//
//   STATE_DIR/keys/              mode 0700
//     signing-key.json           mode 0600: {"longestLifetime":N,"previous":[...],"secret":B}
//   PUBLIC_DIR/                  mode 0755
//     public-keys.json           mode 0644 (see published.h)
//     revoked.json               mode 0644
//
// longestLifetime is the longest token lifetime the key has signed with: a
// key that is replaced stays published until that long after the
// replacement, and a revocation is kept that long after the approval, so
// neither ends before the last token it concerns (even if token_lifetime was
// lowered meanwhile).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/result.h"
#include "token/published.h"
#include "token/signing_key.h"

namespace kelvane::token {

inline constexpr std::string_view kKeyDirectory = "keys";
inline constexpr std::string_view kSigningKeyFile = "signing-key.json";

struct KeyPaths {
  std::string key_dir;     // STATE_DIR/keys
  std::string public_dir;  // world-readable
};

// The public directory's default: beside the state directory, its name with
// "-public" appended (/var/lib/kelvane-operator-approval-public), since the
// state directory itself is kept to root.
std::string default_public_dir(const std::string& state_dir);

struct KeyState {
  SigningKey current;
  std::vector<PublicKey> previous;  // newest first
  std::uint64_t longest_lifetime = 0;
  std::vector<Revocation> revoked;
};

// At start: the directories made or given their modes, the key read (or
// made and written, the first time), `lifetime` counted into
// longestLifetime, retired keys and expired revocations dropped, and both
// public files written anew.
Result<KeyState, std::string> open_keys(const KeyPaths& paths, std::uint64_t lifetime,
                                        std::uint64_t now);

// The published keys: the current one first.
std::vector<PublicKey> published_keys(const KeyState& state);

// `next` becomes current; the current one is kept until its last token has
// expired.
void rotate(KeyState& state, const SigningKey& next, std::uint64_t now);
// Adds (or extends) a revocation; false when it was there already as it is.
bool add_revocation(KeyState& state, const Revocation& revocation, std::uint64_t now);

// The files' texts, and writing them (atomically, each).
std::string signing_key_text(const KeyState& state);
Result<KeyState, std::string> read_signing_key(std::string_view text);
Result<void, std::string> save_signing_key(const KeyPaths& paths, const std::string& text);
Result<void, std::string> save_public_keys(const KeyPaths& paths, const std::string& text);
Result<void, std::string> save_revocations(const KeyPaths& paths, const std::string& text);

}  // namespace kelvane::token
