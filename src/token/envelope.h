// What every token format shares: "<prefix><payload>.<signature>", both
// parts base64url, the signature the service's Ed25519 signature of exactly
// the bytes before the second dot; and the checks a target makes of the
// claims once they are read (the key, the signature, the time, the
// revocation list, the digest and the host, in that order). koa1 and koa2
// differ only in their prefix and in what the payload holds.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "support/result.h"
#include "token/claims.h"
#include "token/published.h"
#include "token/signing_key.h"
#include "token/token.h"

namespace kelvane::token {

struct Envelope {
  std::string_view signed_part;  // "<prefix><payload base64url>", what the signature covers
  std::string payload;           // the decoded claims' text
  Signature signature{};
};

// The parts of `token`, which must start with `prefix` and be at most
// `max_bytes` long; refused as malformed otherwise (a token of the other
// format is told apart, so that a reader of one says what it was given).
Result<Envelope, TokenRefusal> open_envelope(std::string_view token, std::string_view prefix,
                                             std::size_t max_bytes);

// `prefix` + base64url(payload) + "." + base64url(its signature by `key`).
std::string seal_envelope(std::string_view prefix, std::string_view payload, const SigningKey& key);

// The checks after reading: signed by the published key the claims name,
// unexpired, not revoked, and for what `expected` names.
Result<void, TokenRefusal> check_sealed_claims(const Claims& claims, const Envelope& envelope,
                                               std::span<const PublicKey> keys,
                                               std::span<const Revocation> revoked,
                                               const Expectations& expected);

// A refusal with its line: the reason's word, then `detail` after
// `separator` when there is one.
TokenRefusal refusal(Refusal reason, std::string detail = {}, std::string_view separator = ": ");

}  // namespace kelvane::token
