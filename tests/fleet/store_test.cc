// The shared store as services use it: the host's lock, votes from several
// hosts turned into exactly one verdict, notifications, abandoned requests.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "fleet/fleet_database.h"
#include "fleet/fleet_store.h"
#include "fleet/postgres_server.h"
#include "service/id_block.h"
#include "token/signing_key.h"

namespace kelvane::fleet_test {
namespace {

using fleet::FleetStore;

service::RequestRecord request(const std::string& id, const std::string& user,
                               std::uint64_t needed = 1) {
  service::RequestRecord r;
  r.id = id;
  r.state = "pending";
  r.title = "restart the database";
  r.detail = "because";
  r.action = "run";
  r.requester = user;
  r.source_host = "somewhere";
  r.target_host = "db1";
  r.context = R"({"command":["systemctl","restart","db"]})";
  r.timeout_secs = 300;
  r.created_at = "2026-12-07T10:00:00Z";
  r.verified_uid = 1000;
  r.verified_user = user;
  r.peer = {1000, 1000, 4242, "kelvane-operator", "/usr/bin/kelvane-operator-approve"};
  r.needed = needed;
  return r;
}

service::VoteRecord yes(const std::string& who) {
  return {who, 2000, true, std::nullopt, "2026-12-07T10:00:05Z", std::nullopt};
}
service::VoteRecord no(const std::string& who, const std::string& reason) {
  return {who, 2001, false, reason, "2026-12-07T10:00:06Z", std::nullopt};
}

// A voter the voting host names in its own top-level approvers.
const fleet::Voter kApprover{{}, true};

class FleetStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = shared_server(why_);
    if (server_ == nullptr) {
      if (running_in_ci()) FAIL() << why_;
      GTEST_SKIP() << "PostgreSQL cannot start here: " << why_;
    }
    db_ = std::make_unique<FleetDatabase>(*server_);
    for (const char* host : {"host-a", "host-b", "host-c"}) db_->add_host(host);
  }

  std::unique_ptr<FleetStore> open(const std::string& host, int grace = 0) {
    auto store = FleetStore::open(db_->host_conninfo(host), host, {500, grace});
    if (!store.ok()) throw std::runtime_error(store.error().message);
    return std::move(store).value();
  }

  std::string why_;
  PostgresServer* server_ = nullptr;
  std::unique_ptr<FleetDatabase> db_;
};

