// The policy rules in the running daemon: deny and approve rules decide at
// once and the record names the rule; an ask rule's own approvers and
// approvals; an approval reused for the same operation only where the
// service can trust it to be the same; the notify command, whose failures
// change no decision.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "harness.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

class Policy : public ::testing::Test {
 protected:
  void SetUp() override {
    alice_ = account("daemon");
    bob_ = account("bin");
    carol_ = account("sys");
    if (!alice_ || !bob_ || !carol_) GTEST_SKIP() << "needs the accounts daemon, bin and sys";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
  }

  static std::string next_pending(OperatorLink& watcher) {
    for (;;) {
      auto event = watcher.next_event(10s);
      if (!event) return {};
      if (event->kind == service::OperatorEvent::Kind::Pending) return event->request->id;
    }
  }

  static OperatorLink watcher(const DaemonProcess& daemon, const std::optional<Account>& as) {
    OperatorLink link(daemon, as);
    EXPECT_TRUE(link.ask(op(OperatorOp::Watch)).ok);
    return link;
  }

  // "state rule reused_from" of a request in the record.
  static std::string recorded(const DaemonProcess& daemon, const std::string& id) {
    return query_record(daemon.record_path(),
                        "SELECT state || ' ' || coalesce(rule, '-') || ' ' || "
                        "coalesce(reused_from, '-') FROM requests WHERE id = " +
                            id);
  }

  // A client that asks as if it were the approval plugin inside sudo: run
  // as root from a file named sudo, stating the invoking user and the
  // operation's digest as the plugin does.
  Process fake_sudo(const DaemonProcess& daemon, const std::string& title,
                    const std::string& digest) {
    const std::string sudo = daemon.dir() + "/bin/sudo";
    if (!std::filesystem::exists(sudo)) {
      std::filesystem::create_directories(daemon.dir() + "/bin");
      std::filesystem::copy_file(client(), sudo);
      ::chmod(sudo.c_str(), 0755);
    }
    const std::string context =
        R"({"command":"/usr/bin/touch","argv":["touch","/tmp/x"],"runAsUser":"nobody",)"
        R"("invokingUid":)" +
        std::to_string(carol_->uid) + "}";
    return Process(
        {sudo, "--title", title, "--detail", "d", "--action", "sudo", "--requester", "sys",
         "--source-host", "h", "--target-host", "h", "--context", context, "--operation-digest",
         digest},
        {"KELVANE_OPERATOR_APPROVAL_SOCK=" + daemon.request_socket(), "PATH=/usr/bin:/bin"});
  }

  static std::string client() {
    const char* path = std::getenv("KOA_CLIENT");
    return path && *path ? path : KOA_CLIENT_PATH;
  }

  std::optional<Account> alice_, bob_, carol_;
};

// A rule's name may hold any printable text, but the verdict's detail
// quotes it as the log does: an 8-bit control sequence or a right-to-left
// override in the name reaches no requester's terminal as itself.
TEST_F(Policy, TheVerdictQuotesTheRuleName) {
  DaemonProcess daemon(R"(
approvers = ["daemon"]
[[rule]]
name = "csi\u009b2J"
effect = "approve"
user = "bin"
[[rule]]
name = "\u202Eevil"
effect = "approve"
user = "sys"
)");
  ASSERT_TRUE(daemon.start());
  const std::pair<const std::optional<Account>*, std::string> cases[] = {
      {&bob_, R"(approved by rule "csi\u{9b}2J")"},
      {&carol_, R"(approved by rule "\u{202e}evil")"},
  };
  for (const auto& [as, detail] : cases) {
    const Finished approved = run_client(daemon, *as, "By rule").wait();
    EXPECT_EQ(approved.status, 0) << approved.err;
  }
  const auto history = OperatorLink(daemon, alice_).ask(op(OperatorOp::History));
  ASSERT_TRUE(history.ok) << history.error;
  ASSERT_EQ(history.records->size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ((*history.records)[i].detail_of_verdict, cases[i].second);
  }
}

