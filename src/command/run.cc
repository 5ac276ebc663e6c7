#include "command/run.h"

#include <cstdlib>
#include <optional>

#include "approval/connection.h"
#include "approval/outcome.h"
#include "approval/request_options.h"
#include "support/out_of_memory.h"
#include "support/write_loop.h"

namespace kelvane::command {
namespace {

// The exchange and the report built from its result. The report copies the
// decision's texts; should that exhaust memory, no verdict can be given, and
// the caller must not take silence for an approval.
approval::Report ask_service(approval::OperatorApprovalRequest request,
                             const approval::EnvLookup& env) {
  return unless_out_of_memory(
      [&] {
        Result<approval::OperatorApprovalDecision, io::Error> decision =
            approval::request_decision(std::move(request), env);
        return decision.ok() ? approval::report_decision(decision.value())
                             : approval::report_unavailable(decision.error());
      },
      [] { return approval::report_unavailable(io::Error::bare(io::ErrorKind::OutOfMemory)); });
}

// The options hold whole files and the JSON read from them. One too large
// for memory ends the run like any other unusable argument, not with an
// abort that a caller would take for a crash.
Result<approval::OperatorApprovalRequest, approval::UsageError> read_options(
    std::span<const std::string_view> args, const approval::EnvLookup& env) {
  return unless_out_of_memory(
      [&] { return approval::parse_args(args, env("HOSTNAME")); },
      []() -> Result<approval::OperatorApprovalRequest, approval::UsageError> {
        return fail(approval::UsageError{"out of memory\n"});
      });
}

}  // namespace

int run(std::span<const std::string_view> args, const approval::EnvLookup& env, int out_fd,
        int err_fd) {
  auto fields = read_options(args, env);
  if (!fields.ok()) {
    (void)io::write_fully(err_fd, fields.error().output);
    return approval::kUsage;
  }
  // The fields are the request; its id stays empty, no option sets it.
  return approval::emit(ask_service(std::move(fields).value(), env), out_fd, err_fd);
}

int run(std::span<const std::string_view> args, int out_fd, int err_fd) {
  return run(args, approval::process_env, out_fd, err_fd);
}

}  // namespace kelvane::command
