#include "json/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "json/internal/testing.h"
#include "json/render.h"

namespace kelvane::json {
namespace {

using namespace detail;

using testing::render;

// The rendered value, or "error: " and the displayed error.
std::string read(std::string_view text) {
  Result<Value, Error> r = parse_value(text);
  return r.ok() ? render(r.value()) : "error: " + r.error().to_string();
}

struct Case {
  std::string text;
  std::string expected;
};

void check_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(read(c.text), c.expected) << "text: " << c.text;
}

TEST(ParseValue, Values) {
  check_all({
      {"null", "null"},
      {"true", "true"},
      {" \t\r\nfalse \n", "false"},
      {"0", "0"},
      {"-0", "D(-0)"},
      {"1E2", "D(100)"},
      {"1.0", "D(1)"},
      {"0e0", "D(0)"},
      {"-5", "-5"},
      {"\"\"", "\"\""},
      {"\"a string longer than fourteen bytes\"", "\"a string longer than fourteen bytes\""},
      {"[]", "[]"},
      {"{}", "{}"},
      {"[1,[2,[]],{\"k\":[null]}]", "[1,[2,[]],{\"k\":[null]}]"},
      {"{\"b\":1,\"a\":2,\"B\":3}", "{\"B\":3,\"a\":2,\"b\":1}"},
      {"{\"a\":1,\"a\":2}", "{\"a\":2}"},
      {"{\"x\":[1,2],\"x\":{\"y\":null},\"w\":0}", "{\"w\":0,\"x\":{\"y\":null}}"},
      {" [ 1 , 2 ] ", "[1,2]"},
  });
}

TEST(ParseValue, IntegerBoundaries) {
  check_all({
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "D(18446744073709551616)"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775807", "-9223372036854775807"},
      {"-9223372036854775809", "D(-9223372036854775808)"},
      {"-18446744073709551615", "D(-18446744073709551616)"},
      {"-18446744073709551616", "D(-18446744073709551616)"},
      {"184467440737095516150", "D(184467440737095516160)"},
      {"18446744073709551619.5", "D(18446744073709551616)"},
      {"00", "error: invalid number at line 1 column 2"},
  });
}

TEST(ParseValue, DoublesFollowTheTableProcedure) {
  // 37 / 1e23 rounds differently from the decimal 3.7e-22.
  Result<Value, Error> r = parse_value("3.7e-22");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(r.value().as_number().as_double()),
            std::bit_cast<std::uint64_t>(3.7000000000000005e-22));
  check_all({
      {"1e308", "D(1e+308)"},
      {"1.7976931348623157e308", "D(1.7976931348623157e+308)"},
      {"1e309", "error: number out of range at line 1 column 5"},
      {"1e400", "error: number out of range at line 1 column 5"},
      {"-1e400", "error: number out of range at line 1 column 6"},
      {"0e400", "D(0)"},
      {"1e-400", "D(0)"},
      {"-1e-400", "D(-0)"},
      {"10e-309", "D(1e-308)"},
      {"1e2147483647", "error: number out of range at line 1 column 12"},
      {"1e2147483648", "error: number out of range at line 1 column 12"},
      {"1e21474836470000", "error: number out of range at line 1 column 13"},
      {"0e2147483648", "D(0)"},
      {"-0e2147483648", "D(-0)"},
      {"1e-2147483648", "D(0)"},
      {"1e-99999999999999", "D(0)"},
      {"-1e-2147483648", "D(-0)"},
      {"0.1e2147483647", "error: number out of range at line 1 column 14"},
      {"1e-2147483649", "D(0)"},
      {"-123.456e-2147483648", "D(-0)"},
      {"0.0e99999999999", "D(0)"},
      {"0.5e-2147483647", "D(0)"},  // the exponent saturates instead of wrapping
      {"0.00000000000000000000000000001e29", "D(1)"},
      {"1.5", "D(1.5)"},
      {"123456789012345678901234567890", "D(1.2345678901234568e+29)"},
      {"0.12345678901234567890123", "D(0.12345678901234568)"},
  });
}

