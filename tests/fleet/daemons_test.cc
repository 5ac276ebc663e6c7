// Approval services of several hosts on one PostgreSQL: each daemon with its
// own sockets, state directory and host name, the real client as one uid
// and operators as others, the database stopped and restarted under them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "approvald/harness.h"
#include "fleet/fleet_database.h"
#include "fleet/postgres_server.h"

namespace kelvane::fleet_test {
namespace {

using namespace std::chrono_literals;
using approvald_test::Account;
using approvald_test::DaemonProcess;
using approvald_test::Finished;
using approvald_test::OperatorLink;
using approvald_test::Process;
using service::OperatorOp;

class FleetDaemons : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = shared_server(why_);
    if (server_ == nullptr) {
      if (running_in_ci()) FAIL() << why_;
      GTEST_SKIP() << "PostgreSQL cannot start here: " << why_;
    }
    requester_ = approvald_test::account("sys");
    operator_b_ = approvald_test::account("daemon");
    operator_c_ = approvald_test::account("bin");
    if (!requester_ || !operator_b_ || !operator_c_) GTEST_SKIP() << "needs daemon, bin and sys";
    db_ = std::make_unique<FleetDatabase>(*server_);
  }

  // A daemon standing for `host`, with its own role's connection file.
  // `rules`: [[rule]] tables after the top-level keys.
  DaemonProcess& add_daemon(const std::string& host, int approvals = 1,
                            const std::string& rules = "") {
    db_->add_host(host);
    const std::string file = files_.file(host + ".conn");
    testing::write_file(file, db_->host_conninfo(host) + " connect_timeout=2\n");
    ::chmod(file.c_str(), 0600);
    daemons_.push_back(std::make_unique<DaemonProcess>(
        "approvers = [\"daemon\", \"bin\"]\napprovals = " + std::to_string(approvals) +
        "\nstore = \"postgresql\"\nconnection_file = \"" + file + "\"\nhost_name = \"" + host +
        "\"\n" + rules));
    DaemonProcess& daemon = *daemons_.back();
    EXPECT_TRUE(daemon.start()) << daemon.log();
    return daemon;
  }

  // The id of the first request `link` (watching) sees pending.
  static std::string next_pending(OperatorLink& link) {
    for (;;) {
      auto event = link.next_event(10s);
      if (!event) return {};
      if (event->kind == service::OperatorEvent::Kind::Pending) return event->request->id;
    }
  }
  static OperatorLink watcher(const DaemonProcess& daemon, const std::optional<Account>& as) {
    OperatorLink link(daemon, as);
    EXPECT_TRUE(link.ask(approvald_test::op(OperatorOp::Watch)).ok);
    return link;
  }

  std::string why_;
  PostgresServer* server_ = nullptr;
  std::unique_ptr<FleetDatabase> db_;
  testing::TempDir files_;
  std::vector<std::unique_ptr<DaemonProcess>> daemons_;
  std::optional<Account> requester_, operator_b_, operator_c_;
};

TEST_F(FleetDaemons, ARequestOnOneHostIsApprovedByOperatorsOnTwoOthers) {
  DaemonProcess& a = add_daemon("host-a", 2);
  DaemonProcess& b = add_daemon("host-b", 2);
  DaemonProcess& c = add_daemon("host-c", 2);
  OperatorLink on_b = watcher(b, operator_b_);
  OperatorLink on_c = watcher(c, operator_c_);
  Process client = approvald_test::run_client(a, requester_, "Restart the database");
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty()) << a.log() << b.log();
  EXPECT_EQ(next_pending(on_c), id);

  const auto shown = OperatorLink(c, operator_c_).ask(approvald_test::op(OperatorOp::Show, id));
  ASSERT_TRUE(shown.ok) << shown.error;
  EXPECT_EQ(shown.request->title, "Restart the database");
  EXPECT_EQ(shown.request->verified_user, "sys");
  // Where it waits, on another host and on its own.
  EXPECT_EQ(shown.request->host, "host-a");
  const auto own = OperatorLink(a, operator_c_).ask(approvald_test::op(OperatorOp::Show, id));
  ASSERT_TRUE(own.ok) << own.error;
  EXPECT_EQ(own.request->host, "host-a");

  const auto first = on_b.ask(approvald_test::vote(id, true));
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(first.state, "pending");
  EXPECT_EQ(first.votes, 1u);
  EXPECT_EQ(first.needed, 2u);
  const auto second = on_c.ask(approvald_test::vote(id, true));
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_EQ(second.state, "approved");

  const Finished done = client.wait();
  EXPECT_EQ(done.status, 0) << done.err << a.log();
  EXPECT_NE(done.err.find("APPROVED"), std::string::npos) << done.err;
  // The database vouches for who voted where.
  auto votes = sql(db_->admin(),
                   "SELECT operator_user || '@' || operator_host FROM kelvane_approval.votes "
                   "WHERE request_id = $1 ORDER BY seq",
                   {id});
  ASSERT_EQ(votes.count(), 2);
  EXPECT_EQ(votes.text(0, 0), "daemon@host-b");
  EXPECT_EQ(votes.text(1, 0), "bin@host-c");
}

