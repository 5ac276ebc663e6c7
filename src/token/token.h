// Approval tokens: "koa1." + base64url(claims) + "." + base64url(signature),
// where the signature is the Ed25519 signature of exactly the bytes
// "koa1." + base64url(claims). Signing is the service's; verifying is for
// every program that acts on an approval (verify_token below).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "support/result.h"
#include "token/claims.h"
#include "token/published.h"
#include "token/signing_key.h"

namespace kelvane::token {

inline constexpr std::string_view kTokenPrefix = "koa1.";
// Far above any token the service writes (a few hundred bytes, the claims
// bounded by the request line's 64 KiB); a longer text is refused unread.
inline constexpr std::size_t kMaxTokenBytes = 256 * 1024;

// The token of `claims` signed with `key`. The claims' kid must be the key's.
std::string sign_token(const Claims& claims, const SigningKey& key);

// Why a token is refused, checked in this order.
enum class Refusal {
  Malformed,     // not a token of this form, or claims not canonical
  UnknownKey,    // its kid is not among the published keys
  BadSignature,  // the signature does not hold for the claims
  Expired,       // exp is not after now
  Revoked,       // its request is on the revocation list
  OtherDigest,   // a digest was asked for and the token names another (or none)
  OtherHost,     // a target host was asked for and the token names another
  // Only when the approvers' votes are checked (token_with_votes.h,
  // vote_proof.h), after all of the above:
  NoSignedVotes,    // a koa1 token, which carries no votes
  BadVote,          // a vote's signature does not hold for its message, or it is no approval
  OtherRequest,     // a vote signed for another request than the token's
  UnknownSigner,    // the allowed signers do not let that key sign for that name
  TooFewApprovers,  // fewer distinct people with distinct keys than required
};

struct TokenRefusal {
  Refusal reason;
  std::string line;  // one line, no line feed, safe to show: "expired at 2026-12-07T20:00:00Z"
};

// What the verifier expects of the token besides a good signature.
struct Expectations {
  std::optional<std::string> digest;       // --digest
  std::optional<std::string> target_host;  // --target-host
  std::uint64_t now = 0;                   // Unix seconds
};

// The claims of `token` when it is genuine (signed by one of `keys`),
// unexpired, not revoked and for what `expected` names; otherwise the
// first reason it is not.
Result<Claims, TokenRefusal> verify_token(std::string_view token, std::span<const PublicKey> keys,
                                          std::span<const Revocation> revoked,
                                          const Expectations& expected);

// The short word of a reason, as the first words of its line say it.
std::string_view refusal_word(Refusal reason);

}  // namespace kelvane::token
