// The daemon's helpers off the loop: the name cache, the commit thread's
// order and deferral, checkpoints on a second connection.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "commit_thread.h"
#include "mailbox.h"
#include "name_cache.h"
#include "service/store.h"
#include "testing/service.h"

namespace kelvane::approvald {
namespace {

using namespace std::chrono_literals;

// A clock the test moves, and look-ups that count their calls.
struct FakeSystem {
  NameCache::Clock::time_point now{};
  std::map<uid_t, int> user_calls, identity_calls;
  std::map<uid_t, std::string> names{{1000, "alice"}, {1001, "bob"}};

  NameCache cache() {
    return NameCache(
        [this](uid_t uid) {
          ++user_calls[uid];
          return names.count(uid) ? names[uid] : std::string();
        },
        [this](uid_t uid, gid_t gid) {
          ++identity_calls[uid];
          return Identity{uid, names.count(uid) ? names[uid] : "", {"g" + std::to_string(gid)}};
        },
        [this] { return now; });
  }
};

TEST(NameCache, KeepsNamesForTheirLifetimeAndForgetsThemOnClear) {
  FakeSystem system;
  NameCache cache = system.cache();
  EXPECT_EQ(cache.kept_user_name(1000), std::nullopt);  // never looks up
  EXPECT_EQ(system.user_calls[1000], 0);

  struct Step {
    const char* what;
    std::chrono::seconds advance;
    bool clear;
    int calls_after;  // look-ups of uid 1000 so far
  };
  const Step steps[] = {
      {"first use looks up", 0s, false, 1},
      {"kept a moment later", 1s, false, 1},
      {"kept just before the end of its lifetime", NameCache::kLifetime - 2s, false, 1},
      {"looked up again at the end", 1s, false, 2},
      {"kept after that", 1s, false, 2},
      {"looked up again after a clear (SIGHUP)", 0s, true, 3},
  };
  for (const Step& step : steps) {
    system.now += step.advance;
    if (step.clear) cache.clear();
    EXPECT_EQ(cache.user_name(1000), "alice") << step.what;
    EXPECT_EQ(system.user_calls[1000], step.calls_after) << step.what;
    EXPECT_EQ(cache.kept_user_name(1000), "alice") << step.what;
  }
  // A uid without a name is kept as such, not asked about each time.
  EXPECT_EQ(cache.user_name(4242), "");
  EXPECT_EQ(cache.kept_user_name(4242), "");
  EXPECT_EQ(system.user_calls[4242], 1);
  // A renamed user is seen once the old name has expired.
  system.names[1000] = "alice2";
  EXPECT_EQ(cache.user_name(1000), "alice");
  system.now += NameCache::kLifetime;
  EXPECT_EQ(cache.kept_user_name(1000), std::nullopt);
  EXPECT_EQ(cache.user_name(1000), "alice2");
}

TEST(NameCache, KeepsAnOperatorsGroupsByUidAndGroup) {
  FakeSystem system;
  NameCache cache = system.cache();
  EXPECT_EQ(cache.identity(1001, 5).groups, std::vector<std::string>{"g5"});
  EXPECT_EQ(cache.identity(1001, 5).groups, std::vector<std::string>{"g5"});
  EXPECT_EQ(system.identity_calls[1001], 1);
  // Another primary group is another connection's facts.
  EXPECT_EQ(cache.identity(1001, 6).groups, std::vector<std::string>{"g6"});
  EXPECT_EQ(system.identity_calls[1001], 2);
  // The name came with it.
  EXPECT_EQ(cache.kept_user_name(1001), "bob");
  cache.clear();
  EXPECT_EQ(cache.identity(1001, 5).name, "bob");
  EXPECT_EQ(system.identity_calls[1001], 3);
  system.now += NameCache::kLifetime;
  (void)cache.identity(1001, 5);
  EXPECT_EQ(system.identity_calls[1001], 4);
}

service::RequestRecord row(std::uint64_t id) {
  service::RequestRecord r;
  r.id = std::to_string(id);
  r.state = "pending";
  r.created_at = "2026-12-07T08:00:00Z";
  r.peer = {1000, 1000, 77, "approve", "/usr/bin/approve"};
  r.needed = 1;
  return r;
}

// Runs what the commit thread posts until `done` says so, or 10 s pass.
template <typename Done>
bool serve_mailbox(Mailbox& mailbox, Done done) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    pollfd wait{mailbox.fd(), POLLIN, 0};
    if (::poll(&wait, 1, 100) > 0) mailbox.run_posted();
  }
  return true;
}

