// The fleet's database fails over: a primary with a synchronous streaming
// standby, both started here, and two services whose connection string
// names both (target_session_attrs=read-write). The primary is killed while
// requests wait and an operator votes, the standby is promoted, and the
// services carry on by themselves on it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "approvald/harness.h"
#include "fleet/fleet_database.h"
#include "fleet/postgres_server.h"

namespace kelvane::fleet_test {
namespace {

using namespace std::chrono_literals;
using approvald_test::DaemonProcess;
using approvald_test::Finished;
using approvald_test::OperatorLink;
using approvald_test::Process;
using service::OperatorOp;

constexpr const char* kStandbyName = "koa_standby";

// A daemon for `host` whose connection file names both servers.
std::unique_ptr<DaemonProcess> start_daemon(FleetDatabase& db, const testing::TempDir& files,
                                            const std::string& host) {
  db.add_host(host);
  const std::string file = files.file(host + ".conn");
  testing::write_file(file, db.host_conninfo(host) + " connect_timeout=2\n");
  ::chmod(file.c_str(), 0600);
  auto daemon = std::make_unique<DaemonProcess>(
      "approvers = [\"daemon\", \"bin\"]\napprovals = 1\nstore = \"postgresql\"\n"
      "connection_file = \"" +
      file + "\"\nhost_name = \"" + host + "\"\n");
  EXPECT_TRUE(daemon->start()) << daemon->log();
  return daemon;
}

// A vote from `daemon`'s operator, tried again while the database cannot
// be reached (20 s at most).
service::OperatorAnswer vote_when_reachable(const DaemonProcess& daemon,
                                            const approvald_test::Account& as,
                                            const std::string& id, bool approve) {
  service::OperatorAnswer answer;
  for (int tries = 0; tries < 100; ++tries) {
    answer = OperatorLink(daemon, as).ask(approvald_test::vote(id, approve));
    if (answer.ok || answer.error.find("cannot be reached") == std::string::npos) break;
    std::this_thread::sleep_for(200ms);
  }
  return answer;
}

std::uint64_t count(fleet::Connection& db, const std::string& query,
                    const std::vector<fleet::Param>& params = {}) {
  return sql(db, query, params).number(0, 0);
}

TEST(FleetFailover, APromotedSynchronousStandbyKeepsEveryVerdictAndTheWaitingRequests) {
  std::string why;
  auto primary = PostgresServer::start_primary(kStandbyName, why);
  auto standby = primary ? PostgresServer::start_standby(*primary, kStandbyName, why) : nullptr;
  if (primary == nullptr || standby == nullptr) {
    if (running_in_ci()) FAIL() << why;
    GTEST_SKIP() << "PostgreSQL cannot start here: " << why;
  }
  const auto requester = approvald_test::account("sys");
  const auto voter = approvald_test::account("daemon");
  if (!requester || !voter) GTEST_SKIP() << "needs daemon and sys";
  primary->fail_over_to(*standby);
  FleetDatabase db(*primary);
  testing::TempDir files;
  auto a = start_daemon(db, files, "host-a");
  auto b = start_daemon(db, files, "host-b");
  OperatorLink on_b(*b, voter);
  ASSERT_TRUE(on_b.ask(approvald_test::op(OperatorOp::Watch)).ok);

  // Decided before the failover: the requester has its approval.
  Process first = approvald_test::run_client(*a, requester, "Before", {"--timeout", "120"});
  const std::string decided = approvald_test::next_pending(on_b);
  ASSERT_FALSE(decided.empty()) << a->log();
  ASSERT_EQ(on_b.ask(approvald_test::vote(decided, true)).state, "approved");
  ASSERT_EQ(first.wait().status, 0) << a->log();

  // Waiting through it.
  Process second = approvald_test::run_client(*a, requester, "Through", {"--timeout", "120"});
  const std::string approved = approvald_test::next_pending(on_b);
  Process third = approvald_test::run_client(*a, requester, "Denied after", {"--timeout", "120"});
  const std::string denied = approvald_test::next_pending(on_b);
  ASSERT_FALSE(approved.empty() || denied.empty()) << a->log();

  // The standby's own start must lie further back than the grace, as it
  // does in a real failover: the server's start time then says nothing.
  while (std::chrono::steady_clock::now() - standby->started_at() < 17s)
    std::this_thread::sleep_for(200ms);

  // host-a stands for a host that comes back late: stopped through the
  // failover, it holds no lock on the new primary for a few seconds, and
  // host-b must not take that as host-a's service being gone.
  a->signal(SIGSTOP);
  struct Continue {
    DaemonProcess& daemon;
    ~Continue() { daemon.signal(SIGCONT); }
  } resume{*a};
  ASSERT_TRUE(primary->crash()) << primary->log();
  // A vote cast while there is no primary is not taken.
  const auto lost = OperatorLink(*b, voter).ask(approvald_test::vote(approved, true));
  EXPECT_FALSE(lost.ok);
  EXPECT_NE(lost.error.find("the vote is not taken"), std::string::npos) << lost.error;
  ASSERT_TRUE(standby->promote()) << standby->log();
  // host-b reconnects and runs its once-a-second check meanwhile.
  std::this_thread::sleep_for(4s);
  a->signal(SIGCONT);

  const auto yes = vote_when_reachable(*b, *voter, approved, true);
  ASSERT_TRUE(yes.ok) << yes.error << b->log();
  EXPECT_EQ(yes.state, "approved");
  const Finished through = second.wait();
  EXPECT_EQ(through.status, 0) << through.err << a->log();
  EXPECT_NE(through.err.find("APPROVED"), std::string::npos) << through.err;
  const auto no = vote_when_reachable(*b, *voter, denied, false);
  ASSERT_TRUE(no.ok) << no.error << b->log();
  EXPECT_EQ(no.state, "denied");
  EXPECT_EQ(third.wait().status, 1) << a->log();

  // On the new primary: every verdict a requester received, no approval
  // without its votes there, the vote cast without a primary absent, and
  // nothing abandoned.
  auto admin = connect_or_throw(db.admin_conninfo());
  EXPECT_EQ(sql(*admin, "SELECT pg_is_in_recovery()").text(0, 0), "f");
  const std::string state = "SELECT state FROM kelvane_approval.requests WHERE id = $1";
  EXPECT_EQ(sql(*admin, state, {decided}).text(0, 0), "approved");
  EXPECT_EQ(sql(*admin, state, {approved}).text(0, 0), "approved");
  EXPECT_EQ(sql(*admin, state, {denied}).text(0, 0), "denied");
  EXPECT_EQ(count(*admin,
                  "SELECT count(*) FROM kelvane_approval.requests r WHERE state = 'approved' AND "
                  "(SELECT count(*) FROM kelvane_approval.votes v WHERE v.request_id = r.id AND "
                  "v.approve) < r.needed"),
            0u);
  EXPECT_EQ(count(*admin, "SELECT count(*) FROM kelvane_approval.votes WHERE request_id = $1",
                  {approved}),
            1u);
  EXPECT_EQ(
      count(*admin, "SELECT count(*) FROM kelvane_approval.requests WHERE state = 'abandoned'"), 0u)
      << b->log();

  // Both services are on the new primary by themselves: a new request is
  // seen on the other host and decided.
  Process after = approvald_test::run_client(*a, requester, "After", {"--timeout", "60"});
  const std::string later = approvald_test::next_pending(on_b);
  ASSERT_FALSE(later.empty()) << a->log();
  EXPECT_EQ(vote_when_reachable(*b, *voter, later, true).state, "approved");
  EXPECT_EQ(after.wait().status, 0) << a->log();
}

}  // namespace
}  // namespace kelvane::fleet_test
