#include "support/group_list.h"

#include "support/quoting.h"

namespace kelvane {
namespace {

constexpr std::size_t kFirstGuess = 64;
// Far above NGROUPS_MAX (65536): a count beyond it is not a real answer.
constexpr int kMostGroups = 1 << 20;
// A database that keeps growing between calls is given up on.
constexpr int kAttempts = 4;

}  // namespace

Result<std::vector<gid_t>, std::string> group_list(const std::string& user, gid_t primary,
                                                   GroupListCall call) {
  std::vector<gid_t> groups(kFirstGuess);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int room = static_cast<int>(groups.size());
    int count = room;
    const int listed = call(user.c_str(), primary, groups.data(), &count);
    if (listed >= 0) {
      if (count < 0 || count > room)
        return fail("the group database gave " + std::to_string(count) + " groups for a room of " +
                    std::to_string(room) + " (user " + quoted(user) + ")");
      groups.resize(static_cast<std::size_t>(count));
      return groups;
    }
    // -1: the list did not fit, and `count` says how many it holds.
    if (count <= room || count > kMostGroups)
      return fail("the group database cannot list the groups of user " + quoted(user));
    groups.assign(static_cast<std::size_t>(count), 0);
  }
  return fail("the groups of user " + quoted(user) + " kept growing while they were listed");
}

}  // namespace kelvane
