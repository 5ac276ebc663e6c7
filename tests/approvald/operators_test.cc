// The operators' side of the daemon when operators misbehave or are slow,
// and the operators' command against the real daemon: its statuses and its
// JSON.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <map>
#include <thread>

#include "harness.h"
#include "json/json.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

constexpr const char* kConfig = "approvers = [\"daemon\", \"bin\"]\nauditors = [\"sys\"]\n";

class ApprovaldOperators : public ::testing::Test {
 protected:
  void SetUp() override {
    alice_ = account("daemon");
    bob_ = account("bin");
    carol_ = account("sys");
    nobody_ = account("nobody");
    if (!alice_ || !bob_ || !carol_ || !nobody_)
      GTEST_SKIP() << "needs the accounts daemon, bin, sys and nobody";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
  }

  static OperatorLink watcher(const DaemonProcess& daemon, const std::optional<Account>& as) {
    OperatorLink link(daemon, as);
    EXPECT_TRUE(link.ask(op(OperatorOp::Watch)).ok);
    return link;
  }

  FileDescriptor ask(const DaemonProcess& daemon, const std::string& title) {
    FileDescriptor fd = connect_as(daemon.request_socket(), carol_);
    EXPECT_TRUE(send_all(fd.get(), request_line(title)));
    return fd;
  }

  std::optional<Account> alice_, bob_, carol_, nobody_;
};

// Every line the daemon sends back on `fd` until `count` came.
std::vector<std::string> lines_from(int fd, std::size_t count) {
  std::vector<std::string> lines;
  std::string buffer;
  while (lines.size() < count) {
    auto line = read_line(fd, buffer, 10s);
    if (!line) break;
    lines.push_back(std::move(*line));
  }
  return lines;
}

service::OperatorAnswer answer_of(const std::string& line) {
  auto decoded = service::decode_daemon_line(line);
  if (!decoded.ok()) return service::refused_answer(-1, decoded.error());
  auto* answer = std::get_if<service::OperatorAnswer>(&decoded.value());
  return answer ? *answer : service::refused_answer(-1, "an event");
}

// A watcher that does not read while megabytes of events are due: the
// daemon keeps serving others, and when the watcher reads it gets every
// event whole and in order.
TEST_F(ApprovaldOperators, ASlowWatcherGetsEveryEventInOrderAndDelaysNoOne) {
  DaemonProcess daemon(std::string(kConfig) + "max_pending_per_user = 32\n");
  ASSERT_TRUE(daemon.start());
  OperatorLink slow = watcher(daemon, bob_);
  OperatorLink alice = watcher(daemon, alice_);
  std::vector<FileDescriptor> requesters;
  const std::string filler(200 * 1024, 'w');
  for (int i = 0; i < 20; ++i) {
    requesters.push_back(ask(daemon, std::to_string(i) + filler));
    ASSERT_FALSE(next_pending(alice).empty());  // in order of arrival
  }
  // Four megabytes are owed to the slow one; the others are served.
  const auto list = alice.ask(op(OperatorOp::List));
  ASSERT_TRUE(list.ok) << list.error;
  ASSERT_EQ(list.requests->size(), 20u);
  const std::string first = list.requests->front().id;
  ASSERT_TRUE(alice.ask(vote(first, true)).ok);

  for (int i = 0; i < 20; ++i) {
    auto event = slow.next_event(10s);
    ASSERT_TRUE(event) << i;
    ASSERT_EQ(event->kind, service::OperatorEvent::Kind::Pending);
    EXPECT_EQ(event->request->title, std::to_string(i) + filler) << i;
  }
  auto closed = slow.next_event(10s);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->kind, service::OperatorEvent::Kind::Closed);
  EXPECT_EQ(closed->id, first);
  EXPECT_EQ(closed->state, "approved");
  EXPECT_TRUE(slow.ask(op(OperatorOp::Status)).ok);
}

