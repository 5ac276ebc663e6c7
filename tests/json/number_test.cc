#include "json/internal/testing.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>

namespace kelvane::json {
namespace {

using namespace detail;

std::uint64_t bits(double d) {
  return std::bit_cast<std::uint64_t>(d);
}

TEST(ComposeDouble, OneRoundingPerTableStep) {
  struct Case {
    bool positive;
    std::uint64_t significand;
    std::int32_t exponent;
    double expected;
  };
  const Case cases[] = {
      {true, 37, -23, 3.7000000000000005e-22},  // not the double nearest 3.7e-22
      {true, 0, 0, 0.0},
      {false, 0, 0, -0.0},
      {false, 0, 5000, -0.0},  // zero stays zero however large the exponent
      {true, 1, 308, 1e308},
      {true, 17976931348623157, 292, 1.7976931348623157e308},
      {true, 1, -308, 1e-308},
      {true, 1, -309, 1e-309},  // 1 / 1e308 / 1e1
      {true, 5, -324, 5e-324},
      {true, 1, -400, 0.0},
      {false, 1, -400, -0.0},
      {true, UINT64_MAX, 0, 18446744073709551616.0},
      {true, 9007199254740993, 0, 9007199254740992.0},  // ties to even
      {true, 1, std::numeric_limits<std::int32_t>::min(), 0.0},
  };
  for (const Case& c : cases) {
    const std::optional<double> f = compose_double(c.positive, c.significand, c.exponent);
    ASSERT_TRUE(f) << c.significand << "e" << c.exponent;
    EXPECT_EQ(bits(*f), bits(c.expected)) << c.significand << "e" << c.exponent;
  }
}

TEST(ComposeDouble, NotFiniteIsRefused) {
  EXPECT_FALSE(compose_double(true, 1, 309));
  EXPECT_FALSE(compose_double(false, 18, 307));
  EXPECT_FALSE(compose_double(true, 1, std::numeric_limits<std::int32_t>::max()));
  EXPECT_TRUE(compose_double(true, 0, std::numeric_limits<std::int32_t>::max()));
}

TEST(PositionOfIndex, LinesEndOnlyAtLineFeeds) {
  struct Case {
    std::string_view text;
    std::size_t index;
    Position expected;
  };
  const Case cases[] = {
      {"", 0, {1, 0}},       {"abc", 0, {1, 0}},
      {"abc", 3, {1, 3}},    {"a\nb", 1, {1, 1}},
      {"a\nb", 2, {2, 0}},   {"a\nb", 3, {2, 1}},
      {"a\r\nb", 3, {2, 0}}, {"a\rb", 3, {1, 3}},
      {"\n\n\n", 3, {4, 0}}, {"\xE2\x82\xAC\n\xE2\x82\xAC", 7, {2, 3}},
  };
  for (const Case& c : cases) {
    const Position p = position_of_index(c.text, c.index);
    EXPECT_EQ(p.line, c.expected.line) << c.text << " @" << c.index;
    EXPECT_EQ(p.column, c.expected.column) << c.text << " @" << c.index;
  }
}

}  // namespace
}  // namespace kelvane::json
