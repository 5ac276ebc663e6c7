#include "operators/exchange.h"

#include "json/json.h"

namespace kelvane::operators {

Result<service::OperatorAnswer, Unreachable> exchange(DaemonLink& link,
                                                      const service::OperatorRequest& request) {
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
  return std::move(*answer);
}

Result<service::OperatorAnswer, Unreachable> ask_daemon(const std::string& path,
                                                        const service::OperatorRequest& request) {
  Result<DaemonLink, Unreachable> link = DaemonLink::connect(path);
  if (!link.ok()) return fail(std::move(link).error());
  return exchange(link.value(), request);
}

std::optional<std::string_view> request_array_text(std::string_view line, std::string_view name) {
  Result<std::vector<json::MemberText>, json::Error> members = json::split_object(line);
  if (!members.ok()) return std::nullopt;
  bool ok = false;
  std::optional<std::string_view> array;
  for (const json::MemberText& m : members.value()) {
    if (m.key == "ok") ok = m.value == "true";
    if (m.key == name) array = m.value;
  }
  if (!ok || !array) return std::nullopt;
  Result<std::vector<std::string_view>, json::Error> elements = json::split_array(*array);
  if (!elements.ok()) return std::nullopt;
  for (const std::string_view element : elements.value()) {
    if (!json::split_object(element).ok()) return std::nullopt;
  }
  return array;
}

}  // namespace kelvane::operators
