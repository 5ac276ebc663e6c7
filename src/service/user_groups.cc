#include "service/user_groups.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>

#include "support/group_list.h"

namespace kelvane::service {
namespace {

std::string group_name(gid_t gid) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(65536);
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return {};
  return found->gr_name;
}

}  // namespace

std::vector<std::string> group_names_of(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(65536);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return {};
  // No list, no groups: a rule's `group` never matches on a guessed list.
  auto gids = group_list(found->pw_name, found->pw_gid);
  if (!gids.ok()) return {};
  std::vector<std::string> names;
  for (const gid_t gid : gids.value()) {
    std::string name = group_name(gid);
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(std::move(name));
  }
  return names;
}

}  // namespace kelvane::service
