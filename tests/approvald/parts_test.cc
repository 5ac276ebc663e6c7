// The daemon's rules, one by one: votes, roles, the command line, the
// decision line in the log.
#include <gtest/gtest.h>

#include <string>

#include "decision_journal.h"
#include "options.h"
#include "roles.h"
#include "service/answer.h"
#include "votes.h"

namespace kelvane::approvald {
namespace {

service::RequestRecord request_of(uid_t requester, std::uint64_t needed,
                                  std::vector<service::VoteRecord> votes) {
  service::RequestRecord r;
  r.id = "7";
  r.verified_uid = requester;
  r.needed = needed;
  r.votes = std::move(votes);
  return r;
}

service::VoteRecord yes(uid_t uid, std::string name) {
  return {std::move(name), uid, true, std::nullopt, "t", std::nullopt};
}

// The requester of request_of() is uid 1000 with no name unless named.
service::RequestRecord named(service::RequestRecord r, std::string name) {
  r.verified_user = std::move(name);
  return r;
}

TEST(Votes, FollowTheRules) {
  struct Case {
    const char* what;
    service::RequestRecord request;
    service::Person voter;
    bool approve;
    std::optional<Outcome> outcome;  // nullopt: refused
    const char* refusal;
  };
  const Case cases[] = {
      {"one yes of one", request_of(1000, 1, {}), {"", "a", 1}, true, Outcome::Approved, ""},
      {"one yes of two", request_of(1000, 2, {}), {"", "a", 1}, true, Outcome::StillPending, ""},
      {"second yes of two",
       request_of(1000, 2, {yes(1, "a")}),
       {"", "b", 2},
       true,
       Outcome::Approved,
       ""},
      {"a deny after a yes",
       request_of(1000, 2, {yes(1, "a")}),
       {"", "b", 2},
       false,
       Outcome::Denied,
       ""},
      {"self-approval", request_of(1000, 1, {}), {"", "", 1000}, true, std::nullopt, "your own"},
      {"self-denial too", request_of(1000, 1, {}), {"", "", 1000}, false, std::nullopt, "your own"},
      {"root's own request", request_of(0, 1, {}), {"", "root", 0}, true, std::nullopt, "your own"},
      {"twice by one operator",
       request_of(1000, 2, {yes(1, "a")}),
       {"", "a", 1},
       true,
       std::nullopt,
       "already voted"},
      // Two accounts with one login name (a local and a directory one) are
      // one person: neither votes twice, nor on the other's request.
      {"a second account of the requester's name",
       named(request_of(1000, 1, {}), "alice"),
       {"", "alice", 5000},
       true,
       std::nullopt,
       "your own"},
      {"a second account of a voter's name",
       request_of(1000, 2, {yes(1, "alice")}),
       {"", "alice", 5000},
       true,
       std::nullopt,
       "already voted"},
      {"one uid under a name changed since",
       request_of(1000, 2, {yes(1, "alice")}),
       {"", "alice2", 1},
       true,
       std::nullopt,
       "already voted"},
  };
  for (const Case& c : cases) {
    auto judged = judge_vote(c.request, c.voter, c.approve);
    if (c.outcome) {
      ASSERT_TRUE(judged.ok()) << c.what << ": " << judged.error();
      EXPECT_EQ(judged.value(), *c.outcome) << c.what;
    } else {
      ASSERT_FALSE(judged.ok()) << c.what;
      EXPECT_NE(judged.error().find(c.refusal), std::string::npos) << c.what << judged.error();
    }
  }
}

TEST(Votes, TheDetailNamesTheDecidersOrGivesTheReason) {
  auto approved = request_of(1000, 2, {yes(1, "alice"), yes(2, "")});
  EXPECT_EQ(verdict_detail(approved, Outcome::Approved), "approved by alice, uid 2");
  auto denied =
      request_of(1000, 2, {yes(1, "alice"), {"bob", 2, false, "not now", "t", std::nullopt}});
  EXPECT_EQ(verdict_detail(denied, Outcome::Denied), "not now");
  denied.votes[1].reason.reset();
  EXPECT_EQ(verdict_detail(denied, Outcome::Denied), "denied by bob");
}

TEST(Roles, ComeFromNamesAndGroups) {
  service::Config config;
  config.approvers = {"alice", "@ops"};
  config.auditors = {"@audit", "carol"};
  const std::pair<Identity, Role> cases[] = {
      {{1, "alice", {"users"}}, Role::Approver},
      {{2, "bob", {"users", "ops"}}, Role::Approver},
      {{3, "carol", {}}, Role::Auditor},
      {{4, "dave", {"audit", "ops"}}, Role::Approver},
      {{5, "erin", {"audit"}}, Role::Auditor},
      {{6, "ops", {}}, Role::None},  // a user named like a group is not the group
      {{7, "", {"users"}}, Role::None},
  };
  for (const auto& [identity, role] : cases) {
    EXPECT_EQ(role_of(config, identity), role) << identity.uid;
  }
  const Identity root = look_up_identity(0, 0);
  EXPECT_EQ(root.name, "root");
  EXPECT_NE(std::find(root.groups.begin(), root.groups.end(), "root"), root.groups.end());
}

// A stand-in group database whose list grows between two calls: the first
// asks for 70 groups, the second for 80, and only the third (when
// `settles`) lists gids 1 and 2 (daemon, bin).
bool g_settles = false;
int g_calls = 0;

int growing_list(const char*, gid_t, gid_t* groups, int* count) {
  ++g_calls;
  if (g_calls == 1)
    *count = 70;
  else if (g_calls == 2 || !g_settles)
    *count = 80 + g_calls;
  else {
    groups[0] = 1;
    groups[1] = 2;
    *count = 2;
    return 2;
  }
  return -1;
}

// A list that cannot be had whole names the operator in no group: never in
// root's group (gid 0) by a list padded with zeros, so `@root` among the
// approvers does not count them.
TEST(Roles, AGrowingGroupListNeverAddsRoot) {
  service::Config config;
  config.approvers = {"@root"};
  service::Config daemon_group;
  daemon_group.approvers = {"@daemon"};
  const struct {
    bool settles;
    std::vector<std::string> groups;
  } cases[] = {{false, {}}, {true, {"daemon", "bin"}}};
  for (const auto& c : cases) {
    g_settles = c.settles;
    g_calls = 0;
    const Identity identity = look_up_identity(0, 0, growing_list);
    EXPECT_EQ(identity.groups, c.groups) << c.settles;
    EXPECT_EQ(role_of(config, identity), Role::None) << c.settles;
    EXPECT_EQ(role_of(daemon_group, identity), c.settles ? Role::Approver : Role::None);
  }
}

TEST(Options, ReadTheCommandLine) {
  const char* full[] = {"d",           "--socket", "/r.sock",  "--operator-socket=/o.sock",
                        "--state-dir", "/s",       "--config", "c.toml"};
  auto parsed = parse_options(8, full);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value().socket, "/r.sock");
  EXPECT_EQ(parsed.value().operator_socket, "/o.sock");
  EXPECT_EQ(parsed.value().state_dir, "/s");
  EXPECT_EQ(parsed.value().config, "c.toml");
  const std::pair<std::vector<const char*>, const char*> bad[] = {
      {{"d", "--socket"}, "--socket needs a value"},
      {{"d", "--state-dir", "rel"}, "needs an absolute path"},
      {{"d", "--config="}, "--config needs a value"},
      {{"d", "-x"}, "unknown argument"},
  };
  for (const auto& [argv, error] : bad) {
    auto r = parse_options(static_cast<int>(argv.size()), argv.data());
    ASSERT_FALSE(r.ok()) << error;
    EXPECT_NE(r.error().find(error), std::string::npos) << r.error();
  }
  const char* check[] = {"d", "--check-config"};
  EXPECT_EQ(parse_options(2, check).value().command, Command::CheckConfig);
}

// What a requester wrote cannot forge a line of the log or a field of it.
TEST(DecisionLog, EscapesWhatTheRequesterWrote) {
  service::RequestRecord r = request_of(1000, 1, {yes(1, "alice")});
  r.state = "approved";
  r.title = "Reboot\ndecision id=1 state=approved \x1b[2J";
  r.target_host = "web\"03";
  r.verified_user = "carol";
  r.detail_of_verdict = "approved by alice";
  const std::string line = decision_text(r);
  EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  // The forged field stays inside the quoted title.
  EXPECT_NE(line.find("title=\"Reboot\\ndecision id=1 "), std::string::npos) << line;
  EXPECT_NE(line.find("decision id=7 state=approved uid=1000 user=\"carol\""), std::string::npos)
      << line;
  EXPECT_NE(line.find("votes=+alice"), std::string::npos) << line;
}

// In the fleet each vote is named with the host it was cast through; a name
// or host from another host's row cannot end the field or the line.
TEST(DecisionJournal, NamesEachVotersHost) {
  service::RequestRecord r = request_of(1000, 2, {});
  r.id = "7";
  r.state = "denied";
  r.votes = {{"bob", 1, true, std::nullopt, "t", "web2"},
             {"carol", 2, false, "no", "t", "db.example-1"},
             {"dave", 3, true, std::nullopt, "t", std::nullopt},
             {"eve votes=+x", 4, true, std::nullopt, "t", "h\n"}};
  const std::string line = decision_text(r);
  EXPECT_NE(line.find(" votes=+bob@web2,-carol@db.example-1,+dave,+\"eve votes=+x\"@\"h\\n\" "),
            std::string::npos)
      << line;
  EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

TEST(DecisionLine, CarriesTheRequestId) {
  EXPECT_EQ(service::decision_line("approved", "ok", "12", "ab", "2026-12-07T08:00:00Z"),
            "{\"verdict\":\"approved\",\"detail\":\"ok\",\"requestId\":\"12\","
            "\"approvalToken\":\"ab\",\"tokenExpiresAt\":\"2026-12-07T08:00:00Z\"}\n");
  EXPECT_EQ(service::decision_line("refused", "full", ""),
            "{\"verdict\":\"refused\",\"detail\":\"full\"}\n");
}

}  // namespace
}  // namespace kelvane::approvald
