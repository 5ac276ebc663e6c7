// The schema as the administrator migrates it, and what row-level security
// lets each service's own role do, checked with direct SQL as that role.
#include <gtest/gtest.h>

#include "fleet/fleet_database.h"
#include "fleet/postgres_server.h"
#include "fleet/schema.h"
#include "fleet/text_array.h"
#include "service/approvers.h"
#include "service/approvers_cases.h"
#include "service/person.h"

namespace kelvane::fleet_test {
namespace {

TEST(Migrate, CreatesOnceThenDoesNothingAndRefusesANewerSchema) {
  KOA_REQUIRE_POSTGRES(server);
  FleetDatabase db(*server, /*migrate=*/false);
  auto first = fleet::migrate(db.admin());
  ASSERT_TRUE(first.ok()) << first.error();
  EXPECT_EQ(first.value().from, 0);
  EXPECT_EQ(first.value().to, fleet::kFleetSchemaVersion);
  EXPECT_EQ(fleet::describe(first.value()), "created the schema, version 4");

  auto again = fleet::migrate(db.admin());
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_EQ(again.value().from, again.value().to);
  EXPECT_EQ(sql(db.admin(), "SELECT count(*) FROM kelvane_approval.schema_version").number(0, 0),
            1u);

  sql(db.admin(), "UPDATE kelvane_approval.schema_version SET version = 5");
  auto newer = fleet::migrate(db.admin());
  ASSERT_FALSE(newer.ok());
  EXPECT_NE(newer.error().find("newer than this program's 4"), std::string::npos) << newer.error();
}

// Version 2 to 3 in place: requests and votes stay, a request stored
// before has no rule approvers (each voting host's own list decides), and
// count_votes counts only votes the request's approvers allow.
TEST(Migrate, UpgradesFromVersion2InPlace) {
  KOA_REQUIRE_POSTGRES(server);
  FleetDatabase db(*server, /*migrate=*/false);
  auto old = fleet::migrate(db.admin(), 2);
  ASSERT_TRUE(old.ok()) << old.error();
  ASSERT_EQ(old.value().to, 2);
  const int up_to = 3;  // this version's upgrade; 3 to 4 is tested below
  sql(db.admin(),
      "INSERT INTO kelvane_approval.hosts (host_name, role_name) VALUES ('host-a', 'koa_admin')");
  sql(db.admin(),
      "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, action, "
      "requester, source_host, target_host, timeout_secs, created_at, verified_uid, "
      "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, peer_executable, "
      "needed) VALUES ('1', 'host-a', 'pending', 't', '', 'a', 'alice', 'h', 'h', 60, "
      "'2026-01-01T00:00:00Z', 1000, 'alice', false, 1000, 1000, 1, 'n', '/x', 2)");
  sql(db.admin(),
      "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
      "operator_host, approve, at) VALUES ('1', 'bob', 1001, 'host-a', true, 'x')");

  auto upgraded = fleet::migrate(db.admin(), up_to);
  ASSERT_TRUE(upgraded.ok()) << upgraded.error();
  EXPECT_EQ(fleet::describe(upgraded.value()), "upgraded the schema from version 2 to 3");
  auto kept = sql(db.admin(),
                  "SELECT state, rule IS NULL, cardinality(approvers), "
                  "(SELECT count(*) FROM kelvane_approval.votes) FROM kelvane_approval.requests");
  EXPECT_EQ(kept.text(0, 0), "pending");
  EXPECT_EQ(kept.text(0, 1), "t");
  EXPECT_EQ(kept.number(0, 2), 0u);
  EXPECT_EQ(kept.number(0, 3), 1u);
  // The owner writes around row-level security: a vote the approvers do
  // not name is there, yet never counts.
  sql(db.admin(),
      "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, action, "
      "requester, source_host, target_host, timeout_secs, created_at, verified_uid, "
      "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, peer_executable, "
      "needed, rule, approvers) VALUES ('2', 'host-a', 'pending', 't', '', 'a', 'alice', 'h', "
      "'h', 60, '2026-01-01T00:00:00Z', 1000, 'alice', false, 1000, 1000, 1, 'n', '/x', 1, "
      "'r', '{carol,@ops}')");
  const std::string vote =
      "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
      "operator_host, approve, at, operator_groups) VALUES ('2', $1, 1002, 'host-a', $2, 'x', "
      "$3)";
  sql(db.admin(), vote, {"dave", "t", "{staff}"});
  sql(db.admin(), vote, {"mallory", "f", "{}"});
  EXPECT_EQ(sql(db.admin(), "SELECT kelvane_approval.count_votes('2')").text(0, 0), "pending");
  sql(db.admin(), vote, {"erin", "t", "{ops}"});
  EXPECT_EQ(sql(db.admin(), "SELECT kelvane_approval.count_votes('2')").text(0, 0), "approved");
  // The request from before the upgrade still counts every vote.
  sql(db.admin(),
      "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
      "operator_host, approve, at) VALUES ('1', 'carol', 1004, 'host-a', true, 'x')");
  EXPECT_EQ(sql(db.admin(), "SELECT kelvane_approval.count_votes('1')").text(0, 0), "approved");
}

// Version 3 to 4 in place: one person, one vote. Votes version 3 took twice
// from one person (through two hosts) are set aside, not lost; the
// requester's own vote through another host stays in the record but never
// counts; a pending request counts what is left.
TEST(Migrate, UpgradesFromVersion3InPlaceSettingSecondVotesAside) {
  KOA_REQUIRE_POSTGRES(server);
  FleetDatabase db(*server, /*migrate=*/false);
  ASSERT_TRUE(fleet::migrate(db.admin(), 3).ok());
  for (const char* host : {"host-a", "host-b"}) {
    sql(db.admin(), "INSERT INTO kelvane_approval.hosts (host_name, role_name) VALUES ($1, $2)",
        {host, std::string("koa_old_") + host});
  }
  sql(db.admin(),
      "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, action, "
      "requester, source_host, target_host, timeout_secs, created_at, verified_uid, "
      "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, peer_executable, "
      "needed) VALUES ('1', 'host-a', 'pending', 't', '', 'a', 'alice', 'h', 'h', 60, "
      "'2026-01-01T00:00:00Z', 1000, 'alice', false, 1000, 1000, 1, 'n', '/x', 2)");
  const std::string vote =
      "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
      "operator_host, approve, at) VALUES ('1', $1, $2, $3, true, 'x')";
  sql(db.admin(), vote, {"bob", "1001", "host-a"});
  sql(db.admin(), vote, {"bob", "2001", "host-b"});    // bob again, through host-b
  sql(db.admin(), vote, {"alice", "2000", "host-b"});  // the requester, through host-b
  // Under version 3 that was an approval by "two" people.
  auto upgraded = fleet::migrate(db.admin());
  ASSERT_TRUE(upgraded.ok()) << upgraded.error();
  EXPECT_EQ(fleet::describe(upgraded.value()), "upgraded the schema from version 3 to 4");
  EXPECT_EQ(sql(db.admin(),
                "SELECT string_agg(operator_user || '@' || operator_host, ' ' ORDER BY seq) "
                "FROM kelvane_approval.votes")
                .text(0, 0),
            "bob@host-a alice@host-b");
  auto aside = sql(db.admin(),
                   "SELECT operator_user || '@' || operator_host, why "
                   "FROM kelvane_approval.votes_set_aside");
  ASSERT_EQ(aside.count(), 1);
  EXPECT_EQ(aside.text(0, 0), "bob@host-b");
  EXPECT_EQ(sql(db.admin(), "SELECT kelvane_approval.count_votes('1')").text(0, 0), "pending");
  sql(db.admin(), vote, {"carol", "1002", "host-a"});
  EXPECT_EQ(sql(db.admin(), "SELECT kelvane_approval.count_votes('1')").text(0, 0), "approved");
}

// The SQL rule says what service::same_person says, on the cases of
// tests/service/person_test.cc.
TEST(Migrate, TheDatabasesRuleOnPersonsIsTheServicesRule) {
  KOA_REQUIRE_POSTGRES(server);
  FleetDatabase db(*server);
  struct Case {
    const char* host_a;
    const char* user_a;
    const char* uid_a;
    const char* host_b;
    const char* user_b;
    const char* uid_b;
  } cases[] = {
      {"", "alice", "1000", "", "alice", "5000"}, {"", "alice", "1000", "", "alice2", "1000"},
      {"", "alice", "1000", "", "bob", "1001"},   {"web1", "alice", "1000", "web2", "alice", "2"},
      {"web1", "a", "1000", "web2", "b", "1000"}, {"web1", "a", "1000", "web1", "b", "1000"},
      {"", "", "1000", "", "", "1001"},           {"web1", "", "1000", "web2", "", "1001"},
  };
  for (const Case& c : cases) {
    const bool expected = service::same_person({c.host_a, c.user_a, std::stoull(c.uid_a)},
                                               {c.host_b, c.user_b, std::stoull(c.uid_b)});
    const std::string got =
        sql(db.admin(), "SELECT kelvane_approval.same_person($1, $2, $3, $4, $5, $6)",
            {c.host_a, c.user_a, c.uid_a, c.host_b, c.user_b, c.uid_b})
            .text(0, 0);
    EXPECT_EQ(got, expected ? "t" : "f")
        << c.user_a << "@" << c.host_a << " " << c.user_b << "@" << c.host_b;
  }
}

// The SQL rule of who an approvers list names says what
// service::names_person says, on the cases of tests/service/approvers_cases.h;
// a request whose rule names nobody leaves it to the voting host's own list.
TEST(Migrate, TheDatabasesRuleOnApproversIsTheServicesRule) {
  KOA_REQUIRE_POSTGRES(server);
  FleetDatabase db(*server);
  for (const service_test::NamedCase& c : service_test::named_cases()) {
    const std::string got =
        sql(db.admin(), "SELECT kelvane_approval.named_by($1::text[], $2, $3::text[])",
            {fleet::text_array_literal(c.approvers), c.user, fleet::text_array_literal(c.groups)})
            .text(0, 0);
    EXPECT_EQ(got, service::names_person(c.approvers, c.user, c.groups) ? "t" : "f")
        << fleet::text_array_literal(c.approvers) << " user \"" << c.user << "\"";
  }
  EXPECT_EQ(sql(db.admin(), "SELECT kelvane_approval.named_by('{}', 'alice', '{}')").text(0, 0),
            "t");
}

TEST(Migrate, AServiceRoleCannotMigrate) {
  KOA_REQUIRE_POSTGRES(server);
  FleetDatabase db(*server, /*migrate=*/false);
  auto super = connect_or_throw(server->conninfo(PostgresServer::kSuperuser, "postgres"));
  sql(*super,
      "DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'koa_plain') THEN "
      "CREATE ROLE koa_plain LOGIN; END IF; END $$");
  auto plain = connect_or_throw(server->conninfo("koa_plain", db.name()));
  auto migrated = fleet::migrate(*plain);
  ASSERT_FALSE(migrated.ok());
  EXPECT_NE(migrated.error().find("cannot create the schema"), std::string::npos);
  EXPECT_EQ(sql(db.admin(), "SELECT to_regclass('kelvane_approval.requests') IS NULL").text(0, 0),
            "t");
}

// Direct SQL as host-a's own role: what it may write and what the database
// refuses whatever the service would send.
class RowSecurity : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = shared_server(why_);
    if (server_ == nullptr) {
      if (running_in_ci()) FAIL() << why_;
      GTEST_SKIP() << "PostgreSQL cannot start here: " << why_;
    }
    db_ = std::make_unique<FleetDatabase>(*server_);
    for (const char* host : {"host-a", "host-b"}) db_->add_host(host);
    a_ = connect_or_throw(db_->host_conninfo("host-a"));
    b_ = connect_or_throw(db_->host_conninfo("host-b"));
    ASSERT_TRUE(insert(*a_, "1", "host-a", "alice").ok());
    ASSERT_TRUE(insert(*b_, "2", "host-b", "bob").ok());
  }