TEST(CommitThread, WritesDeferrableWorkInOrderAndAloneWithinItsLimit) {
  testing::TempDir dir;
  auto store = service::Store::open(dir.path());
  ASSERT_TRUE(store.ok()) << store.error();
  Mailbox mailbox;
  CommitThread commits(std::move(store).value(), mailbox);
  std::vector<std::string> heard;
  const auto insert = [](std::uint64_t id) {
    return [id](service::Store& s) { return s.insert_request(row(id)); };
  };
  const auto note = [&heard](std::string what) {
    return [&heard, what](const Result<void, std::string>& r) {
      heard.push_back(what + (r.ok() ? "" : " failed: " + r.error()));
    };
  };
  // Deferrable rows, then a verdict that closes the first: the verdict is
  // never reported (nor durable) before the rows queued ahead of it.
  commits.submit_deferrable(insert(1), note("row 1"));
  commits.submit_deferrable(insert(2), note("row 2"));
  commits.submit([](service::Store& s) { return s.close_request("1", "approved", "t", "ok"); },
                 note("verdict 1"));
  ASSERT_TRUE(serve_mailbox(mailbox, [&] { return heard.size() == 3; }));
  EXPECT_EQ(heard, (std::vector<std::string>{"row 1", "row 2", "verdict 1"}));

  // A deferrable row alone is still written, without anything after it.
  const auto started = std::chrono::steady_clock::now();
  commits.submit_deferrable(insert(3), note("row 3"));
  ASSERT_TRUE(serve_mailbox(mailbox, [&] { return heard.size() == 4; }));
  EXPECT_EQ(heard.back(), "row 3");
  EXPECT_GE(std::chrono::steady_clock::now() - started, CommitThread::kDeferLimit);
  EXPECT_EQ(commits.in_flight(), 0u);

  auto other = service::Store::open(dir.path());
  ASSERT_TRUE(other.ok());
  for (const char* id : {"1", "2", "3"}) {
    auto found = other.value()->find(id);
    ASSERT_TRUE(found.ok() && found.value()) << id;
    EXPECT_EQ(found.value()->state, std::string(id) == "1" ? "approved" : "pending") << id;
  }
}

// A job that fails after its first writes leaves none of them in the
// record, and the jobs of its group before and after it are still written.
TEST(CommitThread, AJobThatFailsHalfWayLeavesNoneOfItsWrites) {
  testing::TempDir dir;
  auto store = service::Store::open(dir.path());
  ASSERT_TRUE(store.ok()) << store.error();
  Mailbox mailbox;
  CommitThread commits(std::move(store).value(), mailbox);
  std::vector<std::string> heard;
  const auto note = [&heard](std::string what) {
    return [&heard, what](const Result<void, std::string>& r) {
      heard.push_back(what + (r.ok() ? "" : " failed"));
    };
  };
  // Deferred, so that the three ride in one transaction.
  commits.submit_deferrable([](service::Store& s) { return s.insert_request(row(1)); },
                            note("row 1"));
  commits.submit_deferrable(
      [](service::Store& s) -> Result<void, std::string> {
        if (auto written = s.insert_request(row(2)); !written.ok()) return written;
        if (auto closed = s.close_request("1", "approved", "t", "half"); !closed.ok())
          return closed;
        return fail(std::string("injected failure after two writes"));
      },
      note("half-way"));
  commits.submit([](service::Store& s) { return s.insert_request(row(3)); }, note("row 3"));
  ASSERT_TRUE(serve_mailbox(mailbox, [&] { return heard.size() == 3; }));
  EXPECT_EQ(heard, (std::vector<std::string>{"row 1", "half-way failed", "row 3"}));

  auto other = service::Store::open(dir.path());
  ASSERT_TRUE(other.ok());
  const struct {
    const char* id;
    const char* state;  // "" : absent
  } expected[] = {{"1", "pending"}, {"2", ""}, {"3", "pending"}};
  for (const auto& e : expected) {
    auto found = other.value()->find(e.id);
    ASSERT_TRUE(found.ok()) << e.id;
    EXPECT_EQ(found.value() ? found.value()->state : std::string(), e.state) << e.id;
  }
}

// The commit connection leaves checkpoints to another: its log grows until
// that one has copied it back, and then starts again from its beginning.
TEST(Store, ALogCheckpointedElsewhereStartsAgain) {
  testing::TempDir dir;
  auto writer = service::Store::open(dir.path());
  auto copier = service::Store::open(dir.path());
  ASSERT_TRUE(writer.ok() && copier.ok());
  service::Store& w = *writer.value();
  w.leave_checkpoints_to_others();
  const auto write_one = [&](std::uint64_t id) {
    ASSERT_TRUE(w.begin().ok());
    ASSERT_TRUE(w.insert_request(row(id)).ok());
    ASSERT_TRUE(w.commit().ok());
  };
  write_one(1);
  const int one = w.wal_pages();
  EXPECT_GT(one, 0);
  for (std::uint64_t id = 2; id <= 30; ++id) write_one(id);
  const int grown = w.wal_pages();
  EXPECT_GT(grown, one);
  ASSERT_TRUE(copier.value()->checkpoint().ok());
  write_one(31);
  EXPECT_LE(w.wal_pages(), one) << "grown to " << grown;
  auto found = copier.value()->find("31");
  ASSERT_TRUE(found.ok() && found.value());
}

}  // namespace
}  // namespace kelvane::approvald
