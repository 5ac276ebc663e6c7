#include "service/person.h"

namespace kelvane::service {

// SQL: kelvane_approval.same_person (src/fleet/schema.cc) says the same.
bool same_person(const Person& a, const Person& b) {
  if (!a.name.empty() && a.name == b.name) return true;
  return a.host == b.host && a.uid == b.uid;
}

Person requester_of(const RequestRecord& request) {
  return Person{request.host ? std::string_view(*request.host) : std::string_view(),
                request.verified_user, request.verified_uid};
}

Person voter_of(const VoteRecord& vote) {
  return Person{vote.host ? std::string_view(*vote.host) : std::string_view(), vote.operator_name,
                vote.uid};
}

std::optional<std::string> not_one_more_vote(const RequestRecord& request, const Person& voter) {
  if (same_person(requester_of(request), voter)) {
    return "request " + request.id +
           " is your own: someone else has to decide it (no self-approval, through any host "
           "and under any account of yours)";
  }
  for (const VoteRecord& vote : request.votes) {
    if (!same_person(voter_of(vote), voter)) continue;
    std::string as =
        vote.operator_name.empty() ? "uid " + std::to_string(vote.uid) : vote.operator_name;
    if (vote.host) as += "@" + *vote.host;
    return "you have already voted on request " + request.id + " (as " + as +
           "): one person, one vote";
  }
  return std::nullopt;
}

}  // namespace kelvane::service
