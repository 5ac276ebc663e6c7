// Who is at the other end of a connection, as the kernel reports it, not as
// the request claims.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace kelvane::service {

struct ProcessInfo {
  std::string name;        // /proc/PID/comm: the process's own short name
  std::string executable;  // /proc/PID/exe; empty when it cannot be read
  pid_t parent = 0;        // 0 when unknown
};

struct Peer {
  bool known = false;  // SO_PEERCRED worked
  pid_t pid = 0;       // 0: the process is in a PID namespace we cannot see
  uid_t uid = 0;
  std::string user;                    // the uid's name; empty if it has none
  std::optional<ProcessInfo> process;  // nullopt once it is gone
  std::optional<ProcessInfo> parent;
};

// The connecting process's credentials from SO_PEERCRED, taken when it
// connected, with what /proc tells of it and of its parent now. Process
// details are dropped when /proc/PID no longer belongs to the peer's uid (the
// process has ended and its number may have been reused).
Peer identify_peer(int connection);

// The parent's pid from the text of /proc/PID/stat, "pid (name) state ppid
// ...", where the name may itself hold spaces and parentheses (the fields
// are read after the last ')'); 0 when it is not there or not a pid.
pid_t parent_from_stat(std::string_view stat);

// The user name of a uid; "" when it has none. May block on the name
// service: not for the daemon's event loop.
std::string user_name_of(uid_t uid);

// /proc details of one process, if it exists and is owned by `uid`.
std::optional<ProcessInfo> describe_process(pid_t pid, uid_t uid);

}  // namespace kelvane::service
