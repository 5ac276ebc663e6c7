// What a koa2 token's votes prove, checked against an allowed-signers file
// the verifier's administrator gave it (never one a service published):
// each vote is its operator's signature, by a key the file lets that
// operator sign with, of an approval of exactly this token's request; and
// enough distinct people with distinct keys approved.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sshsig/allowed_signers.h"
#include "sshsig/vote_message.h"
#include "support/result.h"
#include "token/claims_with_votes.h"
#include "token/token.h"

namespace kelvane::token {

// A vote signed more than this after the token was made was not counted
// for it (the service takes votes signed up to this far ahead of its clock).
inline constexpr std::uint64_t kVoteClockSkewSecs = 300;

// The fields of the vote message `message` when it approves request
// `request_id` whose digest is `request_digest`; otherwise BadVote (it does
// not read, or it denies) or OtherRequest (signed for another request).
Result<sshsig::VoteMessage, TokenRefusal> vote_binding(std::string_view message,
                                                       std::string_view request_id,
                                                       std::string_view request_digest);

struct ProvenApproval {
  std::string name;             // the operator, as the vote and the file name them
  std::string key_fingerprint;  // "SHA256:..."
  std::uint64_t signed_at = 0;  // the vote message's time
};

struct ProofRules {
  std::size_t min_approvers = 1;
  bool require_touch = false;  // only security keys, touched
};

// The distinct approvals the votes of `claims` prove against `signers`, in
// the token's order. Every vote must hold (a vote that does not is refused,
// not passed over: a token carrying a forged vote is no evidence of
// anything); a vote whose person or key an earlier vote already counted
// counts for nothing; fewer than rules.min_approvers is TooFewApprovers.
Result<std::vector<ProvenApproval>, TokenRefusal> prove_approvals(
    const ClaimsWithVotes& claims, std::span<const sshsig::AllowedSigner> signers,
    const ProofRules& rules);

}  // namespace kelvane::token
