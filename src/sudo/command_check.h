// Whether the command that sudo will run is what the operator approves:
// the file is found, every link on the way shown, and a command that
// someone other than root could change after the approval is refused, or,
// where sudo.conf has user_writable=ask, put to the operator with a warning
// and the owner, mode and SHA-256 of the file as it was read.
#pragma once

#include <string>

#include "sudo/operation.h"
#include "sudo/plugin_options.h"
#include "support/result.h"

namespace kelvane::sudo {

// Fills resolved_command, links and user_writable. For sudoedit the command
// is the editor, which runs as the invoking user: it is not examined. The
// error is the reason, for the user.
Result<void, std::string> check_command_file(Operation& operation, UserWritable policy);

}  // namespace kelvane::sudo
