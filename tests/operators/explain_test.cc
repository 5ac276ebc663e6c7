// `explain`: the rule that decides, the reasons rule by rule, and the
// statuses, from options, from a request line, and for sudo.
#include "operators/explain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/service.h"

namespace kelvane::operators {
namespace {

struct Explained {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs explain in this process, `input` on its standard input.
Explained run_explain(const std::vector<std::string>& args, const std::string& input = {}) {
  testing::TempDir dir;
  testing::write_file(dir.file("in"), input);
  const int in = ::open(dir.file("in").c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int err = ::open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  std::vector<std::string_view> views(args.begin(), args.end());
  Explained done;
  done.status = explain(views, Streams{in, out, err});
  ::close(in);
  ::close(out);
  ::close(err);
  done.out = testing::read_file(dir.file("out"));
  done.err = testing::read_file(dir.file("err"));
  return done;
}

constexpr const char* kRules = R"(approvers = ["@ops"]
[[rule]]
name = "no-firewall-off"
effect = "deny"
reason = "through the repository"
command = "/usr/sbin/ufw"
args = ["disable"]

[[rule]]
name = "root-installs"
effect = "approve"
user = "root"
command = "/usr/bin/apt"
args = ["install", "**"]

[[rule]]
name = "db"
effect = "ask"
approvals = 2
target_host = "db*"
reuse_for = 60
)";

class Explain : public ::testing::Test {
 protected:
  void SetUp() override { testing::write_file(config(), kRules); }
  std::string config() const { return dir_.file("service.toml"); }
  testing::TempDir dir_;
};

TEST_F(Explain, SaysWhichRuleDecidesAndWhy) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::vector<std::string> shown;
  };
  const std::vector<std::string> client = {"--title",     "T",     "--detail",      "d",
                                           "--requester", "r",     "--source-host", "s",
                                           "--action",    "deploy"};
  std::vector<std::string> db = client;
  db.insert(db.end(), {"--target-host", "db1"});
  std::vector<std::string> web = client;
  web.insert(web.end(), {"--target-host", "web1"});
  const Case cases[] = {
      {{"--uid", "0", "--sudo-command", "/usr/bin/apt", "install", "jq"},
       "",
       {"requester: uid 0 (\"root\")",
        "from sudo: command \"/usr/bin/apt\", args [\"install\", \"jq\"], run as \"root\"",
        "declared: action \"sudo\"",
        "rule \"no-firewall-off\" (" + config() + ":2:1): does not match",
        "  no:  command \"/usr/bin/apt\" against [\"/usr/sbin/ufw\"]",
        "rule \"root-installs\" (" + config() + ":9:1): matches",
        "  yes: args [\"install\", \"jq\"] against [\"install\", \"**\"]",
        "decision: approve at once, by rule \"root-installs\"\n"}},
      {{"--uid", "0", "--run-as", "www-data", "--sudo-command", "/usr/sbin/ufw", "disable"},
       "",
       {"run as \"www-data\"",
        "decision: deny, by rule \"no-firewall-off\": \"through the repository\""}},
      {db,
       "",
       {"not from sudo: command, args and run_as match nothing",
        "  no:  command, args and run_as match only requests verified as from sudo",
        "  yes: target_host \"db1\" (declared) against [\"db*\"]",
        "decision: ask, by rule \"db\": 2 approval(s) from [\"@ops\"], waiting at most 3600 s, "
        "approval reused for 60 s"}},
      {web,
       "",
       {"rule \"db\" (" + config() + ":16:1): does not match",
        "decision: ask, by the top-level settings (no rule matches): 1 approval(s)"}},
      // A request line on standard input; its context is not sudo's word.
      {{"--uid", "0"},
       R"({"id":"","title":"t","detail":"d","action":"a","requester":"r","sourceHost":"s",)"
       R"("targetHost":"db9","context":{"command":"/usr/sbin/ufw","argv":["ufw","disable"],)"
       R"("runAsUser":"root"}})"
       "\n",
       {"not from sudo", "decision: ask, by rule \"db\""}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--config", config()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Explained done = run_explain(args, c.input);
    EXPECT_EQ(done.status, 0) << done.err;
    for (const std::string& text : c.shown)
      EXPECT_NE(done.out.find(text), std::string::npos) << text << "\n---\n" << done.out;
  }
}

TEST_F(Explain, RefusesWhatItCannotExplainWithStatusTwo) {
  testing::write_file(dir_.file("bad.toml"),
                      "[[rule]]\nname = \"x\"\neffect = \"approve\"\naction = \"a\"\nbogus = 1\n");
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string said;
  };
  const Case cases[] = {
      {{"--config", dir_.file("bad.toml"), "--uid", "0"}, "", "bad.toml:4:1: an approve rule"},
      {{"--config", dir_.file("bad.toml"), "--uid", "0"}, "", "bad.toml:5:1: unknown key"},
      {{"--config", dir_.file("none.toml")}, "", "none.toml: No such file"},
      {{"--config", config()}, "", "needs a request"},
      {{"--config", config()}, "{\"title\":1}\n", "the request does not read"},
      {{"--config", config(), "--uid", "x"}, "", "--uid takes a number"},
      {{"--config", config(), "--uid"}, "", "--uid needs a value"},
      {{"--config", config(), "--sudo-command"}, "", "--sudo-command needs a command path"},
      {{"--config", config(), "--title"}, "", "--title"},  // the client's own usage error
  };
  for (const Case& c : cases) {
    const Explained done = run_explain(c.args, c.input);
    EXPECT_EQ(done.status, 2) << c.said;
    EXPECT_NE(done.err.find(c.said), std::string::npos) << c.said << " -> " << done.err;
    EXPECT_TRUE(done.out.empty()) << done.out;
  }
}

}  // namespace
}  // namespace kelvane::operators
