// What one operator's vote does to a pending request.
#pragma once

#include <sys/types.h>

#include <string>

#include "service/operator_protocol.h"
#include "support/result.h"

namespace kelvane::approvald {

enum class Outcome { StillPending, Approved, Denied };

// Judges a vote on `request` (its votes so far in `request.votes`). Refused,
// with the reason for the operator: a vote on one's own request (the
// verified requester, so the invoking user for sudo) and a second vote by the
// same operator. Any deny denies; `needed` yes votes of different operators
// approve.
Result<Outcome, std::string> judge_vote(const service::RequestRecord& request, uid_t voter,
                                        bool approve);

// The detail the requester is sent for a decided request.
std::string verdict_detail(const service::RequestRecord& request, Outcome outcome);

}  // namespace kelvane::approvald
