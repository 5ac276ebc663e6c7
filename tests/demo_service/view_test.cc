// What the operator reads, and what the log keeps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "demo_service/decision_log.h"
#include "demo_service/request_view.h"
#include "json/json.h"
#include "service/block.h"
#include "service/context_view.h"
#include "service/request.h"

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
      {"plain words: letters, digits, _ - . / up to 32 bytes",
       R"({"Az09_-./":1,"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa":2,"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa":3,)"
       R"("a@b":4,"a[":5,"a`":6,"a{":7,"a:":8})",
       {"    Az09_-./: 1", "    \"a:\": 8", "    \"a@b\": 4", "    \"a[\": 5", "    \"a`\": 6",
        "    aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa: 2", "    \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\": 3",
        "    \"a{\": 7"}},
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

// The layout both the daemon's view and the operators' command use. A label
// that reaches the value column keeps one space before the text instead of
// asking for a negative run of spaces.
TEST(BlockFields, PlainFieldsLineUpAtTheValueColumn) {
  struct Case {
    std::string_view label;
    std::string expected;
  };
  const Case cases[] = {
      {"state", "  state         pending"},
      {"decided", "  decided       2026-12-07T08:00:00Z"},
      {"exactly 14 col", "  exactly 14 col pending"},
      {"a label longer than the column", "  a label longer than the column pending"},
  };
  for (const Case& c : cases) {
    Block block;
    const std::string text =
        c.label == "decided" ? std::string("2026-12-07T08:00:00Z") : std::string("pending");
    plain_field(block, c.label, text);
    ASSERT_EQ(block.lines().size(), 1u) << c.label;
    EXPECT_EQ(block.lines()[0], c.expected) << c.label;
  }
}

