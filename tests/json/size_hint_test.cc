#include <gtest/gtest.h>

#include <string>

#include "json/reader.h"
#include "json/writer.h"

namespace kelvane::json {
namespace {

Value read(std::string_view text) {
  auto v = parse_value(text);
  EXPECT_TRUE(v.ok()) << text;
  return v.ok() ? std::move(v).value() : Value();
}

TEST(CompactSizeHint, ExactWithoutStringsOrDoubles) {
  for (const char* text : {"null", "true", "false", "0", "18446744073709551615", "-9223372036854775808",
                           "[]", "{}", "[[],{},[1,[2,[3]]]]", "[null,true,false,-1,10]"}) {
    const Value v = read(text);
    EXPECT_EQ(compact_size_hint(v), to_json(v).size()) << text;
  }
}

// Enough whenever escapes are at most an eighth of a string's bytes.
TEST(CompactSizeHint, EnoughForStringsDoublesAndKeys) {
  const std::string long_text(1000, 'x');
  for (const std::string& text :
       {std::string("\"\""), std::string("\"line one\\nline two\\tthe \\\"end\\\" of it all\""),
        "\"" + long_text + "\\u0001\"", std::string("[1e15,-0,1.5,2.2250738585072014e-308]"),
        std::string("{\"b\":{\"a\":[\"x\",{\"\":\"\"}]},\"a\":1,\"a\":\"\"}")}) {
    const Value v = read(text);
    EXPECT_GE(compact_size_hint(v), to_json(v).size()) << text;
  }
}

}  // namespace
}  // namespace kelvane::json
