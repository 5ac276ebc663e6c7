#include "service/config.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "testing/service.h"

namespace kelvane::service {
namespace {

TEST(Config, ReadsEveryKey) {
  const auto config = parse_config(R"(
approvers = ["alice", "@ops"]
auditors = ["audit"]
approvals = 2
max_pending_per_user = 4
max_pending = 100
default_timeout = 60
max_timeout = 120
token_lifetime = 30
keep_days = 7
socket = "/run/a.sock"
operator_socket = "/run/a/operators.sock"
state_dir = "/var/lib/a"
operator_keys = "/etc/a/operator_keys"
require_signed_votes = true
require_touch = true
)",
                                   "service.toml");
  ASSERT_TRUE(config.ok()) << config.error();
  Config expected;
  expected.approvers = {"alice", "@ops"};
  expected.auditors = {"audit"};
  expected.approvals = 2;
  expected.max_pending_per_user = 4;
  expected.max_pending = 100;
  expected.default_timeout = 60;
  expected.max_timeout = 120;
  expected.token_lifetime = 30;
  expected.keep_days = 7;
  expected.socket = "/run/a.sock";
  expected.operator_socket = "/run/a/operators.sock";
  expected.state_dir = "/var/lib/a";
  expected.operator_keys = "/etc/a/operator_keys";
  expected.require_signed_votes = true;
  expected.require_touch = true;
  EXPECT_EQ(config.value(), expected);
  EXPECT_EQ(parse_config("", "empty.toml").value(), Config{});
}

TEST(Config, RefusesBadFilesWithPathLineAndColumn) {
  const std::pair<std::string, std::string> cases[] = {
      {"approvers = [\"a\"]\n  aprovers = []\n", "s.toml:2:3: unknown key \"aprovers\""},
      {"[approvers]\nx = 1\n", "s.toml:1:1: approvers must be an array"},
      {"[table]\nx = 1\n", "s.toml:1:2: unknown key \"table\""},
      {"approvals = 0\n", "s.toml:1:13: approvals must be a whole number from 1"},
      {"approvals = -3\n", "s.toml:1:13: approvals must be"},
      {"approvals = \"2\"\n", "s.toml:1:13: approvals must be"},
      {"max_timeout = 1.5\n", "s.toml:1:15: max_timeout must be"},
      {"approvers = \"alice\"\n", "s.toml:1:13: approvers must be an array"},
      {"approvers = [\"alice\", 3]\n", "s.toml:1:23: approvers takes user names"},
      {"auditors = [\"a b\"]\n", "s.toml:1:13: auditors takes user names"},
      {"auditors = [\"@\"]\n", "auditors takes user names"},
      {"socket = \"relative.sock\"\n", "s.toml:1:10: socket must be an absolute path"},
      {"approvals = \n", "s.toml:1:"},
      {"a = [1,\n", "s.toml:"},
      {"default_timeout = 10\nmax_timeout = 5\n", "default_timeout (10) is longer than"},
      {"approvals = 1\napprovals = 2\n", "s.toml:2:"},
      {"\xff = 1\n", "not UTF-8"},
      {"require_signed_votes = 1\n", "s.toml:1:24: require_signed_votes must be true or false"},
      {"require_touch = \"yes\"\n", "s.toml:1:17: require_touch must be true or false"},
      {"operator_keys = \"keys\"\n", "operator_keys must be an absolute path"},
      {"require_signed_votes = true\n",
       "require_signed_votes and require_touch need operator_keys"},
      {"require_touch = true\n", "need operator_keys"},
      {"operator_keys = \"/k\"\nstore = \"postgresql\"\nconnection_file = \"/c\"\n",
       "operator_keys is not supported with store = \"postgresql\""},
  };
  for (const auto& [text, message] : cases) {
    const auto config = parse_config(text, "s.toml");
    ASSERT_FALSE(config.ok()) << text;
    EXPECT_NE(config.error().find(message), std::string::npos) << text << " -> " << config.error();
  }
}

TEST(Config, AMissingFileIsAnErrorOnlyWhenNamed) {
  testing::TempDir dir;
  EXPECT_EQ(load_config(dir.file("absent.toml"), false).value(), Config{});
  const auto named = load_config(dir.file("absent.toml"), true);
  ASSERT_FALSE(named.ok());
  EXPECT_NE(named.error().find("absent.toml: No such file"), std::string::npos) << named.error();
  testing::write_file(dir.file("s.toml"), "approvals = 3\n");
  EXPECT_EQ(load_config(dir.file("s.toml"), true).value().approvals, 3u);
}

// Every number has a range. Below it is an error; above it, a value an
// earlier version took, it is brought down to the range's end with a
// warning (the service still starts). keep_days = 0 keeps for ever.
TEST(Config, KeepsEveryNumberInItsRange) {
  struct Case {
    std::string text;
    std::uint64_t Config::*slot;
    std::uint64_t value;
    std::string warning;  // "" : none
  };
  const std::string huge = "9223372036854775807";
  const Case cases[] = {
      {"keep_days = 0\n", &Config::keep_days, 0, ""},
      {"keep_days = 36500\n", &Config::keep_days, 36500, ""},
      {"keep_days = " + huge + "\n", &Config::keep_days, 36500,
       "s.toml:1:13: keep_days = " + huge + " is above its range (0 to 36500); using 36500"},
      {"max_timeout = 31536000\n", &Config::max_timeout, 31536000, ""},
      {"max_timeout = " + huge + "\n", &Config::max_timeout, 31536000, "max_timeout = "},
      {"max_timeout = " + huge + "\ndefault_timeout = " + huge + "\n", &Config::default_timeout,
       31536000, "default_timeout = "},
      {"token_lifetime = 86400\n", &Config::token_lifetime, 86400, ""},
      {"token_lifetime = 86401\n", &Config::token_lifetime, 86400,
       "token_lifetime = 86401 is above its range (1 to 86400)"},
      {"notify_timeout = " + huge + "\n", &Config::notify_timeout, 3600, "notify_timeout = "},
      {"approvals = " + huge + "\n", &Config::approvals, 1000, "approvals = "},
      {"max_pending = " + huge + "\n", &Config::max_pending, 1000000, "max_pending = "},
      {"max_pending_per_user = 1000001\n", &Config::max_pending_per_user, 1000000,
       "max_pending_per_user = "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto config = parse_config(c.text, "s.toml");
    ASSERT_TRUE(config.ok()) << config.error();
    EXPECT_EQ(config.value().*c.slot, c.value);
    if (c.warning.empty()) {
      EXPECT_TRUE(config.value().warnings.empty()) << config.value().warnings.front();
    } else {
      ASSERT_FALSE(config.value().warnings.empty());
      EXPECT_NE(config.value().warnings.back().find(c.warning), std::string::npos)
          << config.value().warnings.back();
    }
  }
  // A rule's numbers alike.
  const auto rule = parse_config("[[rule]]\nname = \"x\"\neffect = \"ask\"\napprovals = " + huge +
                                     "\nmax_timeout = " + huge + "\nreuse_for = " + huge + "\n",
                                 "s.toml");
  ASSERT_TRUE(rule.ok()) << rule.error();
  EXPECT_EQ(rule.value().rules.at(0).approvals, kMaxApprovals);
  EXPECT_EQ(rule.value().rules.at(0).max_timeout, kMaxDurationSecs);
  EXPECT_EQ(rule.value().rules.at(0).reuse_for, kMaxDurationSecs);
  EXPECT_EQ(rule.value().warnings.size(), 3u);
}

// Pruning: keep_days back from now, never past the start of time however
// large the setting; nothing at all with keep_days = 0.
TEST(Config, PruneCutoffNeverOverflows) {
  Config config;
  const std::int64_t now = 1'800'000'000;
  config.keep_days = 0;
  EXPECT_EQ(prune_cutoff(config, now), std::nullopt);
  config.keep_days = 1;
  EXPECT_EQ(prune_cutoff(config, now), now - 86400);
  config.keep_days = parse_config("keep_days = 9223372036854775807\n", "s.toml").value().keep_days;
  ASSERT_TRUE(prune_cutoff(config, now).has_value());
  EXPECT_EQ(*prune_cutoff(config, now), now - std::int64_t{36500} * 86400);
}

}  // namespace
}  // namespace kelvane::service
