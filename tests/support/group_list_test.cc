#include "support/group_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace kelvane {
namespace {

// One answer of the stand-in database: what it returns, the count it
// reports, and how many groups it holds (gids 1000, 1001, ...).
struct Answer {
  int returns;
  int count;
  int holds;
};

std::vector<Answer> g_script;
std::size_t g_next = 0;

int scripted(const char*, gid_t, gid_t* groups, int* count) {
  if (g_next >= g_script.size()) {
    ADD_FAILURE() << "called once too often";
    return -1;
  }
  const Answer& a = g_script[g_next++];
  for (int i = 0; i < std::min(a.holds, *count); ++i) groups[i] = static_cast<gid_t>(1000 + i);
  *count = a.count;
  return a.returns;
}

std::vector<gid_t> first(int n) {
  std::vector<gid_t> gids(static_cast<std::size_t>(n));
  std::iota(gids.begin(), gids.end(), gid_t{1000});
  return gids;
}

// A list that cannot be had is an error, never a short list padded with
// zeros (gid 0 is root's group).
TEST(GroupList, WholeListOrError) {
  const struct {
    const char* name;
    std::vector<Answer> script;
    std::optional<int> groups;  // nullopt: an error
  } cases[] = {
      {"fits at once", {{3, 3, 3}}, 3},
      {"needs a larger buffer", {{-1, 70, 70}, {70, 70, 70}}, 70},
      {"grew between two calls", {{-1, 70, 80}, {-1, 80, 80}, {80, 80, 80}}, 80},
      {"second call fails as well", {{-1, 70, 70}, {-1, 70, 70}}, std::nullopt},
      {"keeps growing", {{-1, 70, 0}, {-1, 80, 0}, {-1, 90, 0}, {-1, 100, 0}}, std::nullopt},
      {"fails without a larger count", {{-1, 64, 0}}, std::nullopt},
      {"fails with a negative count", {{-1, -1, 0}}, std::nullopt},
      {"an absurd count", {{-1, 1 << 30, 0}}, std::nullopt},
      {"more listed than the room", {{100, 100, 64}}, std::nullopt},
  };
  for (const auto& c : cases) {
    g_script = c.script;
    g_next = 0;
    auto listed = group_list("alice", 1000, scripted);
    EXPECT_EQ(g_next, c.script.size()) << c.name;
    if (!c.groups) {
      ASSERT_FALSE(listed.ok()) << c.name;
      EXPECT_NE(listed.error().find("\"alice\""), std::string::npos) << c.name;
    } else {
      ASSERT_TRUE(listed.ok()) << c.name << ": " << listed.error();
      EXPECT_EQ(listed.value(), first(*c.groups)) << c.name;
    }
  }
}

TEST(GroupList, RootIsInItsOwnGroup) {
  auto listed = group_list("root", 0);
  ASSERT_TRUE(listed.ok()) << listed.error();
  EXPECT_NE(std::find(listed.value().begin(), listed.value().end(), gid_t{0}),
            listed.value().end());
}

}  // namespace
}  // namespace kelvane
