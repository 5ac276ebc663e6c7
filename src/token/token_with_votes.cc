#include "token/token_with_votes.h"

#include "sshsig/base64.h"
#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "token/envelope.h"
#include "token/vote_proof.h"

namespace kelvane::token {
namespace {

// The blob of a signature as an operator sends it: armored as ssh-keygen
// writes it, or the base64 of the blob alone.
Result<std::string, std::string> signature_blob(std::string_view text) {
  if (text.find("-----BEGIN") != std::string_view::npos) return sshsig::dearmor(text);
  auto blob = sshsig::base64::decode(text);
  if (!blob.ok()) return fail(std::string("the signature is neither armored nor base64"));
  return std::move(blob).value();
}

Result<TokenVote, std::string> token_vote(const RecordedVote& recorded) {
  KOA_TRY(blob, signature_blob(recorded.signature));
  KOA_TRY(detached, sshsig::read_signature_blob(blob));
  return TokenVote{recorded.message, std::move(blob), sshsig::fingerprint(detached.key)};
}

}  // namespace

std::string sign_token_with_votes(const ClaimsWithVotes& claims, const SigningKey& key) {
  return seal_envelope(kTokenWithVotesPrefix, write_claims_with_votes(claims), key);
}

Result<ClaimsWithVotes, TokenRefusal> verify_token_with_votes(std::string_view token,
                                                              std::span<const PublicKey> keys,
                                                              std::span<const Revocation> revoked,
                                                              const Expectations& expected) {
  KOA_TRY(envelope, open_envelope(token, kTokenWithVotesPrefix, kMaxTokenWithVotesBytes));
  auto claims = read_claims_with_votes(envelope.payload);
  if (!claims.ok()) return fail(refusal(Refusal::Malformed, claims.error()));
  KOA_TRY_VOID(check_sealed_claims(claims.value().claims, envelope, keys, revoked, expected));
  return std::move(claims).value();
}

Result<std::string, std::string> issue_token_with_votes(const Claims& claims,
                                                        const sshsig::RecordedRequest& request,
                                                        std::span<const RecordedVote> votes,
                                                        const SigningKey& key) {
  ClaimsWithVotes with_votes{claims, request, {}};
  with_votes.votes.reserve(votes.size());
  const std::string digest = sshsig::request_digest(request);
  for (std::size_t i = 0; i < votes.size(); ++i) {
    auto vote = token_vote(votes[i]);
    if (!vote.ok()) return fail("vote " + std::to_string(i + 1) + ": " + std::move(vote).error());
    auto binding = vote_binding(vote.value().message, request.id, digest);
    if (!binding.ok()) return fail("vote " + std::to_string(i + 1) + ": " + binding.error().line);
    with_votes.votes.push_back(std::move(vote).value());
  }
  std::string token = sign_token_with_votes(with_votes, key);
  // Whatever a verifier would refuse to read is no token: read it back.
  const PublicKey published{key.kid(), key.public_key(), std::nullopt};
  Expectations expected;
  expected.now = claims.iat;
  auto read = verify_token_with_votes(token, {&published, 1}, {}, expected);
  if (!read.ok()) return fail(std::move(read).error().line);
  return token;
}

}  // namespace kelvane::token
