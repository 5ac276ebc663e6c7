#include "sudo/context.h"

#include <vector>

namespace kelvane::sudo {
namespace {

json::Value unsigned_number(std::uint64_t n) {
  return json::Value::number(json::Number::unsigned64(n));
}

}  // namespace

json::Value operation_context(const Operation& operation) {
  std::vector<json::Value> argv;
  argv.reserve(operation.argv.size());
  for (const std::string& arg : operation.argv) argv.push_back(json::Value::string(arg));

  std::vector<json::Member> members;
  members.emplace_back("command", json::Value::string(operation.command));
  members.emplace_back("argv", json::Value::array(argv));
  members.emplace_back("runAsUser", json::Value::string(operation.runas_user));
  members.emplace_back("runAsUid", unsigned_number(operation.runas_uid));
  members.emplace_back("runAsGid", unsigned_number(operation.runas_gid));
  members.emplace_back("cwd", json::Value::string(operation.cwd));
  members.emplace_back(
      "tty", operation.tty.empty() ? json::Value::null() : json::Value::string(operation.tty));
  if (operation.pid) members.emplace_back("pid", unsigned_number(*operation.pid));
  return json::Value::object(members);
}

}  // namespace kelvane::sudo
