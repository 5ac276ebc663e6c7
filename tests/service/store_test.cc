#include "service/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

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

const VoteRecord kSignedVote{"bob",
                             1001,
                             true,
                             "fine",
                             "2026-12-07T08:01:00Z",
                             "web2",
                             "-----BEGIN SSH SIGNATURE-----\n...",
                             "SHA256:abc",
                             1'765'094'460};

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
    ASSERT_TRUE(store.add_vote(first_id, kSignedVote).ok());
    ASSERT_TRUE(store
                    .add_vote(first_id, {"carol", 1002, false, std::nullopt, "2026-12-07T08:02:00Z",
                                         std::nullopt})
                    .ok());
    ASSERT_TRUE(store.close_request(first_id, "denied", "2026-12-07T08:02:00Z", "no").ok());
    ASSERT_TRUE(store.commit().ok());
    EXPECT_FALSE(store.close_request("999", "denied", "x", "y").ok());
  }
  const std::string path = dir.file("record.sqlite3");
  EXPECT_EQ(pragma(path, "PRAGMA user_version"), "4");
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
  // A signed vote keeps its signature, key and signing time.
  EXPECT_EQ(denied.votes[0], kSignedVote);
  EXPECT_FALSE(denied.votes[1].reason);
  EXPECT_FALSE(denied.votes[1].signature || denied.votes[1].key_fingerprint ||
               denied.votes[1].signed_at);
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

// A record written by the first release (schema version 1), as it wrote it.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE meta (
  key TEXT PRIMARY KEY,
  value INTEGER NOT NULL
);
CREATE TABLE requests (
  id INTEGER PRIMARY KEY,
  state TEXT NOT NULL,
  title TEXT NOT NULL,
  detail TEXT NOT NULL,
  action TEXT NOT NULL,
  requester TEXT NOT NULL,
  source_host TEXT NOT NULL,
  target_host TEXT NOT NULL,
  operation_digest TEXT,
  context TEXT,
  timeout_secs INTEGER NOT NULL,
  created_at TEXT NOT NULL,
  decided_at TEXT,
  verified_uid INTEGER NOT NULL,
  verified_user TEXT NOT NULL,
  via_sudo INTEGER NOT NULL,
  peer_uid INTEGER NOT NULL,
  peer_gid INTEGER NOT NULL,
  peer_pid INTEGER NOT NULL,
  peer_name TEXT NOT NULL,
  peer_executable TEXT NOT NULL,
  needed INTEGER NOT NULL,
  detail_of_verdict TEXT
);
CREATE INDEX requests_by_creation ON requests (created_at);
CREATE INDEX requests_by_state ON requests (state);
CREATE TABLE votes (
  request_id INTEGER NOT NULL REFERENCES requests (id) ON DELETE CASCADE,
  operator TEXT NOT NULL,
  uid INTEGER NOT NULL,
  approve INTEGER NOT NULL,
  reason TEXT,
  at TEXT NOT NULL
);
CREATE INDEX votes_by_request ON votes (request_id);
INSERT INTO meta (key, value) VALUES ('node', 5), ('next_sequence', 10);
INSERT INTO requests VALUES (7, 'approved', 'T', 'D', 'a', 'r', 's', 't', NULL, NULL, 60,
  '2026-12-01T00:00:00Z', '2026-12-01T00:01:00Z', 1000, 'alice', 0, 1000, 1000, 5, 'n', '/e', 1,
  'approved by bob');
INSERT INTO votes VALUES (7, 'bob', 1001, 1, NULL, '2026-12-01T00:01:00Z');
PRAGMA user_version=1;
)sql";