TEST_F(FleetDaemons, ADenyOnAnotherHostReachesTheWaitingClient) {
  DaemonProcess& a = add_daemon("host-a");
  DaemonProcess& b = add_daemon("host-b");
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Drop the table");
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty());
  const auto denied = on_b.ask(approvald_test::vote(id, false, "not during the sale"));
  ASSERT_TRUE(denied.ok) << denied.error;
  EXPECT_EQ(denied.state, "denied");
  const Finished done = client.wait();
  EXPECT_EQ(done.status, 1);
  EXPECT_NE(done.err.find("DENIED (not during the sale)"), std::string::npos) << done.err;
  // Decided: it leaves every host's list, and a later vote is refused.
  const auto late = OperatorLink(b, operator_c_).ask(approvald_test::vote(id, true));
  EXPECT_FALSE(late.ok);
  EXPECT_NE(late.error.find("already denied"), std::string::npos) << late.error;
}

// The shared database does not carry signatures yet: a signed vote is
// refused on every host, never counted as an unsigned one, and the request
// still waits for a vote that counts.
TEST_F(FleetDaemons, ASignedVoteIsRefusedNotCountedUnsigned) {
  DaemonProcess& a = add_daemon("host-a");
  DaemonProcess& b = add_daemon("host-b");
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Signed elsewhere");
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty());
  for (DaemonProcess* host : {&a, &b}) {
    service::OperatorRequest signed_vote = approvald_test::vote(id, true);
    signed_vote.signature = "-----BEGIN SSH SIGNATURE-----";
    signed_vote.signed_at = 1796673600;
    const auto refused = OperatorLink(*host, operator_c_).ask(signed_vote);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find("signed votes are not carried by the fleet's database"),
              std::string::npos)
        << refused.error;
  }
  const auto shown = on_b.ask(approvald_test::op(OperatorOp::Show, id));
  ASSERT_TRUE(shown.ok) << shown.error;
  EXPECT_EQ(shown.request->state, "pending");
  EXPECT_TRUE(shown.request->votes.empty());
  ASSERT_TRUE(on_b.ask(approvald_test::vote(id, true)).ok);
  EXPECT_EQ(client.wait().status, 0);
}

// In the fleet a reason reaches the requesting host from the database,
// written by another host, which need not be one that checks it: a trigger
// stands for that host here, writing a reason with a terminal's controls in
// place of the one given. The requester still gets the denial, with the
// reason escaped, nothing a terminal would obey.
TEST_F(FleetDaemons, AReasonFromTheDatabaseReachesTheRequesterEscaped) {
  DaemonProcess& a = add_daemon("host-a");
  DaemonProcess& b = add_daemon("host-b");
  sql(db_->admin(),
      "CREATE FUNCTION kelvane_approval.hostile_reason() RETURNS trigger LANGUAGE plpgsql AS "
      "$$BEGIN NEW.reason := 'no' || chr(27) || ']0;owned' || chr(7) || chr(27) || '[2J'; "
      "RETURN NEW; END$$");
  sql(db_->admin(),
      "CREATE TRIGGER hostile_reason BEFORE INSERT ON kelvane_approval.votes "
      "FOR EACH ROW EXECUTE FUNCTION kelvane_approval.hostile_reason()");
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Drop the table");
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(on_b.ask(approvald_test::vote(id, false, "not during the sale")).ok);
  const Finished done = client.wait();
  EXPECT_EQ(done.status, 1);
  EXPECT_EQ(done.err.find('\x1b'), std::string::npos) << done.err;
  EXPECT_EQ(done.err.find('\x07'), std::string::npos) << done.err;
  EXPECT_NE(done.err.find(R"(DENIED ("no\u{1b}]0;owned\u{7}\u{1b}[2J"))"), std::string::npos)
      << done.err;
  EXPECT_TRUE(a.log_shows("the requester is sent it escaped")) << a.log();
}

