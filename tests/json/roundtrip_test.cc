// Reading the writer's text back: numbers keep their representation, and a
// double comes back as itself or, where the reader's fixed composition of
// significand and power of ten is not the nearest double, as a neighbour a
// few units in the last place away (found by fuzzing the round trip).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "json/json.h"

namespace kelvane::json {
namespace {

std::string rewrite(std::string_view text) {
  Result<Value, Error> r = parse_value(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? to_json(r.value()) : std::string();
}

TEST(RoundTrip, WrittenTextReadsBack) {
  const struct {
    std::string_view input, once, twice;
  } cases[] = {
      {R"([1.5,-0,1e2,100,18446744073709551616,-9223372036854775809,5e-324,{"b":0.1,"a":-1e-7}])",
       R"([1.5,-0.0,100.0,100,1.8446744073709552e+19,-9.223372036854776e+18,5e-324,{"a":-1e-7,"b":0.1}])",
       R"([1.5,-0.0,100.0,100,1.8446744073709552e+19,-9.223372036854776e+18,5e-324,{"a":-1e-7,"b":0.1}])"},
      {"1.7976931348623157e308", "1.7976931348623157e+308", "1.7976931348623157e+308"},
      // The drift: 2374623746732769 times the table's 1e39 is one unit
      // below the double nearest the text.
      {"-2374623746732768942898327498324234798232479823246327846", "-2.374623746732769e+54",
       "-2.3746237467327687e+54"},
  };
  for (const auto& c : cases) {
    const std::string once = rewrite(c.input);
    EXPECT_EQ(once, c.once);
    EXPECT_EQ(rewrite(once), c.twice);
  }
}

TEST(RoundTrip, DriftIsOneUnitInTheLastPlace) {
  Result<Value, Error> read = parse_value("-2.374623746732769e+54");
  ASSERT_TRUE(read.ok());
  const auto got = std::bit_cast<std::uint64_t>(read.value().as_number().as_double());
  const auto nearest = std::bit_cast<std::uint64_t>(-2.374623746732769e+54);
  EXPECT_EQ(got > nearest ? got - nearest : nearest - got, 1u);
}

}  // namespace
}  // namespace kelvane::json