// Bad lines are answered with status 2 and the connection goes on, except
// for a line past the limit, which ends it (with or without a line feed).
TEST_F(ApprovaldOperators, BadLinesAreAnsweredAndOnlyOverlongOnesEndTheConnection) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  struct Case {
    const char* what;
    std::string bytes;
    std::string error;
    bool ends;
  };
  const Case cases[] = {
      {"an empty line", "\n", "not a JSON object", false},
      {"a vote without an id", "{\"op\":\"vote\",\"approve\":true}\n", "\"id\"", false},
      {"a number for an id", "{\"op\":\"show\",\"id\":17}\n", "\"id\"", false},
      {"a member the op does not take", "{\"op\":\"list\",\"id\":\"1\"}\n", "\"id\"", false},
      {"a reason on a list", "{\"op\":\"status\",\"reason\":\"x\"}\n", "\"reason\"", false},
      {"an array", "[]\n", "not a JSON object", false},
      {"overlong, no line feed yet", std::string(70000, 'x'), "longer than 65536 bytes", true},
      {"overlong with its line feed", std::string(65537, ' ') + "\n", "longer than 65536 bytes",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const FileDescriptor fd = connect_as(daemon.operator_socket(), bob_);
    ASSERT_TRUE(send_all(fd.get(), c.bytes));
    const auto lines = lines_from(fd.get(), 1);
    ASSERT_EQ(lines.size(), 1u);
    const auto answer = answer_of(lines[0]);
    EXPECT_EQ(answer.status, 2) << lines[0];
    EXPECT_NE(answer.error.find(c.error), std::string::npos) << answer.error;
    (void)send_all(fd.get(), service::encode_operator_request(op(OperatorOp::Status)));
    const auto next = lines_from(fd.get(), 1);
    if (c.ends) {
      EXPECT_TRUE(next.empty()) << next.front();
    } else {
      ASSERT_EQ(next.size(), 1u);
      EXPECT_TRUE(answer_of(next[0]).version) << next[0];
    }
  }
}

// An operator that closes its sending side after its lines still gets
// every answer, then the end of the connection; a watcher that does so
// keeps getting events. One that hangs up with answers due harms no one.
TEST_F(ApprovaldOperators, HalfClosedOperatorsAreAnsweredAndHangUpsHarmNoOne) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  const FileDescriptor half = connect_as(daemon.operator_socket(), carol_);
  ASSERT_TRUE(send_all(half.get(), service::encode_operator_request(op(OperatorOp::Status)) +
                                       service::encode_operator_request(op(OperatorOp::History))));
  ::shutdown(half.get(), SHUT_WR);
  const auto answers = lines_from(half.get(), 3);
  ASSERT_EQ(answers.size(), 2u);  // then the end
  EXPECT_TRUE(answer_of(answers[0]).version);
  EXPECT_TRUE(answer_of(answers[1]).records);

  OperatorLink watching = watcher(daemon, bob_);
  ::shutdown(watching.fd(), SHUT_WR);
  for (int i = 0; i < 5; ++i) {
    FileDescriptor gone = connect_as(daemon.operator_socket(), carol_);
    ASSERT_TRUE(
        send_all(gone.get(), service::encode_operator_request(op(OperatorOp::History)) +
                                 service::encode_operator_request(op(OperatorOp::Show, "1"))));
  }
  const FileDescriptor requester = ask(daemon, "after the hang-ups");
  const std::string id = next_pending(watching);
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(OperatorLink(daemon, alice_).ask(vote(id, false, "no")).ok);
  auto closed = watching.next_event(5s);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->state, "denied");
}

