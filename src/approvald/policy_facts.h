// The facts the policy rules decide on, gathered for one request: the
// verified user's groups (from the group database, so on the lookup thread)
// and, for a request verified as from sudo, what the plugin reports sudo is
// about to run.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "service/policy.h"
#include "service/request.h"
#include "service/user_groups.h"
#include "service/verified_requester.h"

namespace kelvane::approvald {

// The facts of `request` from `who`. The sudo facts are taken from the
// request's context only when `who` is verified as root running sudo:
// anyone else may write the same members.
service::PolicyFacts policy_facts(const service::Request& request,
                                  const service::VerifiedRequester& who,
                                  std::vector<std::string> groups);

}  // namespace kelvane::approvald
