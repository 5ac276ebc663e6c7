// The record reader with every kind of field, read the way a service reads
// its request line: the request's whole shape, and each refusal worded as
// the demo service words it.
#include "json/json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane::json {
namespace {

struct Request {
  std::string id, title, detail, action, requester, source_host, target_host;
  std::optional<std::string> operation_digest;
  std::optional<Value> context;
  std::optional<std::uint64_t> timeout_secs;
};

Result<void, RecordError> read_request(std::string_view line, Request& r) {
  const Field fields[] = {
      Field::text("id", r.id, Presence::Optional),
      Field::text("title", r.title),
      Field::text("detail", r.detail),
      Field::text("action", r.action),
      Field::text("requester", r.requester),
      Field::text("sourceHost", r.source_host),
      Field::text("targetHost", r.target_host),
      Field::text("operationDigest", r.operation_digest),
      Field::value("context", r.context),
      Field::unsigned64("timeoutSecs", r.timeout_secs),
  };
  return read_record(
      line,
      {.fields = fields, .type_description = "the request", .unknown = UnknownMembers::Refuse});
}

// The demo service's words for each problem (tools/demo_service/request.cc).
std::string demo_reason(const RecordError& e) {
  const std::string name = "\"" + e.member + "\"";
  switch (e.problem) {
    case RecordProblem::Syntax:
      EXPECT_EQ(e.error.code(), ErrorCode::ExpectedObjectCommaOrEnd);
      return "the request is not valid JSON: expected ',' or '}' at byte " +
             std::to_string(e.offset);
    case RecordProblem::NotARecord:
      return "the request is not a JSON object";
    case RecordProblem::UnknownMember:
      return "the request has an unknown member " + name;
    case RecordProblem::DuplicateMember:
      return "the member " + name + " appears twice";
    case RecordProblem::MissingMember:
      return "the member " + name + " is missing";
    case RecordProblem::WrongType:
      if (e.member == "timeoutSecs") {
        return "the member " + name +
               " is not a whole number of seconds from 0 to 18446744073709551615";
      }
      return "the member " + name + " is not a string";
    case RecordProblem::BadValue:
      if (e.error.code() == ErrorCode::RecursionLimitExceeded)
        return "the member " + name + " nests more than 127 levels deep";
      return "the member " + name + " does not read as JSON: " + e.error.to_string();
    case RecordProblem::Length:
      break;
  }
  return "unexpected problem";
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

const std::string kBase =
    R"("title":"t","detail":"d","action":"a","requester":"r","sourceHost":"s","targetHost":"h")";

TEST(Record, ReadsAWholeRequestLine) {
  Request r;
  const auto read = read_request(
      R"({"id":"x","title":"t\u0000","detail":"d","action":"a","requester":"r","sourceHost":"s",)"
      R"("targetHost":"h","operationDigest":"","context":{"b":[1,2.5],"a":null},)"
      R"("timeoutSecs":18446744073709551615})",
      r);
  ASSERT_TRUE(read.ok()) << read.error().error.to_string();
  EXPECT_EQ(r.id, "x");
  EXPECT_EQ(r.title, std::string("t\0", 2));
  EXPECT_EQ(r.target_host, "h");
  EXPECT_EQ(r.operation_digest, "");
  ASSERT_TRUE(r.context);
  EXPECT_EQ(to_json(*r.context), R"({"a":null,"b":[1,2.5]})");
  EXPECT_EQ(r.timeout_secs, 18446744073709551615ULL);

  // Optional members left out; a null context is given (and null).
  Request bare;
  ASSERT_TRUE(read_request("{" + kBase + R"(,"context":null})", bare).ok());
  EXPECT_EQ(bare.id, "");
  EXPECT_FALSE(bare.operation_digest);
  ASSERT_TRUE(bare.context);
  EXPECT_TRUE(bare.context->is_null());
  EXPECT_FALSE(bare.timeout_secs);
}

// The context nests 127 levels inside the request, and no more; its own
// nesting budget does not count the request around it.
TEST(Record, AnyValueHasItsOwnNestingBudget) {
  Request r;
  ASSERT_TRUE(read_request("{" + kBase + ",\"context\":" + nested(127) + "}", r).ok());
  const auto deep = read_request("{" + kBase + ",\"context\":" + nested(128) + "}", r);
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(demo_reason(deep.error()), "the member \"context\" nests more than 127 levels deep");
  EXPECT_FALSE(r.context);  // a value that did not read is not kept
}

TEST(Record, RefusesEachWayTheDemoServiceDoes) {
  const std::pair<std::string, std::string> cases[] = {
      {"{" + kBase + ",\"title\":\"u\"}", "the member \"title\" appears twice"},
      {"{" + kBase + ",\"ti\\u0074le\":\"u\"}", "the member \"title\" appears twice"},
      {"{" + kBase + ",\"extra\":1}", "the request has an unknown member \"extra\""},
      {"{" + kBase + ",\"x\\u001b[2J\":1}", "the request has an unknown member \"x\x1b[2J\""},
      {"{" + kBase + ",\"timeoutSecs\":-1}",
       "the member \"timeoutSecs\" is not a whole number of seconds from 0 to "
       "18446744073709551615"},
      {"{" + kBase + ",\"timeoutSecs\":1.5}",
       "the member \"timeoutSecs\" is not a whole number of seconds from 0 to "
       "18446744073709551615"},
      {"{" + kBase + ",\"timeoutSecs\":18446744073709551616}",
       "the member \"timeoutSecs\" is not a whole number of seconds from 0 to "
       "18446744073709551615"},
      {"{" + kBase + ",\"timeoutSecs\":\"5\"}",
       "the member \"timeoutSecs\" is not a whole number of seconds from 0 to "
       "18446744073709551615"},
      {"{" + kBase + ",\"operationDigest\":null}",
       "the member \"operationDigest\" is not a string"},
      {R"({"title":5})", "the member \"title\" is not a string"},
      {R"({"title":["t"]})", "the member \"title\" is not a string"},
      {R"({"title":"t"})", "the member \"detail\" is missing"},
      {"{" + kBase + ",\"context\":[1,]}",
       "the member \"context\" does not read as JSON: trailing comma at line 1 column 4"},
      {"{" + kBase + ",\"context\": \n [1,\n2 x]}",
       "the member \"context\" does not read as JSON: expected `,` or `]` at line 2 column 3"},
      // The demo cut "tru" off at the brace and read it alone ("EOF while
      // parsing a value at line 1 column 3"); read in place, the brace is
      // where the literal goes wrong.
      {"{" + kBase + ",\"context\":tru}",
       "the member \"context\" does not read as JSON: expected ident at line 1 column 4"},
      {"[]", "the request is not a JSON object"},
      {"\"request\"", "the request is not a JSON object"},
      {"{\"title\":\"t\" x}", "the request is not valid JSON: expected ',' or '}' at byte 13"},
  };
  for (const auto& [line, why] : cases) {
    Request r;
    const auto read = read_request(line, r);
    ASSERT_FALSE(read.ok()) << line;
    EXPECT_EQ(demo_reason(read.error()), why) << line;
  }
}

// Unknown members skipped (grammar still checked) or refused, per record;
// the codec's own words for each problem, positioned in the whole text.
TEST(Record, UnknownMembersAndTheReadersWords) {
  std::string name;
  std::optional<std::uint64_t> count;
  const Field fields[] = {Field::text("name", name), Field::unsigned64("count", count)};
  const RecordShape skip = {.fields = fields, .type_description = "a thing"};
  RecordShape refuse = skip;
  refuse.unknown = UnknownMembers::Refuse;

  EXPECT_TRUE(read_record(R"({"x":[{"y":[]}],"name":"n","count":7})", skip).ok());
  EXPECT_EQ(name, "n");
  EXPECT_EQ(count, 7u);

  struct Case {
    const RecordShape& shape;
    std::string text;
    RecordProblem problem;
    std::string message;
  };
  const Case cases[] = {
      {skip, R"({"x":[1,],"name":"n"})", RecordProblem::Syntax,
       "expected value at line 1 column 9"},
      {refuse, R"({"name":"n","x":1})", RecordProblem::UnknownMember,
       "unknown field `x` at line 1 column 15"},
      {skip, R"({"name":"n","count":-2})", RecordProblem::WrongType,
       "invalid type: integer `-2`, expected an integer from 0 to 18446744073709551615 at line 1 "
       "column 22"},
      {skip, R"({"name":"n","count":true})", RecordProblem::WrongType,
       "invalid type: boolean `true`, expected an integer from 0 to 18446744073709551615 at line 1 "
       "column 24"},
      {skip, R"({"name":null})", RecordProblem::WrongType,
       "invalid type: null, expected a string at line 1 column 12"},
      {skip, R"([])", RecordProblem::NotARecord,
       "invalid type: sequence, expected a thing at line 1 column 0"},
      {skip, R"(7)", RecordProblem::NotARecord,
       "invalid type: integer `7`, expected a thing at line 1 column 1"},
      {skip, R"({"name":"n"} 1)", RecordProblem::Syntax, "trailing characters at line 1 column 14"},
      // A repeated field is positioned where the end check of the record
      // stops: after its closing brace, or before what stands in its place.
      {skip, R"({"name":"n","name"})", RecordProblem::DuplicateMember,
       "duplicate field `name` at line 1 column 19"},
      {skip, R"({"name":"n","name",)", RecordProblem::DuplicateMember,
       "duplicate field `name` at line 1 column 18"},
      {skip, R"({"name":"n","name")", RecordProblem::DuplicateMember,
       "duplicate field `name` at line 1 column 18"},
  };
  for (const Case& c : cases) {
    const auto read = read_record(c.text, c.shape);
    ASSERT_FALSE(read.ok()) << c.text;
    EXPECT_EQ(read.error().problem, c.problem) << c.text;
    EXPECT_EQ(read.error().error.to_string(), c.message) << c.text;
  }
}

// Any value as its compact text, in object and in array form.
TEST(Record, AnyValueAsCompactTextInBothForms) {
  std::string name;
  std::optional<CompactText> body;
  const Field fields[] = {Field::text("name", name), Field::compact_text("body", body)};
  const RecordShape shape = {.fields = fields,
                             .type_description = "a thing",
                             .length_description = "a thing of 2 elements"};

  ASSERT_TRUE(
      read_record(R"({"body": {"z":[false,true,null], "a":[1E2]} ,"name":"n"})", shape).ok());
  ASSERT_TRUE(body);
  EXPECT_EQ(body->text(), R"({"a":[100.0],"z":[false,true,null]})");

  body.reset();
  ASSERT_TRUE(read_record(R"(["m", {"k":"v"}])", shape).ok());
  EXPECT_EQ(name, "m");
  EXPECT_EQ(body->text(), R"({"k":"v"})");

  const std::pair<std::string, std::string> failing[] = {
      {R"(["m"])", "invalid length 1, expected a thing of 2 elements at line 1 column 5"},
      {R"(["m", {"k":}])", "expected value at line 1 column 6"},  // within the value
      {R"(["m", 1, 2])", "trailing characters at line 1 column 10"},
  };
  for (const auto& [text, message] : failing) {
    const auto read = read_record(text, shape);
    ASSERT_FALSE(read.ok()) << text;
    EXPECT_EQ(read.error().error.to_string(), message) << text;
  }
}

}  // namespace
}  // namespace kelvane::json
