// The daemon as administrators and attackers meet it: the real client, the
// operators' protocol over real sockets from other uids, signals, crashes.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "harness.h"
#include "json/json.h"
#include "testing/sanitizer.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

// VmRSS of a process, in kB.
std::size_t resident_kb(pid_t pid) {
  const std::string status = testing::read_file("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::stoul(status.substr(at + 6));
}

class Approvald : public ::testing::Test {
 protected:
  void SetUp() override {
    alice_ = account("daemon");
    bob_ = account("bin");
    carol_ = account("sys");
    if (!alice_ || !bob_ || !carol_) GTEST_SKIP() << "needs the accounts daemon, bin and sys";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
  }

  // approvers: daemon and bin; auditor: sys.
  static std::string config(const std::string& extra = {}) {
    return "approvers = [\"daemon\", \"bin\"]\nauditors = [\"sys\"]\n" + extra;
  }

  // The id of the next request that starts waiting, seen by a watcher.
  static std::string next_pending(OperatorLink& watcher) {
    for (;;) {
      auto event = watcher.next_event(10s);
      if (!event) return {};
      if (event->kind == service::OperatorEvent::Kind::Pending) return event->request->id;
    }
  }

  static OperatorLink watcher(const DaemonProcess& daemon, const std::optional<Account>& as) {
    OperatorLink link(daemon, as);
    EXPECT_TRUE(link.ask(op(OperatorOp::Watch)).ok);
    return link;
  }

  std::optional<Account> alice_, bob_, carol_;
};

TEST_F(Approvald, OneApproverApprovesAndTheClientGetsItsToken) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  Process client = run_client(daemon, carol_, "Restart nginx");
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());

  const auto shown = OperatorLink(daemon, alice_).ask(op(OperatorOp::Show, id));
  ASSERT_TRUE(shown.ok) << shown.error;
  EXPECT_EQ(shown.request->title, "Restart nginx");
  EXPECT_EQ(shown.request->verified_uid, carol_->uid);
  EXPECT_EQ(shown.request->verified_user, "sys");
  EXPECT_EQ(shown.request->peer.uid, carol_->uid);

  const auto voted = bob.ask(vote(id, true, "planned"));
  ASSERT_TRUE(voted.ok) << voted.error;
  EXPECT_TRUE(voted.reply);
  EXPECT_EQ(voted.state, "approved");
  const Finished done = client.wait();
  EXPECT_EQ(done.status, 0) << done.err;
  // The signed token and its line feed (tokens_test.cc verifies it).
  EXPECT_TRUE(done.out.starts_with("koa1.") && done.out.ends_with("\n")) << done.out;
  EXPECT_NE(done.err.find("APPROVED (approved by bin)"), std::string::npos) << done.err;

  auto closed = bob.next_event(5s);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->kind, service::OperatorEvent::Kind::Closed);
  EXPECT_EQ(closed->state, "approved");
  EXPECT_EQ(
      query_record(daemon.record_path(),
                   "SELECT state || ' ' || (SELECT group_concat(operator || ':' || reason) FROM "
                   "votes WHERE request_id = " +
                       id + ") FROM requests WHERE id = " + id),
      "approved bin:planned");
  EXPECT_TRUE(daemon.log_shows("decision id=" + id + " state=approved"));
}

