// Turning the result of the exchange into output lines and an exit status:
// the client's, and the sudo plugin's messages, which say the same.
#pragma once

#include <optional>
#include <string>

#include "approval/decision.h"
#include "support/io_error.h"

namespace kelvane::approval {

enum ExitStatus : int {
  kApproved = 0,
  kDenied = 1,
  kUsage = 2,
  kUnavailable = 3,
  kOtherVerdict = 4,
};

// What a run writes at its end: lines for standard error, the token line for
// standard output (only for an approval that carries a token), the status.
struct Report {
  std::string error_lines;
  std::optional<std::string> token_line;
  int status;
};

Report report_decision(const OperatorApprovalDecision& decision);
Report report_unavailable(const io::Error& error);

// Writes a report: standard error first, then the token line. A token that
// cannot be written turns the approval into a failure with status 3, so that
// no script goes on without the token it was promised.
int emit(const Report& report, int out_fd, int err_fd);

}  // namespace kelvane::approval
