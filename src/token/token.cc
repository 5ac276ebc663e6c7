#include "token/token.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support/base64url.h"
#include "support/quoting.h"
#include "support/utc_time.h"
#include "token/envelope.h"
#include "token/token_with_votes.h"

namespace kelvane::token {
namespace {

Failure<TokenRefusal> refuse(Refusal reason, std::string detail = {},
                             std::string_view separator = ": ") {
  return fail(refusal(reason, std::move(detail), separator));
}

// The instant of a claim, which may be any unsigned number.
std::string utc_text_of(std::uint64_t seconds) {
  return utc_text(static_cast<std::int64_t>(
      std::min<std::uint64_t>(seconds, std::numeric_limits<std::int64_t>::max())));
}

// Why a token that does not start with `prefix` is refused: a token of the
// other format is named as such, since both may reach the same reader.
std::string prefix_problem(std::string_view token, std::string_view prefix) {
  for (std::string_view other : {kTokenPrefix, kTokenWithVotesPrefix}) {
    if (other != prefix && token.starts_with(other)) {
      return "a " + std::string(other) + " token, where " + std::string(prefix) + " is read here";
    }
  }
  return "it does not start with " + std::string(prefix);
}

}  // namespace

TokenRefusal refusal(Refusal reason, std::string detail, std::string_view separator) {
  std::string line(refusal_word(reason));
  if (!detail.empty()) line.append(separator).append(detail);
  return TokenRefusal{reason, std::move(line)};
}

std::string_view refusal_word(Refusal reason) {
  switch (reason) {
    case Refusal::Malformed:
      return "malformed";
    case Refusal::UnknownKey:
      return "unknown key";
    case Refusal::BadSignature:
      return "bad signature";
    case Refusal::Expired:
      return "expired";
    case Refusal::Revoked:
      return "revoked";
    case Refusal::OtherDigest:
      return "other digest";
    case Refusal::OtherHost:
      return "other host";
    case Refusal::NoSignedVotes:
      return "no signed votes";
    case Refusal::BadVote:
      return "bad vote";
    case Refusal::OtherRequest:
      return "other request";
    case Refusal::UnknownSigner:
      return "unknown signer";
    case Refusal::TooFewApprovers:
      return "too few approvers";
  }
  return "malformed";
}

std::string seal_envelope(std::string_view prefix, std::string_view payload,
                          const SigningKey& key) {
  std::string token(prefix);
  token += base64url::encode(payload);
  const Signature signature = key.sign(token);
  token += '.';
  token += base64url::encode(signature);
  return token;
}

std::string sign_token(const Claims& claims, const SigningKey& key) {
  return seal_envelope(kTokenPrefix, write_claims(claims), key);
}

Result<Envelope, TokenRefusal> open_envelope(std::string_view token, std::string_view prefix,
                                             std::size_t max_bytes) {
  if (token.size() > max_bytes) return refuse(Refusal::Malformed, "longer than any token");
  if (!token.starts_with(prefix)) return refuse(Refusal::Malformed, prefix_problem(token, prefix));
  const std::size_t dot = token.find('.', prefix.size());
  if (dot == std::string_view::npos) return refuse(Refusal::Malformed, "no signature part");
  Envelope envelope;
  envelope.signed_part = token.substr(0, dot);
  auto claims_text = base64url::decode(envelope.signed_part.substr(prefix.size()));
  if (!claims_text.ok()) return refuse(Refusal::Malformed, "claims: " + claims_text.error());
  auto signature_text = base64url::decode(token.substr(dot + 1));
  if (!signature_text.ok())
    return refuse(Refusal::Malformed, "signature: " + signature_text.error());
  if (signature_text.value().size() != kSignatureBytes)
    return refuse(Refusal::Malformed, "the signature is not 64 bytes");
  envelope.payload = std::move(claims_text).value();
  std::memcpy(envelope.signature.data(), signature_text.value().data(), kSignatureBytes);
  return envelope;
}

Result<void, TokenRefusal> check_sealed_claims(const Claims& c, const Envelope& envelope,
                                               std::span<const PublicKey> keys,
                                               std::span<const Revocation> revoked,
                                               const Expectations& expected) {
  const auto key =
      std::find_if(keys.begin(), keys.end(), [&](const PublicKey& k) { return k.kid == c.kid; });
  if (key == keys.end()) return refuse(Refusal::UnknownKey, "kid " + c.kid + " is not published");
  if (!signature_holds(key->key, envelope.signed_part, envelope.signature))
    return refuse(Refusal::BadSignature);

  if (c.exp <= expected.now) return refuse(Refusal::Expired, "at " + utc_text_of(c.exp), " ");
  for (const Revocation& r : revoked) {
    if (r.request_id == c.request_id) return refuse(Refusal::Revoked, "request " + c.request_id);
  }
  if (expected.digest && c.operation_digest != expected.digest) {
    return refuse(Refusal::OtherDigest, c.operation_digest
                                            ? "the token is for " + quoted(*c.operation_digest)
                                            : "the token names no operation digest");
  }
  if (expected.target_host && c.target_host != *expected.target_host)
    return refuse(Refusal::OtherHost, "the token is for " + quoted(c.target_host));
  return {};
}

Result<Claims, TokenRefusal> verify_token(std::string_view token, std::span<const PublicKey> keys,
                                          std::span<const Revocation> revoked,
                                          const Expectations& expected) {
  auto envelope = open_envelope(token, kTokenPrefix, kMaxTokenBytes);
  if (!envelope.ok()) return fail(std::move(envelope).error());
  auto claims = read_claims(envelope.value().payload);
  if (!claims.ok()) return refuse(Refusal::Malformed, claims.error());
  auto checked = check_sealed_claims(claims.value(), envelope.value(), keys, revoked, expected);
  if (!checked.ok()) return fail(std::move(checked).error());
  return std::move(claims).value();
}

}  // namespace kelvane::token
