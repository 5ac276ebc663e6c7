// What `list`, `history` and `status` print for a person: one line per
// request, every text a requester wrote escaped as `show` escapes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/operator_protocol.h"

namespace kelvane::operators {

// The waiting requests, oldest first: id, age (at `now`, Unix seconds),
// verified requester, approvals so far, target host and title.
std::string list_lines(const std::vector<service::RequestRecord>& requests, std::int64_t now);

// The record: id, time asked, state, verified requester, target host and
// title, then a line per vote with its reason.
std::string history_lines(const std::vector<service::RequestRecord>& records);

// How long ago, in the largest unit that fits: "12s", "4m", "3h", "2d".
// A time in the future (clocks disagree) is "0s".
std::string describe_age(std::int64_t then, std::int64_t now);

// The daemon's version, uptime, pending count and record size.
std::string status_lines(const service::OperatorAnswer& answer);

}  // namespace kelvane::operators
