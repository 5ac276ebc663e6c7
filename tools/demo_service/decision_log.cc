#include "demo_service/decision_log.h"

#include "support/quoting.h"
#include "support/utc_time.h"

namespace kelvane::service {
namespace {

// Enough to recognise a request by; the operator saw the whole of it.
constexpr std::size_t kLoggedBytes = 200;

std::string logged(std::optional<std::string_view> text) {
  return text ? quoted_prefix(*text, kLoggedBytes) : std::string("-");
}

}  // namespace

std::optional<InvokingUser> believed_invoking_user(const RequesterFacts& facts,
                                                   const json::Value& context) {
  const std::optional<uid_t> uid = believed_invoking_uid(facts);
  if (!uid || context.kind() != json::Value::Kind::Object) return std::nullopt;
  InvokingUser invoking{*uid, std::nullopt};
  for (const json::Member& member : context.as_object()) {
    if (member.name() == "invokingUser" && member.value.kind() == json::Value::Kind::String)
      invoking.name = member.value.as_string();
  }
  return invoking;
}

std::optional<InvokingUser> believed_invoking_user(const Peer& peer, const json::Value& context) {
  if (!peer.known) return std::nullopt;
  RequesterFacts facts;
  facts.credentials = PeerCredentials{peer.pid, peer.uid, 0};
  if (peer.process) facts.executable = peer.process->executable;
  if (peer.uid == 0) facts.real_uid = real_uid_of(peer.pid);
  facts.invoking_uid = stated_invoking_uid(context);
  return believed_invoking_user(facts, context);
}

std::string_view how_text(How how) {
  switch (how) {
    case How::Operator:
      return "operator";
    case How::Auto:
      return "auto";
    case How::Timeout:
      return "timeout";
    case How::ClientLeft:
      return "client-left";
    case How::Invalid:
      return "invalid";
    case How::NoOperator:
      return "no-operator";
    case How::Stopped:
      return "stopped";
  }
  return "unknown";
}

std::string log_line(const LogEntry& entry) {
  std::string line = utc_text(entry.when);
  if (entry.peer != nullptr && entry.peer->known) {
    line += " uid=" + std::to_string(entry.peer->uid) + " pid=" + std::to_string(entry.peer->pid);
  } else {
    line += " uid=? pid=?";
  }
  line += " title=" + logged(entry.title);
  line += " target=" + logged(entry.target_host);
  line.append(" verdict=").append(entry.verdict.value_or("none"));
  line.append(" how=").append(how_text(entry.how));
  line += " detail=" + logged(entry.detail);
  if (entry.requester) line += " requester=" + logged(entry.requester);
  if (entry.operation_digest) line += " digest=" + logged(entry.operation_digest);
  if (entry.invoking) {
    line += " invoking_uid=" + std::to_string(entry.invoking->uid);
    if (entry.invoking->name) line += " invoking_user=" + logged(entry.invoking->name);
  }
  return line + "\n";
}

}  // namespace kelvane::service
