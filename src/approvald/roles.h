// Who an operator is to the daemon: approver, auditor or neither, from the
// configured user and @group names.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "service/config.h"
#include "support/group_list.h"

namespace kelvane::approvald {

enum class Role { None, Auditor, Approver };

// An operator's user name and the names of all its groups.
struct Identity {
  uid_t uid = 0;
  std::string name;  // "" when the uid has none
  std::vector<std::string> groups;
};

// Approver if named, or a member of a named group, in `approvers` or in the
// approvers of any policy rule; else the same for auditors. A uid without a
// name is named by nothing. Which requests an approver may vote on is the
// request's own list (its rule's approvers, else the top-level ones).
Role role_of(const service::Config& config, const Identity& identity);

// Whether `names` (user names, "@group" names) names the identity.
bool is_named_in(const std::vector<std::string>& names, const Identity& identity);

// Reads the user and group databases; may wait on the name service, so it
// runs on the lookup thread. When the group list cannot be had whole, the
// identity has no groups (it can still be named by its user name).
Identity look_up_identity(uid_t uid, gid_t gid, GroupListCall list_groups = ::getgrouplist);

}  // namespace kelvane::approvald
