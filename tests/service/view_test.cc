// What the operator reads, and what the log keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json.h"
#include "service/context_view.h"
#include "service/decision_log.h"
#include "service/request.h"
#include "service/request_view.h"

namespace kelvane::service {
namespace {

std::vector<std::string> context_lines(std::string_view json) {
  auto value = json::parse_value(json);
  EXPECT_TRUE(value.ok()) << json;
  Block block;
  if (value.ok()) add_context(block, value.value(), 4);
  return block.lines();
}

TEST(ContextView, ASudoRequestReadsAsAList) {
  const std::vector<std::string> expected = {
      "    argv:",
      "      - \"systemctl\"",
      "      - \"restart\"",
      "      - \"nginx\"",
      "    command: \"/usr/bin/systemctl\"",
      "    cwd: \"/root\"",
      "    pid: 1234",
      "    runAsUid: 0",
      "    runAsUser: \"root\"",
      "    tty: \"/dev/pts/0\"",
  };
  EXPECT_EQ(context_lines(
                R"({"argv":["systemctl","restart","nginx"],"command":"/usr/bin/systemctl",)"
                R"("cwd":"/root","runAsUser":"root","runAsUid":0,"tty":"/dev/pts/0","pid":1234})"),
            expected);
}

TEST(ContextView, EveryShapeHasOneLayout) {
  struct Case {
    const char* name;
    const char* json;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"scalar", "-1.5", {"    -1.5"}},
      {"string", "\"a\\nb\"", {"    \"a\\n\"", "    \"b\""}},
      {"null", "null", {"    null"}},
      {"empty object", "{}", {"    {}"}},
      {"empty array", "[]", {"    []"}},
      {"nested",
       R"({"a":{"b":[true,{"c":null}],"d":{}},"e":[]})",
       {"    a:", "      b:", "        - true", "        -", "          c: null", "      d: {}",
        "    e: []"}},
      {"arrays in arrays", "[[1,[]],[]]", {"    -", "      - 1", "      - []", "    - []"}},
      {"keys that are not plain words are quoted",
       R"({"a b":1,"":2,"x:\n  y: 3":4,"t\u202e":5})",
       {"    \"\": 2", "    \"a b\": 1", "    \"t\\u{202e}\": 5", "    \"x:\\n\"",
        "    \"  y: 3\": 4"}},
  };
  for (const Case& c : cases) EXPECT_EQ(context_lines(c.json), c.lines) << c.name;
}

// Past sixteen levels the indentation stops and the level is named, so that
// a deep context still fits the line.
TEST(ContextView, DeepContextsNameTheirLevel) {
  const std::vector<std::string> lines =
      context_lines(std::string(20, '[') + "1" + std::string(20, ']'));
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines[16], std::string(36, ' ') + "-");
  EXPECT_EQ(lines[17], std::string(36, ' ') + "(level 18) -");
  EXPECT_EQ(lines[19], std::string(36, ' ') + "(level 20) - 1");
}

Request reboot() {
  Request r;
  r.title = "Reboot";
  r.detail = "Kernel update\nthen check";
  r.action = "admin_operation";
  r.requester = "deploy-bot";
  r.source_host = "build-07";
  r.target_host = "web-03";
  r.timeout_secs = 300;
  return r;
}

TEST(RequestView, SeparatesWhatTheKernelSaysFromWhatTheRequestClaims) {
  Peer peer;
  peer.known = true;
  peer.pid = 4242;
  peer.uid = 1000;
  peer.user = "alice";
  peer.process = ProcessInfo{"deploy\x1b", "/usr/bin/deploy", 1};
  const std::string shown = describe_request(reboot(), peer, 7);
  const std::string expected =
      "\n"
      "+-- approval request 7 -------------------------------------------------------\n"
      "| who asks, as the kernel reports it (verified; a process names itself):\n"
      "|   user          uid 1000 (alice)\n"
      "|   process       4242 \"deploy\\u{1b}\"\n"
      "|                 running \"/usr/bin/deploy\"\n"
      "|   its parent    1, details not available (ended, or not readable)\n"
      "| who asks, as the request declares it (not verified):\n"
      "|   requester     \"deploy-bot\"\n"
      "|   source host   \"build-07\"\n"
      "| what is asked:\n"
      "|   title         \"Reboot\"\n"
      "|   action        \"admin_operation\"\n"
      "|   target host   \"web-03\"\n"
      "|   detail        \"Kernel update\\n\"\n"
      "|                 \"then check\"\n"
      "|   time limit    300 s; unanswered by then, it is denied\n"
      "+-- end of approval request 7 ------------------------------------------------\n";
  EXPECT_EQ(shown, expected);

  Peer unknown;
  EXPECT_NE(
      describe_request(reboot(), unknown, 1).find("|   the kernel did not say who connected\n"),
      std::string::npos);
  Peer odd_name = peer;
  odd_name.user = "al ice";
  EXPECT_EQ(describe_uid(odd_name), "uid 1000 (\"al ice\")");
}

TEST(DecisionLog, OneEscapedLinePerRequest) {
  Peer peer;
  peer.known = true;
  peer.pid = 4242;
  peer.uid = 0;
  LogEntry entry;
  entry.when = 1796633100;  // 2026-12-07T08:45:00Z
  entry.peer = &peer;
  entry.title = "Reboot\n\u202e";
  entry.target_host = "web-03";
  entry.verdict = "approved";
  entry.how = How::Operator;
  entry.detail = "approved by the operator";
  EXPECT_EQ(log_line(entry),
            "2026-12-07T08:45:00Z uid=0 pid=4242 title=\"Reboot\\n\\u{202e}\" target=\"web-03\" "
            "verdict=approved "
            "how=operator detail=\"approved by the operator\"\n");

  LogEntry refused;
  refused.when = 1796633100;
  refused.verdict = "invalid_request";
  refused.how = How::Invalid;
  refused.detail = "the request line is not valid UTF-8";
  EXPECT_EQ(log_line(refused),
            "2026-12-07T08:45:00Z uid=? pid=? title=- target=- verdict=invalid_request how=invalid "
            "detail=\"the request line is not valid UTF-8\"\n");

  const std::string long_title(300, 't');
  entry.title = long_title;
  const std::string line = log_line(entry);
  EXPECT_NE(line.find("title=\"" + std::string(200, 't') + "\"... target="), std::string::npos);
}

}  // namespace
}  // namespace kelvane::service
