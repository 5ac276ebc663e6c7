#include "approvals/exchange.h"

#include "service/object_members.h"

namespace kelvane::approvals {

Result<Answered, Unreachable> exchange(DaemonLink& link, const service::OperatorRequest& request) {
  Result<void, Unreachable> sent = link.send(service::encode_operator_request(request));
  if (!sent.ok()) return fail(std::move(sent).error());
  Result<std::string, Unreachable> line = link.next_line();
  if (!line.ok()) return fail(std::move(line).error());
  Result<service::DaemonLine, std::string> decoded = service::decode_daemon_line(line.value());
  if (!decoded.ok()) {
    return fail(Unreachable{"the approval daemon's answer does not read: " + decoded.error()});
  }
  auto* answer = std::get_if<service::OperatorAnswer>(&decoded.value());
  if (answer == nullptr) {
    return fail(Unreachable{"the approval daemon sent an event where an answer was due"});
  }
  return Answered{std::move(*answer), std::move(line).value()};
}

Result<Answered, Unreachable> ask_daemon(const std::string& path,
                                         const service::OperatorRequest& request) {
  Result<DaemonLink, Unreachable> link = DaemonLink::connect(path);
  if (!link.ok()) return fail(std::move(link).error());
  return exchange(link.value(), request);
}

std::string member_text(std::string_view line, std::string_view name) {
  Result<std::vector<service::RawMember>, std::string> members = service::split_object(line);
  if (!members.ok()) return {};
  const std::string key = "\"" + std::string(name) + "\"";
  for (const service::RawMember& m : members.value()) {
    if (m.key == key) return std::string(m.value);
  }
  return {};
}

}  // namespace kelvane::approvals
