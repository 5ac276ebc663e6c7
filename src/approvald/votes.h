// What one operator's vote does to a pending request.
#pragma once

#include <string>

#include "service/operator_protocol.h"
#include "service/person.h"
#include "support/result.h"

namespace kelvane::approvald {

enum class Outcome { StillPending, Approved, Denied };

// Judges a vote on `request` (its votes so far in `request.votes`). Refused,
// with the reason for the operator, unless the voter is another person than
// the requester and than every earlier voter (service::not_one_more_vote:
// one person, one vote). Any deny denies; `needed` yes votes approve.
Result<Outcome, std::string> judge_vote(const service::RequestRecord& request,
                                        const service::Person& voter, bool approve);

// The detail the requester is sent for a decided request.
std::string verdict_detail(const service::RequestRecord& request, Outcome outcome);

}  // namespace kelvane::approvald
