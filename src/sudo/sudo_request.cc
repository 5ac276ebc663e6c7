#include "sudo/sudo_request.h"

#include <span>

#include "sudo/context.h"
#include "sudo/operation_digest.h"
#include "sudo/shell_quote.h"

namespace kelvane::sudo {
namespace {

constexpr std::string_view kEllipsis = "\u2026";

bool is_continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The text cut to at most `limit` bytes with the ellipsis, at the start of a
// character.
std::string shortened(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit - kEllipsis.size();
  while (cut > 0 && is_continuation_byte(text[cut])) --cut;
  text.resize(cut);
  text.append(kEllipsis);
  return text;
}

}  // namespace

std::string request_title(const Operation& operation) {
  return shortened("sudo: " + shell_join(operation.argv), kTitleLimit);
}

std::string request_detail(const Operation& operation) {
  // read_operation never gives an empty argv.
  const std::span<const std::string> argv(operation.argv);
  std::string detail = "command: " + shell_quote(operation.command);
  for (const std::string& arg : argv.subspan(1)) detail.append(1, ' ').append(shell_quote(arg));
  detail.append("\nargv[0]: ").append(shell_quote(argv.front()));
  detail.append("\nrun as: ").append(shell_quote(operation.runas_user));
  detail.append(" (uid ").append(std::to_string(operation.runas_uid));
  detail.append(", gid ").append(std::to_string(operation.runas_gid)).append(")");
  detail.append("\nworking directory: ").append(shell_quote(operation.cwd));
  detail.append("\nenvironment:");
  if (operation.env.empty()) detail.append(" (empty)");
  for (const std::string& entry : operation.env) detail.append("\n  ").append(shell_quote(entry));
  return detail;
}

approval::OperatorApprovalRequest build_request(const Operation& operation,
                                                const PluginOptions& options) {
  approval::OperatorApprovalRequest request;
  request.title = request_title(operation);
  request.detail = request_detail(operation);
  request.action = std::string(kAction);
  request.requester = operation.user;
  request.source_host = operation.host;
  request.target_host = operation.host;
  request.operation_digest = operation_digest(operation);
  request.context = operation_context(operation);
  request.timeout_secs = options.timeout_secs;
  return request;
}

}  // namespace kelvane::sudo
