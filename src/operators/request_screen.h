// One request, whole, as `show` and `watch` put it before the operator.
#pragma once

#include <cstddef>
#include <string>

#include "service/operator_protocol.h"

namespace kelvane::operators {

// The request fenced, every text the requester wrote escaped as the demo
// service shows it: what is asked first (title, then the detail, which for
// sudo starts with the command), so that a long context or environment
// never pushes them off the screen before the prompt; then who asks as the
// kernel and the daemon vouch for it, beside what the request declares;
// then the votes and the verdict. Ends in a line feed.
std::string describe_record(const service::RequestRecord& record);

// What `watch` keeps in view when a key can vote: the title, the verified
// requester, the run-as user a sudo request names, the start of the detail
// (for sudo, the command), the target host and the approvals so far, each
// folded to a few lines, fenced like describe_record. Whatever the request
// holds, it takes at most kSummaryRows rows of an 80-column terminal, so that
// with the question under it it fits one of 24 rows. Ends in a line feed.
std::string summarize_record(const service::RequestRecord& record);
inline constexpr std::size_t kSummaryRows = 16;

}  // namespace kelvane::operators
