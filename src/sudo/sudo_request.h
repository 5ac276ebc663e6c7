// The approval request that stands for one sudo command.
#pragma once

#include <cstddef>
#include <string>

#include "approval/request.h"
#include "sudo/operation.h"
#include "sudo/plugin_options.h"

namespace kelvane::sudo {

inline constexpr std::string_view kAction = "sudo";
// Titles are shown where space is short (a list, a notification).
inline constexpr std::size_t kTitleLimit = 80;

// "sudo: " ("sudoedit: " for sudo -e) and the arguments as typed, argv[0]
// first, each quoted as the shell needs it, after a warning for a command
// that others could change (user_writable=ask); past kTitleLimit bytes cut to fit with "…" at the
// end, never inside a UTF-8 sequence.
std::string request_title(const Operation& operation);

// One fact a line, each argument quoted as the shell needs it:
//   [WARNING: ...; the file can still change after the approval]
//   command: ./tool --check
//   [runs: /usr/local/libexec/tool]         the file, when it differs
//   [symbolic link: /srv/tool -> ...]        each link met
//   [file as read: owner ..., mode ..., sha256 ...]
//   argv[0]: ./tool
//   run as: root (uid 0, gid 0)             sudoedit: "editor runs as:" and
//                                           "files written back as:"
//   working directory: /home/alice
//   invoked by: alice (uid 1000)
//   settings: (empty), or one NAME=value a line after "settings:"
//   environment: (empty), or one NAME=value a line after "environment:"
// The command line starts with the path that will be executed; argv[0],
// which the program sees as its name, follows on its own line.
std::string request_detail(const Operation& operation);

// Title, detail, action "sudo", the invoking user as requester, sudo's host
// as source and target, the digest, the context and the timeout option.
approval::OperatorApprovalRequest build_request(const Operation& operation,
                                                const PluginOptions& options);

}  // namespace kelvane::sudo