// Two accounts with one login name (a local account and a directory one)
// are one person: they do not make two approvers, and neither approves the
// other's request. The daemon runs in a mount namespace of its own whose
// /etc/passwd calls bin "daemon" too; the machine's file is not touched.
TEST_F(Approvald, TwoAccountsWithOneLoginNameAreOnePerson) {
  testing::TempDir files;
  std::string passwd = testing::read_file("/etc/passwd");
  const std::size_t bin = passwd.find("\nbin:");
  ASSERT_NE(bin, std::string::npos) << passwd;
  passwd.replace(bin + 1, 3, "daemon");
  testing::write_file(files.file("passwd"), passwd);
  DaemonProcess daemon("approvers = [\"daemon\", \"sys\"]\napprovals = 2\n");
  if (!daemon.start({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                     "mount --bind \"$0\" /etc/passwd && exec \"$@\"", files.file("passwd")}))
    GTEST_SKIP() << "cannot give the daemon a mount namespace of its own: " << daemon.log();
  // root asks; daemon (uid 1) votes, then bin (uid 2, "daemon" here too).
  OperatorLink alice = watcher(daemon, alice_);
  Process client = run_client(daemon, std::nullopt, "Rotate the keys");
  const std::string id = next_pending(alice);
  ASSERT_FALSE(id.empty()) << daemon.log();
  ASSERT_EQ(alice.ask(vote(id, true)).state, "pending");
  const auto twin = OperatorLink(daemon, bob_).ask(vote(id, true));
  EXPECT_FALSE(twin.ok) << twin.state.value_or("");
  EXPECT_NE(twin.error.find("already voted"), std::string::npos) << twin.error;
  ASSERT_EQ(OperatorLink(daemon, carol_).ask(vote(id, true)).state, "approved");
  EXPECT_EQ(client.wait().status, 0);
  // bin's request: the other "daemon" may not decide it.
  Process own = run_client(daemon, bob_, "Mine", {"--timeout", "30"});
  const std::string mine = next_pending(alice);
  ASSERT_FALSE(mine.empty());
  const auto self = alice.ask(vote(mine, false));
  EXPECT_FALSE(self.ok) << self.state.value_or("");
  EXPECT_NE(self.error.find("your own"), std::string::npos) << self.error;
  ASSERT_EQ(OperatorLink(daemon, carol_).ask(vote(mine, false)).state, "denied");
  EXPECT_EQ(own.wait().status, 1);
}

TEST_F(Approvald, TwoApproversAreNeededWhenTheConfigurationSaysTwo) {
  DaemonProcess daemon(config("approvals = 2\n"));
  ASSERT_TRUE(daemon.start());
  OperatorLink alice = watcher(daemon, alice_);
  OperatorLink bob(daemon, bob_);
  Process client = run_client(daemon, carol_, "Drop table");
  const std::string id = next_pending(alice);

  const auto first = alice.ask(vote(id, true));
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(first.state, "pending");
  EXPECT_EQ(first.votes, 1u);
  EXPECT_EQ(first.needed, 2u);
  const auto again = alice.ask(vote(id, true));
  EXPECT_FALSE(again.ok);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.error.find("already voted"), std::string::npos) << again.error;

  const auto second = bob.ask(vote(id, true));
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_EQ(second.state, "approved");
  const Finished done = client.wait();
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.err.find("approved by daemon, bin"), std::string::npos) << done.err;
}

TEST_F(Approvald, AnyDenyDeniesWithTheOperatorsReason) {
  DaemonProcess daemon(config("approvals = 2\n"));
  ASSERT_TRUE(daemon.start());
  OperatorLink alice = watcher(daemon, alice_);
  Process client = run_client(daemon, carol_, "Wipe disk");
  const std::string id = next_pending(alice);
  ASSERT_TRUE(alice.ask(vote(id, true)).ok);
  const auto denied = OperatorLink(daemon, bob_).ask(vote(id, false, "not during the freeze"));
  ASSERT_TRUE(denied.ok) << denied.error;
  EXPECT_EQ(denied.state, "denied");
  const Finished done = client.wait();
  EXPECT_EQ(done.status, 1);
  EXPECT_NE(done.err.find("DENIED (not during the freeze)"), std::string::npos) << done.err;
}

