#include "service/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "testing/service.h"

namespace kelvane::service {
namespace {

RequestRecord request(std::string id, std::string created_at) {
  RequestRecord r;
  r.id = std::move(id);
  r.state = "pending";
  r.title = "Reboot";
  r.detail = "d";
  r.action = "reboot";
  r.requester = "alice";
  r.source_host = "a";
  r.target_host = "b";
  r.context = R"({"x":[1,2]})";
  r.timeout_secs = 60;
  r.created_at = std::move(created_at);
  r.verified_uid = 1000;
  r.verified_user = "alice";
  r.peer = {1000, 1000, 77, "approve", "/usr/bin/approve"};
  r.needed = 2;
  return r;
}

// What sqlite3 itself reports of the file, through a connection of its own.
std::string pragma(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  std::string out;
  if (sqlite3_step(stmt) == SQLITE_ROW)
    out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return out;
}

TEST(Store, KeepsRequestsVotesAndVerdictsAcrossReopening) {
  testing::TempDir dir;
  std::string first_id;
  {
    auto opened = Store::open(dir.path());
    ASSERT_TRUE(opened.ok()) << opened.error();
    Store& store = *opened.value();
    ASSERT_TRUE(store.begin().ok());
    const std::uint64_t first = store.reserve_ids(2).value();
    first_id = std::to_string(first);
    ASSERT_TRUE(store.insert_request(request(first_id, "2026-12-07T08:00:00Z")).ok());
    ASSERT_TRUE(
        store.insert_request(request(std::to_string(first + 1), "2026-12-07T09:00:00Z")).ok());
    ASSERT_TRUE(store.add_vote(first_id, {"bob", 1001, true, "fine", "2026-12-07T08:01:00Z"}).ok());
    ASSERT_TRUE(
        store.add_vote(first_id, {"carol", 1002, false, std::nullopt, "2026-12-07T08:02:00Z"})
            .ok());
    ASSERT_TRUE(store.close_request(first_id, "denied", "2026-12-07T08:02:00Z", "no").ok());
    ASSERT_TRUE(store.commit().ok());
    EXPECT_FALSE(store.close_request("999", "denied", "x", "y").ok());
  }
  const std::string path = dir.file("record.sqlite3");
  EXPECT_EQ(pragma(path, "PRAGMA user_version"), "1");
  EXPECT_EQ(pragma(path, "PRAGMA journal_mode"), "wal");

  auto opened = Store::open(dir.path());
  ASSERT_TRUE(opened.ok()) << opened.error();
  Store& store = *opened.value();
  ASSERT_TRUE(store.begin().ok());
  // Ids go on from where the last run stopped, in the same node.
  const std::uint64_t next = store.reserve_ids(1).value();
  EXPECT_EQ(next, std::stoull(first_id) + 2);
  EXPECT_EQ(store.abandon_pending("2026-12-07T10:00:00Z").value(), 1u);
  ASSERT_TRUE(store.commit().ok());

  const auto all = store.history(std::nullopt);
  ASSERT_TRUE(all.ok()) << all.error();
  ASSERT_EQ(all.value().size(), 2u);
  const RequestRecord& denied = all.value()[0];
  EXPECT_EQ(denied.id, first_id);
  EXPECT_EQ(denied.state, "denied");
  EXPECT_EQ(denied.detail_of_verdict, "no");
  ASSERT_EQ(denied.votes.size(), 2u);
  EXPECT_EQ(denied.votes[0], (VoteRecord{"bob", 1001, true, "fine", "2026-12-07T08:01:00Z"}));
  EXPECT_FALSE(denied.votes[1].reason);
  RequestRecord expected = request(first_id, "2026-12-07T08:00:00Z");
  expected.state = "denied";
  expected.decided_at = "2026-12-07T08:02:00Z";
  expected.detail_of_verdict = "no";
  expected.votes = denied.votes;
  EXPECT_EQ(denied, expected);
  EXPECT_EQ(all.value()[1].state, "abandoned");
  EXPECT_EQ(all.value()[1].detail_of_verdict, "the service stopped before a verdict was recorded");

  EXPECT_EQ(store.history(std::string("2026-12-07T08:30:00Z")).value().size(), 1u);
  EXPECT_EQ(store.find(first_id).value()->votes.size(), 2u);
  EXPECT_FALSE(store.find("5").value());

  ASSERT_TRUE(store.begin().ok());
  EXPECT_EQ(store.prune("2026-12-07T08:30:00Z").value(), 1u);
  ASSERT_TRUE(store.commit().ok());
  EXPECT_EQ(store.history(std::nullopt).value().size(), 1u);
  EXPECT_EQ(pragma(path, "SELECT count(*) FROM votes"), "0");
  EXPECT_EQ(store.integrity_check().value(), "ok");
  EXPECT_GT(store.file_bytes(), 0u);
}

TEST(Store, RefusesFilesItDoesNotKnow) {
  testing::TempDir dir;
  const std::string path = dir.file("record.sqlite3");
  const std::pair<const char*, const char*> cases[] = {
      {"PRAGMA user_version=2", "schema version 2"},
      {"CREATE TABLE t (x)", "no schema version"},
  };
  for (const auto& [sql, message] : cases) {
    ::unlink(path.c_str());
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    auto opened = Store::open(dir.path());
    ASSERT_FALSE(opened.ok()) << sql;
    EXPECT_NE(opened.error().find(message), std::string::npos) << opened.error();
  }
  auto missing = Store::open(dir.file("no/such/dir"));
  EXPECT_FALSE(missing.ok());
}

}  // namespace
}  // namespace kelvane::service
