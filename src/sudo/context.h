// The structured facts of the operation, sent as the request's context so
// that a service can show them, or check the digest, without parsing the
// detail text.
#pragma once

#include "json/value.h"
#include "sudo/operation.h"

namespace kelvane::sudo {

// A JSON object: "command", "argv" (an array, argv[0] first), "runAsUser",
// "runAsUid", "runAsGid", "cwd", "tty" (null without a terminal) and "pid"
// (sudo's, left out when sudo did not give it).
json::Value operation_context(const Operation& operation);

}  // namespace kelvane::sudo
