// Each subcommand as a process against a fake daemon: what it sends, what
// it prints, and its exit status.
#include <gtest/gtest.h>

#include "fake_daemon.h"
#include "service/operator_protocol.h"

namespace kelvane::operators {
namespace {

using service::OperatorAnswer;
using service::OperatorOp;
using service::OperatorRequest;
using service::RequestRecord;
using testing::FakeDaemon;
using testing::Ran;
using testing::run_approvals;

RequestRecord pending(std::string id, std::string title) {
  RequestRecord r;
  r.id = std::move(id);
  r.state = "pending";
  r.title = std::move(title);
  r.detail = "command: /usr/sbin/reboot";
  r.action = "sudo";
  r.requester = "alice";
  r.source_host = "web-03";
  r.target_host = "web-03";
  r.context = R"({"argv":["reboot"]})";
  r.timeout_secs = 300;
  r.created_at = "2026-12-07T20:00:00Z";
  r.verified_uid = 1000;
  r.verified_user = "alice";
  r.via_sudo = true;
  r.peer = {0, 0, 4242, "sudo", "/usr/bin/sudo"};
  r.needed = 1;
  return r;
}

std::string answer(OperatorAnswer a) {
  return service::encode_answer(a);
}

std::string sent(OperatorOp op, std::string id = "", bool approve = false,
                 std::optional<std::string> reason = std::nullopt,
                 std::optional<std::int64_t> since = std::nullopt) {
  OperatorRequest r;
  r.op = op;
  r.id = std::move(id);
  r.approve = approve;
  r.reason = std::move(reason);
  r.since = since;
  std::string line = service::encode_operator_request(r);
  line.pop_back();
  return line;
}

OperatorAnswer list_of(std::vector<RequestRecord> records) {
  OperatorAnswer a;
  a.requests = std::move(records);
  return a;
}

OperatorAnswer history_of(std::vector<RequestRecord> records) {
  OperatorAnswer a;
  a.records = std::move(records);
  return a;
}

OperatorAnswer shown(RequestRecord r) {
  OperatorAnswer a;
  a.request = std::move(r);
  return a;
}

OperatorAnswer voted(std::string state, std::uint64_t votes, std::uint64_t needed) {
  OperatorAnswer a;
  a.state = std::move(state);
  a.votes = votes;
  a.needed = needed;
  return a;
}

OperatorAnswer cancelled() {
  OperatorAnswer a;
  a.state = "withdrawn";
  return a;
}

OperatorAnswer status_answer() {
  OperatorAnswer a;
  a.version = "0.1.0";
  a.uptime_secs = 42;
  a.pending = 3;
  a.record_bytes = 8192;
  return a;
}

std::string records_json(std::vector<RequestRecord> records) {
  std::string text = "[";
  for (const RequestRecord& r : records) {
    if (text.size() > 1) text += ',';
    service::append_request_record(text, r);
  }
  return text + "]\n";
}

std::string record_json(const RequestRecord& record) {
  std::string text;
  service::append_request_record(text, record);
  return text + "\n";
}

struct Case {
  std::string name;
  std::vector<std::string> args;
  std::string reply;  // what the fake daemon answers
  std::string expect_sent;
  int status;
  std::string out_part;  // "" : nothing on standard output
  std::string err_part;  // "" : nothing on standard error
  bool out_exact = false;
};

TEST(Subcommands, AgainstAFakeDaemon) {
  const std::vector<Case> cases = {
      {"list",
       {"list"},
       answer(list_of({pending("17", "Reboot web-03")})),
       sent(OperatorOp::List),
       0,
       "alice via sudo  0/1    \"web-03\"  \"Reboot web-03\"",
       ""},
      {"list empty",
       {"list"},
       answer(list_of({})),
       sent(OperatorOp::List),
       0,
       "no requests are waiting\n",
       "",
       true},
      {"list json",
       {"list", "--json"},
       answer(list_of({pending("17", "A"), pending("18", "B")})),
       sent(OperatorOp::List),
       0,
       records_json({pending("17", "A"), pending("18", "B")}),
       "",
       true},
      {"list json empty",
       {"list", "--json"},
       answer(list_of({})),
       sent(OperatorOp::List),
       0,
       "[]\n",
       "",
       true},
      {"list json refused",
       {"list", "--json"},
       answer(service::refused_answer(1, "you are not an approver or auditor")),
       sent(OperatorOp::List),
       1,
       "",
       "not an approver"},
      {"list json not an array",
       {"list", "--json"},
       "{\"ok\":true,\"requests\":{\"id\":\"1\"}}\n",
       sent(OperatorOp::List),
       3,
       "",
       "does not read"},
      {"show",
       {"show", "17"},
       answer(shown(pending("17", "Reboot"))),
       sent(OperatorOp::Show, "17"),
       0,
       "+-- request 17 -",
       ""},
      {"show json",
       {"show", "17", "--json"},
       answer(shown(pending("17", "Reboot"))),
       sent(OperatorOp::Show, "17"),
       0,
       record_json(pending("17", "Reboot")),
       "",
       true},
      {"show json refused",
       {"show", "17", "--json"},
       answer(service::refused_answer(1, "no such request")),
       sent(OperatorOp::Show, "17"),
       1,
       "",
       "no such request"},
      {"show json without the request",
       {"show", "17", "--json"},
       answer(status_answer()),
       sent(OperatorOp::Show, "17"),
       3,
       "",
       "sent no request"},
      {"show json unanswered",
       {"show", "17", "--json"},
       "",
       sent(OperatorOp::Show, "17"),
       3,
       "",
       "closed the connection without an answer"},
      {"list json event for an answer",
       {"list", "--json"},
       "{\"event\":\"closed\",\"id\":\"1\",\"state\":\"withdrawn\"}\n",
       sent(OperatorOp::List),
       3,
       "",
       "an event where an answer was due"},
      {"list json without the list",
       {"list", "--json"},
       answer(status_answer()),
       sent(OperatorOp::List),
       3,
       "",
       "holds no list of requests"},
      {"approve",
       {"approve", "17"},
       answer(voted("approved", 1, 1)),
       sent(OperatorOp::Vote, "17", true),
       0,
       "request 17: approved\n",
       "",
       true},
      {"approve with reason, two needed",
       {"approve", "17", "--reason", "fine"},
       answer(voted("pending", 1, 2)),
       sent(OperatorOp::Vote, "17", true, "fine"),
       0,
       "request 17: vote recorded, still pending (1 of 2 approvals)\n",
       "",
       true},
      {"deny",
       {"deny", "17", "--reason", "not during business hours"},
       answer(voted("denied", 0, 1)),
       sent(OperatorOp::Vote, "17", false, "not during business hours"),
       0,
       "request 17: denied\n",
       "",
       true},
      {"decided already",
       {"approve", "17"},
       answer(service::refused_answer(1, "request 17 is already denied")),
       sent(OperatorOp::Vote, "17", true),
       1,
       "",
       "request 17 is already denied"},
      {"self-approval",
       {"approve", "17"},
       answer(service::refused_answer(1, "you cannot approve your own request")),
       sent(OperatorOp::Vote, "17", true),
       1,
       "",
       "your own request"},
      {"hostile refusal text",
       {"show", "5"},
       answer(service::refused_answer(1, "no such request \x1b[2J")),
       sent(OperatorOp::Show, "5"),
       1,
       "",
       "\"no such request \\u{1b}[2J\""},
      {"bad operator line",
       {"status"},
       answer(service::refused_answer(2, "unknown op")),
       sent(OperatorOp::Status),
       2,
       "",
       "unknown op"},
      {"status",
       {"status"},
       answer(status_answer()),
       sent(OperatorOp::Status),
       0,
       "version      0.1.0\nuptime       42 s\npending      3\nrecord size  8192 bytes\n",
       "",
       true},
      {"cancel",
       {"cancel", "3"},
       answer(cancelled()),
       sent(OperatorOp::Cancel, "3"),
       0,
       "request 3: withdrawn\n",
       "",
       true},
      {"history since",
       {"history", "--since", "2026-12-07T21:00:00+01:00"},
       answer(history_of({pending("17", "Reboot")})),
       sent(OperatorOp::History, "", false, std::nullopt, 1796673600),
       0,
       "17  2026-12-07T20:00:00Z  pending    alice via sudo  \"web-03\"  \"Reboot\"\n",
       ""},
      {"history json",
       {"history", "--json"},
       answer(history_of({pending("17", "Reboot")})),
       sent(OperatorOp::History),
       0,
       records_json({pending("17", "Reboot")}),
       "",
       true},
      {"hangs up",
       {"list"},
       "",
       sent(OperatorOp::List),
       3,
       "",
       "closed the connection without an answer"},
      {"not the protocol",
       {"list"},
       "HTTP/1.1 400 Bad Request\r\n\r\n",
       sent(OperatorOp::List),
       3,
       "",
       "does not read"},
      {"event for an answer",
       {"list"},
       "{\"event\":\"closed\",\"id\":\"1\",\"state\":\"withdrawn\"}\n",
       sent(OperatorOp::List),
       3,
       "",
       "an event where an answer was due"},
      {"no line end",
       {"status"},
       "{\"ok\":true",
       sent(OperatorOp::Status),
       3,
       "",
       "closed the connection"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDaemon daemon;
    daemon.serve({c.reply.empty() ? std::string() : c.reply});
    std::vector<std::string> args = {"--socket", daemon.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Ran ran = run_approvals(args, std::nullopt);
    EXPECT_EQ(ran.status, c.status) << ran.err;
    if (c.out_exact || c.out_part.empty()) {
      EXPECT_EQ(ran.out, c.out_part);
    } else {
      EXPECT_NE(ran.out.find(c.out_part), std::string::npos) << ran.out;
    }
    if (c.err_part.empty()) {
      EXPECT_EQ(ran.err, "");
    } else {
      EXPECT_NE(ran.err.find(c.err_part), std::string::npos) << ran.err;
    }
    const std::vector<std::string> received = daemon.received();
    if (!c.expect_sent.empty()) {
      EXPECT_EQ(received, std::vector<std::string>{c.expect_sent});
    }
  }
}

TEST(Subcommands, StatusesWithoutADaemon) {
  FakeDaemon daemon;  // for a path nobody else uses
  const std::string missing = daemon.path() + ".missing";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err_part;
  } cases[] = {
      {{"--socket", missing, "list"}, 3, "cannot reach the approval daemon"},
      {{"--socket", missing, "watch"}, 2, "needs a terminal"},  // standard input is /dev/null
      {{"--socket", missing, "deny", "1"}, 2, "deny needs --reason"},
      {{"--socket", missing, "frobnicate"}, 2, "unknown subcommand"},
      {{"--socket", std::string(200, 'x'), "list"}, 3, "SUN_LEN"},
      {{"--help"}, 0, ""},
      {{"--version"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Ran ran = run_approvals(c.args, std::nullopt);
    EXPECT_EQ(ran.status, c.status) << ran.err;
    EXPECT_NE(ran.err.find(c.err_part), std::string::npos) << ran.err;
  }
}

TEST(Subcommands, TheVariableNamesTheSocketUnlessSocketIsGiven) {
  FakeDaemon daemon;
  daemon.serve({answer(status_answer())});
  Ran ran = run_approvals({"status"}, daemon.path());
  EXPECT_EQ(ran.status, 0) << ran.err;

  FakeDaemon other;
  other.serve({answer(status_answer())});
  ran = run_approvals({"--socket", other.path(), "status"}, daemon.path() + ".wrong");
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(other.received().size(), 1u);
}

}  // namespace
}  // namespace kelvane::operators
