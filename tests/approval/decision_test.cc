#include "approval/decision.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane::approval {
namespace {

// "verdict|detail|token|expiry" with "-" for an absent optional, or
// "error: " and the displayed error.
std::string decode(std::string_view line) {
  Result<OperatorApprovalDecision, json::Error> r = decode_decision(line);
  if (!r.ok()) return "error: " + r.error().to_string();
  const OperatorApprovalDecision& d = r.value();
  return d.verdict + "|" + d.detail + "|" + d.approval_token.value_or("-") + "|" +
         d.token_expires_at.value_or("-");
}

struct Case {
  std::string line;
  std::string expected;
};

void check_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(decode(c.line), c.expected) << "line: " << c.line;
}

TEST(DecodeDecision, AcceptedLines) {
  check_all({
      {R"({"verdict":"approved","detail":"ok"})", "approved|ok|-|-"},
      {R"({"verdict":"approved","detail":"ok","approvalToken":null,"tokenExpiresAt":"2030"})",
       "approved|ok|-|2030"},
      {R"(["a","b",null,"d"])", "a|b|-|d"},
      {R"(["approved","ok",null,null])", "approved|ok|-|-"},
      {R"({"verd\u0069ct":"x","detail":"y"})", "x|y|-|-"},
      {R"({"verdict":"a","detail":"b","extra":[1,{"x":[true,null]}],"more":-1.5e3})", "a|b|-|-"},
      {R"({"verdict":"a","detail":"b","x":1e999})", "a|b|-|-"},
      {R"({"tokenExpiresAt":"t","approvalToken":"k","detail":"d","verdict":"v"})", "v|d|k|t"},
      {R"( { "verdict" : "" , "detail" : "\n" } )", "|\n|-|-"},
      {R"(["v","d","k","t"] )", "v|d|k|t"},
      {R"({"verdict":"a","detail":"b","x":"\ud800","y":123456789012345678901234567890e99999999999})",
       "a|b|-|-"},
  });
}

TEST(DecodeDecision, FailingLines) {
  check_all({
      {"", "error: EOF while parsing a value at line 1 column 0"},
      {R"("abc")",
       R"(error: invalid type: string "abc", expected struct OperatorApprovalDecision at line 1 column 5)"},
      {"5",
       "error: invalid type: integer `5`, expected struct OperatorApprovalDecision at line 1 "
       "column 1"},
      {"-7",
       "error: invalid type: integer `-7`, expected struct OperatorApprovalDecision at line 1 "
       "column 2"},
      {"null",
       "error: invalid type: null, expected struct OperatorApprovalDecision at line 1 column 4"},
      {"true",
       "error: invalid type: boolean `true`, expected struct OperatorApprovalDecision at line 1 "
       "column 4"},
      {"x", "error: expected value at line 1 column 1"},
      {"nul", "error: EOF while parsing a value at line 1 column 3"},
      {"1e999", "error: number out of range at line 1 column 5"},
      {"{}", "error: missing field `verdict` at line 1 column 2"},
      {R"({"detail":"x"})", "error: missing field `verdict` at line 1 column 14"},
      {R"({"Verdict":"approved","detail":"ok"})",
       "error: missing field `verdict` at line 1 column 36"},
      {R"({"verdict":"approved"})", "error: missing field `detail` at line 1 column 22"},
      {R"({"verdict":"a","verdict":"b","detail":"x"})",
       "error: duplicate field `verdict` at line 1 column 24"},
      {R"({"verdict":"a","verdict" :"b","detail":"x"})",
       "error: duplicate field `verdict` at line 1 column 25"},
      {R"({"verdict":null,"detail":"ok"})",
       "error: invalid type: null, expected a string at line 1 column 15"},
      {R"({"verdict":5,"detail":"x"})",
       "error: invalid type: integer `5`, expected a string at line 1 column 12"},
      {R"({"verdict":1.5,"detail":"x"})",
       "error: invalid type: floating point `1.5`, expected a string at line 1 column 14"},
      {R"({"verdict":-0,"detail":"x"})",
       "error: invalid type: floating point `-0.0`, expected a string at line 1 column 13"},
      {R"({"verdict":[1],"detail":"x"})",
       "error: invalid type: sequence, expected a string at line 1 column 11"},
      {R"({"verdict":{},"detail":"x"})",
       "error: invalid type: map, expected a string at line 1 column 11"},
      {R"({"verdict":"approved","detail":"ok","approvalToken":123})",
       "error: invalid type: integer `123`, expected a string at line 1 column 55"},
      {R"({"verdict":"approved","detail":"ok","tokenExpiresAt":null,"tokenExpiresAt":"x"})",
       "error: duplicate field `tokenExpiresAt` at line 1 column 74"},
      {"[]",
       "error: invalid length 0, expected struct OperatorApprovalDecision with 4 elements at line "
       "1 column 2"},
      {R"(["approved","ok"])",
       "error: invalid length 2, expected struct OperatorApprovalDecision with 4 elements at line "
       "1 column 17"},
      {R"(["approved","ok",null,null,5])", "error: trailing characters at line 1 column 28"},
      {R"(["approved","ok",null,null,])", "error: trailing comma at line 1 column 28"},
      {R"({"verdict":"a","detail":"b",})", "error: trailing comma at line 1 column 29"},
      {R"({"verdict":"a","detail":"b"} x)", "error: trailing characters at line 1 column 30"},
      {R"({"verdict":"a" "detail":"b"})", "error: expected `,` or `}` at line 1 column 16"},
      {R"({"verdict"})", "error: expected `:` at line 1 column 11"},
      {R"({"verdict":"approved","detail":"ok")",
       "error: EOF while parsing an object at line 1 column 35"},
      {R"({"verdict":"a","detail":"b","x":[1,]})", "error: expected value at line 1 column 36"},
      {R"({"verdict":"a","detail":"b","x":{"y":1,}})",
       "error: key must be a string at line 1 column 40"},
      {R"({"verdict":"a","detail":"b","x":-})", "error: invalid number at line 1 column 34"},
  });
}

