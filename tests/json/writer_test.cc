#include "json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "json/internal/testing.h"

namespace kelvane::json {
namespace {

std::string text_of(Number n) {
  return to_json(Value::number(n));
}
std::string text_of(double d) {
  return text_of(Number::from_double(d));
}

Value str(std::string_view s) {
  return Value::string(s);
}
Value num(std::uint64_t v) {
  return Value::number(Number::unsigned64(v));
}

Value array_of(std::vector<Value> items) {
  return Value::array(items);
}
Value object_of(std::vector<Member> members) {
  return Value::object(members);
}

TEST(NumberText, Integers) {
  struct Case {
    Number number;
    const char* text;
  } const cases[] = {
      {Number::unsigned64(0), "0"},
      {Number::unsigned64(7), "7"},
      {Number::unsigned64(10), "10"},
      {Number::unsigned64(99), "99"},
      {Number::unsigned64(100), "100"},
      {Number::unsigned64(1000000), "1000000"},
      {Number::unsigned64(9999999999999999999u), "9999999999999999999"},
      {Number::unsigned64(10000000000000000000u), "10000000000000000000"},
      {Number::unsigned64(UINT64_MAX), "18446744073709551615"},
      {Number::negative64(-1), "-1"},
      {Number::negative64(-10), "-10"},
      {Number::negative64(-1234567), "-1234567"},
      {Number::negative64(INT64_MIN), "-9223372036854775808"},
  };
  for (const Case& c : cases) EXPECT_EQ(text_of(c.number), c.text);
}

TEST(NumberText, Doubles) {
  struct Case {
    double value;
    const char* text;
  } const cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {100.0, "100.0"},
      {1.5, "1.5"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {2.0 / 3.0, "0.6666666666666666"},
      {123.456, "123.456"},
      {123456789012345.6, "123456789012345.6"},
      {1234567890123456.7, "1234567890123456.8"},
      {9007199254740992.0, "9007199254740992.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {12345678901234567.0, "1.2345678901234568e+16"},
      {6.02214076e23, "6.02214076e+23"},
      {1e100, "1e+100"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {1e-5, "0.00001"},
      {2.5e-5, "0.000025"},
      {0.000012345, "0.000012345"},
      {1e-6, "1e-6"},
      {-1e-7, "-1e-7"},
      {1.5e-7, "1.5e-7"},
      {1.23e-18, "1.23e-18"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {-std::numeric_limits<double>::min(), "-2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {2 * std::numeric_limits<double>::denorm_min(), "1e-323"},
      // Subnormals whose shortest form has one digit fewer than the scaled
      // significand (found by fuzzing).
      {10 * std::numeric_limits<double>::denorm_min(), "5e-323"},
      {12 * std::numeric_limits<double>::denorm_min(), "6e-323"},
      {20 * std::numeric_limits<double>::denorm_min(), "1e-322"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
      // Whole numbers: the plain form up to a first-digit exponent of 15.
      {999999999999999.0, "999999999999999.0"},
      {1e17, "1e+17"},
      {123e15, "1.23e+17"},
      {5e-324 * 3, "1.5e-323"},
      {1e22, "1e+22"},
      {1e23, "1e+23"},
      {0.001, "0.001"},
      {12.0, "12.0"},
      {1e-1, "0.1"},
  };
  for (const Case& c : cases) EXPECT_EQ(text_of(c.value), c.text) << c.text;
}

TEST(NumberText, DoubleTextFitsItsBuffer) {
  // The longest forms: sign, 17 digits, point and a three-digit exponent,
  // or sign, "0.0000" and 17 digits.
  for (double d : {-2.2250738585072014e-308, -1.2345678901234567e-100, -0.000012345678901234567,
                   -1234567890123456.7}) {
    char buf[kMaxDoubleText];
    const std::size_t n = double_text(d, buf);
    EXPECT_LE(n, kMaxDoubleText);
  }
  char buf[kMaxDoubleText];
  EXPECT_EQ(double_text(-2.2250738585072014e-308, buf), 24u);
}

TEST(ShortestDecimal, PowersOfTwoHaveLopsidedIntervals) {
  // Below a power of two the doubles are twice as dense, which changes the
  // shortest text of several of them.
  EXPECT_EQ(text_of(std::ldexp(1.0, -1022)), "2.2250738585072014e-308");
  EXPECT_EQ(text_of(std::ldexp(1.0, 1023)), "8.98846567431158e+307");
  EXPECT_EQ(text_of(std::ldexp(1.0, 64)), "1.8446744073709552e+19");
  EXPECT_EQ(text_of(std::ldexp(1.0, -1074)), "5e-324");
  EXPECT_EQ(text_of(9007199254740993.0), "9007199254740992.0");
}

TEST(ShortestDecimal, DigitsCarryNoTrailingZeros) {
  struct Case {
    double value;
    std::uint64_t digits;
    int exponent;
  } const cases[] = {
      {1.0, 1, 0},   {100.0, 1, 2},     {1e16, 1, 16},
      {1.5, 15, -1}, {5e-324, 5, -324}, {1e-323, 1, -323},
  };
  for (const Case& c : cases) {
    const Decimal d = shortest_decimal(c.value);
    EXPECT_EQ(d.digits, c.digits) << c.value;
    EXPECT_EQ(d.exponent, c.exponent) << c.value;
  }
}

TEST(StringText, Escapes) {
  struct Case {
    std::string in;
    std::string out;
  } const cases[] = {
      {"", R"("")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\n\t\x01\x1f", R"("\n\t\u0001\u001f")"},
      {"/\xC3\xA9", "\"/\xC3\xA9\""},
      {"\b\f\r", R"("\b\f\r")"},
      {"\x0b", R"("\u000b")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"\x7f", "\"\x7f\""},
      {"B\xC3\xBC"
       "cher",
       "\"B\xC3\xBC"
       "cher\""},
      {"stop \"api\" now\n\tC:\\temp\n", R"("stop \"api\" now\n\tC:\\temp\n")"},
      // Escapes at every position of an eight-byte block and past it.
      {"0123456\"89", R"("0123456\"89")"},
      {"01234567\n", R"("01234567\n")"},
      {"\\1234567", R"("\\1234567")"},
      {std::string(40, 'x') + "\x1f" + std::string(9, 'y'),
       "\"" + std::string(40, 'x') + "\\u001f" + std::string(9, 'y') + "\""},
  };
  for (const Case& c : cases) {
    std::string out;
    Serializer(out).serialize_str(c.in);
    EXPECT_EQ(out, c.out);
  }
}

TEST(StringText, EveryByteBelowSpaceIsEscapedAndOthersAreNot) {
  for (int b = 0; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    std::string out;
    Serializer(out).serialize_str(in);
    const bool escaped = b < 0x20 || b == '"' || b == '\\';
    EXPECT_EQ(out.size() > 3, escaped) << b;
    if (!escaped) {
      EXPECT_EQ(out, "\"" + in + "\"");
    }
  }
}

// Byte by byte, the obvious way: the oracle for the block-wise scan.
std::string escaped_simply(std::string_view in) {
  std::string out = "\"";
  for (const char c : in) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out += "0123456789abcdef"[b >> 4];
          out += "0123456789abcdef"[b & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

TEST(StringText, EscapesAtEveryOffsetOfEveryLength) {
  // Runs are scanned in blocks of 64, 16 and 8 bytes with a padded tail:
  // put each kind of escape at every offset of texts around those sizes.
  for (std::size_t len = 1; len <= 150; ++len) {
    for (std::size_t at = 0; at < len; ++at) {
      for (const char needs_escape : {'"', '\\', '\x00', '\x1f', '\n'}) {
        std::string in(len, '\xC3');
        for (std::size_t i = 0; i < len; i += 2) in[i] = static_cast<char>('a' + i % 26);
        in[at] = needs_escape;
        std::string out;
        Serializer(out).serialize_str(in);
        ASSERT_EQ(out, escaped_simply(in)) << "length " << len << " offset " << at;
      }
    }
  }
  const std::string dense(1000, '\x01');
  std::string out;
  Serializer(out).serialize_str(dense);
  EXPECT_EQ(out, escaped_simply(dense));
}

// Strings of up to 14 bytes live inside their value and are written from
// its sixteen bytes: as values and as keys, at every length, with and
// without an escape at every offset, and with bytes that look like escapes
// just past the text.
TEST(StringText, ShortStringsAsValuesAndKeys) {
  for (std::size_t len = 0; len <= 15; ++len) {
    for (std::size_t at = 0; at <= len; ++at) {
      std::string in(len, 'k');
      if (at < len) in[at] = at % 2 == 0 ? '"' : '\x01';
      std::vector<Member> members;
      members.emplace_back(in, str(in));
      const std::string expected = escaped_simply(in);
      EXPECT_EQ(to_json(str(in)), expected) << len << " " << at;
      EXPECT_EQ(to_json(object_of(std::move(members))), "{" + expected + ":" + expected + "}")
          << len << " " << at;
    }
  }
  // A value that held a longer text with quotes, then a short one: only the
  // short text counts.
  Value v = str("\"\"\"\"\"\"\"\"\"\"\"\"\"\"");
  v = str("ab");
  EXPECT_EQ(to_json(v), "\"ab\"");
}

TEST(StringText, AppendsWithoutTouchingWhatIsThere) {
  std::string out = "prefix:";
  Serializer(out).serialize_str("x");
  EXPECT_EQ(out, "prefix:\"x\"");
}

TEST(ValueText, Examples) {
  EXPECT_EQ(to_json(Value::null()), "null");
  EXPECT_EQ(to_json(Value::boolean(true)), "true");
  EXPECT_EQ(to_json(Value::boolean(false)), "false");
  EXPECT_EQ(to_json(array_of({})), "[]");
  EXPECT_EQ(to_json(object_of({})), "{}");

  std::vector<Value> items;
  items.push_back(num(1));
  items.push_back(str("x"));
  items.push_back(Value::null());
  items.push_back(Value::boolean(true));
  EXPECT_EQ(to_json(array_of(std::move(items))), R"([1,"x",null,true])");

  std::vector<Value> inner;
  inner.push_back(Value::boolean(true));
  inner.push_back(object_of({}));
  std::vector<Member> members;
  members.emplace_back("b", num(1));
  members.emplace_back("a", array_of(std::move(inner)));
  members.emplace_back("B", num(2));
  EXPECT_EQ(to_json(object_of(std::move(members))), R"({"B":2,"a":[true,{}],"b":1})");
}

TEST(ValueText, KeysAreByteOrderedAndEscapedAtEveryLevel) {
  std::vector<Member> window;
  window.emplace_back("start", str("02:00"));
  window.emplace_back("minutes", num(30));
  std::vector<Member> members;
  members.emplace_back("a", num(1));
  members.emplace_back("B", num(2));
  members.emplace_back("_", num(3));
  members.emplace_back("aa", object_of(std::move(window)));
  members.emplace_back("\n", Value::number(Number::from_double(-0.0)));
  members.emplace_back("\xC3\xA9", Value::number(Number::negative64(-5)));
  EXPECT_EQ(to_json(object_of(std::move(members))),
            "{\"\\n\":-0.0,\"B\":2,\"_\":3,\"a\":1,\"aa\":{\"minutes\":30,\"start\":\"02:00\"},"
            "\"\xC3\xA9\":-5}");
}

TEST(ValueText, DeepNestingNeedsNoCallStack) {
  constexpr int kDepth = 200000;
  Value v = num(7);
  for (int i = 0; i < kDepth; ++i) {
    std::vector<Value> one;
    one.push_back(std::move(v));
    v = Value::array(one);
  }
  const std::string text = to_json(v);
  EXPECT_EQ(text, std::string(kDepth, '[') + "7" + std::string(kDepth, ']'));
}

// Members in the order given, separated; an object with none is "{}"; a
// compact text goes in as it stands.
TEST(SerializeMap, WritesMembersInTheOrderGiven) {
  std::string out = "x";
  Serializer s(out);
  SerializeMap empty = s.serialize_map();
  empty.end();
  EXPECT_EQ(out, "x{}");

  out.clear();
  SerializeMap full = s.serialize_map();
  full.serialize_entry("t", std::string_view("x\"y"));
  full.serialize_entry("n", std::uint64_t{18446744073709551615u});
  full.serialize_entry("v", num(0));
  full.serialize_entry("c", CompactText(num(1)));
  full.serialize_key("k");
  out += "true";
  full.end();
  EXPECT_EQ(out, R"({"t":"x\"y","n":18446744073709551615,"v":0,"c":1,"k":true})");
}

}  // namespace
}  // namespace kelvane::json

namespace kelvane::json {
namespace {

// A small line written token by token (as a token's claims or a verdict
// are) grows its string by about its own size: a whole 64 KiB step per
// token, zero-filled each time, made signing a token cost several times
// what the signature itself costs.
TEST(WriterGrowth, ASmallLineDoesNotReserveAWholeStepPerToken) {
  std::string out;
  Serializer serializer(out);
  SerializeMap map = serializer.serialize_map();
  for (int i = 0; i < 12; ++i)
    map.serialize_entry("member" + std::to_string(i), std::string_view("a short value"));
  map.end();
  EXPECT_EQ(out.substr(0, 27), R"({"member0":"a short value",)");
  EXPECT_LT(out.capacity(), 4096u) << out.size();
}

}  // namespace
}  // namespace kelvane::json
