#include "sudo/command_info_table.h"

#include <array>

namespace kelvane::sudo {
namespace {

using enum Handling;

// The entries of sudo_plugin(5) for API 1.21, and those sudo 1.9.13 was seen
// to send besides (runcwd, log_server_*, maxseq, iolog_flush).
constexpr std::array kTable = {
    // What runs, as whom, where.
    CommandInfoEntry{"command", kField, "the path that will be executed"},
    CommandInfoEntry{"runas_user", kField, "the run-as user's name"},
    CommandInfoEntry{"runas_uid", kField, "the run-as uid"},
    CommandInfoEntry{"runas_gid", kField, "the run-as gid"},
    CommandInfoEntry{"runas_euid", kRefused, "refused unless it equals runas_uid"},
    CommandInfoEntry{"runas_egid", kRefused, "refused unless it equals runas_gid"},
    CommandInfoEntry{"runas_group", kShown, "the run-as group's name"},
    CommandInfoEntry{"runas_groups", kShown, "the supplementary groups"},
    CommandInfoEntry{"preserve_groups", kRefused,
                     "refused when true: the invoking user's groups instead of the run-as user's"},
    CommandInfoEntry{"runcwd", kField, "the directory of an intercepted command; before cwd"},
    CommandInfoEntry{"cwd", kField, "the directory the command starts in"},
    CommandInfoEntry{"cwd_optional", kShown,
                     "whether the command runs anyway where cwd is missing"},
    CommandInfoEntry{"chroot", kRefused, "another root directory: the request could not show it"},
    CommandInfoEntry{"selinux_role", kRefused, "another SELinux role"},
    CommandInfoEntry{"selinux_type", kRefused, "another SELinux type"},
    CommandInfoEntry{"apparmor_profile", kRefused, "another AppArmor profile"},
    CommandInfoEntry{"login_class", kShown, "the login class whose limits and settings apply"},
    // How it runs.
    CommandInfoEntry{"timeout", kShown, "the time limit in seconds (sudo -T)"},
    CommandInfoEntry{"closefrom", kShown, "the descriptors from this one up are closed (sudo -C)"},
    CommandInfoEntry{"preserve_fds", kShown, "descriptors kept open despite closefrom"},
    CommandInfoEntry{"execfd", kShown, "the command is run from a descriptor the policy opened"},
    CommandInfoEntry{"umask", kShown, "the file mode creation mask"},
    CommandInfoEntry{"umask_override", kShown, "whether umask replaces the user's mask"},
    CommandInfoEntry{"nice", kShown, "the scheduling priority"},
    CommandInfoEntry{"rlimit_*", kShown, "a resource limit"},
    CommandInfoEntry{"noexec", kShown, "whether the command may run further programs"},
    CommandInfoEntry{"intercept", kShown, "whether the commands it runs are checked in turn"},
    CommandInfoEntry{"intercept_setid", kShown, "whether set-id programs it runs are checked too"},
    CommandInfoEntry{"sudoedit", kShown,
                     "sudoedit: the editor runs as the invoking user on copies of the files, "
                     "which are written back as the run-as user"},
    CommandInfoEntry{"sudoedit_nfiles", kShown, "how many of the arguments are files to edit"},
    CommandInfoEntry{"sudoedit_checkdir", kShown,
                     "whether sudoedit refuses files in directories the user can write"},
    CommandInfoEntry{"sudoedit_follow", kShown, "whether sudoedit follows symbolic links"},
    // Neither what runs nor how: how sudo watches and records it.
    CommandInfoEntry{"use_pty", kIgnored,
                     "a pseudo-terminal between the command and the user's terminal"},
    CommandInfoEntry{"exec_background", kIgnored,
                     "whether sudo starts the command in the terminal's background"},
    CommandInfoEntry{"use_ptrace", kIgnored, "how sudo intercepts (ptrace or a preload)"},
    CommandInfoEntry{"intercept_verify", kIgnored, "whether sudo checks intercepted paths twice"},
    CommandInfoEntry{"log_subcmds", kIgnored, "whether the commands it runs are logged"},
    CommandInfoEntry{"set_utmp", kIgnored, "a login record for the pseudo-terminal"},
    CommandInfoEntry{"utmp_user", kIgnored, "the user named in that login record"},
    CommandInfoEntry{"iolog_*", kIgnored, "where and how the session's I/O is logged"},
    CommandInfoEntry{"maxseq", kIgnored, "the I/O log's sequence limit"},
    CommandInfoEntry{"log_server*", kIgnored, "where the session is logged remotely"},
};

bool matches(std::string_view pattern, std::string_view name) {
  if (pattern.ends_with('*')) return name.starts_with(pattern.substr(0, pattern.size() - 1));
  return name == pattern;
}

}  // namespace

std::span<const CommandInfoEntry> command_info_table() noexcept {
  return kTable;
}

const CommandInfoEntry* command_info_entry(std::string_view name) noexcept {
  for (const CommandInfoEntry& entry : kTable) {
    if (matches(entry.name, name)) return &entry;
  }
  return nullptr;
}

}  // namespace kelvane::sudo
