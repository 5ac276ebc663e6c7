// The groups of a user as the group database lists them (getgrouplist),
// for the approvers' and auditors' group names and a notify command's
// supplementary groups.
#pragma once

#include <grp.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/result.h"

namespace kelvane {

// getgrouplist's shape, so that a test can stand in for the database.
using GroupListCall = int (*)(const char* user, gid_t group, gid_t* groups, int* count);

// Every group of `user`, `primary` included, as the database lists them.
// The list is asked for again with a larger buffer while it does not fit
// (it may grow between two calls); when it never fits, or the database
// gives no usable count, the error says so and no partial or padded list
// is returned: a group the user is not in must never count as one.
Result<std::vector<gid_t>, std::string> group_list(const std::string& user, gid_t primary,
                                                   GroupListCall call = ::getgrouplist);

}  // namespace kelvane
