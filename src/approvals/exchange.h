// One question to the daemon and its answer: connect, one line out, one
// line back.
#pragma once

#include <string>

#include "approvals/daemon_link.h"
#include "service/operator_protocol.h"

namespace kelvane::approvals {

struct Answered {
  service::OperatorAnswer answer;
  std::string line;  // as it came, without its line feed
};

// Sends `request` on `link` and reads its answer. An event, or a line that
// is not the protocol's, is the daemon failing us (Unreachable).
Result<Answered, Unreachable> exchange(DaemonLink& link, const service::OperatorRequest& request);

// The same on a connection of its own to the socket at `path`.
Result<Answered, Unreachable> ask_daemon(const std::string& path,
                                         const service::OperatorRequest& request);

// The JSON text of one member of an answer line as the daemon wrote it
// (`name` without quotes); empty when the line has no such member.
std::string member_text(std::string_view line, std::string_view name);

}  // namespace kelvane::approvals