  static Result<fleet::Rows, fleet::DbError> insert(fleet::Connection& as, const std::string& id,
                                                    const std::string& host,
                                                    const std::string& user) {
    return as.exec(
        "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, action, "
        "requester, source_host, target_host, timeout_secs, created_at, verified_uid, "
        "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, peer_executable, "
        "needed) VALUES ($1, $2, 'pending', 't', '', 'a', $3, 'h', 'h', 60, "
        "'2026-01-01T00:00:00Z', 1000, $3, false, 1000, 1000, 1, 'n', '/x', 1)",
        {id, host, user});
  }
  static Result<fleet::Rows, fleet::DbError> vote(fleet::Connection& as, const std::string& id,
                                                  const std::string& user,
                                                  const std::string& host) {
    return as.exec(
        "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
        "operator_host, approve, at) VALUES ($1, $2, 1001, $3, true, '2026-01-01T00:00:01Z')",
        {id, user, host});
  }

  std::string why_;
  PostgresServer* server_ = nullptr;
  std::unique_ptr<FleetDatabase> db_;
  std::unique_ptr<fleet::Connection> a_;
  std::unique_ptr<fleet::Connection> b_;
};

TEST_F(RowSecurity, AServiceWritesOnlyItsOwnHostsRequestsAndVotes) {
  struct Refused {
    const char* what;
    std::function<Result<fleet::Rows, fleet::DbError>()> attempt;
    const char* sqlstate;
  };
  fleet::Connection& a = *a_;
  const Refused cases[] = {
      {"a request for host-b", [&] { return insert(a, "3", "host-b", "carol"); }, "42501"},
      {"a request already decided",
       [&] {
         return a.exec(
             "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, action, "
             "requester, source_host, target_host, timeout_secs, created_at, verified_uid, "
             "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, "
             "peer_executable, needed) VALUES ('4', 'host-a', 'approved', 't', '', 'a', 'r', "
             "'h', 'h', 60, 'x', 1, 'u', false, 1, 1, 1, 'n', '/x', 1)");
       },
       "42501"},
      {"a vote as host-b's operator", [&] { return vote(a, "2", "carol", "host-b"); }, "42501"},
      {"a vote host-b's rule does not allow",
       [&] {
         sql(*b_,
             "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, "
             "action, requester, source_host, target_host, timeout_secs, created_at, "
             "verified_uid, verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, "
             "peer_executable, needed, rule, approvers) VALUES ('5', 'host-b', 'pending', 't', "
             "'', 'a', 'bob', 'h', 'h', 60, 'x', 1, 'bob', false, 1, 1, 1, 'n', '/x', 1, 'r', "
             "'{dave}')");
         return vote(a, "5", "carol", "host-a");
       },
       "42501"},
      {"a vote on its own operator's request", [&] { return vote(a, "1", "alice", "host-a"); },
       "42501"},
      {"a host's binding",
       [&] {
         return a.exec(
             "UPDATE kelvane_approval.hosts SET role_name = 'koa_host_a' "
             "WHERE host_name = 'host-b'");
       },
       "42501"},
      {"a new host",
       [&] {
         return a.exec(
             "INSERT INTO kelvane_approval.hosts (host_name, role_name) "
             "VALUES ('host-z', 'koa_host_a')");
       },
       "42501"},
      {"a vote rewritten",
       [&] { return a.exec("UPDATE kelvane_approval.votes SET approve = false"); }, "42501"},
      {"the schema version",
       [&] { return a.exec("UPDATE kelvane_approval.schema_version SET version = 9"); }, "42501"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.what);
    auto result = c.attempt();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().sqlstate, c.sqlstate) << result.error().message;
  }
  // Updating or deleting host-b's request matches no row for host-a.
  EXPECT_EQ(sql(a,
                "UPDATE kelvane_approval.requests SET state = 'expired' WHERE id = '2' "
                "RETURNING id")
                .count(),
            0);
  EXPECT_EQ(sql(a, "DELETE FROM kelvane_approval.requests WHERE id = '2' RETURNING id").count(), 0);
  // Nor host-b's token keys or revocations.
  EXPECT_EQ(sql(a,
                "UPDATE kelvane_approval.hosts SET public_keys = '{}', revoked = '{x}', "
                "token_lifetime = 1 WHERE host_name = 'host-b' RETURNING 1")
                .count(),
            0);
  // What it may do: vote on host-b's request as its own operator, and see
  // every host's requests.
  ASSERT_TRUE(vote(a, "2", "carol", "host-a").ok());
  EXPECT_EQ(sql(a, "SELECT count(*) FROM kelvane_approval.requests").number(0, 0), 3u);
}

