// Who an approvers list names: the cases both the service's rule
// (service::names_person) and the fleet database's (named_by) are held to.
#pragma once

#include <string>
#include <vector>

namespace kelvane::service_test {

struct NamedCase {
  std::vector<std::string> approvers;
  std::string user;
  std::vector<std::string> groups;
  bool named;
};

inline const std::vector<NamedCase>& named_cases() {
  static const std::vector<NamedCase> cases = {
      {{"alice"}, "alice", {}, true},
      {{"alice"}, "alicia", {}, false},
      {{"alice"}, "Alice", {}, false},  // names are compared as bytes
      {{"bob", "alice"}, "alice", {"wheel"}, true},
      {{"@ops"}, "alice", {"ops"}, true},
      {{"@ops"}, "alice", {"wheel", "ops"}, true},
      {{"@ops"}, "alice", {"opsx"}, false},
      {{"@ops"}, "ops", {}, false},        // a group entry is not a user
      {{"ops"}, "alice", {"ops"}, false},  // a user entry is not a group
      {{"@ops"}, "", {"ops"}, true},       // a uid with no name, by its group
      {{"alice"}, "", {}, false},          // a uid with no name, by no user entry
      {{"alice", "@ops"}, "", {"wheel"}, false},
      {{"@wheel", "@ops"}, "carol", {"ops"}, true},
  };
  return cases;
}

}  // namespace kelvane::service_test
