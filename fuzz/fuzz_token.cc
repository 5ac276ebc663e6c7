// Approval tokens over any text: verify_token's parsing, the claims'
// reader, base64url and the published files. Whatever the bytes, a token is
// refused with one line or verified; claims that read are exactly their
// canonical text and, signed, verify back to themselves; base64url that
// decodes encodes back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/base64url.h"
#include "token/published.h"
#include "token/token.h"

namespace {

using namespace kelvane;

const token::SigningKey& fixed_key() {
  static const token::SigningKey key = [] {
    std::array<std::uint8_t, token::kKeyBytes> secret{};
    secret.fill(7);
    return token::SigningKey::from_secret(secret);
  }();
  return key;
}

void check_verify(std::string_view text) {
  const token::PublicKey keys[] = {{fixed_key().kid(), fixed_key().public_key(), std::nullopt}};
  const token::Revocation revoked[] = {{"1", UINT64_MAX}};
  token::Expectations expected;
  expected.now = 1'800'000'000;
  auto verified = token::verify_token(text, keys, revoked, expected);
  if (!verified.ok()) {
    if (verified.error().line.find('\n') != std::string::npos) std::abort();
    return;
  }
  // Only a token signed by the fixed key over canonical claims gets here.
  if (verified.value().kid != fixed_key().kid()) std::abort();
}

void check_claims(std::string_view text) {
  auto claims = token::read_claims(text);
  if (!claims.ok()) return;
  if (token::write_claims(claims.value()) != text) std::abort();
  token::Claims c = std::move(claims).value();
  c.kid = fixed_key().kid();
  const token::PublicKey keys[] = {{fixed_key().kid(), fixed_key().public_key(), std::nullopt}};
  token::Expectations expected;
  expected.now = c.iat;
  expected.digest = c.operation_digest;
  expected.target_host = c.target_host;
  auto verified = token::verify_token(token::sign_token(c, fixed_key()), keys, {}, expected);
  // Revoked or too long are the only refusals a fresh token may meet.
  if (verified.ok() ? !(verified.value() == c)
                    : verified.error().reason != token::Refusal::Malformed)
    std::abort();
}

void check_base64url(std::string_view text) {
  auto decoded = base64url::decode(text);
  if (decoded.ok() && base64url::encode(decoded.value()) != text) std::abort();
  auto back = base64url::decode(base64url::encode(text));
  if (!back.ok() || back.value() != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_verify(text);
  check_claims(text);
  check_base64url(text);
  (void)token::read_public_keys(text);
  (void)token::read_revocations(text);
  return 0;
}
