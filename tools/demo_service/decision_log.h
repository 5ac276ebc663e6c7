// The record of decisions: one line on standard error per request.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.h"
#include "service/peer.h"
#include "service/verified_requester.h"

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

// The user on whose behalf a root peer asks, as it states it (the sudo
// plugin runs inside sudo, as root, for the user who invoked sudo).
struct InvokingUser {
  uid_t uid = 0;
  std::optional<std::string_view> name;
};

// The context's "invokingUid" (a uid: an integer below 2^32 - 1) with its
// "invokingUser" (a text) if any, when the one rule on stated invoking users
// believes it (believed_invoking_uid: a root peer running sudo, whose real
// uid is root). nullopt for any other peer, or a context without a usable
// invokingUid.
std::optional<InvokingUser> believed_invoking_user(const RequesterFacts& facts,
                                                   const json::Value& context);
// The same for a peer, with its facts read now from /proc: call it while the
// peer still waits for its answer.
std::optional<InvokingUser> believed_invoking_user(const Peer& peer, const json::Value& context);

struct LogEntry {
  std::time_t when = 0;
  const Peer* peer = nullptr;
  // Absent when the request could not be read.
  std::optional<std::string_view> title;
  std::optional<std::string_view> target_host;
  std::optional<std::string_view> verdict;  // absent when nothing was sent
  How how = How::Operator;
  std::string_view detail;
  // Set for a request about one operation (one with a digest, or from a
  // root peer that states the invoking user): enough to tell afterwards who
  // asked for what.
  std::optional<std::string_view> requester;
  std::optional<std::string_view> operation_digest;
  std::optional<InvokingUser> invoking;
};

// "2026-12-07T08:45:00Z uid=0 pid=1234 title="Reboot" target="web-03"
// verdict=approved how=operator detail="approved by the operator"" and a line
// feed ("verdict=none" when nothing was sent). Then, each when it is set,
// requester="...", digest="...", invoking_uid=N and invoking_user="...".
// Texts from the request are quoted and escaped, long ones cut.
std::string log_line(const LogEntry& entry);

}  // namespace kelvane::service