TEST_F(Approvald, RefusesVotesAndReadsThatAreNotAllowed) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink watch = watcher(daemon, bob_);
  Process own = run_client(daemon, alice_, "Mine", {"--timeout", "30"});
  const std::string id = next_pending(watch);
  ASSERT_FALSE(id.empty());

  struct Case {
    const char* what;
    std::optional<Account> who;
    service::OperatorRequest request;
    const char* error;  // nullptr: allowed
  };
  const Case cases[] = {
      {"self-approval", alice_, vote(id, true), "your own"},
      {"an auditor votes", carol_, vote(id, true), "not an approver"},
      {"root is not configured", std::nullopt, vote(id, true), "not an approver"},
      {"root may not list", std::nullopt, op(OperatorOp::List), "not allowed"},
      {"root may not show", std::nullopt, op(OperatorOp::Show, id), "not allowed"},
      {"root may not read the history", std::nullopt, op(OperatorOp::History), "not allowed"},
      {"anyone may ask the status", std::nullopt, op(OperatorOp::Status), nullptr},
      {"an auditor lists", carol_, op(OperatorOp::List), nullptr},
      {"an auditor reads the history", carol_, op(OperatorOp::History), nullptr},
      {"only the requester cancels", bob_, op(OperatorOp::Cancel, id), "not yours"},
      {"an unknown id", bob_, vote("12345", true), "no pending request 12345"},
  };
  for (const Case& c : cases) {
    const auto answer = OperatorLink(daemon, c.who).ask(c.request);
    if (c.error == nullptr) {
      EXPECT_TRUE(answer.ok) << c.what << ": " << answer.error;
    } else {
      EXPECT_FALSE(answer.ok) << c.what;
      EXPECT_EQ(answer.status, 1) << c.what;
      EXPECT_NE(answer.error.find(c.error), std::string::npos) << c.what << ": " << answer.error;
    }
  }
  const auto bad = OperatorLink(daemon, bob_).ask(op(OperatorOp::Show, "x"));
  EXPECT_EQ(bad.status, 2) << bad.error;  // not a request id: a bad line

  // The requester withdraws its own request; the client is told.
  const auto cancelled = OperatorLink(daemon, alice_).ask(op(OperatorOp::Cancel, id));
  ASSERT_TRUE(cancelled.ok) << cancelled.error;
  EXPECT_EQ(cancelled.state, "withdrawn");
  const Finished done = own.wait();
  EXPECT_EQ(done.status, 4);
  EXPECT_NE(done.err.find("withdrew"), std::string::npos) << done.err;
  const auto late = OperatorLink(daemon, bob_).ask(vote(id, true));
  EXPECT_NE(late.error.find("request " + id + " is already withdrawn"), std::string::npos)
      << late.error;
}

// Lines sent together are answered in their order, though some answers
// wait for the record and others do not.
TEST_F(Approvald, AnswersComeInTheOrderOfTheLines) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  Process first = run_client(daemon, carol_, "first");
  const std::string id1 = next_pending(bob);
  Process second = run_client(daemon, carol_, "second");
  const std::string id2 = next_pending(bob);
  std::string lines;
  for (const auto& request : {vote(id1, true), op(OperatorOp::Status), vote("999", true),
                              vote(id2, false, "no"), op(OperatorOp::List)}) {
    lines += service::encode_operator_request(request);
  }
  ASSERT_TRUE(send_all(bob.fd(), lines));
  std::vector<service::OperatorAnswer> answers;
  std::string buffer;
  while (answers.size() < 5) {
    const auto line = read_line(bob.fd(), buffer, 10s);
    ASSERT_TRUE(line);
    auto decoded = service::decode_daemon_line(*line);
    ASSERT_TRUE(decoded.ok()) << *line;
    if (auto* a = std::get_if<service::OperatorAnswer>(&decoded.value())) {
      EXPECT_TRUE(a->reply) << *line;
      answers.push_back(std::move(*a));
    }
  }
  EXPECT_EQ(answers[0].state, "approved");
  EXPECT_TRUE(answers[1].version);
  EXPECT_NE(answers[2].error.find("999"), std::string::npos) << answers[2].error;
  EXPECT_EQ(answers[3].state, "denied");
  EXPECT_TRUE(answers[4].requests && answers[4].requests->empty());
  EXPECT_EQ(first.wait().status, 0);
  EXPECT_EQ(second.wait().status, 1);
}

TEST_F(Approvald, BadOperatorLinesAreAnsweredWithStatusTwo) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  const std::pair<std::string, std::string> cases[] = {
      {"not json\n", "not a JSON object"},
      {"{\"op\":\"fly\"}\n", "no op \"fly\""},
      {std::string(70000, 'x') + "\n", "longer than 65536"},
  };
  for (const auto& [line, error] : cases) {
    const FileDescriptor fd = connect_as(daemon.operator_socket(), bob_);
    ASSERT_TRUE(send_all(fd.get(), line));
    std::string buffer;
    const auto answer = read_line(fd.get(), buffer);
    ASSERT_TRUE(answer) << line.substr(0, 20);
    auto decoded = service::decode_daemon_line(*answer);
    ASSERT_TRUE(decoded.ok());
    const auto& a = std::get<service::OperatorAnswer>(decoded.value());
    EXPECT_EQ(a.status, 2);
    EXPECT_NE(a.error.find(error), std::string::npos) << a.error;
  }
}