TEST(Store, UpgradesAVersion1RecordInPlace) {
  testing::TempDir dir;
  const std::string path = dir.file("record.sqlite3");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, kVersion1, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  {
    auto opened = Store::open(dir.path());
    ASSERT_TRUE(opened.ok()) << opened.error();
    Store& store = *opened.value();
    const auto old = store.find("7");
    ASSERT_TRUE(old.ok() && old.value()) << (old.ok() ? "absent" : old.error());
    EXPECT_EQ(old.value()->state, "approved");
    EXPECT_EQ(old.value()->votes.size(), 1u);
    EXPECT_FALSE(old.value()->votes[0].host);  // cast before votes had hosts
    EXPECT_FALSE(old.value()->rule);
    EXPECT_FALSE(old.value()->reused_from);
    // The sequence goes on where version 1 left it.
    ASSERT_TRUE(store.begin().ok());
    EXPECT_EQ(store.reserve_ids(1).value(), (std::uint64_t{5} << 39) | 10);
    RequestRecord reused = request("11", "2026-12-02T00:00:00Z");
    reused.state = "approved";
    reused.rule = "db-hosts";
    reused.reused_from = "7";
    ASSERT_TRUE(store.insert_request(reused).ok());
    ASSERT_TRUE(store.commit().ok());
  }
  EXPECT_EQ(pragma(path, "PRAGMA user_version"), "4");
  EXPECT_EQ(pragma(path, "PRAGMA integrity_check"), "ok");
  auto opened = Store::open(dir.path());  // opening again changes nothing
  ASSERT_TRUE(opened.ok()) << opened.error();
  const auto again = opened.value()->find("11");
  ASSERT_TRUE(again.ok() && again.value());
  EXPECT_EQ(again.value()->rule, "db-hosts");
  EXPECT_EQ(again.value()->reused_from, "7");
  EXPECT_EQ(opened.value()->history(std::nullopt).value().size(), 2u);
}

TEST(Store, RefusesFilesItDoesNotKnow) {
  testing::TempDir dir;
  const std::string path = dir.file("record.sqlite3");
  const std::pair<const char*, const char*> cases[] = {
      {"PRAGMA user_version=5", "schema version 5"},
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

// Durable (synchronous=FULL on the connection that commits: NORMAL can lose
// the last commits at a power cut) and private: the record, its log and its
// shared-memory file are readable by their owner only, whatever the umask
// and the folder's mode; a file left readable by an earlier version is made
// private, and a link put in the record's place is refused, not followed.
TEST(Store, OpensTheRecordDurableAndPrivate) {
  testing::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const mode_t old_mask = ::umask(0);
  auto opened = Store::open(dir.path());
  ::umask(old_mask);
  ASSERT_TRUE(opened.ok()) << opened.error();
  EXPECT_EQ(opened.value()->synchronous_level().value(), 2u);  // FULL
  ASSERT_TRUE(opened.value()->begin().ok());
  ASSERT_TRUE(opened.value()->insert_request(request("1", "2026-01-01T00:00:00Z")).ok());
  ASSERT_TRUE(opened.value()->commit().ok());
  EXPECT_EQ(pragma(dir.file("record.sqlite3"), "PRAGMA journal_mode"), "wal");
  for (const char* name : {"record.sqlite3", "record.sqlite3-wal", "record.sqlite3-shm"}) {
    struct stat status {};
    ASSERT_EQ(::lstat(dir.file(name).c_str(), &status), 0) << name;
    EXPECT_EQ(status.st_mode & 077, 0u) << name << " mode " << std::oct << status.st_mode;
  }
  opened.value().reset();

  ASSERT_EQ(::chmod(dir.file("record.sqlite3").c_str(), 0644), 0);
  ASSERT_TRUE(Store::open(dir.path()).ok());
  struct stat loose {};
  ASSERT_EQ(::stat(dir.file("record.sqlite3").c_str(), &loose), 0);
  EXPECT_EQ(loose.st_mode & 0777, 0600u);

  testing::TempDir linked;
  testing::write_file(linked.file("target"), "mine");
  ASSERT_EQ(::chmod(linked.file("target").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(linked.file("target").c_str(), linked.file("record.sqlite3").c_str()), 0);
  auto refused = Store::open(linked.path());
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find("is a link"), std::string::npos) << refused.error();
  struct stat target {};
  ASSERT_EQ(::stat(linked.file("target").c_str(), &target), 0);
  EXPECT_EQ(target.st_mode & 0777, 0644u);
  EXPECT_EQ(testing::read_file(linked.file("target")), "mine");
}

}  // namespace
}  // namespace kelvane::service

