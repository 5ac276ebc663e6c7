// The command that sudo is about to run, as its policy settled it, and who
// asks for it: everything the approval request is built from.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sudo/command_file.h"
#include "support/result.h"

namespace kelvane::sudo {

struct Operation {
  std::string command;            // the path that will be executed
  std::vector<std::string> argv;  // argv[0] included
  std::string runas_user;
  uid_t runas_uid = 0;
  gid_t runas_gid = 0;
  std::string cwd;  // where the command will start: absolute
  // The entries of command_info that change how the command runs, NAME=value
  // each in sudo's order, and those the plugin does not know
  // (command_info_table.h).
  std::vector<std::string> settings;
  bool sudoedit = false;  // the editor runs as the invoking user on copies
  // Once examined (command_check.h): the file that runs, every link
  // followed, and the links met on the way.
  std::string resolved_command;
  std::vector<SymbolicLink> links;
  // Set only when someone other than root could change the command and
  // sudo.conf has user_writable=ask: what the operator is warned of.
  struct UserWritable {
    std::string warning;
    FileFacts file;
  };
  std::optional<UserWritable> user_writable;
  // The command's environment as sudo will give it, NAME=value each: what
  // the policy let the caller carry in (sudo VAR=x, -E, env_keep) changes
  // what the command does, so the operator sees it and the digest covers it.
  std::vector<std::string> env;
  std::string user;    // who runs sudo, named from the real uid by sudo
  uid_t user_uid = 0;  // and that uid, from user_info
  std::string host;
  std::string tty;                   // empty: no terminal
  std::optional<std::uint64_t> pid;  // sudo's own process
};

// Absolute: the command path resolved against the working directory.
std::string absolute_command(const Operation& operation);

// Reads the operation from sudo's vectors: `user_info` as open() received
// it, `command_info`, `run_argv` and `run_envp` as check() did. Every text
// the request carries must be UTF-8: one that is not is refused rather than
// altered, since the operator must read what will run. Refused as well: a
// missing fact, a command that would run in another root directory
// (chroot=) or with an effective uid or gid other than its real one, under
// another SELinux role or type or AppArmor profile, or keeping the invoking
// user's groups, since the request would not say so; and a command whose
// directory is not known. The directory is runcwd= (sudo gives it for
// intercepted commands), then cwd= of command_info, then the cwd= of
// user_info where sudo started. A pid= that is not a number is left out.
// The error is the reason, for the user.
Result<Operation, std::string> read_operation(char* const* user_info, char* const* command_info,
                                              char* const* run_argv, char* const* run_envp);

}  // namespace kelvane::sudo
