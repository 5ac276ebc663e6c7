#include "service/approvers.h"

#include <algorithm>

namespace kelvane::service {

bool names_person(const std::vector<std::string>& approvers, std::string_view user,
                  const std::vector<std::string>& groups) {
  return std::any_of(approvers.begin(), approvers.end(), [&](const std::string& entry) {
    if (entry.starts_with('@')) {
      const std::string_view group = std::string_view(entry).substr(1);
      return std::find(groups.begin(), groups.end(), group) != groups.end();
    }
    return !user.empty() && entry == user;
  });
}

}  // namespace kelvane::service