TEST_F(FleetStoreTest, OpenRefusesAWrongHostASecondServiceAndAnOldSchema) {
  auto a = open("host-a");
  struct Case {
    const char* what;
    std::string conninfo;
    std::string host;
    const char* error;
  } cases[] = {
      {"host-a's role claiming host-b", db_->host_conninfo("host-a"), "host-b",
       "binds this service's role to host \"host-a\", not to \"host-b\""},
      {"a second service for host-a", db_->host_conninfo("host-a"), "host-a",
       "another service is running for host \"host-a\""},
      {"a role bound to no host", server_->conninfo("koa_admin", db_->name()), "host-a",
       "to no host"},
      {"no such database", server_->conninfo("koa_host_a", "no_such_db"), "host-a",
       "cannot connect to the database"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto second = FleetStore::open(c.conninfo, c.host, {300, 0});
    ASSERT_FALSE(second.ok());
    EXPECT_NE(second.error().message.find(c.error), std::string::npos) << second.error().message;
  }
  // Once the first one's session ends, the host is free again.
  a.reset();
  EXPECT_NO_THROW(open("host-a"));
  sql(db_->admin(), "UPDATE kelvane_approval.schema_version SET version = 5");
  auto newer = FleetStore::open(db_->host_conninfo("host-b"), "host-b", {300, 0});
  ASSERT_FALSE(newer.ok());
  EXPECT_NE(newer.error().message.find("--migrate"), std::string::npos);
}

// Whose votes count is the requesting host's rule's to say, checked in the
// vote's transaction: a vote it does not allow is refused and not recorded.
TEST_F(FleetStoreTest, TheRequestingHostsRuleApproversDecideWhoseVotesCount) {
  auto a = open("host-a");
  auto b = open("host-b");
  const fleet::Voter plain{{}, false};
  const fleet::Voter in_ops{{"staff", "ops"}, false};
  struct Case {
    const char* what;
    std::vector<std::string> approvers;  // of host-a's rule
    const char* voter_name;
    fleet::Voter voter;
    bool counts;
  } cases[] = {
      {"named by user", {"carol"}, "carol", plain, true},
      {"another user", {"carol"}, "bob", kApprover, false},
      {"in a named group", {"carol", "@ops"}, "bob", in_ops, true},
      {"in no named group", {"@ops"}, "bob", {{"staff"}, true}, false},
      {"no rule approvers: the voting host's own approver", {}, "bob", kApprover, true},
      {"no rule approvers: not the voting host's approver", {}, "bob", plain, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string id = std::to_string(++n);
    service::RequestRecord r = request(id, "alice");
    r.rule = "db-restarts";
    ASSERT_TRUE(a->insert_request(r, c.approvers).ok());
    auto outcome = b->vote(id, yes(c.voter_name), c.voter);
    auto votes = sql(db_->admin(),
                     "SELECT array_to_string(operator_groups, ',') FROM kelvane_approval.votes "
                     "WHERE request_id = $1",
                     {id});
    if (c.counts) {
      ASSERT_TRUE(outcome.ok()) << outcome.error().message;
      EXPECT_EQ(outcome.value().state, "approved");
      ASSERT_EQ(votes.count(), 1);
      // Only the groups the approvers name are recorded.
      EXPECT_EQ(votes.text(0, 0), c.voter.groups.empty() || c.approvers.empty() ? "" : "ops");
    } else {
      ASSERT_FALSE(outcome.ok());
      EXPECT_TRUE(outcome.error().refused);
      EXPECT_NE(outcome.error().message.find("you are not an approver of request " + id),
                std::string::npos)
          << outcome.error().message;
      EXPECT_EQ(votes.count(), 0);
    }
    auto found = a->find(id);
    ASSERT_TRUE(found.ok() && found.value());
    EXPECT_EQ(found.value()->approvers, c.approvers);
    EXPECT_EQ(found.value()->record.rule, "db-restarts");
  }
}

// A request a rule decided goes in with its verdict: nobody can vote on it
// and nobody is told it waits.
TEST_F(FleetStoreTest, ARuleDecidedRequestIsInsertedDecided) {
  auto a = open("host-a");
  auto b = open("host-b");
  service::RequestRecord r = request("1", "alice");
  r.state = "denied";
  r.needed = 0;
  r.rule = "no-drops";
  r.decided_at = "2026-12-07T10:00:00Z";
  r.detail_of_verdict = "never drop";
  ASSERT_TRUE(a->insert_request(r).ok());
  service::RequestRecord again = request("2", "alice", 2);
  again.state = "approved";
  again.rule = "db-restarts";
  again.reused_from = "1";
  again.decided_at = "2026-12-07T10:00:01Z";
  again.detail_of_verdict = "approved again";
  ASSERT_TRUE(a->insert_request(again).ok());
  auto pending = b->pending();
  ASSERT_TRUE(pending.ok());
  EXPECT_TRUE(pending.value().empty());
  auto events = b->events();
  ASSERT_TRUE(events.ok());
  EXPECT_TRUE(events.value().empty());
  auto vote = b->vote("1", yes("bob"), kApprover);
  ASSERT_FALSE(vote.ok());
  EXPECT_NE(vote.error().message.find("already denied"), std::string::npos);
  auto found = b->find("2");
  ASSERT_TRUE(found.ok() && found.value());
  EXPECT_EQ(found.value()->record.state, "approved");
  EXPECT_EQ(found.value()->record.reused_from, "1");
}

TEST_F(FleetStoreTest, VotesFromOtherHostsReachTheVerdictOfTheRequestingHostsRule) {
  auto a = open("host-a");
  auto b = open("host-b");
  auto c = open("host-c");
  ASSERT_TRUE(a->insert_request(request("1", "alice", 2)).ok());
  ASSERT_TRUE(a->insert_request(request("2", "alice", 2)).ok());

  auto first = b->vote("1", yes("bob"), kApprover);
  ASSERT_TRUE(first.ok()) << first.error().message;
  EXPECT_EQ(first.value().state, "pending");
  EXPECT_EQ(first.value().yes, 1u);
  EXPECT_EQ(first.value().needed, 2u);
  auto second = c->vote("1", yes("carol"), kApprover);
  ASSERT_TRUE(second.ok()) << second.error().message;
  EXPECT_EQ(second.value().state, "approved");

  ASSERT_TRUE(b->vote("2", yes("bob"), kApprover).ok());
  auto denied = c->vote("2", no("carol", "not during the sale"), kApprover);
  ASSERT_TRUE(denied.ok());
  EXPECT_EQ(denied.value().state, "denied");

  auto one = a->find("1");
  ASSERT_TRUE(one.ok() && one.value());
  EXPECT_EQ(one.value()->record.state, "approved");
  EXPECT_EQ(one.value()->host_name, "host-a");
  ASSERT_EQ(one.value()->record.votes.size(), 2u);
  EXPECT_EQ(one.value()->record.votes[0].operator_name, "bob");
  EXPECT_EQ(one.value()->vote_hosts, (std::vector<std::string>{"host-b", "host-c"}));
  EXPECT_EQ(one.value()->record.votes[0].host, "host-b");
  EXPECT_EQ(one.value()->record.votes[1].host, "host-c");
  // The vote that decided it brought back every vote, each with its host.
  ASSERT_EQ(second.value().votes.size(), 2u);
  EXPECT_EQ(second.value().votes[0].host, "host-b");
  EXPECT_EQ(second.value().votes[1].operator_name, "carol");
  auto two = a->find("2");
  ASSERT_TRUE(two.ok() && two.value());
  EXPECT_EQ(two.value()->record.detail_of_verdict, "not during the sale");
  // A burst of notifications is read at once: each request with its own
  // votes, ids it does not hold left out, each once.
  auto both = c->find_many({"2", "1", "404", "1"});
  ASSERT_TRUE(both.ok()) << both.error().message;
  ASSERT_EQ(both.value().size(), 2u);
  for (const fleet::HostedRequest& hosted : both.value()) {
    const auto& alone = hosted.record.id == "1" ? one.value() : two.value();
    EXPECT_EQ(hosted.record, alone->record);
    EXPECT_EQ(hosted.vote_hosts, alone->vote_hosts);
  }
  auto none = c->find_many({});
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().empty());
  ASSERT_TRUE(two.value()->record.decided_at.has_value());
  // The record round-trips what the service wrote.
  service::RequestRecord expected = request("1", "alice", 2);
  expected.state = "approved";
  expected.decided_at = one.value()->record.decided_at;
  expected.detail_of_verdict = "";
  expected.votes = one.value()->record.votes;
  expected.host = "host-a";  // where it waits, from the row's host_name
  EXPECT_EQ(one.value()->record, expected);
}

TEST_F(FleetStoreTest, VotesTheRecordRefusesAreRefusedWithAReason) {
  auto a = open("host-a");
  auto b = open("host-b");
  auto c_host = open("host-c");
  ASSERT_TRUE(a->insert_request(request("1", "alice", 2)).ok());
  ASSERT_TRUE(a->insert_request(request("2", "alice", 1)).ok());
  ASSERT_TRUE(b->vote("1", yes("bob"), kApprover).ok());
  ASSERT_TRUE(b->vote("2", no("bob", "no"), kApprover).ok());
  const struct {
    const char* what;
    FleetStore* store;
    const char* id;
    service::VoteRecord vote;
    const char* error;
  } cases[] = {
      {"self-approval at the requesting host", a.get(), "1", yes("alice"), "is your own"},
      {"self-approval through another host", b.get(), "1", yes("alice"), "is your own"},
      {"a second vote", b.get(), "1", yes("bob"), "you have already voted on request 1"},
      {"a second vote through another host", c_host.get(), "1", yes("bob"),
       "you have already voted on request 1"},
      {"a decided request", b.get(), "2", yes("dave"), "request 2 is already denied"},
      {"an unknown request", b.get(), "99", yes("bob"), "no request 99"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto result = c.store->vote(c.id, c.vote, kApprover);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.error().refused);
    EXPECT_NE(result.error().message.find(c.error), std::string::npos) << result.error().message;
  }
  // None of them was recorded: request 1 still has bob's one vote, and a
  // second person approves it.
  auto carol = c_host->vote("1", yes("carol"), kApprover);
  ASSERT_TRUE(carol.ok()) << carol.error().message;
  EXPECT_EQ(carol.value().state, "approved");
  EXPECT_EQ(carol.value().votes.size(), 2u);
}

// Two hosts' operators voting on the same requests at the same moment: every
// request ends with one verdict that its votes explain. Without the row lock
// that makes votes on one request take turns, two yes votes each counting
// only itself leave a request pending for ever (approvals = 2), and a deny
// and a yes can both "win".
TEST_F(FleetStoreTest, SimultaneousVotesEndInExactlyOneVerdict) {
  auto a = open("host-a");
  constexpr std::size_t kRequests = 40;
  for (std::size_t i = 0; i < kRequests; ++i)
    ASSERT_TRUE(a->insert_request(request(std::to_string(i), "alice", i % 2 == 0 ? 2 : 1)).ok());
  std::vector<std::vector<std::string>> outcomes(2, std::vector<std::string>(kRequests));
  auto voter = [&](std::size_t which) {
    auto store = open(which == 0 ? "host-b" : "host-c");
    for (std::size_t i = 0; i < kRequests; ++i) {
      // Even ids: both say yes (2 needed). Odd ids: b says yes, c says no.
      const bool approve = i % 2 == 0 || which == 0;
      // Two people: one person's second vote would be refused.
      const std::string op = which == 0 ? "op-b" : "op-c";
      auto outcome = store->vote(std::to_string(i), approve ? yes(op) : no(op, "no"), kApprover);
      outcomes[which][i] = outcome.ok()
                               ? outcome.value().state
                               : (outcome.error().refused ? "refused" : outcome.error().message);
    }
  };
  std::thread b(voter, std::size_t{0});
  std::thread c(voter, std::size_t{1});
  b.join();
  c.join();
  for (std::size_t i = 0; i < kRequests; ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    auto found = a->find(std::to_string(i));
    ASSERT_TRUE(found.ok() && found.value());
    const auto& r = found.value()->record;
    if (i % 2 == 0) {
      EXPECT_EQ(r.state, "approved");
      EXPECT_EQ(r.votes.size(), 2u);
      // Exactly one of the two votes was the deciding one.
      EXPECT_NE(outcomes[0][i] == "approved", outcomes[1][i] == "approved");
    } else {
      ASSERT_TRUE(r.state == "approved" || r.state == "denied") << r.state;
      // The one vote that made the verdict is recorded; the other was refused.
      ASSERT_EQ(r.votes.size(), 1u);
      EXPECT_EQ(r.state == "approved", r.votes[0].approve);
      EXPECT_EQ(outcomes[r.state == "approved" ? 1u : 0u][i], "refused");
    }
  }
}

TEST_F(FleetStoreTest, TheWaitingHostHearsOfVotesAndVerdictsReachedElsewhere) {
  auto a = open("host-a");
  auto b = open("host-b");
  ASSERT_TRUE(a->insert_request(request("7", "alice")).ok());
  ASSERT_TRUE(b->vote("7", yes("bob"), kApprover).ok());
  std::vector<fleet::FleetEvent> seen;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (seen.size() < 3 && std::chrono::steady_clock::now() < until) {
    pollfd p{a->socket(), POLLIN, 0};
    ::poll(&p, 1, 100);
    auto events = a->events();
    ASSERT_TRUE(events.ok());
    seen.insert(seen.end(), events.value().begin(), events.value().end());
  }
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].kind, fleet::FleetEvent::Kind::Request);
  EXPECT_EQ(seen[1].kind, fleet::FleetEvent::Kind::Vote);
  EXPECT_EQ(seen[1].host_name, "host-b");
  EXPECT_EQ(seen[2].kind, fleet::FleetEvent::Kind::Verdict);
  EXPECT_EQ(seen[2].id, "7");
  EXPECT_EQ(seen[2].host_name, "host-a");
  EXPECT_EQ(seen[2].state, "approved");
}