TEST_F(Approvald, BadRequestsAreAnsweredAndTimeoutsCappedByTheConfiguration) {
  DaemonProcess daemon(config("max_timeout = 1\ndefault_timeout = 1\n"));
  ASSERT_TRUE(daemon.start());
  struct Case {
    std::string bytes;
    bool half_close;
    std::string verdict;
    std::string detail;
  };
  const Case cases[] = {
      {"{\"title\":1}\n", false, "invalid_request", "is not a string"},
      {"\xff\n", false, "invalid_request", "not valid UTF-8"},
      {"{\"title\":", true, "invalid_request", "ended without a line feed"},
      {std::string((1 << 20) + 10, 'x') + "\n", false, "invalid_request", "longer than 1048576"},
      {request_line("Asks for an hour", 3600), false, "expired", "within 1 seconds"},
  };
  for (const Case& c : cases) {
    const FileDescriptor fd = connect_as(daemon.request_socket(), carol_);
    ASSERT_TRUE(send_all(fd.get(), c.bytes));
    if (c.half_close) ::shutdown(fd.get(), SHUT_WR);
    std::string buffer;
    const auto line = read_line(fd.get(), buffer, 5s);
    ASSERT_TRUE(line) << c.detail;
    EXPECT_NE(line->find("\"verdict\":\"" + c.verdict + "\""), std::string::npos) << *line;
    EXPECT_NE(line->find(c.detail), std::string::npos) << *line;
    EXPECT_NE(line->find("\"requestId\":\""), std::string::npos) << *line;
  }
  EXPECT_EQ(
      query_record(daemon.record_path(),
                   "SELECT group_concat(state) FROM (SELECT state FROM requests ORDER BY id)"),
      "invalid,invalid,invalid,invalid,expired");
}

// A requester that closes its side after the line still waits for, and
// gets, its verdict; one that hangs up has withdrawn.
TEST_F(Approvald, AHalfCloseWaitsAndAHangUpWithdraws) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);

  const FileDescriptor half = connect_as(daemon.request_socket(), carol_);
  ASSERT_TRUE(send_all(half.get(), request_line("half")));
  ::shutdown(half.get(), SHUT_WR);
  const std::string half_id = next_pending(bob);

  FileDescriptor gone = connect_as(daemon.request_socket(), carol_);
  ASSERT_TRUE(send_all(gone.get(), request_line("gone")));
  const std::string gone_id = next_pending(bob);
  gone.close();
  auto closed = bob.next_event(5s);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->id, gone_id);
  EXPECT_EQ(closed->state, "withdrawn");
  const auto list = bob.ask(op(OperatorOp::List));
  ASSERT_EQ(list.requests->size(), 1u);
  EXPECT_EQ(list.requests->front().id, half_id);
  EXPECT_FALSE(bob.ask(vote(gone_id, true)).ok);

  ASSERT_TRUE(bob.ask(vote(half_id, true)).ok);
  std::string buffer;
  const auto verdict = read_line(half.get(), buffer, 5s);
  ASSERT_TRUE(verdict);
  EXPECT_NE(verdict->find("\"verdict\":\"approved\""), std::string::npos) << *verdict;
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + gone_id),
            "withdrawn");
}

