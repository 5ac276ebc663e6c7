#include "approval/outcome.h"

#include "support/message_prefix.h"
#include "support/write_loop.h"

namespace kelvane::approval {

Report report_decision(const OperatorApprovalDecision& d) {
  Report r;
  if (d.verdict == "approved") {
    r.error_lines.append(kMessagePrefix).append("APPROVED (").append(d.detail).append(")\n");
    if (d.token_expires_at) {
      r.error_lines.append(kMessagePrefix)
          .append("token expires at ")
          .append(*d.token_expires_at) += '\n';
    }
    if (d.approval_token) r.token_line = *d.approval_token + '\n';
    r.status = kApproved;
  } else if (d.verdict == "denied") {
    r.error_lines.append(kMessagePrefix).append("DENIED (").append(d.detail).append(")\n");
    r.status = kDenied;
  } else {
    r.error_lines.append(kMessagePrefix)
        .append(d.verdict)
        .append(" (")
        .append(d.detail)
        .append(")\n");
    r.status = kOtherVerdict;
  }
  return r;
}

Report report_unavailable(const io::Error& error) {
  Report r;
  r.error_lines.append(kMessageSource).append(" unavailable: ").append(error.to_string()) += '\n';
  r.status = kUnavailable;
  return r;
}

int emit(const Report& report, int out_fd, int err_fd) {
  // A failing standard error has nowhere to be reported; the status stands.
  (void)io::write_fully(err_fd, report.error_lines);
  if (!report.token_line) return report.status;
  Result<void, io::Error> written = io::write_fully(out_fd, *report.token_line);
  if (written.ok()) return report.status;
  std::string message(kMessagePrefix);
  message += "could not write the approval token: ";
  message.append(written.error().to_string()) += '\n';
  (void)io::write_fully(err_fd, message);
  return kUnavailable;
}

}  // namespace kelvane::approval