TEST(ParseValue, LongIntegerDigitsScaleTheSignificand) {
  // 401 digits: 10^19 in the significand, 381 more as the exponent.
  EXPECT_EQ(read("1" + std::string(400, '0') + "e-400"), "D(1)");
  EXPECT_EQ(read("-1" + std::string(400, '0') + ".5e-400"), "D(-1)");
  EXPECT_EQ(read("1" + std::string(308, '0')), "D(1e+308)");
  EXPECT_EQ(read("1" + std::string(309, '0')), "error: number out of range at line 1 column 310");
  // Fraction digits beyond 64 bits are dropped, not rounded.
  EXPECT_EQ(read("0." + std::string(19, '9') + "9999"), "D(1)");
  EXPECT_EQ(read("1.84467440737095516159999"), read("1.8446744073709551615"));
  EXPECT_EQ(read("18446744073709551616.9e-1"), read("1844674407370955161.6"));
}

// Short numbers and long ones are read on different paths, and the short
// path takes eight digits at a time where it can; across those boundaries
// (8 and 16 digits in a run, 19 in all) every form must give the table
// procedure's result for the same significand and exponent, in an array and
// at the very end of the text.
TEST(ParseValue, DigitCountsAroundTheShortForm) {
  for (const std::string digits :
       {"12345678", "987654321", "1234567890123456", "98765432109876543", "123456789012345678",
        "1234567890123456789", "12345678901234567890"}) {
    std::uint64_t significand = 0;
    for (const char d : digits)
      significand = significand * 10 + static_cast<std::uint64_t>(d - '0');
    for (std::size_t split = 1; split < digits.size(); ++split) {
      const std::string decimal = digits.substr(0, split) + "." + digits.substr(split);
      const auto fraction = static_cast<std::int32_t>(digits.size() - split);
      for (const auto& [suffix, exponent] : {std::pair<std::string, std::int32_t>{"", 0},
                                             {"e7", 7},
                                             {"E-12", -12},
                                             {"e+0", 0},
                                             {"e-000000300", -300}}) {
        for (const bool positive : {true, false}) {
          const std::string text = (positive ? "" : "-") + decimal + suffix;
          const std::optional<double> expected =
              compose_double(positive, significand, exponent - fraction);
          ASSERT_TRUE(expected.has_value()) << text;
          Result<Value, Error> r = parse_value("[" + text + "]");
          ASSERT_TRUE(r.ok()) << text;
          EXPECT_EQ(std::bit_cast<std::uint64_t>(r.value().as_array()[0].as_number().as_double()),
                    std::bit_cast<std::uint64_t>(*expected))
              << text;
          Result<Value, Error> bare = parse_value(text);
          ASSERT_TRUE(bare.ok()) << text;
          EXPECT_EQ(std::bit_cast<std::uint64_t>(bare.value().as_number().as_double()),
                    std::bit_cast<std::uint64_t>(*expected))
              << text;
        }
      }
    }
  }
  check_all({
      {"12345678", "12345678"},
      {"[12345678,1234567a]", "error: expected `,` or `]` at line 1 column 18"},
      {"1234567812345678", "1234567812345678"},
      {"0.12345678e1", "D(1.2345678)"},
      {"-00000000", "error: invalid number at line 1 column 3"},
      {"9999999999999999999", "9999999999999999999"},
      {"-9999999999999999999", "D(-1e+19)"},
      {"-999999999999999999", "-999999999999999999"},
      {"[0,-0,7,-7]", "[0,D(-0),7,-7]"},
      {"1e000000000", "D(1)"},
      {"1e0000000001", "D(10)"},
      {"1.5e-0000000001", "D(0.15)"},
      {"0.5", "D(0.5)"},
      {"-0.0e5", "D(-0)"},
      {"1e", "error: EOF while parsing a value at line 1 column 2"},
      {"1.e1", "error: invalid number at line 1 column 3"},
      {"-", "error: EOF while parsing a value at line 1 column 1"},
      {"-a", "error: invalid number at line 1 column 2"},
      {"01.5", "error: invalid number at line 1 column 2"},
      {"1e+", "error: EOF while parsing a value at line 1 column 3"},
  });
}

TEST(ParseValue, Literals) {
  check_all({
      {"nul", "error: EOF while parsing a value at line 1 column 3"},
      {"nulx", "error: expected ident at line 1 column 4"},
      {"nullx", "error: trailing characters at line 1 column 5"},
      {"[nullx]", "error: expected `,` or `]` at line 1 column 6"},
      {"tru", "error: EOF while parsing a value at line 1 column 3"},
      {"fals", "error: EOF while parsing a value at line 1 column 4"},
      {"trUe", "error: expected ident at line 1 column 3"},
      {"True", "error: expected value at line 1 column 1"},
  });
}

