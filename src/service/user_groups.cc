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

Result<std::vector<std::string>, std::string> group_names_of(uid_t uid, GroupListCall list_groups) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(65536);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return std::vector<std::string>();
  KOA_TRY(gids, group_list(found->pw_name, found->pw_gid, list_groups));
  std::vector<std::string> names;
  for (const gid_t gid : gids) {
    std::string name = group_name(gid);
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(std::move(name));
  }
  return names;
}

}  // namespace kelvane::service