// Where the record's own errors take their position, and which of two
// errors wins.
TEST(DecodeDecision, RecordErrorPositions) {
  check_all({
      // The end check skips white space before a missing-field position...
      {R"({"detail":"x"   })", "error: missing field `verdict` at line 1 column 17"},
      // ...and stops at a byte it does not consume.
      {R"(["a"  ,)", "error: EOF while parsing a value at line 1 column 7"},
      {R"(["a"]  )",
       "error: invalid length 1, expected struct OperatorApprovalDecision with 4 elements at line "
       "1 column 5"},
      {R"({"verdict":"a","verdict")", "error: duplicate field `verdict` at line 1 column 24"},
      {R"({"verdict":"a","verdict"   )", "error: duplicate field `verdict` at line 1 column 27"},
      // A null optional counts as given.
      {R"({"approvalToken":null,"approvalToken":null})",
       "error: duplicate field `approvalToken` at line 1 column 37"},
      {R"({"verdict":"a","detail":"b","approvalToken":nul})",
       "error: expected ident at line 1 column 48"},
      {R"(["a","b",nulL,null])", "error: expected ident at line 1 column 13"},
      {R"(["a","b","c",null)", "error: EOF while parsing a list at line 1 column 17"},
      {R"(["a","b","c",null  x)", "error: trailing characters at line 1 column 20"},
      {R"(["a","b","c",null,  ])", "error: trailing comma at line 1 column 21"},
      {R"(["a",5])", "error: invalid type: integer `5`, expected a string at line 1 column 6"},
      {R"(["a" "b"])", "error: expected `,` or `]` at line 1 column 6"},
      {R"({"verdict":"a\u0000"})", "error: missing field `detail` at line 1 column 21"},
      {R"({"verdict":)", "error: EOF while parsing a value at line 1 column 11"},
      {R"({"verdict":-)", "error: EOF while parsing a value at line 1 column 12"},
      {R"({"verdict":"x)", "error: EOF while parsing a string at line 1 column 13"},
      {R"({"verdict":"\ud800"})", "error: unexpected end of hex escape at line 1 column 19"},
      {R"({"verdict":1e400})", "error: number out of range at line 1 column 16"},
      {R"({"verdict":18446744073709551615})",
       "error: invalid type: integer `18446744073709551615`, expected a string at line 1 column "
       "31"},
      {R"({"verdict":-9223372036854775808})",
       "error: invalid type: integer `-9223372036854775808`, expected a string at line 1 column "
       "31"},
      {R"({"verdict":1e16})",
       "error: invalid type: floating point `1e+16`, expected a string at line 1 column 15"},
      {R"({"verdict":0.000015})",
       "error: invalid type: floating point `0.000015`, expected a string at line 1 column 19"},
      {R"({"verdict":1.5e-7})",
       "error: invalid type: floating point `1.5e-7`, expected a string at line 1 column 17"},
      {R"({"verdict":100e0})",
       "error: invalid type: floating point `100.0`, expected a string at line 1 column 16"},
      {R"({"verdict":false})",
       "error: invalid type: boolean `false`, expected a string at line 1 column 16"},
      {R"({"verdict":x})", "error: expected value at line 1 column 12"},
      {"{\"verdict\":\"a\\\"\\\\\\n\\r\\t\\u0000\\u0007\\u00ad\\u0301'\\u00e9\"}",
       "error: missing field `detail` at line 1 column 56"},
      {"\"a\\\"\\\\\\n\\r\\t\\u0000\\u0007\\u007f\\u00ad\\u0301\\u00a0 '\\u00e9\\ud83d\\ude00\"",
       R"(error: invalid type: string "a\"\\\n\r\t\0\u{7}\u{7f}\u{ad}\u{301}\u{a0} 'é😀", expected struct OperatorApprovalDecision at line 1 column 69)"},
  });
}

