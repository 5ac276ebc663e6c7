// Who answers for a connection whose process runs in a user namespace: the
// user who made the outermost namespace of its chain, as the kernel keeps
// it. Every uid of a namespace (a rootless container's subordinate ids, say)
// is that one user to the caps and to the vote rules, so that a user with a
// range of subordinate ids is still one user.
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::service {

// A user of the daemon's own user namespace, or (namespace != 0) a
// namespace that root made, or one outside the daemon's: such a namespace
// is an owner of its own (its inode), not root, whose ids are not one
// person's.
struct Accountable {
  uid_t uid = 0;
  std::uint64_t namespace_inode = 0;

  bool is_user(uid_t who) const { return namespace_inode == 0 && uid == who; }
  auto operator<=>(const Accountable&) const = default;
};

// Text for messages and the journal: "uid 1000", "user namespace 4026532175".
std::string describe(const Accountable& owner);

// The owner of the user namespace the connected process `pid` runs in;
// nullopt when it runs in the daemon's own namespace (its uid is itself).
// An error when the kernel cannot say (the process is gone): callers refuse
// rather than count the connection under an id of the namespace. The
// socket's pidfd (SO_PEERPIDFD) ties the answer to the process that
// connected when the kernel gives one.
// kOutOfDescriptors when the daemon has no descriptor left to ask with.
Result<std::optional<Accountable>, std::string> namespace_owner(int connection, pid_t pid);
inline constexpr std::string_view kOutOfDescriptors = "out of descriptors";

}  // namespace kelvane::service
