#include "service/request.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/reboot_request.h"

namespace kelvane::service {
namespace {

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string with_context(const std::string& context) {
  return R"({"id":"","title":"t","detail":"d","action":"a","requester":"r","sourceHost":"s","targetHost":"h","context":)" +
         context + "}";
}

TEST(Request, ReadsTheClientsLine) {
  const std::string line(testing::kRebootRequestLine);
  const auto request = parse_request(line.substr(0, line.size() - 1));
  ASSERT_TRUE(request.ok()) << request.error();
  EXPECT_EQ(request.value().title, "Reboot");
  EXPECT_EQ(request.value().detail, "Kernel update");
  EXPECT_EQ(request.value().action, "admin_operation");
  EXPECT_EQ(request.value().requester, "cli");
  EXPECT_EQ(request.value().source_host, "unknown");
  EXPECT_EQ(request.value().target_host, "web-03");
  EXPECT_FALSE(request.value().operation_digest);
  EXPECT_FALSE(request.value().has_context);
  EXPECT_FALSE(request.value().timeout_secs);

  const auto full = parse_request(
      R"({"id":"x","title":"t\u0000","detail":"d","action":"a","requester":"r","sourceHost":"s","targetHost":"h",)"
      R"("operationDigest":"","context":null,"timeoutSecs":18446744073709551615})");
  ASSERT_TRUE(full.ok()) << full.error();
  EXPECT_EQ(full.value().id, "x");
  EXPECT_EQ(full.value().title, std::string("t\0", 2));
  EXPECT_EQ(full.value().operation_digest, "");
  EXPECT_TRUE(full.value().has_context);
  EXPECT_TRUE(full.value().context.is_null());
  EXPECT_EQ(full.value().timeout_secs, 18446744073709551615ULL);
}

// As deep as the client lets a context be, and no deeper.
TEST(Request, TakesAContextAsDeepAsTheClientSends) {
  EXPECT_TRUE(parse_request(with_context(nested(127))).ok());
  const auto too_deep = parse_request(with_context(nested(128)));
  ASSERT_FALSE(too_deep.ok());
  EXPECT_EQ(too_deep.error(), "the member \"context\" nests more than 127 levels deep");
}

TEST(Request, RefusesWithTheReason) {
  const std::string base =
      R"("title":"t","detail":"d","action":"a","requester":"r","sourceHost":"s","targetHost":"h")";
  const std::pair<std::string, std::string> cases[] = {
      {"{" + base + ",\"title\":\"u\"}", "the member \"title\" appears twice"},
      {"{" + base + ",\"ti\\u0074le\":\"u\"}", "the member \"title\" appears twice"},
      {"{" + base + ",\"extra\":1}", "the request has an unknown member \"extra\""},
      {"{" + base + ",\"x\\u001b[2J\":1}", "the request has an unknown member \"x\\u{1b}[2J\""},
      {"{" + base + ",\"timeoutSecs\":-1}",
       "the member \"timeoutSecs\" is not a whole number of seconds from 0 to "
       "18446744073709551615"},
      {"{" + base + ",\"timeoutSecs\":1.5}",
       "the member \"timeoutSecs\" is not a whole number of seconds from 0 to "
       "18446744073709551615"},
      {"{" + base + ",\"operationDigest\":null}", "the member \"operationDigest\" is not a string"},
      {R"({"title":5})", "the member \"title\" is not a string"},
      {R"({"title":"t"})", "the member \"detail\" is missing"},
      {"{" + base + ",\"context\":[1,]}",
       "the member \"context\" does not read as JSON: trailing comma at line 1 column 4"},
      // Read in place, the brace is where the literal goes wrong (the
      // splitter the service had before cut "tru" off and reported an end
      // of input at column 3).
      {"{" + base + ",\"context\":tru}",
       "the member \"context\" does not read as JSON: expected ident at line 1 column 4"},
      {"{\"title\":\"t\xff\"}", "the request line is not valid UTF-8"},
      {"[]", "the request is not a JSON object"},
      {"{\"title\":\"t\" x}", "the request is not valid JSON: expected ',' or '}' at byte 13"},
      // The request's own grammar, with the byte where it fails.
      {"", "the request is not a JSON object"},
      {" \t", "the request is not a JSON object"},
      {"[1]", "the request is not a JSON object"},
      {"x{}", "the request is not a JSON object"},
      {"{", "the request is not valid JSON: expected a member name at byte 1"},
      {"{1:2}", "the request is not valid JSON: expected a member name at byte 1"},
      {"{\"title\" \"t\"}", "the request is not valid JSON: expected ':' at byte 9"},
      {"{" + base + "} x",
       "the request is not valid JSON: unexpected text after the request object at byte " +
           std::to_string(base.size() + 3)},
      {"{\"title\":\"t",
       "the request is not valid JSON: EOF while parsing a string at line 1 column 11"},
      {"{\"title\":\"t\\q\"}", "the request is not valid JSON: invalid escape at line 1 column 13"},
      {"{\"title\":\"t\",}", "the request is not valid JSON: trailing comma at line 1 column 14"},
  };
  for (const auto& [line, why] : cases) {
    const auto request = parse_request(line);
    ASSERT_FALSE(request.ok()) << line;
    EXPECT_EQ(request.error(), why) << line;
  }
}

}  // namespace
}  // namespace kelvane::service
