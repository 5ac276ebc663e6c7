#include "command/run.h"

#include <cstdlib>
#include <optional>

#include "command/options.h"
#include "command/outcome.h"
#include "command/output.h"

namespace kelvane::command {
namespace {

std::optional<std::string_view> env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string_view>(value) : std::nullopt;
}

}  // namespace

int run(std::span<const std::string_view> args, int out_fd, int err_fd) {
  auto fields = parse_args(args, env("HOSTNAME"));
  if (!fields.ok()) {
    (void)write_fully(err_fd, fields.error().output);
    return kUsage;
  }
  approval::OperatorApprovalRequest request = std::move(fields).value();
  // The exchange with the service arrives with the connection code.
  return emit(report_unavailable(io::Error::fixed(io::ErrorKind::Other, "not connected")), out_fd,
              err_fd);
}

}  // namespace kelvane::command
