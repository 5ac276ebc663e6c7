#include "sudo/verdict.h"

#include <csignal>

#include "approval/outcome.h"

namespace kelvane::sudo {
namespace {

std::string without_line_feed(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The last line of whole lines, with the words every outcome ends with when
// the command does not run.
std::string ended_not_run(std::string lines) {
  return without_line_feed(std::move(lines)).append(kNotRun).append(1, '\n');
}

std::string_view signal_name(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

}  // namespace

Verdict verdict_of(const Result<approval::OperatorApprovalDecision, io::Error>& outcome) {
  if (!outcome.ok()) {
    approval::Report report = approval::report_unavailable(outcome.error());
    std::string message = ended_not_run(std::move(report.error_lines));
    std::string reason = without_line_feed(message);
    return {kError, std::move(message), std::move(reason)};
  }
  const approval::OperatorApprovalDecision& decision = outcome.value();
  approval::Report report = approval::report_decision(decision);
  switch (report.status) {
    case approval::kApproved:
      return {kRun, std::move(report.error_lines), {}};
    case approval::kDenied:
      return {kRefused, ended_not_run(std::move(report.error_lines)), decision.detail};
    default: {
      // "APPROVED", "Approved" and the like too: only "approved" runs.
      std::string message = ended_not_run(std::move(report.error_lines));
      std::string reason = without_line_feed(message);
      return {kError, std::move(message), std::move(reason)};
    }
  }
}

Verdict refusal(std::string_view reason) {
  std::string message =
      std::string(kMessagePrefix).append("refused: ").append(reason).append(kNotRun);
  return {kError, message + '\n', message};
}

Verdict interruption(int signal) {
  std::string message = std::string(kMessagePrefix)
                            .append("interrupted by ")
                            .append(signal_name(signal))
                            .append(" before the operator answered")
                            .append(kNotRun);
  return {kError, message + '\n', message};
}

}  // namespace kelvane::sudo
