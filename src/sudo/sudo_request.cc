#include "sudo/sudo_request.h"

#include <span>

#include "sudo/command_file.h"
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
  std::string title = operation.sudoedit ? "sudoedit: " : "sudo: ";
  if (operation.user_writable) title.insert(0, "WARNING, changeable command: ");
  return shortened(title + shell_join(operation.argv), kTitleLimit);
}

namespace {

std::string user_with_ids(std::string_view name, uid_t uid) {
  return shell_quote(name) + " (uid " + std::to_string(uid);
}

void append_command(std::string& detail, const Operation& operation) {
  // read_operation never gives an empty argv.
  const std::span<const std::string> argv(operation.argv);
  detail.append("command: ").append(shell_quote(operation.command));
  for (const std::string& arg : argv.subspan(1)) detail.append(1, ' ').append(shell_quote(arg));
  if (operation.resolved_command != operation.command) {
    detail.append("\nruns: ").append(shell_quote(operation.resolved_command));
  }
  for (const SymbolicLink& link : operation.links) {
    detail.append("\nsymbolic link: ").append(shell_quote(link.link));
    detail.append(" -> ").append(shell_quote(link.target));
  }
  if (operation.user_writable) {
    const FileFacts& file = operation.user_writable->file;
    detail.append("\nfile as read: owner ").append(owner_words(file.owner));
    detail.append(", mode ").append(mode_text(file.mode));
    detail.append(", sha256 ").append(file.sha256);
  }
  detail.append("\nargv[0]: ").append(shell_quote(argv.front()));
}

void append_run_as(std::string& detail, const Operation& operation) {
  const std::string runas = user_with_ids(operation.runas_user, operation.runas_uid) + ", gid " +
                            std::to_string(operation.runas_gid) + ")";
  if (!operation.sudoedit) {
    detail.append("\nrun as: ").append(runas);
    return;
  }
  // sudoedit runs the editor with the invoking user's rights on copies, and
  // writes the copies back over the files as the run-as user.
  detail.append("\neditor runs as: ").append(user_with_ids(operation.user, operation.user_uid));
  detail.append("), the invoking user, on copies of the files");
  detail.append("\nfiles written back as: ").append(runas);
}

void append_list(std::string& detail, std::string_view heading,
                 const std::vector<std::string>& items) {
  detail.append(1, '\n').append(heading).append(1, ':');
  if (items.empty()) detail.append(" (empty)");
  for (const std::string& item : items) detail.append("\n  ").append(shell_quote(item));
}

}  // namespace

std::string request_detail(const Operation& operation) {
  std::string detail;
  if (operation.user_writable) {
    detail.append("WARNING: ").append(operation.user_writable->warning);
    detail.append("; the file can still change after the approval\n");
  }
  append_command(detail, operation);
  append_run_as(detail, operation);
  detail.append("\nworking directory: ").append(shell_quote(operation.cwd));
  detail.append("\ninvoked by: ").append(user_with_ids(operation.user, operation.user_uid));
  detail.append(")");
  append_list(detail, "settings", operation.settings);
  append_list(detail, "environment", operation.env);
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