// What operators may do by role, and what they are told about requests
// that are no longer pending (from the record).
TEST_F(ApprovaldOperators, RolesAndDecidedRequests) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor decided = ask(daemon, "decided");
  const std::string done_id = next_pending(bob);
  ASSERT_TRUE(bob.ask(vote(done_id, true, "ok")).ok);
  const FileDescriptor waiting = ask(daemon, "waiting");
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());

  struct Case {
    const char* what;
    std::optional<Account> who;
    service::OperatorRequest request;
    std::optional<std::string> error;  // nullopt: allowed
  };
  const Case cases[] = {
      {"no role: list", nobody_, op(OperatorOp::List), "not allowed to list requests"},
      {"no role: show", nobody_, op(OperatorOp::Show, id), "not allowed to see requests"},
      {"no role: history", nobody_, op(OperatorOp::History), "not allowed to read the record"},
      {"no role: watch", nobody_, op(OperatorOp::Watch), "not allowed to watch requests"},
      {"no role: vote", nobody_, vote(id, true), "not an approver"},
      {"no role: status", nobody_, op(OperatorOp::Status), std::nullopt},
      // Without a role, another's request is as one that does not exist.
      {"no role: cancel another's", nobody_, op(OperatorOp::Cancel, id),
       "there is no pending request " + id},
      {"auditor: watch", carol_, op(OperatorOp::Watch), std::nullopt},
      {"auditor: deny", carol_, vote(id, false, "no"), "not an approver"},
      {"show a decided request", carol_, op(OperatorOp::Show, done_id), std::nullopt},
      {"show an unknown request", carol_, op(OperatorOp::Show, "999"), "there is no request 999"},
      {"vote on a decided request", alice_, vote(done_id, false),
       "request " + done_id + " is already approved"},
      {"cancel a decided request", carol_, op(OperatorOp::Cancel, done_id), "already approved"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto answer = OperatorLink(daemon, c.who).ask(c.request);
    if (!c.error) {
      EXPECT_TRUE(answer.ok) << answer.error;
    } else {
      EXPECT_FALSE(answer.ok);
      EXPECT_EQ(answer.status, 1);
      EXPECT_NE(answer.error.find(*c.error), std::string::npos) << answer.error;
    }
  }
  const auto shown = OperatorLink(daemon, carol_).ask(op(OperatorOp::Show, done_id));
  ASSERT_TRUE(shown.request);
  EXPECT_EQ(shown.request->state, "approved");
  ASSERT_EQ(shown.request->votes.size(), 1u);
  EXPECT_EQ(shown.request->votes[0].operator_name, "bin");
  EXPECT_EQ(shown.request->votes[0].reason, "ok");
  EXPECT_EQ(shown.request->detail_of_verdict, "approved by bin");
  // History since a time after everything: nothing; since 0: both.
  service::OperatorRequest later = op(OperatorOp::History);
  later.since = std::time(nullptr) + 3600;
  EXPECT_TRUE(OperatorLink(daemon, carol_).ask(later).records->empty());
  later.since = 0;
  EXPECT_EQ(OperatorLink(daemon, carol_).ask(later).records->size(), 2u);
}

// The operators' command (kelvane-operator-approvals) against the daemon.
class OperatorsCommand : public ApprovaldOperators {
 protected:
  Finished run(const DaemonProcess& daemon, const std::optional<Account>& as,
               std::vector<std::string> args) {
    std::vector<std::string> argv = {KOA_APPROVALS_PATH, "--socket", daemon.operator_socket()};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process(std::move(argv), {"PATH=/usr/bin:/bin"}, as).wait();
  }
};

