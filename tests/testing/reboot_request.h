// The smallest complete request (the required options only, HOSTNAME unset)
// and the exact line it is sent as; shared by the request, exchange and
// end-to-end tests.
#pragma once

#include <string_view>

#include "approval/request.h"

namespace kelvane::testing {

inline approval::OperatorApprovalRequest reboot_request() {
  approval::OperatorApprovalRequest r;
  r.title = "Reboot";
  r.detail = "Kernel update";
  r.action = "admin_operation";
  r.requester = "cli";
  r.source_host = "unknown";
  r.target_host = "web-03";
  return r;
}

inline constexpr std::string_view kRebootRequestLine =
    R"({"id":"","title":"Reboot","detail":"Kernel update","action":"admin_operation",)"
    R"("requester":"cli","sourceHost":"unknown","targetHost":"web-03"})"
    "\n";

}  // namespace kelvane::testing