TEST_F(Policy, DenyAndApproveRulesDecideAtOnceAndTheRecordNamesThem) {
  DaemonProcess daemon(R"(
approvers = ["daemon"]
[[rule]]
name = "no-root-requests"
effect = "deny"
reason = "root asks through sudo"
user = "root"
[[rule]]
name = "sys-is-trusted"
effect = "approve"
user = "sys"
)");
  ASSERT_TRUE(daemon.start());
  const Finished denied = run_client(daemon, std::nullopt, "As root").wait();
  EXPECT_EQ(denied.status, 1) << denied.err;
  EXPECT_NE(denied.err.find("DENIED (root asks through sudo)"), std::string::npos) << denied.err;
  const Finished approved = run_client(daemon, carol_, "As sys").wait();
  EXPECT_EQ(approved.status, 0) << approved.err;
  EXPECT_NE(approved.err.find("approved by rule \"sys-is-trusted\""), std::string::npos)
      << approved.err;
  const auto history = OperatorLink(daemon, alice_).ask(op(OperatorOp::History));
  ASSERT_TRUE(history.ok) << history.error;
  ASSERT_EQ(history.records->size(), 2u);
  EXPECT_EQ(recorded(daemon, (*history.records)[0].id), "denied no-root-requests -");
  EXPECT_EQ(recorded(daemon, (*history.records)[1].id), "approved sys-is-trusted -");
  EXPECT_EQ((*history.records)[1].rule, "sys-is-trusted");
  EXPECT_TRUE((*history.records)[1].votes.empty());
  EXPECT_TRUE(daemon.log_shows("rule=\"sys-is-trusted\"")) << daemon.log();
}

// A user answered at once by an approve rule asks again the moment the
// answer is in: the answered requests no longer wait, so the per-user cap
// never refuses the next one (the answer goes out from the commit thread,
// before the loop gives the request's place back).
TEST_F(Policy, RequestsAnsweredByARuleNeverCountAgainstTheCap) {
  DaemonProcess daemon(R"(
approvers = ["daemon"]
max_pending_per_user = 1
[[rule]]
name = "sys-is-trusted"
effect = "approve"
user = "sys"
)");
  ASSERT_TRUE(daemon.start());
  for (int i = 0; i < 400; ++i) {
    const FileDescriptor fd = connect_as(daemon.request_socket(), carol_);
    // A refusal at accept may close the connection before the line is in.
    (void)send_all(fd.get(), request_line("Again " + std::to_string(i)));
    std::string buffer;
    const auto line = read_line(fd.get(), buffer);
    ASSERT_TRUE(line) << "request " << i << " had no answer";
    ASSERT_NE(line->find("\"approved\""), std::string::npos) << "request " << i << ": " << *line;
  }
}

// The sudo keys trust only the plugin inside sudo: a context that says the
// same from anyone else (a user, or a root job that is not sudo) matches
// nothing, and the request is asked.
TEST_F(Policy, AContextWrittenByAnyoneButSudoMatchesNoSudoKey) {
  DaemonProcess daemon(R"(
approvers = ["daemon"]
[[rule]]
name = "installs"
effect = "approve"
command = "/usr/bin/apt"
args = ["install", "**"]
run_as = "root"
)");
  ASSERT_TRUE(daemon.start());
  OperatorLink alice = watcher(daemon, alice_);
  const std::string context =
      R"({"command":"/usr/bin/apt","argv":["apt","install","jq"],"runAsUser":"root",)"
      R"("invokingUid":)" +
      std::to_string(carol_->uid) + "}";
  for (const auto& as : {carol_, std::optional<Account>()}) {
    Process client = run_client(daemon, as, "apt install jq", {"--context", context});
    const std::string id = next_pending(alice);
    ASSERT_FALSE(id.empty()) << "approved without asking";
    const auto shown = alice.ask(op(OperatorOp::Show, id));
    EXPECT_FALSE(shown.request->via_sudo);
    EXPECT_FALSE(shown.request->rule.has_value());
    ASSERT_TRUE(alice.ask(vote(id, false, "no")).ok);
    EXPECT_EQ(client.wait().status, 1);
  }
  // The same from sudo is approved by the rule.
  const std::string sudo = daemon.dir() + "/bin/sudo";
  std::filesystem::create_directories(daemon.dir() + "/bin");
  std::filesystem::copy_file(client(), sudo);
  const Finished from_sudo =
      Process(
          {sudo, "--title", "apt install jq", "--detail", "d", "--action", "sudo", "--requester",
           "sys", "--source-host", "h", "--target-host", "h", "--context", context},
          {"KELVANE_OPERATOR_APPROVAL_SOCK=" + daemon.request_socket(), "PATH=/usr/bin:/bin"})
          .wait();
  EXPECT_EQ(from_sudo.status, 0) << from_sudo.err;
  EXPECT_NE(from_sudo.err.find("approved by rule \"installs\""), std::string::npos)
      << from_sudo.err;
}

