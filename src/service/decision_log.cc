#include "service/decision_log.h"

#include "service/answer.h"
#include "service/shown_text.h"

namespace kelvane::service {
namespace {

// Enough to recognise a request by; the operator saw the whole of it.
constexpr std::size_t kLoggedBytes = 200;

std::string logged(std::optional<std::string_view> text) {
  return text ? show_quoted_prefix(*text, kLoggedBytes) : std::string("-");
}

}  // namespace

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
  std::string line = iso8601_utc(entry.when);
  if (entry.peer != nullptr && entry.peer->known) {
    line += " uid=" + std::to_string(entry.peer->uid) + " pid=" + std::to_string(entry.peer->pid);
  } else {
    line += " uid=? pid=?";
  }
  line += " title=" + logged(entry.title);
  line += " target=" + logged(entry.target_host);
  line.append(" verdict=").append(entry.verdict);
  line.append(" how=").append(how_text(entry.how));
  line += " detail=" + logged(entry.detail);
  return line + "\n";
}

}  // namespace kelvane::service