TEST_F(FleetStoreTest, EachHostPublishesItsOwnTokenKeysAndReadsEveryHosts) {
  auto a = open("host-a");
  auto b = open("host-b");
  auto key = token::SigningKey::generate();
  ASSERT_TRUE(key.ok());
  const token::PublicKey current{key.value().kid(), key.value().public_key(), std::nullopt};
  const token::PublicKey retiring{key.value().kid(), key.value().public_key(), 1900000000};
  const std::vector<token::Revocation> revoked = {{"17", 1800000000}, {"18", 1800000001}};
  ASSERT_TRUE(a->publish_keys({current}, revoked, 900).ok());
  ASSERT_TRUE(b->publish_keys({current, retiring}, {}, 60).ok());

  auto hosts = b->host_keys();
  ASSERT_TRUE(hosts.ok()) << hosts.error().message;
  ASSERT_EQ(hosts.value().size(), 3u);
  const fleet::HostKeys& on_a = hosts.value()[0];
  EXPECT_EQ(on_a.host_name, "host-a");
  EXPECT_FALSE(on_a.error);
  EXPECT_EQ(on_a.keys, std::vector<token::PublicKey>{current});
  EXPECT_EQ(on_a.revoked, revoked);
  EXPECT_EQ(on_a.token_lifetime, 900u);
  EXPECT_EQ(hosts.value()[1].keys, (std::vector<token::PublicKey>{current, retiring}));
  EXPECT_TRUE(hosts.value()[2].keys.empty());  // host-c published nothing yet

  // A row that does not read is reported as such, the others still read.
  sql(db_->admin(),
      "UPDATE kelvane_approval.hosts SET public_keys = '{\"{\\\"kid\\\":1}\"}' "
      "WHERE host_name = 'host-c'");
  hosts = a->host_keys();
  ASSERT_TRUE(hosts.ok()) << hosts.error().message;
  EXPECT_TRUE(hosts.value()[2].error);
  EXPECT_TRUE(hosts.value()[2].keys.empty());
  EXPECT_EQ(hosts.value()[0].revoked, revoked);

  // Every other service hears of a change ("keys HOST").
  bool heard = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!heard && std::chrono::steady_clock::now() < until) {
    pollfd p{b->socket(), POLLIN, 0};
    ::poll(&p, 1, 100);
    auto events = b->events();
    ASSERT_TRUE(events.ok());
    for (const fleet::FleetEvent& event : events.value())
      heard = heard || (event.kind == fleet::FleetEvent::Kind::Keys && event.host_name == "host-a");
  }
  EXPECT_TRUE(heard);
}