// One person, one vote, everywhere: an approver voting through a second host
// is still one approver (with approvals = 2 the request stays pending), and
// the requester never votes on their own request, through any host.
TEST_F(FleetDaemons, OnePersonCountsOnceThroughEveryHost) {
  DaemonProcess& a = add_daemon("host-a", 2);
  DaemonProcess& b = add_daemon("host-b", 2);
  DaemonProcess& c = add_daemon("host-c", 2);
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Restart the database");
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty()) << a.log() << b.log();
  const auto first = on_b.ask(approvald_test::vote(id, true));
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(first.state, "pending");
  // daemon again, through host-c: refused, not recorded.
  const auto again = OperatorLink(c, operator_b_).ask(approvald_test::vote(id, true));
  EXPECT_FALSE(again.ok) << again.state.value_or("");
  EXPECT_NE(again.error.find("already voted"), std::string::npos) << again.error;
  EXPECT_EQ(sql(db_->admin(), "SELECT count(*) FROM kelvane_approval.votes").number(0, 0), 1u);
  // A second person decides it.
  const auto second = OperatorLink(c, operator_c_).ask(approvald_test::vote(id, true));
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_EQ(second.state, "approved");
  EXPECT_EQ(client.wait().status, 0);
}

TEST_F(FleetDaemons, TheRequesterNeverVotesOnTheirOwnRequestThroughAnyHost) {
  DaemonProcess& a = add_daemon("host-a");
  DaemonProcess& b = add_daemon("host-b");
  OperatorLink on_a = watcher(a, operator_b_);
  Process client = approvald_test::run_client(a, operator_b_, "Mine", {"--timeout", "30"});
  const std::string id = next_pending(on_a);
  ASSERT_FALSE(id.empty());
  for (DaemonProcess* through : {&a, &b}) {
    for (const bool approve : {true, false}) {
      const auto own = OperatorLink(*through, operator_b_).ask(approvald_test::vote(id, approve));
      EXPECT_FALSE(own.ok) << own.state.value_or("");
      EXPECT_NE(own.error.find("your own"), std::string::npos) << own.error;
    }
  }
  EXPECT_EQ(sql(db_->admin(), "SELECT count(*) FROM kelvane_approval.votes").number(0, 0), 0u);
  ASSERT_TRUE(OperatorLink(b, operator_c_).ask(approvald_test::vote(id, true)).ok);
  EXPECT_EQ(client.wait().status, 0);
}

// The requesting host's record holds every vote with the host it was cast
// through (history, history --json, show), and its decision log line names
// each voter with that host.
TEST_F(FleetDaemons, TheRequestingHostsRecordKeepsEveryVoteWithItsHost) {
  DaemonProcess& a = add_daemon("host-a", 2);
  DaemonProcess& b = add_daemon("host-b", 2);
  DaemonProcess& c = add_daemon("host-c", 2);
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Drop the table");
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty()) << a.log();
  ASSERT_TRUE(on_b.ask(approvald_test::vote(id, true)).ok);
  // host-a's own operators see the vote cast elsewhere while it waits.
  std::optional<service::RequestRecord> waiting;
  for (int tries = 0; tries < 50; ++tries) {
    const auto shown = OperatorLink(a, operator_c_).ask(approvald_test::op(OperatorOp::Show, id));
    if (shown.ok && shown.request && !shown.request->votes.empty()) {
      waiting = shown.request;
      break;
    }
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(waiting) << a.log();
  EXPECT_EQ(waiting->votes[0].host, "host-b");
  const auto denied =
      OperatorLink(c, operator_c_).ask(approvald_test::vote(id, false, "not during the sale"));
  ASSERT_TRUE(denied.ok) << denied.error;
  EXPECT_EQ(denied.state, "denied");
  EXPECT_EQ(client.wait().status, 1);

  auto check = [&](const service::RequestRecord& r, const char* how) {
    SCOPED_TRACE(how);
    ASSERT_EQ(r.votes.size(), 2u);
    EXPECT_EQ(r.votes[0].operator_name, "daemon");
    EXPECT_EQ(r.votes[0].host, "host-b");
    EXPECT_TRUE(r.votes[0].approve);
    EXPECT_EQ(r.votes[1].operator_name, "bin");
    EXPECT_EQ(r.votes[1].host, "host-c");
    EXPECT_EQ(r.votes[1].reason, "not during the sale");
  };
  const auto shown = OperatorLink(a, operator_c_).ask(approvald_test::op(OperatorOp::Show, id));
  ASSERT_TRUE(shown.ok && shown.request) << shown.error;
  check(*shown.request, "show");
  const auto history = OperatorLink(a, operator_c_).ask(approvald_test::op(OperatorOp::History));
  ASSERT_TRUE(history.ok && history.records) << history.error;
  ASSERT_EQ(history.records->size(), 1u);
  check(history.records->front(), "history");
  const Finished text = Process({KOA_APPROVALS_PATH, "--socket", a.operator_socket(), "history"},
                                {"PATH=/usr/bin:/bin"}, operator_c_)
                            .wait();
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("daemon@host-b approved"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("bin@host-c denied"), std::string::npos) << text.out;
  EXPECT_TRUE(a.log_shows("votes=+daemon@host-b,-bin@host-c")) << a.log();
}

