// Root's own commands run through sudo. Once the approval plugin is on,
// sudo asks the approval service before it runs any command, root's too:
// `sudo kelvane-operator-approvals rotate-key` waits for an approver and may
// expire. When that is what happened, the command says how to run it next
// time: as root, from a root shell.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "approval/connection.h"
#include "operators/options.h"

namespace kelvane::operators {

inline constexpr std::string_view kSudoConfPath = "/etc/sudo.conf";

// Whether sudo.conf's text turns the approval plugin on: a Plugin line
// (not a comment) naming kelvane_approval.
bool sudo_conf_names_plugin(std::string_view text);

// The note for `subcommand` when it is root's own (rotate-key), was run by
// sudo (SUDO_UID is set) and the plugin is on in the sudo.conf at `path`;
// nothing otherwise.
std::optional<std::string> sudo_note(Subcommand subcommand, const approval::EnvLookup& env,
                                     const std::string& sudo_conf_path);

}  // namespace kelvane::operators
