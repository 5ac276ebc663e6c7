// What one operator's vote does to a pending request.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "service/config.h"
#include "service/operator_protocol.h"
#include "service/person.h"
#include "sshsig/allowed_signers.h"
#include "support/result.h"

namespace kelvane::approvald {

enum class Outcome { StillPending, Approved, Denied };

// Judges a vote on `request` (its votes so far in `request.votes`). Refused,
// with the reason for the operator, unless the voter is another person than
// the requester and than every earlier voter (service::not_one_more_vote:
// one person, one vote). Any deny denies; `needed` yes votes approve.
Result<Outcome, std::string> judge_vote(const service::RequestRecord& request,
                                        const service::Person& voter, bool approve);

// How far a signed vote's time may stray from this service's clock: the
// operators' command signs just before it sends.
inline constexpr std::int64_t kSignedVoteSkewSecs = 300;

// What a vote carries of its signature, once checked (all absent for an
// unsigned vote).
struct VoteSignature {
  std::optional<std::string> signature;
  std::optional<std::string> key_fingerprint;
  std::optional<std::int64_t> signed_at;
};

// Checks the signature `request` carries for a vote on `record` by
// `operator_name`, through the service that stands for `service_host`, at
// `now`: the daemon rebuilds the vote message from its own record, and the
// key must be one `keys` lets that operator sign with (config.require_touch:
// a security key, touched). Refused, with the reason for the operator, when
// the signature does not verify, when the key already voted on this request
// (for anyone: distinct keys as well as distinct people), or when the vote
// is unsigned and config.require_signed_votes.
Result<VoteSignature, std::string> check_vote_signature(
    const service::RequestRecord& record, const service::OperatorRequest& request,
    std::string_view operator_name, const service::Config& config,
    std::span<const sshsig::AllowedSigner> keys, std::string_view service_host, std::int64_t now);

// The detail the requester is sent for a decided request.
std::string verdict_detail(const service::RequestRecord& request, Outcome outcome);

}  // namespace kelvane::approvald
