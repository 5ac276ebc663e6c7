#include "sudo/context.h"

#include <vector>

namespace kelvane::sudo {
namespace {

json::Value unsigned_number(std::uint64_t n) {
  return json::Value::number(json::Number::unsigned64(n));
}

json::Value string_array(const std::vector<std::string>& texts) {
  std::vector<json::Value> values;
  values.reserve(texts.size());
  for (const std::string& text : texts) values.push_back(json::Value::string(text));
  return json::Value::array(values);
}

}  // namespace

json::Value operation_context(const Operation& operation) {
  std::vector<json::Member> members;
  members.emplace_back("command", json::Value::string(operation.command));
  members.emplace_back("argv", string_array(operation.argv));
  members.emplace_back("env", string_array(operation.env));
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
