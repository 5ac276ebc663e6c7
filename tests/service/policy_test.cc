// The policy rules' globs and matcher, as tables: what each glob takes and
// leaves, which rule decides which request, and that declared text never
// reaches the verified keys.
#include "service/policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json.h"
#include "service/glob.h"
#include "service/user_groups.h"

namespace kelvane::service {
namespace {

// A group list the database cannot give whole is an error, never a shorter
// list: a deny rule on a group must not let a member through, nor a list
// padded with gid 0 name root's group.
int list_keeps_growing(const char*, gid_t, gid_t*, int* count) {
  *count += 10;
  return -1;
}
int list_of_daemon_and_bin(const char*, gid_t, gid_t* groups, int* count) {
  groups[0] = 1;
  groups[1] = 2;
  groups[2] = 1;
  *count = 3;
  return 3;
}

TEST(GroupNames, AreTheWholeListOrAnError) {
  auto names = group_names_of(0, list_of_daemon_and_bin);
  ASSERT_TRUE(names.ok()) << names.error();
  EXPECT_EQ(names.value(), (std::vector<std::string>{"daemon", "bin"}));  // each once
  auto none = group_names_of(0, list_keeps_growing);
  ASSERT_FALSE(none.ok());
  EXPECT_NE(none.error().find("root"), std::string::npos) << none.error();  // names the user
}

TEST(Glob, MatchesAsDocumented) {
  struct Case {
    const char* glob;
    const char* text;
    bool matches;
  };
  const Case cases[] = {
      {"/usr/bin/apt", "/usr/bin/apt", true},
      {"/usr/bin/apt", "/usr/bin/apt-get", false},  // whole text, never a part
      {"/usr/bin/apt", "x/usr/bin/apt", false},
      {"/usr/bin/*", "/usr/bin/apt", true},
      {"/usr/bin/*", "/usr/bin/", true},
      {"/usr/bin/*", "/usr/bin/../sbin/x", false},  // "*" never crosses "/"
      {"/usr/**", "/usr/bin/../sbin/x", true},
      {"/usr/**/x", "/usr/x", false},
      {"/usr/**/x", "/usr/a/b/x", true},
      {"*", "", true},
      {"*", "a/b", false},
      {"**", "a/b", true},
      {"*.example.com", "db.example.com", true},
      {"*.example.com", "example.com", false},
      {"*.example.com", "db.example.com.evil", false},
      {"?", "a", true},
      {"?", "/", false},
      {"?", "\xc3\xa9", true},  // one character, two bytes
      {"??", "\xc3\xa9", false},
      {"[abc]", "b", true},
      {"[abc]", "d", false},
      {"[a-c]x", "bx", true},
      {"[!a-c]", "d", true},
      {"[^a-c]", "b", false},
      {"[!a]", "/", false},  // a set never takes "/"
      {"[]]", "]", true},
      {"[\xc3\xa0-\xc3\xbf]", "\xc3\xa9", true},
      {"\\*", "*", true},
      {"\\*", "a", false},
      {"a\\?", "a?", true},
      {"a*b*c", "axxbyyc", true},
      {"a*b*c", "axxbyy", false},
      {"install", "INSTALL", false},
      {"[", "[", false},      // not a glob: matches nothing
      {"a\\", "a\\", false},  // not a glob
  };
  for (const Case& c : cases)
    EXPECT_EQ(glob_matches(c.glob, c.text), c.matches) << c.glob << " vs " << c.text;
}

TEST(Glob, ALongTextTakesLinearTime) {
  // A backtracking matcher takes exponential time on this; ours is quick.
  const std::string text(200000, 'a');
  EXPECT_FALSE(glob_matches("*a*a*a*a*a*a*a*a*a*b", text));
  EXPECT_TRUE(glob_matches("**a*a*a*a*a*a*a*a*a", text));
}

TEST(Glob, ProblemsAndLiterals) {
  EXPECT_TRUE(glob_problem("[abc").has_value());
  EXPECT_TRUE(glob_problem("abc\\").has_value());
  EXPECT_FALSE(glob_problem("[a]\\*").has_value());
  EXPECT_EQ(literal_of_glob("/usr/bin/apt").value_or("?"), "/usr/bin/apt");
  EXPECT_EQ(literal_of_glob("a\\*b").value_or("?"), "a*b");
  EXPECT_FALSE(literal_of_glob("/usr/bin/*").has_value());
  EXPECT_FALSE(literal_of_glob("[a]").has_value());
}

Config rules(const std::string& text) {
  auto config = parse_config(text, "p.toml");
  EXPECT_TRUE(config.ok()) << config.error();
  return config.ok() ? config.value() : Config{};
}

PolicyFacts user(const std::string& name, std::vector<std::string> groups = {}) {
  PolicyFacts facts;
  facts.uid = 1000;
  facts.user = name;
  facts.groups = std::move(groups);
  facts.action = "deploy";
  facts.target_host = "web1.example.com";
  return facts;
}

PolicyFacts via_sudo(const std::string& name, std::vector<std::string> groups,
                     const std::string& command, std::vector<std::string> args,
                     const std::string& run_as = "root") {
  PolicyFacts facts = user(name, std::move(groups));
  facts.sudo = SudoFacts{command, std::move(args), run_as};
  return facts;
}

constexpr const char* kPolicy = R"(
approvers = ["@ops"]
approvals = 1

[[rule]]
name = "no-shadow-file"
effect = "deny"
reason = "nobody reads /etc/shadow through sudo"
command = ["/usr/bin/cat", "/usr/bin/less"]
args = ["/etc/shadow"]

[[rule]]
name = "login-shells"
effect = "ask"
approvals = 2
command = ["/bin/bash", "/usr/bin/bash", "/bin/sh"]

[[rule]]
name = "packages-for-admins"
effect = "approve"
group = "admins"
command = "/usr/bin/apt"
args = ["install", "**"]
run_as = "root"

[[rule]]
name = "interns"
effect = "deny"
reason = "interns ask their mentor"
user = ["intern1", "intern2"]

[[rule]]
name = "db-hosts"
effect = "ask"
approvals = 1
approvers = ["dba", "@dbas"]
target_host = "db*.example.com"
reuse_for = 600
)";

TEST(Policy, TheFirstMatchingRuleDecides) {
  const Config config = rules(kPolicy);
  ASSERT_EQ(config.rules.size(), 5u);
  struct Case {
    const char* what;
    PolicyFacts facts;
    const char* rule;  // "" for the top-level ask
    Effect effect;
  };
  PolicyFacts db = user("carol");
  db.target_host = "db2.example.com";
  PolicyFacts intern_db = user("intern1");
  intern_db.target_host = "db1.example.com";
  PolicyFacts no_name = user("");
  const Case cases[] = {
      {"shadow through cat", via_sudo("alice", {"admins"}, "/usr/bin/cat", {"/etc/shadow"}),
       "no-shadow-file", Effect::Deny},
      {"another file through cat", via_sudo("alice", {"admins"}, "/usr/bin/cat", {"/etc/motd"}), "",
       Effect::Ask},
      {"shadow and one more", via_sudo("alice", {}, "/usr/bin/cat", {"/etc/shadow", "x"}), "",
       Effect::Ask},
      {"sudo -i", via_sudo("alice", {"admins"}, "/bin/bash", {}), "login-shells", Effect::Ask},
      {"sudo -i cmd", via_sudo("alice", {"admins"}, "/bin/bash", {"-c", "id"}), "login-shells",
       Effect::Ask},
      {"apt install by an admin",
       via_sudo("alice", {"staff", "admins"}, "/usr/bin/apt", {"install", "curl", "jq"}),
       "packages-for-admins", Effect::Approve},
      {"apt install, nothing named", via_sudo("alice", {"admins"}, "/usr/bin/apt", {"install"}),
       "packages-for-admins", Effect::Approve},
      {"apt remove by an admin", via_sudo("alice", {"admins"}, "/usr/bin/apt", {"remove", "x"}), "",
       Effect::Ask},
      {"apt install as another user",
       via_sudo("alice", {"admins"}, "/usr/bin/apt", {"install", "x"}, "postgres"), "",
       Effect::Ask},
      {"apt install by a non-admin", via_sudo("bob", {"staff"}, "/usr/bin/apt", {"install", "x"}),
       "", Effect::Ask},
      {"apt through another path",
       via_sudo("alice", {"admins"}, "/usr/local/bin/apt", {"install", "x"}), "", Effect::Ask},
      {"an admin without sudo", user("alice", {"admins"}), "", Effect::Ask},
      {"declared db host", db, "db-hosts", Effect::Ask},
      {"an intern on a db host: first match", intern_db, "interns", Effect::Deny},
      {"an intern elsewhere", user("intern2"), "interns", Effect::Deny},
      {"a uid without a name", no_name, "", Effect::Ask},
  };
  for (const Case& c : cases) {
    const PolicyDecision decision = decide_by_policy(config, c.facts);
    EXPECT_EQ(decision.outcome.rule_name, c.rule) << c.what;
    EXPECT_EQ(decision.outcome.effect, c.effect) << c.what;
  }
}

TEST(Policy, OutcomesFillInTheTopLevel) {
  const Config config = rules(kPolicy);
  const PolicyOutcome none = decide_by_policy(config, user("bob")).outcome;
  EXPECT_EQ(none.approvers, std::vector<std::string>{"@ops"});
  EXPECT_EQ(none.approvals, 1u);
  EXPECT_EQ(none.max_timeout, config.max_timeout);
  EXPECT_EQ(none.reuse_for, 0u);
  const PolicyOutcome shell = decide_by_policy(config, via_sudo("a", {}, "/bin/sh", {})).outcome;
  EXPECT_EQ(shell.approvals, 2u);
  EXPECT_EQ(shell.approvers, std::vector<std::string>{"@ops"});  // the rule names none
  PolicyFacts db = user("carol");
  db.target_host = "db1.example.com";
  const PolicyOutcome dbs = decide_by_policy(config, db).outcome;
  EXPECT_EQ(dbs.approvers, (std::vector<std::string>{"dba", "@dbas"}));
  EXPECT_EQ(dbs.reuse_for, 600u);
  const PolicyOutcome deny = decide_by_policy(config, user("intern1")).outcome;
  EXPECT_EQ(deny.reason, "interns ask their mentor");
}

TEST(Policy, DeclaredTextNeverStandsForVerifiedFacts) {
  // A request that is not from sudo cannot reach the sudo keys by what it
  // writes: the action, target, and a context that looks like the plugin's.
  const Config config = rules(kPolicy);
  PolicyFacts facts = user("alice", {"admins"});
  facts.action = "/usr/bin/apt";
  facts.target_host = "install";
  EXPECT_EQ(decide_by_policy(config, facts).outcome.rule_name, "");
  auto context = json::parse_value(
      R"({"command":"/usr/bin/apt","argv":["apt","install","x"],"runAsUser":"root"})");
  ASSERT_TRUE(context.ok());
  const auto sudo = sudo_facts_of(context.value());
  ASSERT_TRUE(sudo.has_value());
  EXPECT_EQ(sudo->args, (std::vector<std::string>{"install", "x"}));
  for (const char* bad : {R"({"command":"/x","argv":[],"runAsUser":"root"})",
                          R"({"command":"/x","argv":["x",1],"runAsUser":"root"})",
                          R"({"command":"/x","argv":["x"]})", R"(["/x"])"}) {
    auto value = json::parse_value(bad);
    ASSERT_TRUE(value.ok()) << bad;
    EXPECT_FALSE(sudo_facts_of(value.value()).has_value()) << bad;
  }
}

TEST(Policy, ExplainSaysWhyForEachRule) {
  const Config config = rules(kPolicy);
  const PolicyDecision decision = decide_by_policy(
      config, via_sudo("alice", {"admins"}, "/usr/bin/apt", {"install", "jq"}), true);
  ASSERT_EQ(decision.trace.size(), 3u);
  EXPECT_FALSE(decision.trace[0].matched);
  EXPECT_EQ(decision.trace[0].where, "p.toml:5:1");
  ASSERT_FALSE(decision.trace[0].why.empty());
  EXPECT_EQ(decision.trace[0].why[0],
            "  no:  command \"/usr/bin/apt\" against [\"/usr/bin/cat\", \"/usr/bin/less\"]");
  EXPECT_TRUE(decision.trace[2].matched);
  EXPECT_EQ(decision.trace[2].why.size(), 4u);  // group, command, args, run_as
  const PolicyDecision plain = decide_by_policy(config, user("x"), true);
  EXPECT_EQ(plain.trace[0].why[0],
            "  no:  command, args and run_as match only requests verified as from sudo");
}

}  // namespace
}  // namespace kelvane::service
