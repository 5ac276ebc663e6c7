// Whether an approvers list names a person: the one rule of who may vote
// on a request, wherever it is checked (an operator's role, a rule's own
// approvers, the fleet's count). The fleet's database states it in SQL,
// where no service can get around it: kelvane_approval.named_by
// (src/fleet/schema.cc); a test holds the two to the same cases.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvane::service {

// `approvers` as the configuration writes them: user names and "@group"
// names. A person is named by their user name (a person without one, a uid
// with no name, is named by no user entry) or by one of `groups`.
bool names_person(const std::vector<std::string>& approvers, std::string_view user,
                  const std::vector<std::string>& groups);

}  // namespace kelvane::service