// Unknown values are skipped by rules that differ from reading in a few
// places; each row would read differently as a Value.
TEST(DecodeDecision, SkippedValues) {
  const std::string head = R"({"verdict":"a","detail":"b","x":)";  // 32 bytes
  const std::vector<Case> cases = {
      {"[1,]}", "error: expected value at line 1 column 36"},
      {"{\"y\":1,}}", "error: key must be a string at line 1 column 40"},
      {"{\"y\":1,", "error: EOF while parsing an object at line 1 column 39"},
      {"-", "error: invalid number at line 1 column 33"},
      {"1e", "error: invalid number at line 1 column 34"},
      {"1e+", "error: invalid number at line 1 column 35"},
      {"1.", "error: invalid number at line 1 column 34"},
      {"1.}", "error: invalid number at line 1 column 35"},
      {"01}", "error: invalid number at line 1 column 34"},
      {"\"a\tb\"}",
       "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column "
       "34"},
      {"\"\\udc00\\ud800\"}", "a|b|-|-"},
      {"\"\\u00zz\"}", "error: invalid escape at line 1 column 39"},
      {"\"\\x\"}", "error: invalid escape at line 1 column 35"},
      {"\"\\u12", "error: EOF while parsing a string at line 1 column 37"},
      {"\"abc", "error: EOF while parsing a string at line 1 column 36"},
      {"", "error: EOF while parsing a value at line 1 column 32"},
      {"[", "error: EOF while parsing a list at line 1 column 33"},
      {"[1", "error: EOF while parsing a list at line 1 column 34"},
      {"[1,", "error: EOF while parsing a value at line 1 column 35"},
      {"[1 2]}", "error: expected `,` or `]` at line 1 column 36"},
      {"[1}", "error: expected `,` or `]` at line 1 column 35"},
      {"[}", "error: expected value at line 1 column 34"},
      {"{\"y\" 1}}", "error: expected `:` at line 1 column 38"},
      {"{\"y\"", "error: EOF while parsing an object at line 1 column 36"},
      {"{\"y\":1 2}}", "error: expected `,` or `}` at line 1 column 40"},
      {"{\"y\":1]}", "error: expected `,` or `}` at line 1 column 39"},
      {"{1:2}}", "error: key must be a string at line 1 column 34"},
      {"{", "error: EOF while parsing an object at line 1 column 33"},
      {"tru}", "error: expected ident at line 1 column 36"},
      {"nul", "error: EOF while parsing a value at line 1 column 35"},
      {"[[],{},[{}],{\"a\":[]}] }", "a|b|-|-"},
      {"-0.5e-7 }", "a|b|-|-"},
      {"[1] ,\"verdict\":\"z\"}", "error: duplicate field `verdict` at line 1 column 46"},
  };
  for (const Case& c : cases) EXPECT_EQ(decode(head + c.line), c.expected) << "skipped: " << c.line;
}

