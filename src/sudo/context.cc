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

json::Value links_array(const std::vector<SymbolicLink>& links) {
  std::vector<json::Value> values;
  values.reserve(links.size());
  for (const SymbolicLink& link : links) {
    std::vector<json::Member> members;
    members.emplace_back("link", json::Value::string(link.link));
    members.emplace_back("target", json::Value::string(link.target));
    values.push_back(json::Value::object(members));
  }
  return json::Value::array(values);
}

json::Value user_writable_object(const Operation::UserWritable& writable) {
  std::vector<json::Member> members;
  members.emplace_back("warning", json::Value::string(writable.warning));
  members.emplace_back("owner", unsigned_number(writable.file.owner));
  members.emplace_back("mode", json::Value::string(mode_text(writable.file.mode)));
  members.emplace_back("sha256", json::Value::string(writable.file.sha256));
  return json::Value::object(members);
}

}  // namespace

json::Value operation_context(const Operation& operation) {
  std::vector<json::Member> members;
  members.emplace_back("command", json::Value::string(operation.command));
  members.emplace_back("commandFile", json::Value::string(operation.resolved_command));
  members.emplace_back("commandLinks", links_array(operation.links));
  members.emplace_back("argv", string_array(operation.argv));
  members.emplace_back("env", string_array(operation.env));
  members.emplace_back("runAsUser", json::Value::string(operation.runas_user));
  members.emplace_back("runAsUid", unsigned_number(operation.runas_uid));
  members.emplace_back("runAsGid", unsigned_number(operation.runas_gid));
  members.emplace_back("cwd", json::Value::string(operation.cwd));
  members.emplace_back("settings", string_array(operation.settings));
  members.emplace_back("invokingUid", unsigned_number(operation.user_uid));
  members.emplace_back("invokingUser", json::Value::string(operation.user));
  if (operation.user_writable) {
    members.emplace_back("userWritable", user_writable_object(*operation.user_writable));
  }
  members.emplace_back(
      "tty", operation.tty.empty() ? json::Value::null() : json::Value::string(operation.tty));
  if (operation.pid) members.emplace_back("pid", unsigned_number(*operation.pid));
  return json::Value::object(members);
}

}  // namespace kelvane::sudo
