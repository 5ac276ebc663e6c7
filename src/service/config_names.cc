#include "service/config_names.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace kelvane::service {
namespace {

// Why `name` names no user, or "" when it does. getpwnam_r tells a missing
// user (0 or ENOENT) from a lookup that failed.
std::string user_problem(const std::string& name) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  const int code = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found != nullptr) return "";
  if (code == 0 || code == ENOENT || code == ESRCH)
    return "no user \"" + name + "\" on this system";
  return "cannot look up the user \"" + name + "\": " + std::strerror(code);
}

std::string group_problem(const std::string& name) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(65536);
  const int code = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found != nullptr) return "";
  if (code == 0 || code == ENOENT || code == ESRCH)
    return "no group \"" + name + "\" on this system";
  return "cannot look up the group \"" + name + "\": " + std::strerror(code);
}

std::string program_problem(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return path + ": " + std::strerror(errno);
  if (!S_ISREG(status.st_mode) || (status.st_mode & 0111) == 0)
    return path + " is not an executable file";
  return "";
}

class Findings {
 public:
  void add(std::string_view key, const std::string& problem) {
    if (!problem.empty()) lines_.push_back(std::string(key) + ": " + problem);
  }
  // User names and "@group" names (approvers, auditors).
  void members(std::string_view key, const std::vector<std::string>& names) {
    for (const std::string& name : names)
      add(key, name.starts_with('@') ? group_problem(name.substr(1)) : user_problem(name));
  }
  void users(std::string_view key, const std::vector<std::string>& names) {
    for (const std::string& name : names) add(key, user_problem(name));
  }
  void groups(std::string_view key, const std::vector<std::string>& names) {
    for (const std::string& name : names) add(key, group_problem(name));
  }
  void program(std::string_view key, const std::vector<std::string>& argv) {
    if (!argv.empty()) add(key, program_problem(argv.front()));
  }
  std::vector<std::string> take() { return std::move(lines_); }

 private:
  std::vector<std::string> lines_;
};

}  // namespace

std::vector<std::string> unresolved_names(const Config& config) {
  Findings findings;
  findings.members("approvers", config.approvers);
  findings.members("auditors", config.auditors);
  findings.program("notify", config.notify);
  findings.add("notify_user", user_problem(config.notify_user));
  for (const Rule& rule : config.rules) {
    const std::string in = "rule \"" + rule.name + "\" (" + rule.where + ") ";
    findings.users(in + "user", rule.users);
    findings.groups(in + "group", rule.groups);
    findings.users(in + "run_as", rule.run_as);
    findings.members(in + "approvers", rule.approvers);
    findings.program(in + "notify", rule.notify);
  }
  return findings.take();
}

}  // namespace kelvane::service
