#include "votes.h"

namespace kelvane::approvald {

Result<Outcome, std::string> judge_vote(const service::RequestRecord& request,
                                        const service::Person& voter, bool approve) {
  if (auto refusal = service::not_one_more_vote(request, voter)) return fail(std::move(*refusal));
  std::uint64_t yes = 0;
  for (const service::VoteRecord& vote : request.votes) yes += vote.approve ? 1 : 0;
  if (!approve) return Outcome::Denied;
  return yes + 1 >= request.needed ? Outcome::Approved : Outcome::StillPending;
}

std::string verdict_detail(const service::RequestRecord& request, Outcome outcome) {
  if (outcome == Outcome::Denied) {
    for (const service::VoteRecord& vote : request.votes) {
      if (vote.approve) continue;
      if (vote.reason && !vote.reason->empty()) return *vote.reason;
      return "denied by " +
             (vote.operator_name.empty() ? "uid " + std::to_string(vote.uid) : vote.operator_name);
    }
    return "denied";
  }
  std::string detail = "approved by ";
  bool first = true;
  for (const service::VoteRecord& vote : request.votes) {
    if (!vote.approve) continue;
    if (!first) detail += ", ";
    first = false;
    detail += vote.operator_name.empty() ? "uid " + std::to_string(vote.uid) : vote.operator_name;
  }
  return detail;
}

}  // namespace kelvane::approvald
