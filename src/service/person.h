// Who counts as one person when votes are counted: the rule that gives each
// person one vote on a request and none on their own.
//
// A person is a login name; on one host also a uid. Two accounts that share
// either are one person: a local and a directory account with one name
// (two uids), or one uid whose name changed between two lookups. A login
// name is one person across the fleet, as the approvers lists already read
// it; a uid only on its own host (uid 1000 on web1 and on web2 are nobody
// in common).
//
// The fleet's database holds the same rule in SQL, where no service can
// get around it: kelvane_approval.same_person, the two keys of
// kelvane_approval.votes and counted_votes (src/fleet/schema.cc, schema
// version 4). A change here is a change there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/operator_protocol.h"

namespace kelvane::service {

struct Person {
  // The host whose service vouches for the uid: "" on a single service,
  // where every request and vote is this host's.
  std::string_view host;
  std::string_view name;  // "" when the uid has no name: then only the uid tells
  std::uint64_t uid = 0;
};

// The rule itself.
bool same_person(const Person& a, const Person& b);

// The requester of a request (its verified uid and that uid's name, at the
// host it waits on) and the voter of a vote.
Person requester_of(const RequestRecord& request);
Person voter_of(const VoteRecord& vote);

// Why `voter` may not vote on `request` as it stands (its votes so far):
// they are its requester, or they voted on it already (under this uid or
// name, or another of theirs). Nullopt when neither.
std::optional<std::string> not_one_more_vote(const RequestRecord& request, const Person& voter);

}  // namespace kelvane::service