TEST(BlockFields, TextFieldsQuoteWhatTheRequestSaid) {
  Block block;
  text_field(block, "title", "Reboot\x1b[2J");
  ASSERT_FALSE(block.lines().empty());
  EXPECT_TRUE(block.lines()[0].starts_with("  title         ")) << block.lines()[0];
  for (const std::string& line : block.lines())
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
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

// A peer in another PID namespace has pid 0: no process facts are shown for
// it, rather than those of whatever process 0 would mean here.
TEST(RequestView, APeerFromAnotherPidNamespaceHasNoProcess) {
  Peer peer;
  peer.known = true;
  peer.pid = 0;
  peer.uid = 1000;
  peer.process = ProcessInfo{"stale", "/usr/bin/stale", 1};
  const std::string shown = describe_request(reboot(), peer, 3);
  EXPECT_NE(shown.find("|   process       not visible from this service's PID namespace\n"),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find("stale"), std::string::npos) << shown;
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

TEST(DecisionLog, NamesEveryWayToAVerdict) {
  const std::pair<How, std::string_view> cases[] = {
      {How::Operator, "operator"}, {How::Auto, "auto"},
      {How::Timeout, "timeout"},   {How::ClientLeft, "client-left"},
      {How::Invalid, "invalid"},   {How::NoOperator, "no-operator"},
      {How::Stopped, "stopped"},   {static_cast<How>(99), "unknown"},
  };
  for (const auto& [how, text] : cases) EXPECT_EQ(how_text(how), text);
}

TEST(DecisionLog, NamesWhoAskedForAnOperation) {
  Peer peer;
  peer.known = true;
  peer.pid = 4242;
  peer.uid = 0;
  LogEntry entry;
  entry.when = 1796633100;
  entry.peer = &peer;
  entry.title = "sudo: reboot";
  entry.target_host = "web-03";
  entry.verdict = std::nullopt;
  entry.how = How::ClientLeft;
  entry.detail = "the client left before the answer";
  entry.requester = "alice\x1b[2J";
  entry.operation_digest = "sha256:ab";
  entry.invoking = InvokingUser{1000, "alice"};
  EXPECT_EQ(log_line(entry),
            "2026-12-07T08:45:00Z uid=0 pid=4242 title=\"sudo: reboot\" target=\"web-03\" "
            "verdict=none how=client-left detail=\"the client left before the answer\" "
            "requester=\"alice\\u{1b}[2J\" digest=\"sha256:ab\" invoking_uid=1000 "
            "invoking_user=\"alice\"\n");
  entry.invoking = InvokingUser{1000, std::nullopt};
  entry.operation_digest.reset();
  EXPECT_TRUE(log_line(entry).ends_with("requester=\"alice\\u{1b}[2J\" invoking_uid=1000\n"))
      << log_line(entry);
}

// The decision log takes the invoking user by the rule the requester check
// uses (believed_invoking_uid): from root running sudo, never from another
// root process (a root job forwarding text it did not write).
TEST(DecisionLog, TakesTheInvokingUserOnlyWhereTheRequesterCheckDoes) {
  const RequesterFacts sudo{{10, 0, 0}, 0u, std::nullopt, "/usr/bin/sudo"};
  RequesterFacts other_root = sudo;
  other_root.executable = "/usr/bin/python3";
  RequesterFacts sudo_before_it_changes_user = sudo;
  sudo_before_it_changes_user.real_uid = 1000u;
  RequesterFacts gone = sudo;
  gone.real_uid.reset();
  RequesterFacts a_user = sudo;
  a_user.credentials.uid = 1000;
  struct Case {
    const char* name;
    RequesterFacts facts;
    const char* context;
    std::optional<uid_t> uid;
    std::optional<std::string_view> user;
  };
  const Case cases[] = {
      {"sudo states both", sudo, R"({"invokingUid":1000,"invokingUser":"alice"})", 1000, "alice"},
      {"the order does not matter", sudo, R"({"invokingUser":"alice","invokingUid":7})", 7,
       "alice"},
      {"a uid without a name", sudo, R"({"invokingUid":1000})", 1000, std::nullopt},
      {"a name without a uid is not enough", sudo, R"({"invokingUser":"alice"})", std::nullopt,
       std::nullopt},
      {"another root process is not believed", other_root, R"({"invokingUid":1000})", std::nullopt,
       std::nullopt},
      {"sudo before it changes user is its real uid", sudo_before_it_changes_user,
       R"({"invokingUid":0})", std::nullopt, std::nullopt},
      {"a process gone cannot be checked", gone, R"({"invokingUid":1000})", std::nullopt,
       std::nullopt},
      {"another user's statement is not taken", a_user, R"({"invokingUid":0})", std::nullopt,
       std::nullopt},
      {"the largest uid", sudo, R"({"invokingUid":4294967294})", 4294967294u, std::nullopt},
      {"(uid_t)-1 is no uid", sudo, R"({"invokingUid":4294967295})", std::nullopt, std::nullopt},
      {"negative", sudo, R"({"invokingUid":-1})", std::nullopt, std::nullopt},
      {"fraction", sudo, R"({"invokingUid":1000.5})", std::nullopt, std::nullopt},
      {"text", sudo, R"({"invokingUid":"1000"})", std::nullopt, std::nullopt},
      {"a name that is no text", sudo, R"({"invokingUid":5,"invokingUser":5})", 5, std::nullopt},
      {"not an object", sudo, R"([{"invokingUid":1000}])", std::nullopt, std::nullopt},
      {"no context", sudo, "null", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    auto context = json::parse_value(c.context);
    ASSERT_TRUE(context.ok()) << c.name;
    RequesterFacts facts = c.facts;
    facts.invoking_uid = stated_invoking_uid(context.value());
    const std::optional<InvokingUser> got = believed_invoking_user(facts, context.value());
    EXPECT_EQ(got.has_value(), c.uid.has_value()) << c.name;
    if (got && c.uid) {
      EXPECT_EQ(got->uid, *c.uid) << c.name;
      EXPECT_EQ(got->name, c.user) << c.name;
    }
    // One rule: the log names an invoking user exactly when the requester
    // check takes the request as that user's through sudo.
    const VerifiedUid verified = verified_uid(facts);
    EXPECT_EQ(got.has_value(),
              verified.via_sudo && verified.uid == c.uid.value_or(0) && facts.real_uid == uid_t{0})
        << c.name;
  }
  // A peer that is the test itself (root, not sudo) is not believed.
  Peer self;
  self.known = true;
  self.pid = ::getpid();
  self.uid = ::geteuid();
  self.process = ProcessInfo{"test", "/usr/bin/not-sudo", 0};
  EXPECT_FALSE(believed_invoking_user(self, json::parse_value(R"({"invokingUid":1000})").value()));
}

}  // namespace
}  // namespace kelvane::service
