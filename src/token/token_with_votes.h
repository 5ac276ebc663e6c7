// Approval tokens that carry the approvers' signed votes:
//   "koa2." + base64url(claims with votes) + "." + base64url(signature)
// signed by the service as a koa1 token is (token.h), the claims those of
// claims_with_votes.h. koa1 stays as it is: each reader takes its own prefix
// only and names the other one when it is given it.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "sshsig/request_digest.h"
#include "support/result.h"
#include "token/claims_with_votes.h"
#include "token/published.h"
#include "token/signing_key.h"
#include "token/token.h"

namespace kelvane::token {

inline constexpr std::string_view kTokenWithVotesPrefix = "koa2.";
// Room for the largest request a token carries and a thousand votes; a
// longer text is refused unread.
inline constexpr std::size_t kMaxTokenWithVotesBytes = 2 << 20;

// The koa2 token of `claims` signed with `key` (whose kid the claims name).
std::string sign_token_with_votes(const ClaimsWithVotes& claims, const SigningKey& key);

// The claims of a koa2 `token` when it is genuine, unexpired, not revoked and
// for what `expected` names (the checks and reasons of verify_token, in its
// order); the votes are read but not yet checked against anyone's keys (see
// vote_proof.h).
Result<ClaimsWithVotes, TokenRefusal> verify_token_with_votes(std::string_view token,
                                                              std::span<const PublicKey> keys,
                                                              std::span<const Revocation> revoked,
                                                              const Expectations& expected);

// A vote as the service recorded it when it counted it.
struct RecordedVote {
  std::string message;  // the vote message's bytes, rebuilt from the record as when it was checked
  std::string signature;  // as the operator sent it: armored, or the base64 of its blob
};

// The koa2 token of an approval whose counted votes are all signed: `claims`
// as for koa1 (their approvers the votes' operators, in order), the request
// as recorded, and its approving votes. Refused (no token, and the service
// gives koa1's instead) when a vote does not read, is not an approval of
// this request, or the token would not fit the bounds a reader keeps.
Result<std::string, std::string> issue_token_with_votes(const Claims& claims,
                                                        const sshsig::RecordedRequest& request,
                                                        std::span<const RecordedVote> votes,
                                                        const SigningKey& key);

}  // namespace kelvane::token