// One person, one vote, whatever a host's role writes with direct SQL: a
// login name is one person on every host, a uid on its own host.
TEST_F(RowSecurity, OnePersonVotesOnceAndNeverOnTheirOwnRequest) {
  fleet::Connection& a = *a_;
  fleet::Connection& b = *b_;
  ASSERT_TRUE(vote(a, "2", "carol", "host-a").ok());  // uid 1001 on host-a
  const struct {
    const char* what;
    std::function<Result<fleet::Rows, fleet::DbError>()> attempt;
    const char* sqlstate;
  } cases[] = {
      {"the requester's name through another host", [&] { return vote(b, "1", "alice", "host-b"); },
       "42501"},
      {"the requester's uid at the requesting host under another name",
       [&] {
         return a.exec(
             "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
             "operator_host, approve, at) VALUES ('1', 'alice-admin', 1000, 'host-a', true, 'x')");
       },
       "42501"},
      {"carol again through another host", [&] { return vote(b, "2", "carol", "host-b"); },
       "23505"},
      {"carol's uid again under another name", [&] { return vote(a, "2", "carol2", "host-a"); },
       "23505"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto result = c.attempt();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().sqlstate, c.sqlstate) << result.error().message;
  }
  // Request 2 (bob's, approvals 1) was approved by nobody yet: count_votes
  // is what turns votes into a verdict.
  EXPECT_EQ(sql(a, "SELECT kelvane_approval.count_votes('2')").text(0, 0), "approved");
  // A vote written around row-level security (by the schema's owner) for
  // the requester never counts.
  sql(*b_,
      "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, action, "
      "requester, source_host, target_host, timeout_secs, created_at, verified_uid, "
      "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, peer_executable, "
      "needed) VALUES ('6', 'host-b', 'pending', 't', '', 'a', 'bob', 'h', 'h', 60, 'x', 1000, "
      "'bob', false, 1, 1, 1, 'n', '/x', 1)");
  sql(db_->admin(),
      "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
      "operator_host, approve, at) VALUES ('6', 'bob', 7, 'host-a', true, 'x')");
  EXPECT_EQ(sql(a, "SELECT kelvane_approval.count_votes('6')").text(0, 0), "pending");
}

TEST_F(RowSecurity, AVerdictOnceReachedNeverChanges) {
  sql(*a_, "UPDATE kelvane_approval.requests SET state = 'expired' WHERE id = '1'");
  auto again = a_->exec("UPDATE kelvane_approval.requests SET state = 'approved' WHERE id = '1'");
  ASSERT_FALSE(again.ok());
  EXPECT_NE(again.error().message.find("already expired"), std::string::npos);
  // Nor may a vote be added to it.
  auto late = vote(*b_, "1", "bob", "host-b");
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error().sqlstate, "42501");
}

}  // namespace
}  // namespace kelvane::fleet_test
