#include "roles.h"

#include <grp.h>

#include "service/approvers.h"
#include "service/verified_requester.h"

namespace kelvane::approvald {

bool is_named_in(const std::vector<std::string>& names, const Identity& identity) {
  return service::names_person(names, identity.name, identity.groups);
}

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

Role role_of(const service::Config& config, const Identity& identity) {
  if (is_named_in(config.approvers, identity)) return Role::Approver;
  for (const service::Rule& rule : config.rules) {
    if (is_named_in(rule.approvers, identity)) return Role::Approver;
  }
  if (is_named_in(config.auditors, identity)) return Role::Auditor;
  return Role::None;
}

Identity look_up_identity(uid_t uid, gid_t gid, GroupListCall list_groups) {
  Identity identity;
  identity.uid = uid;
  identity.name = service::user_name_of(uid);
  std::vector<gid_t> gids;
  if (!identity.name.empty()) {
    // A list that cannot be had leaves the operator with no group at all: a
    // guessed or padded list could name them in a group they are not in.
    auto listed = group_list(identity.name, gid, list_groups);
    if (listed.ok()) gids = std::move(listed).value();
  } else {
    gids.assign(1, gid);
  }
  for (const gid_t g : gids) {
    std::string name = group_name(g);
    if (!name.empty()) identity.groups.push_back(std::move(name));
  }
  return identity;
}

}  // namespace kelvane::approvald