TEST(ParseValue, SyntaxErrors) {
  check_all({
      {"", "error: EOF while parsing a value at line 1 column 0"},
      {"   ", "error: EOF while parsing a value at line 1 column 3"},
      {"1 2", "error: trailing characters at line 1 column 3"},
      {"[1,]", "error: trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "error: trailing comma at line 1 column 8"},
      {"[1 2]", "error: expected `,` or `]` at line 1 column 4"},
      {"{\"a\" 1}", "error: expected `:` at line 1 column 6"},
      {"{\"a\"", "error: EOF while parsing an object at line 1 column 4"},
      {"{1:2}", "error: key must be a string at line 1 column 2"},
      {"{\"a\":1 \"b\":2}", "error: expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1,2}", "error: key must be a string at line 1 column 8"},
      {"{\"a\":1,", "error: EOF while parsing a value at line 1 column 7"},
      {"[1,", "error: EOF while parsing a value at line 1 column 3"},
      {"[", "error: EOF while parsing a list at line 1 column 1"},
      {"{", "error: EOF while parsing an object at line 1 column 1"},
      {"[1,2", "error: EOF while parsing a list at line 1 column 4"},
      {"{\"a\":1", "error: EOF while parsing an object at line 1 column 6"},
      {"{\"a\":", "error: EOF while parsing a value at line 1 column 5"},
      {"[}", "error: expected value at line 1 column 2"},
      {"{\"a\":1]", "error: expected `,` or `}` at line 1 column 7"},
      {"{\"a\":1}}", "error: trailing characters at line 1 column 8"},
      {"01", "error: invalid number at line 1 column 2"},
      {"-01", "error: invalid number at line 1 column 3"},
      {"-", "error: EOF while parsing a value at line 1 column 1"},
      {"-a", "error: invalid number at line 1 column 2"},
      {"1.", "error: EOF while parsing a value at line 1 column 2"},
      {"1.e5", "error: invalid number at line 1 column 3"},
      {"1.]", "error: invalid number at line 1 column 3"},
      {"1e", "error: EOF while parsing a value at line 1 column 2"},
      {"1e+", "error: EOF while parsing a value at line 1 column 3"},
      {"1ex", "error: invalid number at line 1 column 3"},
      {"1e+x", "error: invalid number at line 1 column 4"},
      {".5", "error: expected value at line 1 column 1"},
      {"+1", "error: expected value at line 1 column 1"},
      {"NaN", "error: expected value at line 1 column 1"},
      {"\xEF\xBB\xBF"
       "1",
       "error: expected value at line 1 column 1"},
  });
}

TEST(ParseValue, Strings) {
  check_all({
      {"\"abc", "error: EOF while parsing a string at line 1 column 4"},
      {"\"\xC3\xA9", "error: EOF while parsing a string at line 1 column 3"},
      {"\"a\tb\"",
       "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column "
       "3"},
      {"\"0123456789abcdef\x1f\"",
       "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column "
       "18"},
      {"\"a\\q\"", "error: invalid escape at line 1 column 4"},
      {"\"\\ud800\"", "error: unexpected end of hex escape at line 1 column 8"},
      {"\"\\udc00\"", "error: lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "error: lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud800\\n\"", "error: unexpected end of hex escape at line 1 column 9"},
      {"\"\\u12\"", "error: EOF while parsing a string at line 1 column 6"},
      {"\"\\u12g4\"", "error: invalid escape at line 1 column 7"},
      // Escapes cut off by the end of the input.
      {"\"\\", "error: EOF while parsing a string at line 1 column 2"},
      {"\"\\u", "error: EOF while parsing a string at line 1 column 3"},
      {"\"\\u00e", "error: EOF while parsing a string at line 1 column 6"},
      {"\"\\ud83d", "error: EOF while parsing a string at line 1 column 7"},
      {"\"\\ud83d\\", "error: EOF while parsing a string at line 1 column 8"},
      {"\"\\ud83d\\u", "error: EOF while parsing a string at line 1 column 9"},
      {"\"\\ud83d\\ude0", "error: EOF while parsing a string at line 1 column 12"},
      {"\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\""},
      {"\"\\u00e9\\u20AC\\u0041\"",
       "\"\xC3\xA9\xE2\x82\xAC"
       "A\""},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\"\\/\b\f\n\r\t\""},
      {"\"caf\xC3\xA9 \x7F\"", "\"caf\xC3\xA9 \x7F\""},
      {"\"a long run before an escape \\n and after it\"",
       "\"a long run before an escape \n and after it\""},
  });
  Result<Value, Error> nul = parse_value("\"\\u0000\"");
  ASSERT_TRUE(nul.ok());
  EXPECT_EQ(nul.value().as_string(), std::string_view("\0", 1));
}

