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

// "sudo: " and the arguments as typed, argv[0] first, each quoted as the
// shell needs it; past kTitleLimit bytes cut to fit with "…" at the end,
// never inside a UTF-8 sequence.
std::string request_title(const Operation& operation);

// Four lines, each argument quoted as the shell needs it:
//   command: /usr/bin/systemctl restart nginx
//   argv[0]: systemctl
//   run as: root (uid 0, gid 0)
//   working directory: /home/alice
// The command line starts with the path that will be executed; argv[0],
// which the program sees as its name, follows on its own line.
std::string request_detail(const Operation& operation);

// Title, detail, action "sudo", the invoking user as requester, sudo's host
// as source and target, the digest, the context and the timeout option.
approval::OperatorApprovalRequest build_request(const Operation& operation,
                                                const PluginOptions& options);

}  // namespace kelvane::sudo
