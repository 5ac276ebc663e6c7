#include "votes.h"

namespace kelvane::approvald {

Result<Outcome, std::string> judge_vote(const service::RequestRecord& request, uid_t voter,
                                        bool approve) {
  if (voter == request.verified_uid) {
    return fail("request " + request.id +
                " is your own: someone else has to decide it (no self-approval)");
  }
  std::uint64_t yes = 0;
  for (const service::VoteRecord& vote : request.votes) {
    if (vote.uid == voter) return fail("you have already voted on request " + request.id);
    if (vote.approve) ++yes;
  }
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
