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

}  // namespace
}  // namespace kelvane::service
