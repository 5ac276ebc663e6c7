#include "token/vote_proof.h"

#include <algorithm>
#include <limits>

#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "sshsig/request_digest.h"
#include "sshsig/shown.h"
#include "sshsig/verify.h"
#include "token/envelope.h"

namespace kelvane::token {
namespace {

Failure<TokenRefusal> refuse(Refusal reason, std::string detail) {
  return fail(refusal(reason, std::move(detail)));
}

std::string vote_name(std::size_t index, std::string_view operator_user) {
  return "vote " + std::to_string(index + 1) + " (" + sshsig::shown(operator_user) + ")";
}

// The proof of one vote, already bound to the request: its signature over
// its message in the vote namespace, by a key the file lets its operator
// sign with at the time the message names.
Result<ProvenApproval, TokenRefusal> prove_vote(const TokenVote& vote,
                                                const sshsig::VoteMessage& message,
                                                const std::string& who,
                                                std::span<const sshsig::AllowedSigner> signers,
                                                const ProofRules& rules) {
  auto detached = sshsig::read_signature_blob(vote.signature);
  if (!detached.ok()) return refuse(Refusal::BadVote, who + ": " + detached.error());
  sshsig::Requirements requirements;
  requirements.user_presence = true;
  requirements.security_key = rules.require_touch;
  auto verified =
      sshsig::verify_detached(detached.value(), vote.message, sshsig::kVoteNamespace, requirements);
  if (!verified.ok()) return refuse(Refusal::BadVote, who + ": " + verified.error());
  const std::string fingerprint = sshsig::fingerprint(verified.value().key);
  const auto when = static_cast<std::int64_t>(
      std::min<std::uint64_t>(message.time, std::numeric_limits<std::int64_t>::max()));
  auto signer = sshsig::find_signer(signers, message.operator_user, verified.value().key,
                                    sshsig::kVoteNamespace, when);
  if (!signer.ok()) {
    return refuse(Refusal::UnknownSigner, who + ": the key " + fingerprint + " may not sign for " +
                                              sshsig::shown(message.operator_user) + ": " +
                                              signer.error());
  }
  return ProvenApproval{message.operator_user, fingerprint, message.time};
}

// vote_binding, its line's detail after `who`.
Result<sshsig::VoteMessage, TokenRefusal> bound_vote(std::string_view message,
                                                     std::string_view request_id,
                                                     std::string_view request_digest,
                                                     const std::string& who) {
  auto read = sshsig::read_vote_message(message);
  if (!read.ok())
    return refuse(Refusal::BadVote, who + "its message does not read: " + read.error());
  const sshsig::VoteMessage& m = read.value();
  if (m.request_id != request_id) {
    return refuse(Refusal::OtherRequest,
                  who + "it was signed for request " + sshsig::shown(m.request_id));
  }
  if (m.request_digest != request_digest) {
    return refuse(Refusal::OtherRequest, who + "it was signed for another request of id " +
                                             sshsig::shown(m.request_id) +
                                             " (the request digest differs)");
  }
  if (m.vote != sshsig::Vote::Approve)
    return refuse(Refusal::BadVote, who + "it denies the request");
  return std::move(read).value();
}

}  // namespace

Result<sshsig::VoteMessage, TokenRefusal> vote_binding(std::string_view message,
                                                       std::string_view request_id,
                                                       std::string_view request_digest) {
  return bound_vote(message, request_id, request_digest, "");
}

Result<std::vector<ProvenApproval>, TokenRefusal> prove_approvals(
    const ClaimsWithVotes& claims, std::span<const sshsig::AllowedSigner> signers,
    const ProofRules& rules) {
  // Computed here from the request the token carries, never taken from it.
  const std::string digest = sshsig::request_digest(claims.request);
  std::vector<ProvenApproval> counted;
  for (std::size_t i = 0; i < claims.votes.size(); ++i) {
    const TokenVote& vote = claims.votes[i];
    KOA_TRY(message, bound_vote(vote.message, claims.claims.request_id, digest,
                                "vote " + std::to_string(i + 1) + ": "));
    const std::string who = vote_name(i, message.operator_user);
    const std::uint64_t iat = claims.claims.iat;
    if (message.time > iat && message.time - iat > kVoteClockSkewSecs)
      return refuse(Refusal::BadVote, who + ": it was signed after the token was made");
    KOA_TRY(proven, prove_vote(vote, message, who, signers, rules));
    const bool again = std::any_of(counted.begin(), counted.end(), [&](const ProvenApproval& p) {
      return p.name == proven.name || p.key_fingerprint == proven.key_fingerprint;
    });
    if (!again) counted.push_back(std::move(proven));
  }
  if (counted.size() < rules.min_approvers) {
    return refuse(Refusal::TooFewApprovers, std::to_string(counted.size()) + " distinct " +
                                                (counted.size() == 1 ? "person" : "people") +
                                                " with distinct keys approved; " +
                                                std::to_string(rules.min_approvers) +
                                                " are required");
  }
  return counted;
}

}  // namespace kelvane::token
