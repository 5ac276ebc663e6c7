// Pieces of a request record as one line of text. Everything in a record
// came through the daemon, and much of it from the requester, so every text
// is shown escaped unless it is made of characters that cannot mislead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/operator_protocol.h"

namespace kelvane::operators {

// `text` as it is when it consists only of letters, digits and `allowed`;
// quoted and escaped as `show` does otherwise (and when empty).
std::string plain_or_quoted(std::string_view text, std::string_view allowed);

// "alice", "alice via sudo", "uid 1000 via sudo" for a uid without a name.
std::string requester_name(const service::RequestRecord& record);

// Who cast a vote: "bob", "uid 1001" for a uid without a name, and in the
// fleet with the host it was cast through ("bob@host-b").
std::string voter_name(const service::VoteRecord& vote);

// The record's state word, or the daemon's text escaped if it is no state
// this command knows.
std::string state_word(std::string_view state);

// "1/2": the approvals so far and the number needed.
std::string votes_so_far(const service::RequestRecord& record);

// A time the daemon wrote (RFC 3339), safe to print.
std::string time_text(std::string_view time);

}  // namespace kelvane::operators

namespace kelvane::operators {

// A message of the daemon's own (an error), as it is when it is printable
// ASCII, quoted and escaped otherwise.
std::string message_text(std::string_view text);

}  // namespace kelvane::operators