TEST_F(Policy, AnAskRuleHasItsOwnApproversAndApprovals) {
  DaemonProcess daemon(R"(
approvers = ["daemon"]
[[rule]]
name = "sys-needs-two"
effect = "ask"
user = "sys"
approvals = 2
approvers = ["daemon", "bin"]
max_timeout = 30
)");
  ASSERT_TRUE(daemon.start());
  OperatorLink alice = watcher(daemon, alice_);
  OperatorLink bob(daemon, bob_);
  Process from_sys = run_client(daemon, carol_, "Drop table", {"--timeout", "600"});
  const std::string id = next_pending(alice);
  ASSERT_FALSE(id.empty());
  const auto shown = alice.ask(op(OperatorOp::Show, id));
  ASSERT_TRUE(shown.ok) << shown.error;
  EXPECT_EQ(shown.request->needed, 2u);
  EXPECT_EQ(shown.request->timeout_secs, 30u);  // the rule's max_timeout
  EXPECT_EQ(shown.request->rule, "sys-needs-two");
  const auto first = bob.ask(vote(id, true));  // bin: an approver of this rule only
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(first.state, "pending");
  const auto second = alice.ask(vote(id, true));
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_EQ(second.state, "approved");
  EXPECT_EQ(from_sys.wait().status, 0);

  // A request no rule matches goes to the top-level approvers: bin may not
  // vote on it.
  Process from_root = run_client(daemon, std::nullopt, "Root's own");
  const std::string other = next_pending(alice);
  const auto refused = bob.ask(vote(other, true));
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.error.find("not an approver of request " + other), std::string::npos)
      << refused.error;
  ASSERT_TRUE(alice.ask(vote(other, false, "no")).ok);
  EXPECT_EQ(from_root.wait().status, 1);
}

TEST_F(Policy, ReusesAnApprovalOnlyForAnOperationItCanTrustToBeTheSame) {
  DaemonProcess daemon(R"(
approvers = ["daemon"]
[[rule]]
name = "keep"
effect = "ask"
approvals = 1
reuse_for = 600
)");
  ASSERT_TRUE(daemon.start());
  OperatorLink alice = watcher(daemon, alice_);
  const std::string digest = std::string(64, 'a');

  // From sudo: approved once, then the same digest is approved again at
  // once, with the first approval's votes.
  Process first = fake_sudo(daemon, "touch once", digest);
  const std::string id = next_pending(alice);
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(alice.ask(op(OperatorOp::Show, id)).request->via_sudo);
  ASSERT_TRUE(alice.ask(vote(id, true, "ok")).ok);
  EXPECT_EQ(first.wait().status, 0);
  const Finished again = fake_sudo(daemon, "touch twice", digest).wait();
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("approved again under rule \"keep\": request " + id), std::string::npos)
      << again.err;
  const auto history = alice.ask(op(OperatorOp::History));
  ASSERT_TRUE(history.ok) << history.error;
  const service::RequestRecord& reused = history.records->back();
  EXPECT_EQ(recorded(daemon, reused.id), "approved keep " + id);
  ASSERT_EQ(reused.votes.size(), 1u);
  EXPECT_EQ(reused.votes[0].operator_name, "daemon");
  EXPECT_EQ(reused.votes[0].reason, "ok");

  // Another digest from sudo is asked.
  Process other = fake_sudo(daemon, "touch other", std::string(64, 'b'));
  const std::string other_id = next_pending(alice);
  ASSERT_FALSE(other_id.empty());
  ASSERT_TRUE(alice.ask(vote(other_id, false, "no")).ok);
  EXPECT_EQ(other.wait().status, 1);

  // The same digest merely declared by the same user (not from sudo) is
  // asked, never reused.
  Process declared = run_client(daemon, carol_, "touch twice", {"--operation-digest", digest});
  const std::string declared_id = next_pending(alice);
  ASSERT_FALSE(declared_id.empty());
  EXPECT_FALSE(alice.ask(op(OperatorOp::Show, declared_id)).request->via_sudo);
  ASSERT_TRUE(alice.ask(vote(declared_id, true)).ok);
  EXPECT_EQ(declared.wait().status, 0);

  // Now that exact request line was approved: the same line again is
  // reused, one byte more is asked, and another user's same line is asked.
  const Finished same =
      run_client(daemon, carol_, "touch twice", {"--operation-digest", digest}).wait();
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_NE(same.err.find("request " + declared_id + " was approved"), std::string::npos)
      << same.err;
  for (const auto& [as, title] : {std::pair{carol_, std::string("touch twice!")},
                                  std::pair{bob_, std::string("touch twice")}}) {
    Process asked = run_client(daemon, as, title, {"--operation-digest", digest});
    const std::string asked_id = next_pending(alice);
    ASSERT_FALSE(asked_id.empty()) << title;
    ASSERT_TRUE(alice.ask(vote(asked_id, false, "no")).ok);
    EXPECT_EQ(asked.wait().status, 1);
  }
}