// One uid holding its cap's worth of connections (some without a line yet)
// cannot delay another's request.
TEST_F(Approvald, OneUsersFloodDoesNotDelayAnother) {
  DaemonProcess daemon(config("max_pending_per_user = 16\n"));
  ASSERT_TRUE(daemon.start());
  std::vector<FileDescriptor> flood;
  int refused = 0;
  for (int i = 0; i < 20; ++i) {
    flood.push_back(connect_as(daemon.request_socket(), carol_));
    // Half of them send their line; the refused ones may be closed already.
    if (i % 2 == 0) (void)send_all(flood.back().get(), request_line("flood"));
  }
  std::this_thread::sleep_for(300ms);
  for (auto& fd : flood) {
    std::string buffer;
    const auto line = read_line(fd.get(), buffer, 20ms);
    if (line) {
      EXPECT_NE(line->find("max_pending_per_user = 16"), std::string::npos) << *line;
      ++refused;
    }
  }
  EXPECT_EQ(refused, 4);

  OperatorLink bob = watcher(daemon, bob_);
  const auto started = std::chrono::steady_clock::now();
  Process other = run_client(daemon, alice_, "Unrelated");
  std::string id;
  while (id.empty() || bob.ask(op(OperatorOp::Show, id)).request->title != "Unrelated") {
    id = next_pending(bob);
    ASSERT_FALSE(id.empty());
  }
  ASSERT_TRUE(bob.ask(vote(id, true)).ok);
  EXPECT_EQ(other.wait().status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(Approvald, HoldsAThousandWaitingRequestsAndRefusesThemAllOnSigterm) {
  DaemonProcess daemon(config("max_pending_per_user = 2000\nmax_pending = 2000\n"));
  ASSERT_TRUE(daemon.start());
  const std::size_t idle_kb = resident_kb(daemon.pid());
  const auto started = std::chrono::steady_clock::now();
  std::vector<FileDescriptor> waiting;
  for (int i = 0; i < 1000; ++i) {
    waiting.push_back(connect_as(daemon.request_socket(), carol_));
    ASSERT_TRUE(waiting.back().is_open());
    ASSERT_TRUE(send_all(waiting.back().get(), request_line("n" + std::to_string(i))));
  }
  OperatorLink bob(daemon, bob_);
  std::size_t listed = 0;
  while (listed < 1000 && std::chrono::steady_clock::now() - started < 60s) {
    listed = bob.ask(op(OperatorOp::List))
                 .requests.value_or(std::vector<service::RequestRecord>{})
                 .size();
    if (listed < 1000) std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(listed, 1000u);
  const auto list_started = std::chrono::steady_clock::now();
  const auto list = bob.ask(op(OperatorOp::List));
  const auto list_time = std::chrono::steady_clock::now() - list_started;
  std::cout << "[ figures  ] 1000 requests waiting after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(list_started - started).count()
            << " ms; list of 1000 in "
            << std::chrono::duration_cast<std::chrono::microseconds>(list_time).count() << " us\n";
  // Each waiting request costs a few KB, not a writer's 64 KiB step (the
  // sanitizer's allocator keeps freed memory, so it is not measured there).
  const std::size_t per_request = (resident_kb(daemon.pid()) - idle_kb) * 1024 / 1000;
  std::cout << "[ figures  ] " << per_request << " bytes of resident memory per waiting request\n";
  if (testing::kMemoryFiguresHold) {
    EXPECT_LT(per_request, 10u * 1024);
  }
  EXPECT_EQ(list.requests->front().title, "n0");  // oldest first
  EXPECT_EQ(list.requests->back().title, "n999");

  daemon.signal(SIGTERM);
  for (auto& fd : waiting) {
    std::string buffer;
    const auto line = read_line(fd.get(), buffer, 10s);
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("\"verdict\":\"refused\",\"detail\":\"the approval service is stopping\""),
              std::string::npos)
        << *line;
  }
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  EXPECT_EQ(query_record(daemon.record_path(),
                         "SELECT state || ' ' || count(*) FROM requests GROUP BY state"),
            "refused 1000");
}

// Crash under load: every verdict a client got is in the record; what was
// still waiting is abandoned at the next start; the file is intact.
TEST_F(Approvald, NothingIsLostToKillNineUnderLoad) {
  DaemonProcess daemon(config("max_pending_per_user = 500\n"));
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  std::vector<FileDescriptor> requesters;
  for (int i = 0; i < 300; ++i) {
    requesters.push_back(connect_as(daemon.request_socket(), carol_));
    ASSERT_TRUE(send_all(requesters.back().get(), request_line("load " + std::to_string(i))));
  }
  // Decide some one by one, then many without waiting for the answers, and
  // crash the daemon in the middle of those.
  int sent = 0;
  std::vector<std::string> seen, answered;
  while (sent < 200) {
    const std::string id = next_pending(bob);
    ASSERT_FALSE(id.empty());
    seen.push_back(id);
    const auto request = vote(id, sent % 3 != 0);
    if (sent < 50) {
      ASSERT_TRUE(bob.ask(request).ok);
      answered.push_back(id);
    } else {
      ASSERT_TRUE(send_all(bob.fd(), service::encode_operator_request(request)));
    }
    ++sent;
  }
  std::this_thread::sleep_for(20ms);  // some of those are being decided now
  daemon.kill_hard();

  std::vector<std::pair<std::string, std::string>> received;  // id, verdict
  for (auto& fd : requesters) {
    std::string buffer;
    const auto line = read_line(fd.get(), buffer, 2s);
    if (!line) continue;
    auto parsed = kelvane::json::parse_value(*line);
    ASSERT_TRUE(parsed.ok()) << *line;
    std::string id, verdict;
    for (const auto& m : parsed.value().as_object()) {
      if (m.name() == "requestId") id = m.value.as_string();
      if (m.name() == "verdict") verdict = m.value.as_string();
    }
    received.emplace_back(id, verdict);
  }
  std::cout << "[ figures  ] " << received.size() << " verdicts received before kill -9\n";

  ASSERT_TRUE(daemon.start());
  for (const auto& [id, verdict] : received) {
    EXPECT_EQ(query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + id),
              verdict)
        << id;
  }
  EXPECT_EQ(
      query_record(daemon.record_path(), "SELECT count(*) FROM requests WHERE state = 'pending'"),
      "0");
  const std::string abandoned =
      query_record(daemon.record_path(), "SELECT count(*) FROM requests WHERE state = 'abandoned'");
  // A vote answered is in the record with its verdict. Other requests an
  // operator saw are decided, abandoned, or (their row was still waiting
  // for company in the commit queue) not there at all.
  for (const std::string& id : answered) {
    const std::string state =
        query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + id);
    EXPECT_TRUE(state == "approved" || state == "denied") << id << state;
  }
  for (const std::string& id : seen) {
    const std::string state =
        query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + id);
    EXPECT_TRUE(state == "approved" || state == "denied" || state == "abandoned" || state.empty())
        << id << state;
  }
  // A verdict may be in the record and not yet sent when the daemon dies:
  // decided, not received. What counts is that none of them is missing.
  const std::string closed = query_record(
      daemon.record_path(),
      "SELECT count(*) FROM requests WHERE state IN ('approved', 'denied', 'abandoned')");
  EXPECT_LE(received.size(), std::stoul(closed) - std::stoul(abandoned));
  EXPECT_EQ(query_record(daemon.record_path(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(query_record(daemon.record_path(), "PRAGMA user_version"), "4");
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

// Refusals are recorded before they are sent: whatever refusal a client
// got before kill -9 is in the record, with its state. Those over a cap,
// answered at accept, are the exception: no id, no row of their own.
TEST_F(Approvald, EveryRefusalReceivedBeforeKillNineIsInTheRecord) {
  DaemonProcess daemon(config("max_pending_per_user = 2\n"));
  ASSERT_TRUE(daemon.start());
  std::vector<std::pair<std::string, std::string>> received;  // id, state
  const auto take = [&](int fd, const std::string& state) {
    std::string buffer;
    const auto line = read_line(fd, buffer, 5s);
    if (!line) return false;
    const std::size_t at = line->find("\"requestId\":\"");
    if (state == "refused") {
      EXPECT_EQ(at, std::string::npos) << *line;
      return true;
    }
    EXPECT_NE(at, std::string::npos) << *line;
    if (at == std::string::npos) return false;
    received.emplace_back(line->substr(at + 13, line->find('"', at + 13) - at - 13), state);
    return true;
  };
  // Bad lines, one after the other: "invalid".
  for (int i = 0; i < 30; ++i) {
    const FileDescriptor fd = connect_as(daemon.request_socket(), alice_);
    ASSERT_TRUE(send_all(fd.get(), "{\"title\":" + std::to_string(i) + "}\n"));
    ASSERT_TRUE(take(fd.get(), "invalid"));
  }
  // Two of carol's requests wait; her next connections, all at once, are
  // over her cap: "refused". The daemon dies while those are answered.
  std::vector<FileDescriptor> connections;
  for (int i = 0; i < 122; ++i) {
    connections.push_back(connect_as(daemon.request_socket(), carol_));
    if (i < 2) {
      ASSERT_TRUE(send_all(connections.back().get(), request_line("held")));
    }
  }
  std::size_t refusals = 0;
  for (std::size_t i = 2; i < connections.size(); ++i) {
    if (take(connections[i].get(), "refused") && ++refusals == 60) daemon.kill_hard();
  }
  ASSERT_GE(refusals, 60u);
  std::cout << "[ figures  ] " << refusals << " over-cap refusals received around kill -9\n";
  for (const auto& [id, state] : received) {
    EXPECT_EQ(query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + id),
              state)
        << id;
  }
  EXPECT_EQ(query_record(daemon.record_path(), "PRAGMA integrity_check"), "ok");
}

// A record that cannot be written in time does not leave a refusal
// unanswered: it is sent after 2 s, and the log says it is not recorded.
// Another process holds the record's write lock meanwhile; the loop still
// answers operators.
TEST_F(Approvald, ARefusalTheRecordCannotTakeInTimeIsSentAndLogged) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(daemon.record_path().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto started = std::chrono::steady_clock::now();
  const FileDescriptor fd = connect_as(daemon.request_socket(), carol_);
  ASSERT_TRUE(send_all(fd.get(), "{\"title\":1}\n"));
  EXPECT_TRUE(OperatorLink(daemon, bob_).ask(op(OperatorOp::Status)).version);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);  // not behind the record
  std::string buffer;
  const auto line = read_line(fd.get(), buffer, 10s);
  const auto waited = std::chrono::steady_clock::now() - started;
  (void)sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ASSERT_TRUE(line);
  EXPECT_NE(line->find("\"verdict\":\"invalid_request\""), std::string::npos) << *line;
  EXPECT_GE(waited, 2s);
  EXPECT_LT(waited, 5s);
  EXPECT_TRUE(
      daemon.log_shows(": refused without a record: the record took longer than 2 s to write it"))
      << daemon.log();
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

// The answer to watch comes before the events it starts, though the lines
// before it on the same connection still wait for the record.
TEST_F(Approvald, TheAnswerToWatchComesBeforeItsEvents) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  Process first = run_client(daemon, carol_, "first");
  const std::string id1 = next_pending(bob);
  Process second = run_client(daemon, carol_, "second");
  const std::string id2 = next_pending(bob);
  OperatorLink alice(daemon, alice_);
  // The vote waits for its commit; watch, on the same connection, must not
  // let its pending event (the second request) pass the vote's answer.
  ASSERT_TRUE(send_all(alice.fd(), service::encode_operator_request(vote(id1, true)) +
                                       service::encode_operator_request(op(OperatorOp::Watch)) +
                                       service::encode_operator_request(op(OperatorOp::Status))));
  std::vector<std::string> lines;
  std::string buffer;
  while (lines.size() < 5) {
    const auto line = read_line(alice.fd(), buffer, 10s);
    ASSERT_TRUE(line);
    lines.push_back(*line);
  }
  auto voted = service::decode_daemon_line(lines[0]);
  ASSERT_TRUE(voted.ok()) << lines[0];
  const auto* answer = std::get_if<service::OperatorAnswer>(&voted.value());
  ASSERT_TRUE(answer) << lines[0];
  EXPECT_EQ(answer->state, "approved");
  EXPECT_FALSE(answer->reply);  // it answers a line before watch
  EXPECT_EQ(lines[1], "{\"ok\":true}");
  // Then the events: the second request waiting, the first one closed
  // (decided after watch); and the answer to status, marked as a reply.
  auto event = service::decode_daemon_line(lines[2]);
  ASSERT_TRUE(event.ok()) << lines[2];
  const auto* pending = std::get_if<service::OperatorEvent>(&event.value());
  ASSERT_TRUE(pending) << lines[2];
  EXPECT_EQ(pending->request->id, id2);
  const std::string rest = lines[3] + "\n" + lines[4];
  EXPECT_NE(rest.find("{\"event\":\"closed\",\"id\":\"" + id1 + "\""), std::string::npos) << rest;
  EXPECT_NE(rest.find("\"reply\":true"), std::string::npos) << rest;
  EXPECT_NE(rest.find("\"version\""), std::string::npos) << rest;
  EXPECT_EQ(first.wait().status, 0);
  ASSERT_TRUE(bob.ask(vote(id2, false, "no")).ok);
  EXPECT_EQ(second.wait().status, 1);
}

TEST_F(Approvald, SighupTakesAGoodFileAndKeepsTheOldOneOverABadOne) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink watch = watcher(daemon, bob_);
  Process client = run_client(daemon, alice_, "Survives reloads");
  const std::string id = next_pending(watch);

  EXPECT_FALSE(OperatorLink(daemon, carol_).ask(vote(id, true)).ok);
  daemon.write_config("approvers = [\"sys\"]\nbogus = 1\n");
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.log_shows("keeping the configuration in force: " + daemon.config_path() +
                               ":2:1: unknown key \"bogus\""));
  EXPECT_FALSE(OperatorLink(daemon, carol_).ask(vote(id, true)).ok);

  daemon.write_config("approvers = [\"@sys\"]\n");
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.log_shows("configuration reloaded"));
  // The pending request survived; the group's member may now decide it.
  const auto voted = OperatorLink(daemon, carol_).ask(vote(id, true));
  ASSERT_TRUE(voted.ok) << voted.error;
  EXPECT_EQ(client.wait().status, 0);
}