namespace kelvane::service {
namespace {

// A history read in pages gives every request once, in the order of the
// whole, with its votes, however the pages fall (two requests share a
// second); newest_start finds where the newest N begin.
TEST(Store, HistoryPagesAndTheNewestN) {
  testing::TempDir dir;
  auto opened = Store::open(dir.path());
  ASSERT_TRUE(opened.ok()) << opened.error();
  Store& store = *opened.value();
  ASSERT_TRUE(store.begin().ok());
  const char* times[] = {"2026-12-07T08:00:00Z", "2026-12-07T08:00:00Z", "2026-12-07T09:00:00Z",
                         "2026-12-07T10:00:00Z", "2026-12-07T11:00:00Z"};
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(store.insert_request(request(std::to_string(10 + i), times[i])).ok());
  ASSERT_TRUE(
      store.add_vote("11", {"bob", 1001, true, "fine", "2026-12-07T08:01:00Z", std::nullopt}).ok());
  ASSERT_TRUE(store.commit().ok());

  for (std::size_t page = 1; page <= 6; ++page) {
    SCOPED_TRACE(page);
    std::vector<std::string> ids;
    Store::HistoryPlace from{"", 0};
    for (;;) {
      auto read = store.history_page(from, page);
      ASSERT_TRUE(read.ok()) << read.error();
      for (const auto& r : read.value()) {
        ids.push_back(r.id);
        if (r.id == "11") {
          EXPECT_EQ(r.votes.size(), 1u);
        }
      }
      if (read.value().size() < page) break;
      from = {read.value().back().created_at, std::stoull(read.value().back().id) + 1};
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"10", "11", "12", "13", "14"}));
  }
  const auto newest = store.newest_start("", 2);
  ASSERT_TRUE(newest.ok() && newest.value());
  EXPECT_EQ(newest.value()->id, 13u);
  EXPECT_EQ(store.newest_start("", 5).value()->id, 10u);  // all five
  EXPECT_FALSE(store.newest_start("", 6).value());        // fewer than 6: from the start
  EXPECT_FALSE(store.newest_start("2026-12-07T10:30:00Z", 2).value());
}

// Refusal counts add up per minute and owner, and go with the requests of
// their time when the record is pruned.
TEST(Store, AcceptRefusalCountsAddUpAndArePruned) {
  testing::TempDir dir;
  auto opened = Store::open(dir.path());
  ASSERT_TRUE(opened.ok()) << opened.error();
  Store& store = *opened.value();
  ASSERT_TRUE(store.begin().ok());
  ASSERT_TRUE(store
                  .add_accept_refusals({{"2026-12-07T08:00Z", 1000, 0, 5},
                                        {"2026-12-07T08:00Z", 0, 4026532175, 2},
                                        {"2026-12-07T09:00Z", 1000, 0, 1}})
                  .ok());
  ASSERT_TRUE(store.add_accept_refusals({{"2026-12-07T08:00Z", 1000, 0, 7}}).ok());
  const auto before = store.accept_refusals();
  ASSERT_TRUE(before.ok()) << before.error();
  ASSERT_EQ(before.value().size(), 3u);
  EXPECT_EQ(before.value()[0].user_namespace, 4026532175u);  // uid 0 sorts first
  EXPECT_EQ(before.value()[1].count, 12u);
  ASSERT_TRUE(store.prune("2026-12-07T08:30:00Z").ok());
  ASSERT_TRUE(store.commit().ok());
  const auto counts = store.accept_refusals();
  ASSERT_TRUE(counts.ok()) << counts.error();
  ASSERT_EQ(counts.value().size(), 1u);
  EXPECT_EQ(counts.value()[0].minute, "2026-12-07T09:00Z");
  ASSERT_TRUE(store.begin().ok());
  ASSERT_TRUE(store.add_accept_refusals({{"2026-12-07T09:00Z", 1000, 0, 4}}).ok());
  ASSERT_TRUE(store.commit().ok());
  EXPECT_EQ(store.accept_refusals().value()[0].count, 5u);
}

}  // namespace
}  // namespace kelvane::service
