// Times as the daemon writes them and as operators type them: RFC 3339.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::approvals {

// "2026-12-07T20:31:00Z", "2026-12-07t21:31:00.25+01:00": the Unix time of
// the instant, fractions of a second dropped (rounded towards the past).
// Anything else, including a date that does not exist, is nullopt. A leap
// second (":60") counts as the last second of its minute.
std::optional<std::int64_t> parse_rfc3339(std::string_view text) noexcept;

// How long ago, in the largest unit that fits: "12s", "4m", "3h", "2d".
// A time in the future (clocks disagree) is "0s".
std::string describe_age(std::int64_t then, std::int64_t now);

}  // namespace kelvane::approvals
