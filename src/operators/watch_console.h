// `watch`: the console an operator keeps open. Requests are asked one at a
// time in order of arrival. A key meant for one request can never answer
// another: a vote names the id of the request shown when its key was
// pressed, and whenever the request shown changes (withdrawn, decided
// elsewhere, answered here, skipped, or a first one arriving) whatever the
// console was doing (asking, taking a reason) ends, what was typed ahead is
// flushed, and no key counts until the keyboard has been still for a second
// after the new request was drawn. A request that closes while shown is
// announced before the next is shown.
//
// The question is asked under a summary of the request (title, requester,
// run-as user, start of the detail) that fits a terminal of 24 rows and 80
// columns with it; d shows the whole request.
//
// Keys: y approves; n denies and asks for the reason (an empty line goes
// back); d shows the whole request; s puts the request behind the others;
// q or Ctrl-D quits; ? lists the keys.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "operators/run.h"

namespace kelvane::operators {

// How long the keyboard must be still, after the request shown changes,
// before a key counts.
inline constexpr std::chrono::milliseconds kQuietAfterChange{1000};

// Runs the console on standard input (a terminal) against the daemon at
// `path`; returns the exit status: 0 when the operator quits, 1 when the
// daemon refuses to let this user watch, 2 without a terminal, 3 when the
// daemon cannot be reached or goes away.
// watch --key: every vote signed through the operator's SSH agent.
struct WatchSigning {
  std::optional<std::string> key;           // --key FINGERPRINT
  std::optional<std::string> agent_socket;  // SSH_AUTH_SOCK
  std::string operator_user;                // this process's user name
};

// With `signing`, a daemon that takes no signed votes is refused (1)
// rather than sent unsigned ones.
int watch(const std::string& path, const Streams& streams,
          const std::optional<WatchSigning>& signing = std::nullopt);

}  // namespace kelvane::operators
