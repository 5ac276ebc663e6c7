// `watch`: the console an operator keeps open. Requests are asked one at a
// time in order of arrival. A key meant for one request can never answer
// another: a vote names the id of the request shown when its key was
// pressed, and whenever the request shown changes (withdrawn, decided
// elsewhere, answered here, skipped, or a first one arriving) what was typed
// ahead is flushed and input is ignored for the next second. A request that
// closes while shown is announced before the next is shown.
//
// Keys: y approves; n denies and asks for the reason (an empty line goes
// back); s puts the request behind the others; q or Ctrl-D quits; ? lists
// the keys.
#pragma once

#include <chrono>
#include <string>

#include "approvals/run.h"

namespace kelvane::approvals {

// How long input is ignored after the request shown changes.
inline constexpr std::chrono::milliseconds kQuietAfterChange{1000};

// Runs the console on standard input (a terminal) against the daemon at
// `path`; returns the exit status: 0 when the operator quits, 1 when the
// daemon refuses to let this user watch, 2 without a terminal, 3 when the
// daemon cannot be reached or goes away.
int watch(const std::string& path, const Streams& streams);

}  // namespace kelvane::approvals
