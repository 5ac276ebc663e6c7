// Instants as RFC 3339 text in UTC: what the record, the tokens and the
// messages write ("2026-12-07T20:31:00Z") and what operators type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane {

// The instant `seconds` after the Unix epoch as "YYYY-MM-DDTHH:MM:SSZ". An
// instant outside the four-digit years is written as the nearest one
// inside them (0000-01-01T00:00:00Z, 9999-12-31T23:59:59Z).
std::string utc_text(std::int64_t seconds);

// "2026-12-07T20:31:00Z", "2026-12-07t21:31:00.25+01:00": the Unix time of
// the instant, fractions of a second dropped (rounded towards the past).
// Anything else, including a date that does not exist, is nullopt. A leap
// second (":60") counts as the last second of its minute.
std::optional<std::int64_t> parse_rfc3339(std::string_view text) noexcept;

}  // namespace kelvane
