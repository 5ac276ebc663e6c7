// The groups a user is in, by name, for the policy rules' `group` key.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelvane::service {

// The names of every group of the user `uid` (its primary group first, each
// once); empty when the uid has no user or its group list cannot be had
// whole. May wait on the name service.
std::vector<std::string> group_names_of(uid_t uid);

}  // namespace kelvane::service
