// Moving a host's SQLite record into the fleet's database with
// `--migrate --import-sqlite`, as the administrator does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "approvald/harness.h"
#include "fleet/fleet_database.h"
#include "fleet/postgres_server.h"
#include "service/store.h"

namespace kelvane::fleet_test {
namespace {

service::RequestRecord record(const std::string& id, const std::string& state) {
  service::RequestRecord r;
  r.id = id;
  r.state = state;
  r.title = "title " + id;
  r.action = "run";
  r.requester = "alice";
  r.source_host = "h";
  r.target_host = "h";
  r.timeout_secs = 60;
  r.created_at = "2026-12-01T10:00:0" + id + "Z";
  if (state != "pending") r.decided_at = "2026-12-01T10:01:00Z";
  if (state != "pending") r.detail_of_verdict = state == "denied" ? "no" : "";
  r.verified_uid = 1000;
  r.verified_user = "alice";
  r.peer = {1000, 1000, 7, "client", "/usr/bin/client"};
  return r;
}

TEST(ImportSqlite, CopiesAHostsRecordOnceAndRefusesAnUnboundHost) {
  KOA_REQUIRE_POSTGRES(server);
  FleetDatabase db(*server, /*migrate=*/false);
  testing::TempDir dir;
  {
    auto store = service::Store::open(dir.path());
    ASSERT_TRUE(store.ok()) << store.error();
    service::Store& s = *store.value();
    ASSERT_TRUE(s.begin().ok());
    for (const auto& [id, state] : std::vector<std::pair<std::string, std::string>>{
             {"1", "approved"}, {"2", "denied"}, {"3", "pending"}}) {
      ASSERT_TRUE(s.insert_request(record(id, "pending")).ok());
      if (state != "pending") {
        ASSERT_TRUE(
            s.close_request(id, state, "2026-12-01T10:01:00Z", state == "denied" ? "no" : "").ok());
      }
    }
    ASSERT_TRUE(
        s.add_vote("1", {"bob", 1001, true, std::nullopt, "2026-12-01T10:00:30Z", std::nullopt})
            .ok());
    ASSERT_TRUE(
        s.add_vote("2", {"", 1002, false, "no", "2026-12-01T10:00:40Z", std::nullopt}).ok());
    // A second account named bob, which the record took as a second person.
    ASSERT_TRUE(
        s.add_vote("1", {"bob", 5001, true, std::nullopt, "2026-12-01T10:00:35Z", std::nullopt})
            .ok());
    ASSERT_TRUE(s.commit().ok());
  }
  const std::string record_path = dir.file("record.sqlite3");
  const std::string conn = dir.file("admin.conn");
  testing::write_file(conn, db.admin_conninfo());
  ::chmod(conn.c_str(), 0600);
  const std::string config = dir.file("service.toml");
  testing::write_file(config, "host_name = \"old-host\"\n");
  auto import = [&] {
    approvald_test::Process run({KOA_DAEMON_PATH, "--migrate", "--connection-file", conn,
                                 "--config", config, "--import-sqlite", record_path},
                                {});
    return run.wait();
  };

  // The host is not bound yet: the schema is made, nothing is imported.
  const approvald_test::Finished unbound = import();
  EXPECT_EQ(unbound.status, 1);
  EXPECT_NE(unbound.err.find("nothing imported: host \"old-host\" is not in"), std::string::npos)
      << unbound.err;
  EXPECT_EQ(sql(db.admin(), "SELECT count(*) FROM kelvane_approval.requests").number(0, 0), 0u);

  db.add_host("old-host");
  const approvald_test::Finished first = import();
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("imported 3 requests and 2 votes as host old-host (0 already there); "
                           "1 second votes of one person set aside"),
            std::string::npos)
      << first.out;
  EXPECT_EQ(sql(db.admin(),
                "SELECT operator_user || ' ' || operator_uid FROM "
                "kelvane_approval.votes_set_aside")
                .text(0, 0),
            "bob 5001");
  const approvald_test::Finished again = import();
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("imported 0 requests and 0 votes as host old-host (3 already there)"),
            std::string::npos)
      << again.out;

  auto rows = sql(db.admin(),
                  "SELECT id || ' ' || host_name || ' ' || state || ' ' || "
                  "coalesce(detail_of_verdict, '-') FROM kelvane_approval.requests ORDER BY id");
  ASSERT_EQ(rows.count(), 3);
  EXPECT_EQ(rows.text(0, 0), "1 old-host approved ");
  EXPECT_EQ(rows.text(1, 0), "2 old-host denied no");
  EXPECT_EQ(rows.text(2, 0), "3 old-host abandoned the service stopped while the request waited");
  auto votes = sql(db.admin(),
                   "SELECT operator_user || '@' || operator_host FROM kelvane_approval.votes "
                   "ORDER BY request_id");
  ASSERT_EQ(votes.count(), 2);
  EXPECT_EQ(votes.text(0, 0), "bob@old-host");
  EXPECT_EQ(votes.text(1, 0), "uid 1002@old-host");

  // Not a record file: refused, not made.
  approvald_test::Process wrong({KOA_DAEMON_PATH, "--migrate", "--connection-file", conn,
                                 "--config", config, "--import-sqlite", dir.file("other.db")},
                                {});
  const approvald_test::Finished refused = wrong.wait();
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("not a record file"), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace kelvane::fleet_test
