// The [[rule]] tables and the notify keys of service.toml: what reads, and
// every mistake reported with its file, line and column.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <utility>

#include "service/config.h"

namespace kelvane::service {
namespace {

TEST(ConfigRules, ReadsEveryKey) {
  const auto config = parse_config(R"(
notify = ["/usr/local/bin/page", "--channel", "ops"]
notify_user = "pager"
notify_timeout = 5

[[rule]]
name = "all"
effect = "ask"
user = "alice"
group = ["ops", "dev"]
command = "/usr/bin/*"
args = ["install", "**"]
run_as = ["root"]
action = "deploy*"
target_host = ["db*", "web*"]
approvals = 2
approvers = ["bob", "@security"]
max_timeout = 60
reuse_for = 600
notify = ["/bin/true"]

[[rule]]
name = "no"
effect = "deny"
reason = "never"
user = "zed"
args = []
)",
                                   "s.toml");
  ASSERT_TRUE(config.ok()) << config.error();
  const Config& c = config.value();
  EXPECT_EQ(c.notify, (std::vector<std::string>{"/usr/local/bin/page", "--channel", "ops"}));
  EXPECT_EQ(c.notify_user, "pager");
  EXPECT_EQ(c.notify_timeout, 5u);
  ASSERT_EQ(c.rules.size(), 2u);
  Rule all;
  all.name = "all";
  all.where = "s.toml:6:1";
  all.users = {"alice"};
  all.groups = {"ops", "dev"};
  all.commands = {"/usr/bin/*"};
  all.args = std::vector<std::string>{"install", "**"};
  all.run_as = {"root"};
  all.actions = {"deploy*"};
  all.target_hosts = {"db*", "web*"};
  all.effect = Effect::Ask;
  all.approvals = 2;
  all.approvers = {"bob", "@security"};
  all.max_timeout = 60;
  all.reuse_for = 600;
  all.notify = {"/bin/true"};
  EXPECT_EQ(c.rules[0], all);
  EXPECT_EQ(c.rules[1].effect, Effect::Deny);
  EXPECT_EQ(c.rules[1].args, std::vector<std::string>{});  // no arguments at all
  EXPECT_EQ(Config{}.notify_user, "nobody");
}

TEST(ConfigRules, RefusesMistakesWithTheirPlace) {
  const std::pair<std::string, std::string> cases[] = {
      {"[rule]\nname = \"x\"\n", "s.toml:1:1: rule must be written as [[rule]] tables"},
      {"rule = 3\n", "s.toml:1:8: rule must be written as [[rule]] tables"},
      {"[[rule]]\neffect = \"deny\"\nreason = \"r\"\n", "s.toml:1:1: a rule needs a name"},
      {"[[rule]]\nname = \"x\"\n", "s.toml:1:1: a rule needs an effect"},
      {"[[rule]]\nname = \"\"\neffect = \"deny\"\nreason = \"r\"\n",
       "s.toml:2:8: name must be printable text"},
      {"[[rule]]\nname = \"a\\nb\"\neffect = \"deny\"\nreason = \"r\"\n", "s.toml:2:8: name must"},
      {"[[rule]]\nname = \"x\"\neffect = \"allow\"\n",
       "s.toml:3:10: effect must be \"approve\", \"deny\" or \"ask\""},
      {"[[rule]]\nname = \"x\"\neffect = \"deny\"\n", "s.toml:1:1: a deny rule needs a reason"},
      {"[[rule]]\nname = \"x\"\neffect = \"deny\"\nreason = \"\"\n",
       "s.toml:4:10: reason must be a non-empty text"},
      {"[[rule]]\nname = \"x\"\neffect = \"ask\"\n",
       "s.toml:1:1: an ask rule needs approvals (1 or more)"},
      {"[[rule]]\nname = \"x\"\neffect = \"ask\"\napprovals = 0\n",
       "s.toml:4:13: approvals must be a whole number from 1"},
      {"[[rule]]\nname = \"x\"\neffect = \"ask\"\napprovals = 1\nreason = \"r\"\n",
       "s.toml:5:1: reason is only for deny rules"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\napprovals = 1\n",
       "s.toml:4:1: approvals is only for ask rules"},
      {"[[rule]]\nname = \"x\"\neffect = \"deny\"\nreason = \"r\"\nreuse_for = 5\n",
       "s.toml:5:1: reuse_for is only for ask rules"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\ntarget_host = \"db1\"\n",
       "s.toml:4:1: an approve rule may not match on target_host, which the requester declares"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\naction = \"*\"\n",
       "s.toml:4:1: an approve rule may not match on action"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\nusr = \"a\"\n",
       "s.toml:4:1: unknown key \"usr\" in a rule"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\nuser = 3\n",
       "s.toml:4:8: user must be a text or a non-empty array of user names"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\nuser = []\n", "s.toml:4:8: user must be"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\ngroup = [\"ok\", \"a b\"]\n",
       "s.toml:4:16: group: \"a b\" is not a user or group name"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\ngroup = \"@admins\"\n",
       "s.toml:4:9: group: \"@admins\" is not a user or group name (without \"@\")"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\ncommand = \"/usr/bin/[ab\"\n",
       "s.toml:4:11: command: bad glob \"/usr/bin/[ab\": \"[\" without its \"]\""},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\nargs = \"install\"\n",
       "s.toml:4:8: args must be an array of globs, one per argument"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\nargs = [\"a\", 1]\n",
       "s.toml:4:14: args takes globs, one per argument"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\nrun_as = [\"root\", 0]\n",
       "s.toml:4:19: run_as takes user names"},
      {"[[rule]]\nname = \"x\"\neffect = \"ask\"\napprovals = 1\napprovers = [\"a b\"]\n",
       "s.toml:5:14: approvers takes user names and @group names"},
      {"[[rule]]\nname = \"x\"\neffect = \"ask\"\napprovals = 1\nnotify = [\"page\"]\n",
       "s.toml:5:10: notify must be an array of texts: an absolute program path"},
      {"[[rule]]\nname = \"x\"\neffect = \"ask\"\napprovals = 1\nnotify = []\n",
       "s.toml:5:10: notify must be"},
      {"[[rule]]\nname = \"x\"\neffect = \"ask\"\napprovals = 1\nmax_timeout = -1\n",
       "s.toml:5:15: max_timeout must be a whole number from 1"},
      {"[[rule]]\nname = \"x\"\neffect = \"deny\"\nreason = \"r\"\n"
       "[[rule]]\nname = \"x\"\neffect = \"deny\"\nreason = \"r\"\n",
       "s.toml:5:1: a rule named \"x\" is already at s.toml:1:1"},
      {"notify = \"/bin/page\"\n", "s.toml:1:10: notify must be an array of texts"},
      {"notify_user = \"a:b\"\n", "s.toml:1:15: notify_user must be a user name"},
      {"notify_timeout = 0\n", "s.toml:1:18: notify_timeout must be a whole number from 1"},
      // An approve rule says whose requests or which program it lets through.
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\n",
       "s.toml:1:1: an approve rule must name what it matches: user, group or command"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\nrun_as = \"root\"\n",
       "s.toml:1:1: an approve rule must name what it matches"},
      {"[[rule]]\nname = \"x\"\neffect = \"approve\"\ngroup = \"admins\"\nargs = [\"install\"]\n",
       "s.toml:1:1: an approve rule with args must name its command"},
  };
  for (const auto& [text, message] : cases) {
    const auto config = parse_config(text, "s.toml");
    ASSERT_FALSE(config.ok()) << text;
    EXPECT_NE(config.error().find(message), std::string::npos) << text << " -> " << config.error();
  }
}

TEST(ConfigRules, GivesEveryErrorNotOnlyTheFirst) {
  const auto config = parse_config(
      "aprovers = []\napprovals = 0\n[[rule]]\nname = \"x\"\neffect = \"approve\"\n"
      "target_host = \"a\"\nbogus = 1\n",
      "s.toml");
  ASSERT_FALSE(config.ok());
  const std::string& error = config.error();
  EXPECT_NE(error.find("s.toml:1:1: unknown key \"aprovers\""), std::string::npos) << error;
  EXPECT_NE(error.find("s.toml:2:13: approvals must be"), std::string::npos) << error;
  EXPECT_NE(error.find("s.toml:6:1: an approve rule may not match on target_host"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("s.toml:7:1: unknown key \"bogus\" in a rule"), std::string::npos) << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 3) << error;
}

// An ask rule on declared text placed before a stricter rule that the same
// request could also match lets the requester pick the looser one.
TEST(ConfigRules, RefusesDeclaredTextBeforeAStricterRuleItCouldShadow) {
  const std::string loose =
      "[[rule]]\nname = \"loose\"\neffect = \"ask\"\napprovals = 1\ntarget_host = \"test-*\"\n";
  struct Case {
    std::string later;
    bool refused;
  };
  const Case cases[] = {
      {"[[rule]]\nname = \"later\"\neffect = \"deny\"\nreason = \"r\"\n", true},
      {"[[rule]]\nname = \"later\"\neffect = \"ask\"\napprovals = 2\n", true},
      {"[[rule]]\nname = \"later\"\neffect = \"ask\"\napprovals = 1\napprovers = [\"sec\"]\n",
       true},
      {"[[rule]]\nname = \"later\"\neffect = \"ask\"\napprovals = 1\n", false},       // as strict
      {"[[rule]]\nname = \"later\"\neffect = \"approve\"\nuser = \"bot\"\n", false},  // looser
      {"[[rule]]\nname = \"later\"\neffect = \"deny\"\nreason = \"r\"\ncommand = \"/bin/*\"\n",
       true},
  };
  for (const Case& c : cases) {
    const auto config = parse_config(loose + c.later, "s.toml");
    EXPECT_EQ(!config.ok(), c.refused) << c.later;
    if (!config.ok()) {
      EXPECT_NE(config.error().find("s.toml:1:1: rule \"loose\" matches on text the requester "
                                    "declares (action, target_host) and stands before the "
                                    "stricter rule \"later\" at s.toml:6:1"),
                std::string::npos)
          << config.error();
    }
  }
  // Rules that can never match the same request do not shadow each other:
  // different plain user names, different plain command paths.
  EXPECT_TRUE(parse_config("[[rule]]\nname = \"a\"\neffect = \"ask\"\napprovals = 1\n"
                           "user = \"alice\"\naction = \"x\"\n"
                           "[[rule]]\nname = \"b\"\neffect = \"deny\"\nreason = \"r\"\n"
                           "user = \"bob\"\n",
                           "s.toml")
                  .ok());
  EXPECT_TRUE(parse_config("[[rule]]\nname = \"a\"\neffect = \"ask\"\napprovals = 1\n"
                           "command = \"/usr/bin/apt\"\naction = \"x\"\n"
                           "[[rule]]\nname = \"b\"\neffect = \"deny\"\nreason = \"r\"\n"
                           "command = \"/bin/rm\"\n",
                           "s.toml")
                  .ok());
  // A glob might meet the other rule's path: refused.
  EXPECT_FALSE(parse_config("[[rule]]\nname = \"a\"\neffect = \"ask\"\napprovals = 1\n"
                            "command = \"/usr/bin/*\"\naction = \"x\"\n"
                            "[[rule]]\nname = \"b\"\neffect = \"deny\"\nreason = \"r\"\n"
                            "command = \"/usr/bin/rm\"\n",
                            "s.toml")
                   .ok());
  // A deny rule on declared text never loosens anything.
  EXPECT_TRUE(parse_config("[[rule]]\nname = \"a\"\neffect = \"deny\"\nreason = \"r\"\n"
                           "action = \"x\"\n"
                           "[[rule]]\nname = \"b\"\neffect = \"ask\"\napprovals = 3\n",
                           "s.toml")
                  .ok());
}

}  // namespace
}  // namespace kelvane::service
