// The groups a user is in, by name, for the policy rules' `group` key.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/group_list.h"
#include "support/result.h"

namespace kelvane::service {

// The names of every group of the user `uid` (its primary group first, each
// once); empty when the uid has no user. An error when its group list
// cannot be had whole: a rule's `group` must not be judged on a guess (a
// deny rule on a group would let its members through). May wait on the
// name service.
Result<std::vector<std::string>, std::string> group_names_of(
    uid_t uid, GroupListCall list_groups = ::getgrouplist);

}  // namespace kelvane::service
