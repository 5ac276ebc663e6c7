// The structured facts of the operation, sent as the request's context so
// that a service can show them, or check the digest, without parsing the
// detail text.
#pragma once

#include "json/value.h"
#include "sudo/operation.h"

namespace kelvane::sudo {

// A JSON object: "command" (as sudo gives it), "commandFile" (the file that
// runs, every link followed), "commandLinks" (an array of {"link",
// "target"}), "argv" (an array, argv[0] first), "env", "runAsUser",
// "runAsUid", "runAsGid", "cwd", "settings" (command_info entries,
// NAME=value), "invokingUid", "invokingUser", "userWritable" (only under
// user_writable=ask for a command someone other than root could change:
// {"warning", "owner", "mode", "sha256"}), "tty" (null without a terminal)
// and "pid" (sudo's, left out when sudo did not give it as a number).
json::Value operation_context(const Operation& operation);

}  // namespace kelvane::sudo
