// approve|deny --key: a vote signed with the operator's SSH key. The
// request is asked for first, on the same connection, and the vote message
// built from the request as shown (never from a digest the daemon hands
// over); the agent signs it; the vote goes out with its signature.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "operators/daemon_link.h"
#include "service/operator_protocol.h"
#include "support/result.h"

namespace kelvane::operators {

struct BallotFailure {
  std::string message;
  bool unreachable = false;  // the daemon failed us, rather than a refusal here
};

// Sends `vote` (op Vote) signed with the agent's key `key` (nullopt: its
// first usable key) on `link`, and returns the daemon's answer to it (a
// refusal of the show is returned as it came). `operator_user`: this
// process's user name, as the daemon knows it by its uid. `tell` shows the
// operator one line (touch your security key).
Result<service::OperatorAnswer, BallotFailure> cast_signed_vote(
    DaemonLink& link, service::OperatorRequest vote, std::optional<std::string_view> key,
    std::string_view operator_user, std::optional<std::string_view> agent_socket, std::int64_t now,
    const std::function<void(std::string_view)>& tell);

}  // namespace kelvane::operators
