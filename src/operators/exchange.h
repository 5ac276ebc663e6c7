// One question to the daemon and its answer: connect, one line out, one
// line back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "operators/daemon_link.h"
#include "service/operator_protocol.h"

namespace kelvane::operators {

// Sends `request` on `link` and reads its answer. An event, or a line that
// is not the protocol's, is the daemon failing us (Unreachable).
Result<service::OperatorAnswer, Unreachable> exchange(DaemonLink& link,
                                                      const service::OperatorRequest& request);

// The same on a connection of its own to the socket at `path`.
Result<service::OperatorAnswer, Unreachable> ask_daemon(const std::string& path,
                                                        const service::OperatorRequest& request);

// For `--json`: the array of request objects that a successful answer line
// carries in member `name`, as the daemon wrote it, found without decoding
// each object (ten thousand of them take a while to decode). Only its
// outline is checked: an array of objects. nullopt when the line is anything
// else, such as a refusal, which the caller then decodes in full.
std::optional<std::string_view> request_array_text(std::string_view line, std::string_view name);

}  // namespace kelvane::operators
