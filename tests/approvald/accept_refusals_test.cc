// Refusals at accept: counted per owner and minute, one journal line per
// owner and minute, the rest summed up when the minute is over.
#include "accept_refusals.h"

#include <gtest/gtest.h>

namespace kelvane::approvald {
namespace {

constexpr std::time_t kMinute = 1796673600;  // 2026-12-07T20:00:00Z

TEST(AcceptRefusals, CountsPerOwnerAndMinuteAndLogsTheFirstOfEach) {
  AcceptRefusals refusals;
  const service::Accountable alice{1000, 0}, container{0, 4026532175};
  // (owner, second, logged one by one)
  const struct {
    service::Accountable owner;
    std::time_t at;
    bool logged;
  } steps[] = {
      {alice, kMinute, true},         {alice, kMinute + 5, false}, {alice, kMinute + 59, false},
      {container, kMinute + 1, true}, {alice, kMinute + 60, true},  // the next minute
  };
  for (const auto& step : steps)
    EXPECT_EQ(refusals.count(step.owner, step.at), step.logged) << step.at;

  const auto counts = refusals.take_unwritten();
  ASSERT_EQ(counts.size(), 3u);
  EXPECT_EQ(counts[0].minute, "2026-12-07T20:00Z");
  EXPECT_EQ(counts[0].uid, 0u);  // the namespace sorts first: uid 0
  EXPECT_EQ(counts[0].user_namespace, 4026532175u);
  EXPECT_EQ(counts[0].count, 1u);
  EXPECT_EQ(counts[1].uid, 1000u);
  EXPECT_EQ(counts[1].count, 3u);
  EXPECT_EQ(counts[2].minute, "2026-12-07T20:01Z");
  EXPECT_TRUE(refusals.take_unwritten().empty());  // handed over once

  // The first minute closes with one line for the two not logged.
  const auto lines = refusals.close_minutes(kMinute + 61);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "2 more connections of uid 1000 refused at accept in minute 2026-12-07T20:00Z (not "
            "logged one by one)");
  EXPECT_FALSE(refusals.idle());  // 20:01 is still open
  EXPECT_TRUE(refusals.close_minutes(kMinute + 120).empty());
  EXPECT_TRUE(refusals.idle());
}

}  // namespace
}  // namespace kelvane::approvald
