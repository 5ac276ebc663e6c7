// What a koa2 token says: the claims of a koa1 token, the request exactly as
// its service recorded it, and each counted vote with the message its
// operator's key signed and the signature. With the request whole, a
// verifier computes the request digest itself and checks that every vote
// signed this request and that the claims (host, digest, action, requester)
// are the request's, so the votes prove the approval without the service.
//
// As canonical JSON, members in ascending byte order (one line):
//   {"action":..,"approvers":[..],"exp":..,"iat":..,"kid":..,"operationDigest":..,
//    "request":{"action","context","createdAt","detail","host","id","operationDigest",
//               "requester","sourceHost","targetHost","timeoutSecs","title",
//               "verifiedUid","verifiedUser","viaSudo"},
//    "requestId":..,"targetHost":..,"uid":..,"user":..,
//    "votes":[{"keyFingerprint":"SHA256:..","message":B,"signature":B}]}
// where B is base64url of the bytes (the vote message; the detached
// signature's blob, which names its key).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sshsig/request_digest.h"
#include "support/result.h"
#include "token/claims.h"

namespace kelvane::token {

// As many votes as a request may need (the service's `approvals` is at most
// 1000); a token with more is refused unread.
inline constexpr std::size_t kMaxTokenVotes = 1000;
// The request as its digest encodes it; larger requests get a koa1 token.
inline constexpr std::size_t kMaxTokenRequestBytes = 512 * 1024;

struct TokenVote {
  std::string message;          // the vote message's bytes, as the operator's key signed them
  std::string signature;        // the detached signature's blob (ssh-keygen -Y sign's, unarmored)
  std::string key_fingerprint;  // its key's, "SHA256:..." as ssh-keygen -l prints it

  bool operator==(const TokenVote&) const = default;
};

struct ClaimsWithVotes {
  // As in a koa1 token; `approvers` are the votes' operators, in order.
  Claims claims;
  sshsig::RecordedRequest request;
  std::vector<TokenVote> votes;
};

// The canonical compact JSON above.
std::string write_claims_with_votes(const ClaimsWithVotes& claims);

// The claims in `text`, or why they are not: what read_claims refuses, a
// request that is not the claims' own (id, action, target host, operation
// digest, requester) or larger than kMaxTokenRequestBytes, no votes or
// more than kMaxTokenVotes, a vote whose message or signature does not read
// or whose fingerprint is not its key's, approvers that are not the votes'
// operators, or any byte other than write_claims_with_votes makes.
Result<ClaimsWithVotes, std::string> read_claims_with_votes(std::string_view text);

}  // namespace kelvane::token
