// The record of decisions: one line on standard error per request.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "service/peer.h"

namespace kelvane::service {

// How a verdict was reached.
enum class How {
  Operator,    // the operator answered
  Auto,        // --auto answered
  Timeout,     // the requester's time limit passed first
  ClientLeft,  // the client hung up first; nothing was sent
  Invalid,     // the request was refused unread
  NoOperator,  // standard input ended
  Stopped,     // the service was stopped meanwhile
};

std::string_view how_text(How how);

struct LogEntry {
  std::time_t when = 0;
  const Peer* peer = nullptr;
  // Absent when the request could not be read.
  std::optional<std::string_view> title;
  std::optional<std::string_view> target_host;
  std::string_view verdict;  // "none" when nothing was sent
  How how = How::Operator;
  std::string_view detail;
};

// "2026-12-07T08:45:00Z uid=0 pid=1234 title="Reboot" target="web-03"
// verdict=approved how=operator detail="approved by the operator"" and a line
// feed. Texts from the request are quoted and escaped, long ones cut.
std::string log_line(const LogEntry& entry);

}  // namespace kelvane::service