TEST_F(Approvald, SigtermRefusesWhatWaitsRecordsItAndExitsZero) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink watch = watcher(daemon, bob_);
  Process client = run_client(daemon, alice_, "Stopping");
  const std::string id = next_pending(watch);
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  const Finished done = client.wait();
  EXPECT_EQ(done.status, 4);
  EXPECT_NE(done.err.find("refused (the approval service is stopping)"), std::string::npos)
      << done.err;
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + id),
            "refused");
  EXPECT_NE(::access(daemon.request_socket().c_str(), F_OK), 0);  // its file is gone
}

TEST_F(Approvald, RunsOnSocketsFromSystemd) {
  if (::access("/usr/bin/systemd-socket-activate", X_OK) != 0)
    GTEST_SKIP() << "needs systemd-socket-activate";
  DaemonProcess daemon(config());
  // The wrapper listens, and starts the daemon on the first connection.
  ASSERT_TRUE(daemon.start(
      {"/usr/bin/systemd-socket-activate", "-l", daemon.request_socket(), "--fdname=requests"},
      false));
  // The wrapper starts the daemon on the first connection.
  const FileDescriptor first = connect_when_listening(daemon.request_socket());
  ASSERT_TRUE(first.is_open());
  ::chmod(daemon.request_socket().c_str(), 0666);
  Process client = run_client(daemon, carol_, "Activated");
  ASSERT_TRUE(daemon.wait_listening());
  OperatorLink bob(daemon, bob_);
  std::string id;
  for (int i = 0; i < 500 && id.empty(); ++i) {
    const auto list = bob.ask(op(OperatorOp::List));
    if (list.requests && !list.requests->empty())
      id = list.requests->front().id;
    else
      std::this_thread::sleep_for(10ms);
  }
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(bob.ask(vote(id, true)).ok);
  EXPECT_EQ(client.wait().status, 0);
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

// A second request socket would listen with nobody accepting: its
// requesters would hang in connect. The daemon refuses to start instead.
TEST_F(Approvald, RefusesTwoRequestSocketsFromSystemd) {
  if (::access("/usr/bin/systemd-socket-activate", X_OK) != 0)
    GTEST_SKIP() << "needs systemd-socket-activate";
  DaemonProcess daemon(config());
  const std::string second = daemon.dir() + "/second.sock";
  ASSERT_TRUE(daemon.start({"/usr/bin/systemd-socket-activate", "-l", daemon.request_socket(), "-l",
                            second, "--fdname=requests:requests"},
                           false));
  // The wrapper starts the daemon on the first connection.
  const FileDescriptor first = connect_when_listening(daemon.request_socket());
  ASSERT_TRUE(first.is_open());
  ::chmod(daemon.request_socket().c_str(), 0666);
  Process client = run_client(daemon, carol_, "Two sockets");
  EXPECT_TRUE(daemon.log_shows("more than one request socket")) << daemon.log();
  EXPECT_NE(client.wait().status, 0);
}

TEST(ApprovaldStart, ABadConfigurationStopsItWithStatusTwo) {
  testing::TempDir dir;
  testing::write_file(dir.file("bad.toml"), "approvals = 2\napprovers = [1]\n");
  testing::write_file(dir.file("good.toml"), "approvals = 2\n");
  const std::string daemon =
      std::getenv("KOA_DAEMON") ? std::getenv("KOA_DAEMON") : KOA_DAEMON_PATH;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out_or_err;
  };
  const Case cases[] = {
      {{"--check-config", "--config", dir.file("good.toml")}, 0, "good.toml: ok"},
      {{"--check-config", "--config", dir.file("bad.toml")}, 2, "bad.toml:2:14: approvers takes"},
      {{"--check-config", "--config", dir.file("none.toml")}, 2, "none.toml: No such file"},
      {{"--config", dir.file("bad.toml")}, 2, "bad.toml:2:14"},
      {{"--socket", "relative"}, 2, "--socket needs an absolute path"},
      {{"--frobnicate"}, 2, "unknown argument"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {daemon};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Finished done = Process(argv, {}).wait();
    EXPECT_EQ(done.status, c.status) << c.out_or_err;
    EXPECT_NE((done.out + done.err).find(c.out_or_err), std::string::npos) << done.out << done.err;
  }
}

}  // namespace
}  // namespace kelvane::approvald_test
