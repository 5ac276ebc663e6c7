// Taking one object or array apart: the whole text's grammar is the
// reader's (brackets matched by kind, no bracket counted inside a string,
// nothing after the value), while the members themselves may nest past the
// reader's budget and are then read one by one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json.h"

namespace kelvane::json {
namespace {

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

struct MemberCase {
  std::string text;
  std::vector<std::pair<std::string, std::string>> members;  // key, value text
};

TEST(SplitObject, GivesEachMemberAsItsTextWithItsKeyDecoded) {
  const std::string deep = nested(300);
  const MemberCase cases[] = {
      {"{}", {}},
      {" \t{ \n} \r\n", {}},
      {R"({"a":1})", {{"a", "1"}}},
      {R"( { "a" : "x" , "b" :[ 1 , 2 ] } )", {{"a", R"("x")"}, {"b", "[ 1 , 2 ]"}}},
      // Brackets, braces and quotes inside strings delimit nothing.
      {R"({"a":"]}","b":["}\"{",{"c":"["}]})", {{"a", R"("]}")"}, {"b", R"(["}\"{",{"c":"["}])"}}},
      {R"({"\u0061\"\n":null})", {{"a\"\n", "null"}}},
      {R"({"a":1,"a":true})", {{"a", "1"}, {"a", "true"}}},
      // Nesting past the reader's budget is taken apart all the same.
      {R"({"context":)" + deep + R"(,"n":-0.5e3})", {{"context", deep}, {"n", "-0.5e3"}}},
  };
  for (const MemberCase& c : cases) {
    auto split = split_object(c.text);
    ASSERT_TRUE(split.ok()) << c.text << ": " << split.error().to_string();
    std::vector<std::pair<std::string, std::string>> got;
    for (const MemberText& m : split.value()) got.emplace_back(m.key, std::string(m.value));
    EXPECT_EQ(got, c.members) << c.text;
  }
}

TEST(SplitArray, GivesEachElementAsItsText) {
  const std::string deep = nested(1000);
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"[]", {}},
      {" [ ] ", {}},
      {R"([1, "a,]b" ,{"x":[]},[[]], false])", {"1", R"("a,]b")", R"({"x":[]})", "[[]]", "false"}},
      {"[" + deep + "," + deep + "]", {deep, deep}},
  };
  for (const auto& [text, elements] : cases) {
    auto split = split_array(text);
    ASSERT_TRUE(split.ok()) << text << ": " << split.error().to_string();
    EXPECT_EQ(std::vector<std::string>(split.value().begin(), split.value().end()), elements)
        << text;
  }
}

// The depth that splitting allows is for the parts to be read one by one,
// each within its own budget.
TEST(SplitObject, MembersPastTheBudgetOfTheWholeReadOnTheirOwn) {
  const std::string text = R"({"context":)" + nested(127) + "}";
  auto whole = parse_value(text);
  ASSERT_FALSE(whole.ok());
  EXPECT_EQ(whole.error().code(), ErrorCode::RecursionLimitExceeded);
  auto split = split_object(text);
  ASSERT_TRUE(split.ok()) << split.error().to_string();
  ASSERT_EQ(split.value().size(), 1u);
  EXPECT_TRUE(parse_value(split.value()[0].value).ok());
}

struct Refusal {
  std::string text;
  bool object;  // split_object, else split_array
  std::string error;
};

TEST(Split, RefusesWhatTheReaderRefusesWithItsPosition) {
  const Refusal cases[] = {
      // Brackets must match by kind, at any depth.
      {R"({"a":[}})", true, "expected value at line 1 column 7"},
      {R"({"a":{]})", true, "key must be a string at line 1 column 7"},
      {"[[}]", false, "expected value at line 1 column 3"},
      {"[[[[]]]}", false, "expected `,` or `]` at line 1 column 8"},
      {"{\n\"a\": [1, 2}\n}", true, "expected `,` or `]` at line 2 column 11"},
      // A bracket inside a string closes nothing.
      {R"({"a":"]"})"
       "\n"
       R"(})",
       true, "trailing characters at line 2 column 1"},
      {R"({"a":"}")", true, "EOF while parsing an object at line 1 column 8"},
      {R"(["]")", false, "EOF while parsing a list at line 1 column 4"},
      // Nothing but white space after the value.
      {R"({"a":1} x)", true, "trailing characters at line 1 column 9"},
      {"[1]]", false, "trailing characters at line 1 column 4"},
      {"[1][2]", false, "trailing characters at line 1 column 4"},
      // The outer level's own grammar, with the reader's errors.
      {"", true, "EOF while parsing a value at line 1 column 0"},
      {"{", true, "EOF while parsing an object at line 1 column 1"},
      {R"({"a":1,})", true, "trailing comma at line 1 column 8"},
      {"[1,]", false, "trailing comma at line 1 column 4"},
      {R"({"a" 1})", true, "expected `:` at line 1 column 6"},
      {"{1:2}", true, "key must be a string at line 1 column 2"},
      {R"({"a":})", true, "expected value at line 1 column 6"},
      {R"({"a\q":1})", true, "invalid escape at line 1 column 5"},
      // Inside a member, the grammar is checked as when skipping.
      {R"({"a":[1,]})", true, "expected value at line 1 column 9"},
      {R"({"a":tru})", true, "expected ident at line 1 column 9"},
      {R"({"a":01})", true, "invalid number at line 1 column 7"},
      {R"(["a\x"])", false, "invalid escape at line 1 column 5"},
      {R"({"a":)" + std::string(200, '[') + "}", true, "expected value at line 1 column 206"},
      {"[" + nested(200) + ",]", false, "trailing comma at line 1 column 403"},
      // A value of another kind.
      {"[1]", true, "invalid type: sequence, expected an object at line 1 column 0"},
      {" {}", false, "invalid type: map, expected an array at line 1 column 1"},
      {R"("[]")", false, R"(invalid type: string "[]", expected an array at line 1 column 4)"},
      {"12", true, "invalid type: integer `12`, expected an object at line 1 column 2"},
      {"null", false, "invalid type: null, expected an array at line 1 column 4"},
  };
  for (const Refusal& c : cases) {
    const auto error = c.object
                           ? (split_object(c.text).ok() ? std::string("none")
                                                        : split_object(c.text).error().to_string())
                           : (split_array(c.text).ok() ? std::string("none")
                                                       : split_array(c.text).error().to_string());
    EXPECT_EQ(error, c.error) << c.text;
  }
}

// What only reading checks (a number's range, a lone surrogate) passes the
// split and is refused where the member is read.
TEST(Split, LeavesTheChecksOfReadingToTheReadOfEachMember) {
  for (const std::string value : {"1e400", R"("\ud800")"}) {
    const std::string text = R"({"a":)" + value + "}";
    ASSERT_FALSE(parse_value(text).ok()) << text;
    auto split = split_object(text);
    ASSERT_TRUE(split.ok()) << text;
    ASSERT_EQ(split.value().size(), 1u);
    EXPECT_FALSE(parse_value(split.value()[0].value).ok()) << text;
  }
}

}  // namespace
}  // namespace kelvane::json
