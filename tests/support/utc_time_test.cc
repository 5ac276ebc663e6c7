#include "support/utc_time.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace kelvane {
namespace {

TEST(Rfc3339, Times) {
  const struct {
    std::string_view text;
    std::optional<std::int64_t> unix_time;
  } cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2026-12-07T20:00:00Z", 1796673600},
      {"2026-12-07t20:00:00z", 1796673600},
      {"2026-12-07 20:00:00Z", 1796673600},
      {"2026-12-07T21:30:00+01:30", 1796673600},
      {"2026-12-07T18:00:00-02:00", 1796673600},
      {"2026-12-07T20:00:00.999Z", 1796673600},  // fractions dropped
      {"1969-12-31T23:59:59Z", -1},
      {"2024-02-29T00:00:00Z", 1709164800},
      {"2016-12-31T23:59:60Z", 1483228799},  // a leap second
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2100-02-29T00:00:00Z", std::nullopt},
      {"2026-04-31T00:00:00Z", std::nullopt},
      {"2026-00-10T00:00:00Z", std::nullopt},
      {"2026-12-07T24:00:00Z", std::nullopt},
      {"2026-12-07T20:00:00", std::nullopt},  // no zone
      {"2026-12-07T20:00:00.Z", std::nullopt},
      {"2026-12-07T20:00:00+0100", std::nullopt},
      {"2026-12-07T20:00:00+24:00", std::nullopt},
      {"2026-12-07", std::nullopt},
      {"+2026-12-07T20:00:00Z", std::nullopt},
      {"2026-12-07T20:00:00Z ", std::nullopt},
      {"", std::nullopt},
      // Each separator, each field and each bound on its own.
      {"2000-02-29T00:00:00Z", 951782400},  // divisible by 400: a leap year
      {"2026/12-07T20:00:00Z", std::nullopt},
      {"2026-12/07T20:00:00Z", std::nullopt},
      {"2026-12-07_20:00:00Z", std::nullopt},
      {"2026-12-07T20.00:00Z", std::nullopt},
      {"2026-12-07T20:00.00Z", std::nullopt},
      {"2O26-12-07T20:00:00Z", std::nullopt},
      {"2026-1x-07T20:00:00Z", std::nullopt},
      {"2026-12-0xT20:00:00Z", std::nullopt},
      {"2026-12-07Tx0:00:00Z", std::nullopt},
      {"2026-12-07T20:x0:00Z", std::nullopt},
      {"2026-12-07T20:00:x0Z", std::nullopt},
      {"2026-13-07T20:00:00Z", std::nullopt},
      {"2026-12-00T20:00:00Z", std::nullopt},
      {"2026-12-32T20:00:00Z", std::nullopt},
      {"2026-12-07T20:60:00Z", std::nullopt},
      {"2026-12-07T20:00:61Z", std::nullopt},
      {"2026-12-07T20:00:00*01:00", std::nullopt},
      {"2026-12-07T20:00:00+01-00", std::nullopt},
      {"2026-12-07T20:00:00+0x:00", std::nullopt},
      {"2026-12-07T20:00:00+01:0x", std::nullopt},
      {"2026-12-07T20:00:00+01:60", std::nullopt},
      {"2026-12-07T20:00:00.5", std::nullopt},  // a fraction without a zone
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_rfc3339(c.text), c.unix_time) << c.text;
  }
}

// What no writer of RFC 3339 produces must not read as some other time: a
// scanf-style reader would take a sign, spaces, short fields or trailing
// bytes.
TEST(Rfc3339, RefusesWhatIsAlmostATime) {
  const std::string_view refused[] = {
      " 2026-12-07T20:00:00Z",   // leading space
      "2026-12-07T20:00:00Z\n",  // a line feed after it
      "2026-12-07T20:00:00ZZ",
      "2026-12-07T20:00:00+01:00Z",
      "-026-12-07T20:00:00Z",  // a sign in the year
      "2026-+2-07T20:00:00Z",  // a sign in the month
      "2026-1-07T20:00:00Z",   // a short month
      "2026-12-7T20:00:00Z",   // a short day
      "2026-12-07T20:0:00Z",   // a short minute
      "2026-12-07T20:00:0Z",   // a short second
      "2026-12-07T20:00:61Z",
      "2026-12-07T20:60:00Z",
      "2026-12-32T20:00:00Z",
      "2026-13-07T20:00:00Z",
      "20261207T200000Z",  // the basic form is not RFC 3339
      "2026-12-07T20:00:00.5",
      "2026-12-07T20:00:00.5.5Z",
      "2026-12-07T20:00:00+01:0",
      "2026-12-07T20:00:00+01:60",
      "\xEF\xBC\x92"
      "026-12-07T20:00:00Z",  // a fullwidth digit
  };
  for (const std::string_view text : refused) EXPECT_EQ(parse_rfc3339(text), std::nullopt) << text;
  EXPECT_EQ(parse_rfc3339(std::string_view("2026-12-07T20:00:00Z\0", 21)), std::nullopt);
}

TEST(UtcText, WritesTheInstant) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const struct {
    std::int64_t seconds;
    std::string_view text;
  } cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {1796673600, "2026-12-07T20:00:00Z"},
      {1796673599, "2026-12-07T19:59:59Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {-86400, "1969-12-31T00:00:00Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {951868800, "2000-03-01T00:00:00Z"},
      {1709164800, "2024-02-29T00:00:00Z"},
      {4107542400, "2100-03-01T00:00:00Z"},
      {253402300799, "9999-12-31T23:59:59Z"},
      {253402300800, "9999-12-31T23:59:59Z"},  // past the four-digit years
      {kMax, "9999-12-31T23:59:59Z"},
      {-62167219200, "0000-01-01T00:00:00Z"},
      {-62135596800, "0001-01-01T00:00:00Z"},
      {kMin, "0000-01-01T00:00:00Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(utc_text(c.seconds), c.text) << c.seconds;
}

// Every text written reads back as the instant it was written for: days
// across leap years and century years, and seconds across a day.
TEST(UtcText, ReadsBackAsItself) {
  for (std::int64_t s = -62167219200; s < 253402300799; s += 86400 * 7 + 3607)
    ASSERT_EQ(parse_rfc3339(utc_text(s)), s) << utc_text(s);
}

}  // namespace
}  // namespace kelvane