TEST_F(FleetStoreTest, ClosingMeetsAVerdictReachedElsewhereInsteadOfReplacingIt) {
  auto a = open("host-a");
  auto b = open("host-b");
  ASSERT_TRUE(a->insert_request(request("1", "alice")).ok());
  ASSERT_TRUE(a->insert_request(request("2", "alice")).ok());
  ASSERT_TRUE(b->vote("1", no("bob", "later"), kApprover).ok());
  auto closed = a->close_request("1", "expired", "2026-12-07T10:05:00Z", "");
  ASSERT_TRUE(closed.ok());
  EXPECT_EQ(closed.value(), std::optional<std::string>("denied"));
  auto expired = a->close_request("2", "expired", "2026-12-07T10:05:00Z", "");
  ASSERT_TRUE(expired.ok());
  EXPECT_EQ(expired.value(), std::nullopt);
  // host-b cannot close host-a's request.
  auto foreign = b->close_request("1", "withdrawn", "2026-12-07T10:05:00Z", "");
  ASSERT_FALSE(foreign.ok());
  EXPECT_TRUE(foreign.error().refused);
}

TEST_F(FleetStoreTest, AGoneServicesRequestsAreAbandonedByAnotherAndOnlyThen) {
  auto a = open("host-a");
  auto b = open("host-b");
  ASSERT_TRUE(a->insert_request(request("1", "alice")).ok());
  ASSERT_TRUE(b->insert_request(request("2", "bob")).ok());
  // Both alive: nothing is abandoned.
  auto none = b->abandon_orphans();
  ASSERT_TRUE(none.ok()) << none.error().message;
  EXPECT_EQ(none.value(), 0u);
  // host-a's session ends (its lock goes with it when the server has seen
  // the session end, a moment later).
  a.reset();
  std::uint64_t abandoned = 0;
  for (int tries = 0; tries < 100 && abandoned == 0; ++tries) {
    auto one = b->abandon_orphans();
    ASSERT_TRUE(one.ok());
    abandoned = one.value();
    if (abandoned == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(abandoned, 1u);
  auto found = b->find("1");
  ASSERT_TRUE(found.ok() && found.value());
  EXPECT_EQ(found.value()->record.state, "abandoned");
  EXPECT_EQ(found.value()->record.detail_of_verdict, "the service of host host-a stopped");
  // Its own requests stay.
  EXPECT_EQ(b->find("2").value()->record.state, "pending");
  // Within the grace after a server start, a free lock proves nothing.
  auto c = open("host-c", /*grace=*/1000000);
  ASSERT_TRUE(c->insert_request(request("3", "carol")).ok());
  auto a_again = open("host-a");
  ASSERT_TRUE(a_again->insert_request(request("4", "alice")).ok());
  a_again.reset();
  EXPECT_EQ(c->abandon_orphans().value(), 0u);
}

TEST_F(FleetStoreTest, PendingListsEveryHostAndIdsNeverRepeat) {
  auto a = open("host-a");
  auto b = open("host-b");
  ASSERT_TRUE(a->insert_request(request("1", "alice")).ok());
  ASSERT_TRUE(b->insert_request(request("2", "bob")).ok());
  ASSERT_TRUE(b->vote("1", yes("bob"), kApprover).ok());  // decided: no longer pending
  auto pending = a->pending();
  ASSERT_TRUE(pending.ok());
  ASSERT_EQ(pending.value().size(), 1u);
  EXPECT_EQ(pending.value()[0].host_name, "host-b");
  auto first = a->reserve_id_block();
  auto second = b->reserve_id_block();
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_GE(std::max(first.value(), second.value()) - std::min(first.value(), second.value()),
            service::kIdBlock);
  EXPECT_GE(first.value(), std::uint64_t{1} << 60);
  // A restarted service abandons what it left pending.
  auto own = b->abandon_own_pending();
  ASSERT_TRUE(own.ok());
  EXPECT_EQ(own.value(), 1u);
}

}  // namespace
}  // namespace kelvane::fleet_test
