// One request, whole, as `show` and `watch` put it before the operator.
#pragma once

#include <string>

#include "service/operator_protocol.h"

namespace kelvane::approvals {

// The request fenced, every text the requester wrote escaped as the demo
// service shows it: what is asked first (title, then the detail, which for
// sudo starts with the command), so that a long context or environment
// never pushes them off the screen before the prompt; then who asks as the
// kernel and the daemon vouch for it, beside what the request declares;
// then the votes and the verdict. Ends in a line feed.
std::string describe_record(const service::RequestRecord& record);

}  // namespace kelvane::approvals
