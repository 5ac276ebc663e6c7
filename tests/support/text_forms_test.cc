// Hexadecimal and decimal text, and the message prefix.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/decimal.h"
#include "support/hex.h"
#include "support/message_prefix.h"

namespace kelvane {
namespace {

TEST(Hex, DigitsAndBytes) {
  const struct {
    std::uint32_t value;
    int count;
    const char* text;
  } digits[] = {
      {0, 2, "00"},      {0xAB, 2, "ab"},
      {0xAB, 4, "00ab"}, {0x1F600, 8, "0001f600"},
      {0x1234, 2, "34"}, {0xFFFFFFFF, 8, "ffffffff"},
      {7, 1, "7"},       {0x10, 0, ""},
  };
  for (const auto& c : digits) {
    std::string out = "x";
    hex::append_digits(out, c.value, c.count);
    EXPECT_EQ(out, std::string("x") + c.text) << c.value << "/" << c.count;
  }
  const unsigned char bytes[] = {0x00, 0x0f, 0xf0, 0xff, 0x5a};
  EXPECT_EQ(hex::of_bytes(bytes), "000ff0ff5a");
  EXPECT_EQ(hex::of_bytes({}), "");
}

TEST(Decimal, DigitsOnlyWithinTheLimit) {
  const struct {
    const char* text;
    std::uint64_t max;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {"0", UINT64_MAX, 0},
      {"007", UINT64_MAX, 7},
      {"18446744073709551615", UINT64_MAX, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, std::nullopt},
      {"99999999999999999999", UINT64_MAX, std::nullopt},
      {"", UINT64_MAX, std::nullopt},
      {"+1", UINT64_MAX, std::nullopt},
      {"-1", UINT64_MAX, std::nullopt},
      {" 1", UINT64_MAX, std::nullopt},
      {"1 ", UINT64_MAX, std::nullopt},
      {"1x", UINT64_MAX, std::nullopt},
      {"\xD9\xA1", UINT64_MAX, std::nullopt},  // ARABIC-INDIC DIGIT ONE
      {"255", 255, 255},
      {"256", 255, std::nullopt},
      {"5", 5, 5},
      {"9", 5, std::nullopt},  // a digit above a small limit
      {"0", 0, 0},
      {"1", 0, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_decimal(c.text, c.max), c.value) << c.text;
}

TEST(MessagePrefix, IsTheSourceAndAColon) {
  EXPECT_EQ(std::string(kMessageSource) + ": ", kMessagePrefix);
}

}  // namespace
}  // namespace kelvane