// A request that expires after a vote on another host: the vote is in the
// requesting host's record all the same, with its host.
TEST_F(FleetDaemons, AVoteElsewhereIsKeptWhenTheRequestExpires) {
  DaemonProcess& a = add_daemon("host-a", 2);
  DaemonProcess& b = add_daemon("host-b", 2);
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Soon expired", {"--timeout", "2"});
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty()) << a.log();
  ASSERT_TRUE(on_b.ask(approvald_test::vote(id, true)).ok);
  const Finished done = client.wait();
  EXPECT_NE(done.err.find("expired"), std::string::npos) << done.err;
  const auto shown = OperatorLink(a, operator_c_).ask(approvald_test::op(OperatorOp::Show, id));
  ASSERT_TRUE(shown.ok && shown.request) << shown.error;
  EXPECT_EQ(shown.request->state, "expired");
  ASSERT_EQ(shown.request->votes.size(), 1u) << a.log();
  EXPECT_EQ(shown.request->votes[0].operator_name, "daemon");
  EXPECT_EQ(shown.request->votes[0].host, "host-b");
}

// host-a's rule decides whose votes count and how many, wherever they are
// cast; host-b and host-c know both operators as approvers.
TEST_F(FleetDaemons, TheRequestingHostsRuleDecidesWhoseVotesCountAndHowMany) {
  struct Case {
    const char* what;
    const char* rule;
    bool b_counts;        // daemon's vote on host-b
    const char* b_state;  // its answer when it counts
    const char* c_state;  // bin's vote on host-c
  } cases[] = {
      {"a rule naming bin", "approvals = 1\napprovers = [\"bin\"]\n", false, "", "approved"},
      {"a rule naming bin's group", "approvals = 1\napprovers = [\"@bin\"]\n", false, "",
       "approved"},
      {"a rule needing two", "approvals = 2\n", true, "pending", "approved"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    daemons_.clear();
    db_ = std::make_unique<FleetDatabase>(*server_);
    DaemonProcess& a = add_daemon(
        "host-a", 1,
        std::string("[[rule]]\nname = \"sys-rule\"\neffect = \"ask\"\nuser = \"sys\"\n") + c.rule);
    DaemonProcess& b = add_daemon("host-b");
    DaemonProcess& on_c_host = add_daemon("host-c");
    OperatorLink on_b = watcher(b, operator_b_);
    Process client = approvald_test::run_client(a, requester_, "Restart the database");
    const std::string id = next_pending(on_b);
    ASSERT_FALSE(id.empty()) << a.log() << b.log();
    const auto from_b = on_b.ask(approvald_test::vote(id, true));
    if (c.b_counts) {
      ASSERT_TRUE(from_b.ok) << from_b.error;
      EXPECT_EQ(from_b.state, c.b_state);
      EXPECT_EQ(from_b.needed, 2u);
    } else {
      // Refused and not recorded: it can never approve.
      EXPECT_FALSE(from_b.ok);
      EXPECT_NE(from_b.error.find("rule \"sys-rule\" on host host-a names who decides"),
                std::string::npos)
          << from_b.error;
      EXPECT_EQ(sql(db_->admin(), "SELECT count(*) FROM kelvane_approval.votes").number(0, 0), 0u);
    }
    const auto from_c = OperatorLink(on_c_host, operator_c_).ask(approvald_test::vote(id, true));
    ASSERT_TRUE(from_c.ok) << from_c.error;
    EXPECT_EQ(from_c.state, c.c_state);
    EXPECT_EQ(client.wait().status, 0);
    auto stored = sql(db_->admin(),
                      "SELECT rule, array_to_string(approvers, ' '), needed "
                      "FROM kelvane_approval.requests WHERE id = $1",
                      {id});
    EXPECT_EQ(stored.text(0, 0), "sys-rule");
  }
}

// A deny rule on host-a: the request goes into the database denied, and
// host-b's operators never see it waiting.
TEST_F(FleetDaemons, ARuleDecidedRequestNeverShowsAsPendingElsewhere) {
  DaemonProcess& a = add_daemon("host-a", 1,
                                "[[rule]]\nname = \"no-drops\"\neffect = \"deny\"\n"
                                "reason = \"never drop\"\naction = \"drop\"\n");
  DaemonProcess& b = add_daemon("host-b");
  OperatorLink on_b = watcher(b, operator_b_);
  const Finished denied =
      approvald_test::run_client(a, requester_, "Drop the table", {"--action", "drop"}).wait();
  EXPECT_EQ(denied.status, 1) << denied.err;
  EXPECT_NE(denied.err.find("DENIED (never drop)"), std::string::npos) << denied.err;
  auto row =
      sql(db_->admin(),
          "SELECT state, rule, needed, decided_at IS NOT NULL FROM kelvane_approval.requests");
  ASSERT_EQ(row.count(), 1);
  EXPECT_EQ(row.text(0, 0), "denied");
  EXPECT_EQ(row.text(0, 1), "no-drops");
  EXPECT_EQ(row.text(0, 3), "t");
  // The next event host-b's watcher gets is the next (asked) request.
  Process asked = approvald_test::run_client(a, requester_, "Restart", {"--timeout", "30"});
  auto event = on_b.next_event(10s);
  ASSERT_TRUE(event);
  ASSERT_EQ(event->kind, service::OperatorEvent::Kind::Pending);
  EXPECT_EQ(event->request->title, "Restart");
  ASSERT_TRUE(on_b.ask(approvald_test::vote(event->request->id, true)).ok);
  EXPECT_EQ(asked.wait().status, 0);
}

TEST_F(FleetDaemons, ADatabaseRestartWhileARequestWaitsLosesNothing) {
  DaemonProcess& a = add_daemon("host-a", 2);
  DaemonProcess& b = add_daemon("host-b", 2);
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Rotate the keys");
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(on_b.ask(approvald_test::vote(id, true)).ok);
  ASSERT_TRUE(server_->restart()) << server_->log();
  // The request and its vote are still there; the second vote, on the
  // other host, reaches the verdict, and host-a hears of it after it has
  // reconnected (its notification may have been lost meanwhile).
  service::OperatorAnswer second;
  for (int tries = 0; tries < 50; ++tries) {
    second = OperatorLink(b, operator_c_).ask(approvald_test::vote(id, true));
    if (second.ok || second.error.find("cannot be reached") == std::string::npos) break;
    std::this_thread::sleep_for(200ms);
  }
  ASSERT_TRUE(second.ok) << second.error << b.log();
  EXPECT_EQ(second.state, "approved");
  const Finished done = client.wait();
  EXPECT_EQ(done.status, 0) << done.err << a.log();
}

TEST_F(FleetDaemons, ANewRequestIsRefusedInBoundedTimeWhileTheDatabaseIsGone) {
  DaemonProcess& a = add_daemon("host-a");
  ASSERT_TRUE(server_->stop());
  const auto started = std::chrono::steady_clock::now();
  Process client = approvald_test::run_client(a, requester_, "Anything");
  const Finished done = client.wait();
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(server_->start_again()) << server_->log();
  EXPECT_NE(done.status, 0);
  EXPECT_NE(done.err.find("refused (the fleet's database cannot be reached"), std::string::npos)
      << done.err;
  // connect_timeout is 2 s in the connection string.
  EXPECT_LT(took, 6s);
  // Back again: the next request reconnects and waits as usual.
  OperatorLink on_a = watcher(a, operator_b_);
  Process again = approvald_test::run_client(a, requester_, "Again", {"--timeout", "30"});
  const std::string id = next_pending(on_a);
  ASSERT_FALSE(id.empty()) << a.log();
  ASSERT_TRUE(on_a.ask(approvald_test::vote(id, true)).ok);
  EXPECT_EQ(again.wait().status, 0);
}

TEST_F(FleetDaemons, AVerdictMadeWhileTheDatabaseWasGoneIsWrittenThereOnReconnect) {
  DaemonProcess& a = add_daemon("host-a");
  DaemonProcess& b = add_daemon("host-b");
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Soon expired", {"--timeout", "2"});
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(server_->stop());
  const Finished done = client.wait();
  ASSERT_TRUE(server_->start_again()) << server_->log();
  EXPECT_NE(done.err.find("expired"), std::string::npos) << done.err;
  // Left pending there, operators elsewhere would still see it and vote.
  std::string state;
  for (int tries = 0; tries < 50 && state != "expired"; ++tries) {
    std::this_thread::sleep_for(200ms);
    auto admin = fleet::Connection::open(db_->admin_conninfo());
    if (!admin.ok()) continue;
    auto rows =
        admin.value()->exec("SELECT state FROM kelvane_approval.requests WHERE id = $1", {id});
    if (rows.ok() && rows.value().count() == 1) state = rows.value().text(0, 0);
  }
  EXPECT_EQ(state, "expired") << a.log();
}

// keep_days applies to the shared database as to the local record: at
// start (and hourly) each service deletes its own host's closed requests
// older than that, with their votes; another host's stay.
TEST_F(FleetDaemons, KeepDaysPrunesThisHostsOldClosedRequestsInTheSharedDatabase) {
  DaemonProcess& a = add_daemon("host-a", 1, "keep_days = 30\n");
  DaemonProcess& b = add_daemon("host-b", 1, "keep_days = 30\n");
  OperatorLink on_b = watcher(b, operator_b_);
  std::vector<std::string> ids;
  for (DaemonProcess* host : {&a, &b}) {
    Process client = approvald_test::run_client(*host, requester_, "Old request");
    const std::string id = next_pending(on_b);
    ASSERT_FALSE(id.empty()) << host->log();
    ASSERT_TRUE(on_b.ask(approvald_test::vote(id, false, "no")).ok);
    EXPECT_NE(client.wait().status, 0);
    ids.push_back(id);
  }
  // Made old behind the back of the trigger that keeps a decided row as it is.
  sql(db_->admin(), "ALTER TABLE kelvane_approval.requests DISABLE TRIGGER keep_verdicts");
  sql(db_->admin(), "UPDATE kelvane_approval.requests SET created_at = '2000-01-01T00:00:00Z'");
  sql(db_->admin(), "ALTER TABLE kelvane_approval.requests ENABLE TRIGGER keep_verdicts");
  const auto count = [&](const std::string& id) {
    return sql(db_->admin(), "SELECT count(*) FROM kelvane_approval.requests WHERE id = $1", {id})
        .number(0, 0);
  };
  ASSERT_EQ(count(ids[0]), 1u);
  EXPECT_EQ(a.stop(SIGTERM), 0);
  ASSERT_TRUE(a.start()) << a.log();
  for (int tries = 0; tries < 100 && count(ids[0]) != 0; ++tries)
    std::this_thread::sleep_for(100ms);
  EXPECT_EQ(count(ids[0]), 0u) << a.log();
  EXPECT_EQ(sql(db_->admin(), "SELECT count(*) FROM kelvane_approval.votes WHERE request_id = $1",
                {ids[0]})
                .number(0, 0),
            0u);
  EXPECT_EQ(count(ids[1]), 1u);  // host-b's: host-b prunes it, by its own keep_days
}

TEST_F(FleetDaemons, TwoServicesCannotStandForOneHost) {
  add_daemon("host-a");
  const std::string file = files_.file("host-a.conn");
  DaemonProcess second("store = \"postgresql\"\nconnection_file = \"" + file +
                       "\"\nhost_name = \"host-a\"\n");
  EXPECT_FALSE(second.start());
  EXPECT_TRUE(second.log_shows("another service is running for host \"host-a\"")) << second.log();
}

TEST_F(FleetDaemons, AKilledServicesWaitingRequestsAreAbandonedByAnother) {
  // Just after the server started every lock is free for a while (all
  // services reconnect): the services wait that out before judging.
  for (int waited = 0; waited < 40; ++waited) {
    auto young =
        sql(db_->admin(), "SELECT pg_postmaster_start_time() > now() - interval '16 seconds'");
    if (young.text(0, 0) == "f") break;
    std::this_thread::sleep_for(500ms);
  }
  DaemonProcess& a = add_daemon("host-a");
  DaemonProcess& b = add_daemon("host-b");
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Left behind", {"--timeout", "60"});
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty());
  a.kill_hard();
  // host-b notices within its one-second check, once it has been connected
  // for the grace (15 s) that lets the other services take their locks
  // again, and tells its watchers.
  bool closed = false;
  const auto deadline = std::chrono::steady_clock::now() + 25s;
  while (!closed && std::chrono::steady_clock::now() < deadline) {
    auto event = on_b.next_event(5s);
    if (!event) continue;
    closed = event->kind == service::OperatorEvent::Kind::Closed && event->id == id;
    if (closed) {
      EXPECT_EQ(event->state, "abandoned");
    }
  }
  EXPECT_TRUE(closed) << b.log();
  auto state = sql(db_->admin(), "SELECT state FROM kelvane_approval.requests WHERE id = $1", {id});
  EXPECT_EQ(state.text(0, 0), "abandoned");
  (void)client.wait();
}