// Skipping scans strings and digit runs in blocks of bytes; what ends a run
// must be found at every offset within and across the blocks.
TEST(DecodeDecision, SkippedRunsAtEveryOffset) {
  const std::string head = R"({"verdict":"a","detail":"b","x":)";  // 32 bytes
  const auto at = [](std::size_t column) { return " at line 1 column " + std::to_string(column); };
  for (std::size_t k = 0; k < 80; ++k) {
    const std::string run(k, 'x');
    EXPECT_EQ(decode(head + "\"" + run + "\"}"), "a|b|-|-") << k;
    EXPECT_EQ(decode(head + "\"" + run + "\\u00Af\\n" + run + "\"}"), "a|b|-|-") << k;
    EXPECT_EQ(decode(head + "\"" + run + "\x7f\xc3\xa9\"}"), "a|b|-|-") << k;
    EXPECT_EQ(
        decode(head + "\"" + run + "\t\"}"),
        "error: control character (\\u0000-\\u001F) found while parsing a string" + at(33 + k))
        << k;
    EXPECT_EQ(decode(head + "\"" + run + "\\u00G0\"}"), "error: invalid escape" + at(39 + k)) << k;
    EXPECT_EQ(decode(head + "\"" + run + "\\u00@0\"}"), "error: invalid escape" + at(39 + k)) << k;
    EXPECT_EQ(decode(head + "\"" + run), "error: EOF while parsing a string" + at(33 + k)) << k;

    const std::string digits(k + 1, '7');
    EXPECT_EQ(decode(head + "-" + digits + ".5" + digits + "E+" + digits + "}"), "a|b|-|-") << k;
    EXPECT_EQ(decode(head + "[" + digits + "," + digits + "]}"), "a|b|-|-") << k;
    EXPECT_EQ(decode(head + digits + ".}"), "error: invalid number" + at(35 + k)) << k;
    EXPECT_EQ(decode(head + digits + "e}"), "error: invalid number" + at(35 + k)) << k;
    EXPECT_EQ(decode(head + digits + "x}"), "error: expected `,` or `}`" + at(34 + k)) << k;
  }
}

TEST(DecodeDecision, Nesting) {
  // A record opens one level; unknown values are skipped without a limit.
  const std::string deep = std::string(10000, '[') + std::string(10000, ']');
  EXPECT_EQ(decode(R"({"verdict":"a","detail":"b","x":)" + deep + "}"), "a|b|-|-");
  std::string deep_objects;
  for (int i = 0; i < 5000; ++i) deep_objects += "{\"k\":";
  deep_objects += "1" + std::string(5000, '}');
  EXPECT_EQ(decode(R"({"x":)" + deep_objects + R"(,"verdict":"a","detail":"b"})"), "a|b|-|-");
  // An unclosed deep value fails at the end, naming the innermost bracket.
  EXPECT_EQ(decode(R"({"x":[{"y":[)"), "error: EOF while parsing a list at line 1 column 12");
  // A field's value is not read as a nested value: it is the wrong type.
  EXPECT_EQ(decode(R"({"verdict":)" + std::string(200, '[')),
            "error: invalid type: sequence, expected a string at line 1 column 11");
}

}  // namespace
}  // namespace kelvane::approval

namespace kelvane::approval {
namespace {

TEST(IoErrorFromJson, KeepsTheTextAndTellsEndOfInputApart) {
  const io::Error eof =
      io_error_from_json(json::Error(json::ErrorCode::EofWhileParsingValue, 1, 0));
  EXPECT_EQ(eof.to_string(), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(eof.kind(), io::ErrorKind::UnexpectedEof);
  EXPECT_EQ(io_error_from_json(json::Error(json::ErrorCode::EofWhileParsingString, 1, 3)).kind(),
            io::ErrorKind::UnexpectedEof);
  EXPECT_EQ(io_error_from_json(json::Error(json::ErrorCode::TrailingComma, 1, 3)).kind(),
            io::ErrorKind::InvalidData);
  EXPECT_EQ(io_error_from_json(json::Error::message("missing field `verdict`")).kind(),
            io::ErrorKind::InvalidData);
}

}  // namespace
}  // namespace kelvane::approval
