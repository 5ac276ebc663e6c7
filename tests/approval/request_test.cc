#include "approval/request.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "json/json.h"
#include "testing/reboot_request.h"

namespace kelvane::approval {
namespace {

using json::Member;
using json::Number;
using json::Value;

using testing::kRebootRequestLine;
using testing::reboot_request;

TEST(RequestLine, RequiredMembersOnly) {
  EXPECT_EQ(encode_request_line(reboot_request()), kRebootRequestLine);
}

TEST(RequestLine, EveryMemberInWireOrder) {
  OperatorApprovalRequest r;
  r.title = "Restart billing database";
  r.detail = "Rolling restart after config change";
  r.action = "restart_service";
  r.requester = "deploy-bot";
  r.source_host = "build-07";
  r.target_host = "db-01";
  r.operation_digest = "sha256:4f1c0e9a";
  // As read from {"ticket": "OPS-1234", "window": {"start": "02:00", "minutes": 30}, "dryRun":
  // false}
  std::vector<Member> window;
  window.emplace_back("start", Value::string("02:00"));
  window.emplace_back("minutes", Value::number(Number::unsigned64(30)));
  std::vector<Member> context;
  context.emplace_back("ticket", Value::string("OPS-1234"));
  context.emplace_back("window", Value::object(window));
  context.emplace_back("dryRun", Value::boolean(false));
  r.context = Value::object(context);
  r.timeout_secs = 300;
  EXPECT_EQ(
      encode_request_line(r),
      R"({"id":"","title":"Restart billing database","detail":"Rolling restart after config change",)"
      R"("action":"restart_service","requester":"deploy-bot","sourceHost":"build-07","targetHost":"db-01",)"
      R"("operationDigest":"sha256:4f1c0e9a","context":{"dryRun":false,"ticket":"OPS-1234",)"
      R"("window":{"minutes":30,"start":"02:00"}},"timeoutSecs":300})"
      "\n");
}

OperatorApprovalRequest with_context(Value context) {
  OperatorApprovalRequest r = reboot_request();
  r.context = std::move(context);
  return r;
}

// Each case expects the minimal line with `tail` in place of its final "}".
TEST(RequestLine, OptionalMembersWhenPresent) {
  const std::string line(kRebootRequestLine);
  const std::string base = line.substr(0, line.size() - 2);
  std::vector<Value> list;
  list.push_back(Value::number(Number::unsigned64(1)));
  list.push_back(Value::number(Number::from_double(2.5)));
  list.push_back(Value::number(Number::from_double(-0.0)));

  struct Case {
    OperatorApprovalRequest request;
    std::string tail;
  };
  std::vector<Case> cases;
  cases.push_back({reboot_request(), R"(,"operationDigest":""})"});
  cases.back().request.operation_digest = "";
  cases.push_back({with_context(Value::null()), R"(,"context":null})"});
  cases.push_back({with_context(Value::array(list)), R"(,"context":[1,2.5,-0.0]})"});
  cases.push_back({with_context(Value::string("text")), R"(,"context":"text"})"});
  cases.push_back({with_context(Value::object({})), R"(,"context":{}})"});
  cases.push_back({reboot_request(), R"(,"timeoutSecs":0})"});
  cases.back().request.timeout_secs = 0;
  cases.push_back({reboot_request(), R"(,"timeoutSecs":18446744073709551615})"});
  cases.back().request.timeout_secs = UINT64_MAX;
  for (const Case& c : cases) EXPECT_EQ(encode_request_line(c.request), base + c.tail + "\n");
}

TEST(RequestLine, TextsAreSentUntrimmedWithOnlyControlsEscaped) {
  OperatorApprovalRequest r = reboot_request();
  r.title = "  Reboot  ";
  r.detail = "stop \"api\" now\n\tC:\\temp\n";
  r.action =
      "B\xC3\xBC"
      "cher/\x7f";
  r.requester = "\x01";
  const std::string line = encode_request_line(r);
  EXPECT_EQ(line,
            "{\"id\":\"\",\"title\":\"  Reboot  \",\"detail\":\"stop \\\"api\\\" "
            "now\\n\\tC:\\\\temp\\n\","
            "\"action\":\"B\xC3\xBC"
            "cher/\x7f\",\"requester\":\"\\u0001\",\"sourceHost\":\"unknown\","
            "\"targetHost\":\"web-03\"}\n");
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

// A context whose compact text is longer than its source comes out whole,
// whether it was read from text or built as a value.
TEST(RequestLine, ContextLongerThanItsSourceComesOutWhole) {
  const std::string_view source = "[1e15,-0,1E2,{\"b\":1,\"a\":[]}]";
  OperatorApprovalRequest from_value = reboot_request();
  from_value.context = json::parse_value(source).value();
  OperatorApprovalRequest from_text = reboot_request();
  from_text.context = json::CompactText::read(source).value();
  const std::string expected = encode_request_line(from_value);
  EXPECT_NE(expected.find(",\"context\":[1000000000000000.0,-0.0,100.0,{\"a\":[],\"b\":1}]}"),
            std::string::npos);
  EXPECT_EQ(encode_request_line(from_text), expected);
}

}  // namespace
}  // namespace kelvane::approval
