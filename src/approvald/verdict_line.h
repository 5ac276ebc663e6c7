// The decision line sent to a requester: the client's verdict and detail,
// the approval token for an approval, and the request's id as requestId
// (the client skips members it does not know).
#pragma once

#include <string>
#include <string_view>

namespace kelvane::approvald {

// With its line feed. Token and expiry are left out when empty, and so is
// the id (a connection refused before it had one).
std::string verdict_line(std::string_view verdict, std::string_view detail,
                         std::string_view request_id, std::string_view token = {},
                         std::string_view expires_at = {});

}  // namespace kelvane::approvald