// verify as a target host of `daemon`'s runs it, with that daemon's files.
Finished verify_with(const DaemonProcess& daemon, const std::string& token) {
  return Process({KOA_APPROVALS_PATH, "verify", token, "--public-key",
                  daemon.state_dir() + "-public/public-keys.json"},
                 {"PATH=/usr/bin:/bin"})
      .wait();
}

// Waits (10 s at most) until verify with `daemon`'s files exits `status`.
Finished verify_until(const DaemonProcess& daemon, const std::string& token, int status) {
  Finished done = verify_with(daemon, token);
  for (int i = 0; i < 200 && done.status != status; ++i) {
    std::this_thread::sleep_for(50ms);
    done = verify_with(daemon, token);
  }
  return done;
}

TEST_F(FleetDaemons, ATokenOfOneHostVerifiesOnEveryHostAndARevocationAnywhereReachesAll) {
  DaemonProcess& a = add_daemon("host-a");
  DaemonProcess& b = add_daemon("host-b");
  OperatorLink on_b = watcher(b, operator_b_);
  Process client = approvald_test::run_client(a, requester_, "Rotate the certificates");
  const std::string id = next_pending(on_b);
  ASSERT_FALSE(id.empty()) << a.log();
  ASSERT_TRUE(on_b.ask(approvald_test::vote(id, true)).ok);
  Finished done = client.wait();
  ASSERT_EQ(done.status, 0) << done.err << a.log();
  std::string token = done.out;
  if (!token.empty() && token.back() == '\n') token.pop_back();
  ASSERT_TRUE(token.starts_with("koa1.")) << token;

  // Signed on host-a; host-b's files list host-a's key beside its own.
  EXPECT_EQ(verify_with(a, token).status, 0);
  const Finished on_b_files = verify_until(b, token, 0);
  EXPECT_EQ(on_b_files.status, 0) << on_b_files.err << b.log();
  const Finished listed = Process({KOA_APPROVALS_PATH, "public-key", "--public-key",
                                   b.state_dir() + "-public/public-keys.json"},
                                  {"PATH=/usr/bin:/bin"})
                              .wait();
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::size_t kids = 0;
  for (std::size_t at = listed.out.find("\"kid\""); at != std::string::npos;
       at = listed.out.find("\"kid\"", at + 1))
    ++kids;
  EXPECT_EQ(kids, 2u) << listed.out;

  // Revoked by an operator of host-b: refused with host-a's files too.
  const Finished revoked =
      Process({KOA_APPROVALS_PATH, "--socket", b.operator_socket(), "revoke", id},
              {"PATH=/usr/bin:/bin"}, operator_b_)
          .wait();
  ASSERT_EQ(revoked.status, 0) << revoked.err << b.log();
  const Finished on_a_files = verify_until(a, token, 1);
  EXPECT_EQ(on_a_files.status, 1) << a.log();
  EXPECT_NE(on_a_files.err.find("revoked: request " + id), std::string::npos) << on_a_files.err;
  EXPECT_EQ(verify_with(b, token).status, 1);

  // A service that starts later publishes the revocation too (read at start).
  DaemonProcess& c = add_daemon("host-c");
  EXPECT_EQ(verify_until(c, token, 1).status, 1) << c.log();
}

}  // namespace
}  // namespace kelvane::fleet_test