// The JSON of list and history: one array of objects with at least id
// (text), title, verifiedUid (number) and state.
TEST_F(OperatorsCommand, ListAndHistoryJsonHaveTheNamedMembers) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor first = ask(daemon, "first \x1b[2J");
  const std::string first_id = next_pending(bob);
  const FileDescriptor second = ask(daemon, "second");
  const std::string second_id = next_pending(bob);
  ASSERT_TRUE(bob.ask(vote(first_id, false, "no")).ok);

  struct Case {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> id_state;
  };
  const Case cases[] = {
      {{"list", "--json"}, {{second_id, "pending"}}},
      {{"history", "--json"}, {{first_id, "denied"}, {second_id, "pending"}}},
      {{"history", "--json", "--since", "2000-01-01T00:00:00Z"},
       {{first_id, "denied"}, {second_id, "pending"}}},
      {{"history", "--json", "--since", "2999-01-01T00:00:00+02:00"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const Finished done = run(daemon, carol_, c.args);
    ASSERT_EQ(done.status, 0) << done.err;
    ASSERT_EQ(done.out.back(), '\n');
    auto parsed = json::parse_value(done.out.substr(0, done.out.size() - 1));
    ASSERT_TRUE(parsed.ok()) << done.out;
    ASSERT_EQ(parsed.value().kind(), json::Value::Kind::Array);
    const auto elements = parsed.value().as_array();
    ASSERT_EQ(elements.size(), c.id_state.size());
    for (std::size_t i = 0; i < elements.size(); ++i) {
      std::map<std::string, json::Value::Kind> kinds;
      std::string id, state;
      for (const auto& m : elements[i].as_object()) {
        kinds[std::string(m.name())] = m.value.kind();
        if (m.name() == "id") id = m.value.as_string();
        if (m.name() == "state") state = m.value.as_string();
        if (m.name() == "verifiedUid") {
          EXPECT_EQ(m.value.as_number().as_unsigned64(), carol_->uid);
        }
      }
      EXPECT_EQ(kinds["id"], json::Value::Kind::String);
      EXPECT_EQ(kinds["title"], json::Value::Kind::String);
      EXPECT_EQ(kinds["verifiedUid"], json::Value::Kind::Number);
      EXPECT_EQ(kinds["state"], json::Value::Kind::String);
      EXPECT_EQ(std::make_pair(id, state), c.id_state[i]);
    }
  }
  // Without --json, what the requester wrote is escaped.
  const Finished listed = run(daemon, carol_, {"history"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out.find('\x1b'), std::string::npos) << listed.out;
}

// Exit statuses: 0 done, 1 refused, 2 usage (the command's or the line the
// daemon could not read), 3 daemon unreachable.
TEST_F(OperatorsCommand, ExitStatusesSayWhatHappened) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor own = connect_as(daemon.request_socket(), alice_);
  ASSERT_TRUE(send_all(own.get(), request_line("alice's own")));
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());

  struct Case {
    const char* what;
    std::optional<Account> as;
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"self-approval", alice_, {"approve", id}, 1, "your own"},
      {"an auditor approves", carol_, {"approve", id}, 1, "not an approver"},
      {"no role lists", nobody_, {"list"}, 1, "not allowed to list requests"},
      {"no role lists as JSON", nobody_, {"list", "--json"}, 1, "not allowed to list requests"},
      {"an unknown id", bob_, {"deny", "987654", "--reason", "x"}, 1, "no pending request 987654"},
      {"someone else's cancel", bob_, {"cancel", id}, 1, "not yours"},
      {"deny without a reason", bob_, {"deny", id}, 2, "deny needs --reason"},
      {"a reason with an escape", bob_, {"deny", id, "--reason", "no\x1b[2J"}, 2, "U+001b"},
      {"an id that is not a number", bob_, {"approve", "seventeen"}, 2, ""},
      {"a bad time", carol_, {"history", "--since", "yesterday"}, 2, ""},
      {"an unknown option", carol_, {"list", "--all"}, 2, ""},
      {"status", nobody_, {"status"}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Finished done = run(daemon, c.as, c.args);
    EXPECT_EQ(done.status, c.status) << done.err;
    EXPECT_NE(done.err.find(c.err), std::string::npos) << done.err;
  }
  EXPECT_EQ(run(daemon, alice_, {"cancel", id}).status, 0);

  // An operator socket a user may not open: unreachable, with the hint.
  ::chmod(daemon.operator_socket().c_str(), 0600);
  const Finished denied = run(daemon, nobody_, {"list"});
  EXPECT_EQ(denied.status, 3);
  EXPECT_NE(denied.err.find("members of the group kelvane-approvers"), std::string::npos)
      << denied.err;
  // The daemon gone: unreachable, for JSON too.
  ASSERT_EQ(daemon.stop(SIGTERM), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"list"}, {"list", "--json"}, {"approve", id}}) {
    const Finished gone = run(daemon, std::nullopt, args);
    EXPECT_EQ(gone.status, 3) << gone.err;
    EXPECT_NE(gone.err.find("cannot reach the approval daemon"), std::string::npos) << gone.err;
    EXPECT_EQ(gone.out, "");
  }
}

}  // namespace
}  // namespace kelvane::approvald_test
