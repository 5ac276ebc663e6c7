// What --check-config says about the names a configuration gives: users,
// groups and notify programs that this system does not know.
#pragma once

#include <string>
#include <vector>

#include "service/config.h"

namespace kelvane::service {

// One warning per name that does not resolve, in the file's order of keys:
// "approvers: no user "alcie" on this system". A warning, not an error: a
// directory service that is down for a moment must not stop the service.
// May wait on the name service.
std::vector<std::string> unresolved_names(const Config& config);

}  // namespace kelvane::service