// Every offset of the terminating byte around the eight-byte steps.
TEST(ParseValue, StringScanFindsTheFirstStopAtEveryOffset) {
  for (std::size_t len = 0; len < 40; ++len) {
    const std::string body(len, 'x');
    EXPECT_EQ(read("\"" + body + "\""), "\"" + body + "\"");
    EXPECT_EQ(read("\"" + body + "\\n\" "), "\"" + body + "\n\"");
    EXPECT_EQ(read("\"" + body + "\x01\"\"\\"),
              "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 "
              "column " +
                  std::to_string(len + 2));
    EXPECT_EQ(read("\"" + body),
              "error: EOF while parsing a string at line 1 column " + std::to_string(len + 1));
    // Bytes from 0x80 up and DEL are ordinary string bytes.
    const std::string high(len, '\xE9');
    EXPECT_EQ(read("\"" + high + "\x7F\""), "\"" + high + "\x7F\"");
  }
}

TEST(ParseValue, Positions) {
  check_all({
      {"[1,\r\n 2,\r\n x]", "error: expected value at line 3 column 2"},
      {"{\n  \"a\": 1,\n  \"b\": tru\n}", "error: expected ident at line 4 column 0"},
      {"\n", "error: EOF while parsing a value at line 2 column 0"},
      {"[\n1,\n\n", "error: EOF while parsing a value at line 4 column 0"},
      {"[\"\xE2\x82\xAC\" x]", "error: expected `,` or `]` at line 1 column 8"},
  });
}

std::string nested(std::size_t depth, char open, std::string_view inner, char close) {
  return std::string(depth, open) + std::string(inner) + std::string(depth, close);
}

std::string nested_objects(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{\"k\":";
  text += "0";
  text.append(depth, '}');
  return text;
}

TEST(ParseValue, NestingBudget) {
  EXPECT_TRUE(parse_value(nested(127, '[', "", ']')).ok());
  EXPECT_EQ(read(nested(128, '[', "", ']')),
            "error: recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(read(std::string(128, '[')), "error: recursion limit exceeded at line 1 column 128");
  EXPECT_TRUE(parse_value(nested_objects(127)).ok());
  EXPECT_EQ(read(nested_objects(128)),
            "error: recursion limit exceeded at line 1 column " + std::to_string(127 * 5 + 1));
  // Closed brackets give their budget back.
  std::string siblings = "[";
  for (int i = 0; i < 3; ++i) siblings += nested(126, '[', "1", ']') + ",";
  siblings += "0]";
  EXPECT_TRUE(parse_value(siblings).ok());
  // The budget is per open bracket, not per bracket seen.
  EXPECT_EQ(read("[" + nested(126, '[', "", ']') + "," + std::string(127, '[')),
            "error: recursion limit exceeded at line 1 column 381");
}

TEST(ParseValue, ManyElementsKeepTheirOrder) {
  std::string text = "[";
  std::string expected = "[";
  for (int i = 0; i < 1000; ++i) {
    const std::string n = std::to_string(i);
    text += (i ? "," : "") + std::string("[") + n + ",{\"v\":" + n + "}]";
    expected += (i ? "," : "") + std::string("[") + n + ",{\"v\":" + n + "}]";
  }
  EXPECT_EQ(read(text + "]"), expected + "]");
}

// Large objects are sorted once, not kept sorted by insertion: 200000 keys
// in descending order, each given twice (insertion into a sorted list
// would make this quadratic); the later value of each key is kept.
TEST(ParseValue, LargeObjectsWithRepeatedKeys) {
  constexpr int kKeys = 100000;
  std::string text = "{";
  for (int round = 0; round < 2; ++round) {
    for (int i = kKeys - 1; i >= 0; --i) {
      if (text.size() > 1) text += ',';
      text += "\"k" + std::to_string(1000000 + i) + "\":" + std::to_string(round);
    }
  }
  text += '}';
  Result<Value, Error> r = parse_value(text);
  ASSERT_TRUE(r.ok());
  const auto members = r.value().as_object();
  ASSERT_EQ(members.size(), static_cast<std::size_t>(kKeys));
  EXPECT_EQ(members.front().name(), "k1000000");
  EXPECT_EQ(members.back().name(), "k1099999");
  for (const Member& m : members) ASSERT_EQ(m.value.as_number().as_unsigned64(), 1u) << m.name();
}

}  // namespace
}  // namespace kelvane::json
