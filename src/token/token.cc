#include "token/token.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support/base64url.h"
#include "support/quoting.h"
#include "support/utc_time.h"

namespace kelvane::token {
namespace {

Failure<TokenRefusal> refuse(Refusal reason, std::string detail = {},
                             std::string_view separator = ": ") {
  std::string line(refusal_word(reason));
  if (!detail.empty()) line.append(separator).append(detail);
  return fail(TokenRefusal{reason, std::move(line)});
}

// The instant of a claim, which may be any unsigned number.
std::string utc_text_of(std::uint64_t seconds) {
  return utc_text(static_cast<std::int64_t>(
      std::min<std::uint64_t>(seconds, std::numeric_limits<std::int64_t>::max())));
}

}  // namespace

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
  }
  return "malformed";
}

std::string sign_token(const Claims& claims, const SigningKey& key) {
  std::string token(kTokenPrefix);
  token += base64url::encode(write_claims(claims));
  const Signature signature = key.sign(token);
  token += '.';
  token += base64url::encode(signature);
  return token;
}

Result<Claims, TokenRefusal> verify_token(std::string_view token, std::span<const PublicKey> keys,
                                          std::span<const Revocation> revoked,
                                          const Expectations& expected) {
  if (token.size() > kMaxTokenBytes) return refuse(Refusal::Malformed, "longer than any token");
  if (!token.starts_with(kTokenPrefix))
    return refuse(Refusal::Malformed, "it does not start with koa1.");
  const std::size_t dot = token.find('.', kTokenPrefix.size());
  if (dot == std::string_view::npos) return refuse(Refusal::Malformed, "no signature part");
  const std::string_view signed_part = token.substr(0, dot);
  auto claims_text = base64url::decode(signed_part.substr(kTokenPrefix.size()));
  if (!claims_text.ok()) return refuse(Refusal::Malformed, "claims: " + claims_text.error());
  auto signature_text = base64url::decode(token.substr(dot + 1));
  if (!signature_text.ok())
    return refuse(Refusal::Malformed, "signature: " + signature_text.error());
  if (signature_text.value().size() != kSignatureBytes)
    return refuse(Refusal::Malformed, "the signature is not 64 bytes");
  auto claims = read_claims(claims_text.value());
  if (!claims.ok()) return refuse(Refusal::Malformed, claims.error());
  const Claims& c = claims.value();

  const auto key =
      std::find_if(keys.begin(), keys.end(), [&](const PublicKey& k) { return k.kid == c.kid; });
  if (key == keys.end()) return refuse(Refusal::UnknownKey, "kid " + c.kid + " is not published");
  Signature signature{};
  std::memcpy(signature.data(), signature_text.value().data(), kSignatureBytes);
  if (!signature_holds(key->key, signed_part, signature)) return refuse(Refusal::BadSignature);

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
  return std::move(claims).value();
}

}  // namespace kelvane::token