TEST_F(Policy, ReuseEndsWithItsWindowCountedFromTheApproval) {
  DaemonProcess daemon(R"(
approvers = ["daemon"]
[[rule]]
name = "brief"
effect = "ask"
approvals = 1
reuse_for = 2
)");
  ASSERT_TRUE(daemon.start());
  OperatorLink alice = watcher(daemon, alice_);
  Process first = run_client(daemon, carol_, "again and again");
  const std::string id = next_pending(alice);
  ASSERT_TRUE(alice.ask(vote(id, true)).ok);
  EXPECT_EQ(first.wait().status, 0);
  EXPECT_EQ(run_client(daemon, carol_, "again and again").wait().status, 0);
  std::this_thread::sleep_for(2500ms);
  Process late = run_client(daemon, carol_, "again and again");
  const std::string late_id = next_pending(alice);
  ASSERT_FALSE(late_id.empty());
  ASSERT_TRUE(alice.ask(vote(late_id, false, "too late")).ok);
  EXPECT_EQ(late.wait().status, 1);
}

TEST_F(Policy, NotifyRunsAsItsUserAndItsFailuresChangeNoDecision) {
  struct Case {
    std::string notify;  // the TOML array
    std::string logged;
  };
  const std::string out = "/tmp/koa-policy-notify";
  ::mkdir(out.c_str(), 0777);
  ::chmod(out.c_str(), 0777);
  const std::string file = out + "/" + std::to_string(::getpid());
  const Case cases[] = {
      {R"(["/bin/sh", "-c", "id -u > )" + file + R"(.uid; cat > )" + file +
           R"(.in; echo said; echo complained >&2; exit 3"])",
       "exited with status 3 stdout=\"said\\n\" stderr=\"complained\\n\""},
      {R"(["/bin/sleep", "30"])", "was killed at its time limit"},
      {R"(["/bin/sh", "-c", "head -c 1000000 /dev/zero | tr '\\000' x"])", "more bytes dropped"},
      {R"(["/nonexistent/page"])", "exited with status 127"},
  };
  for (const Case& c : cases) {
    DaemonProcess daemon(
        "approvers = [\"daemon\"]\nnotify_user = \"bin\"\nnotify_timeout = 1\n"
        "notify = " +
        c.notify + "\n");
    ASSERT_TRUE(daemon.start()) << c.notify;
    OperatorLink alice = watcher(daemon, alice_);
    Process client = run_client(daemon, carol_, "Page someone");
    const std::string id = next_pending(alice);
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(daemon.log_shows("notify for request " + id)) << daemon.log();
    EXPECT_TRUE(daemon.log_shows(c.logged)) << c.notify << "\n" << daemon.log();
    ASSERT_TRUE(alice.ask(vote(id, true)).ok);
    EXPECT_EQ(client.wait().status, 0) << c.notify;
  }
  EXPECT_EQ(testing::read_file(file + ".uid"), std::to_string(bob_->uid) + "\n");
  const std::string input = testing::read_file(file + ".in");
  EXPECT_NE(input.find("\"title\":\"Page someone\""), std::string::npos) << input;
  EXPECT_EQ(input.back(), '\n');
  std::filesystem::remove(file + ".uid");
  std::filesystem::remove(file + ".in");
}

TEST(PolicyCheckConfig, PrintsEveryErrorWithItsPlace) {
  testing::TempDir dir;
  testing::write_file(dir.file("bad.toml"),
                      "approvals = 0\n[[rule]]\nname = \"x\"\neffect = \"approve\"\n"
                      "target_host = \"db*\"\n");
  const char* daemon = std::getenv("KOA_DAEMON");
  const Finished done = Process({daemon && *daemon ? daemon : KOA_DAEMON_PATH, "--check-config",
                                 "--config", dir.file("bad.toml")},
                                {})
                            .wait();
  EXPECT_EQ(done.status, 2);
  EXPECT_NE(done.err.find("bad.toml:1:13: approvals must be"), std::string::npos) << done.err;
  EXPECT_NE(done.err.find("bad.toml:5:1: an approve rule may not match on target_host"),
            std::string::npos)
      << done.err;
}

}  // namespace
}  // namespace kelvane::approvald_test
