// koa2 tokens over any text: the envelope, the claims with their request
// and votes, and the proof of the votes. Whatever the bytes, a token is
// refused with one line or read; claims that read are exactly their
// canonical text and, signed, verify back to themselves; and no vote is
// ever proven against an empty allowed-signers file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sshsig/allowed_signers.h"
#include "token/token_with_votes.h"
#include "token/vote_proof.h"

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

token::PublicKey published() {
  return {fixed_key().kid(), fixed_key().public_key(), std::nullopt};
}

void check_proof(const token::ClaimsWithVotes& claims) {
  auto proven = token::prove_approvals(claims, {}, {});
  if (proven.ok() || proven.error().line.find('\n') != std::string::npos) std::abort();
}

void check_verify(std::string_view text) {
  const token::PublicKey keys[] = {published()};
  token::Expectations expected;
  expected.now = 1'800'000'000;
  auto verified = token::verify_token_with_votes(text, keys, {}, expected);
  if (!verified.ok()) {
    if (verified.error().line.find('\n') != std::string::npos) std::abort();
    return;
  }
  if (verified.value().claims.kid != fixed_key().kid()) std::abort();
  check_proof(verified.value());
}

void check_claims(std::string_view text) {
  auto claims = token::read_claims_with_votes(text);
  if (!claims.ok()) return;
  if (token::write_claims_with_votes(claims.value()) != text) std::abort();
  token::ClaimsWithVotes c = std::move(claims).value();
  c.claims.kid = fixed_key().kid();
  const token::PublicKey keys[] = {published()};
  token::Expectations expected;
  expected.now = c.claims.iat;
  auto verified = token::verify_token_with_votes(token::sign_token_with_votes(c, fixed_key()), keys,
                                                 {}, expected);
  // Too long is the only refusal a freshly signed token may meet.
  if (verified.ok()
          ? token::write_claims_with_votes(verified.value()) != token::write_claims_with_votes(c)
          : verified.error().reason != token::Refusal::Malformed)
    std::abort();
  check_proof(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_verify(text);
  check_claims(text);
  return 0;
}
