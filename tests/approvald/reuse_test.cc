// What an approval may be reused for, and for how long.
#include "reuse.h"

#include <gtest/gtest.h>

namespace kelvane::approvald {
namespace {

using namespace std::chrono_literals;

service::RequestRecord record(bool via_sudo, std::uint64_t peer_uid,
                              std::optional<std::string> digest) {
  service::RequestRecord r;
  r.verified_uid = 1000;
  r.via_sudo = via_sudo;
  r.peer.uid = peer_uid;
  r.operation_digest = std::move(digest);
  return r;
}

TEST(Reuse, KeysOnlyWhatTheServiceCanTrust) {
  const std::string line = R"({"id":"","title":"t"})";
  const auto sudo = ReuseCache::key_of(record(true, 0, "d1"), line, "r");
  const auto sudo_other_line = ReuseCache::key_of(record(true, 0, "d1"), "other", "r");
  ASSERT_TRUE(sudo && sudo_other_line);
  EXPECT_EQ(*sudo, *sudo_other_line);  // the plugin's digest is the operation
  EXPECT_NE(*sudo, *ReuseCache::key_of(record(true, 0, "d2"), line, "r"));
  EXPECT_NE(*sudo, *ReuseCache::key_of(record(true, 0, "d1"), line, "other-rule"));
  // A declared digest is not a key: the line is.
  const auto declared = ReuseCache::key_of(record(false, 1000, "d1"), line, "r");
  ASSERT_TRUE(declared);
  EXPECT_NE(*declared, *sudo);
  EXPECT_NE(*declared, *ReuseCache::key_of(record(false, 1000, "d1"), line + " ", "r"));
  EXPECT_EQ(*declared, *ReuseCache::key_of(record(false, 1000, "d2"), line, "r"));
  EXPECT_FALSE(ReuseCache::key_of(record(false, 1000, "d1"), "", "r"));
  // Another verified user never shares a key.
  service::RequestRecord other = record(false, 1001, std::nullopt);
  other.verified_uid = 1001;
  EXPECT_NE(*declared, *ReuseCache::key_of(other, line, "r"));
}

TEST(Reuse, TheWindowCountsFromTheApproval) {
  ReuseCache cache;
  const auto at = ReuseCache::Clock::now();
  cache.remember("k", {"17", {}, at});
  struct Case {
    std::chrono::milliseconds after;
    bool found;
  };
  for (const Case c :
       {Case{0ms, true}, Case{9999ms, true}, Case{10000ms, false}, Case{20000ms, false}}) {
    const auto found = cache.find("k", 10s, at + c.after);
    EXPECT_EQ(found.has_value(), c.found) << c.after.count();
    if (found) {
      EXPECT_EQ(found->id, "17");
    }
  }
  EXPECT_FALSE(cache.find("other", 10s, at));
}

TEST(Reuse, ForgetsTheOldestPastItsBounds) {
  ReuseCache cache;
  const auto at = ReuseCache::Clock::now();
  for (std::size_t i = 0; i < ReuseCache::kMaxEntries + 10; ++i)
    cache.remember(std::to_string(i), {std::to_string(i), {}, at});
  EXPECT_EQ(cache.size(), ReuseCache::kMaxEntries);
  EXPECT_FALSE(cache.find("0", 10s, at));
  EXPECT_TRUE(cache.find(std::to_string(ReuseCache::kMaxEntries + 9), 10s, at));
  const std::string big(ReuseCache::kMaxBytes / 2 + 1, 'x');
  cache.remember(big, {"a", {}, at});
  cache.remember(big + "y", {"b", {}, at});
  EXPECT_FALSE(cache.find(big, 10s, at));  // two of them do not fit
  EXPECT_TRUE(cache.find(big + "y", 10s, at));
}

}  // namespace
}  // namespace kelvane::approvald
