// The built plugin as sudo drives it (dlopen, open, check, close) against a
// fake approval service: the exact request line, every verdict, the
// refusals, who may answer, the environment left alone, and Ctrl-C.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "loaded_plugin.h"
#include "testing/service.h"
#include "testing/service_as.h"

namespace kelvane::testing {
namespace {

const std::string kWaiting =
    "kelvane operator approval: waiting for the operator's approval\u2026\n";

constexpr const char* kApproval =
    R"({"verdict":"approved","detail":"ok","approvalToken":"t0k","tokenExpiresAt":"2030-01-01T00:00:00Z"})"
    "\n";

Strings alice() {
  return {"user=alice",  "uid=1000",       "pid=4242", "cwd=/home/alice",
          "host=web-03", "tty=/dev/pts/3", "lines=24"};
}
Strings restart_nginx_info() {
  return {"command=/usr/bin/env", "runas_user=root", "runas_uid=0", "runas_gid=0", "closefrom=3"};
}
Strings restart_nginx() {
  return {"env", "restart", "nginx"};
}

// The fake service runs as the tests' own user: when that is not root, the
// options name it as the service's uid.
Strings options_for(const std::string& socket, std::vector<std::string> more = {}) {
  std::vector<std::string> words{"socket=" + socket};
  if (::geteuid() != 0) words.push_back("service_uid=" + std::to_string(::geteuid()));
  words.insert(words.end(), more.begin(), more.end());
  return Strings(std::move(words));
}

Facts restart_nginx_facts(const std::string& socket) {
  return Facts{options_for(socket), alice(), restart_nginx_info(), restart_nginx()};
}

#define REQUIRE_ROOT()                                                                   \
  do {                                                                                   \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a service as another user"; \
  } while (false)

// --- The request line -----------------------------------------------------

// Digests computed apart from the plugin, from the encoding as documented:
//   printf '%s'
//   '25:kelvane-sudo-operation-v3,12:/usr/bin/env,12:/usr/bin/env,1:0,1:0,1:0,11:/home/alice,1:3,3:env,7:restart,5:nginx,1:0,1:1,11:closefrom=3,4:1000,5:alice,1:0,'
//   | sha256sum
// and, for the awkward line, by a Python script that builds the encoding
// from the context's members with hashlib.
constexpr const char* kRestartNginxLine =
    R"({"id":"","title":"sudo: env restart nginx","detail":"command: /usr/bin/env restart nginx\n)"
    R"x(argv[0]: env\nrun as: root (uid 0, gid 0)\nworking directory: /home/alice\n)x"
    R"x(invoked by: alice (uid 1000)\nsettings:\n  closefrom=3\nenvironment: (empty)",)x"
    R"("action":"sudo",)"
    R"("requester":"alice","sourceHost":"web-03","targetHost":"web-03",)"
    R"("operationDigest":"sha256:fb62020b5360736fb525e24e4526ae6fd88420c133157b4199eea23ed6d0905a",)"
    R"("context":{"argv":["env","restart","nginx"],"command":"/usr/bin/env",)"
    R"("commandFile":"/usr/bin/env","commandLinks":[],"cwd":"/home/alice",)"
    R"("env":[],"invokingUid":1000,"invokingUser":"alice","pid":4242,"runAsGid":0,"runAsUid":0,)"
    R"("runAsUser":"root","settings":["closefrom=3"],"tty":"/dev/pts/3"},"timeoutSecs":300})"
    "\n";

// Quotes, spaces, an empty argument, a line feed, an escape sequence, a
// right-to-left override and a non-ASCII letter; the directory from the
// policy; an environment with a space and an escape sequence in its values.
// The title is cut at 80 bytes.
constexpr const char* kAwkwardLine =
    R"({"id":"","title":"sudo: env -c 'echo \"it'\\''s\" > /tmp/x' 'two words' '' $'line\\nbreak' $'\\x1b[3)"
    "\u2026"
    R"(","detail":"command: /usr/bin/env -c 'echo \"it'\\''s\" > /tmp/x' 'two words' '' $'line\\nbreak' )"
    R"($'\\x1b[31mred' $'abc\\u202edef' 'B)"
    "\u00fc"
    R"(cher'\nargv[0]: env\nrun as: nobody (uid 65534, gid 65534)\nworking directory: '/tmp/a dir'\n)"
    R"(invoked by: alice (uid 1000)\nsettings: (empty)\n)"
    R"(environment:\n  PATH=/usr/bin\n  'PAGER=less -R'\n  $'EVIL=\\x1b[2J'",)"
    R"("action":"sudo","requester":"alice","sourceHost":"web-03","targetHost":"web-03",)"
    R"("operationDigest":"sha256:11b1fc952fbdd267e3f56e9062ab8f3f7be23cffd7a56e1e119138f11d82f378",)"
    R"("context":{"argv":["env","-c","echo \"it's\" > /tmp/x","two words","","line\nbreak","\u001b[31mred","abc)"
    "\u202e"
    R"(def","B)"
    "\u00fc"
    R"(cher"],"command":"/usr/bin/env","commandFile":"/usr/bin/env","commandLinks":[],"cwd":"/tmp/a dir",)"
    R"("env":["PATH=/usr/bin","PAGER=less -R","EVIL=\u001b[2J"],"invokingUid":1000,"invokingUser":"alice",)"
    R"("pid":4242,"runAsGid":65534,"runAsUid":65534,)"
    R"("runAsUser":"nobody","settings":[],"tty":"/dev/pts/3"},"timeoutSecs":300})"
    "\n";

TEST(SudoPlugin, SendsTheExactRequestLine) {
  const struct {
    const char* name;
    Strings command_info;
    Strings argv;
    const char* line;
    Strings envp = {};
  } cases[] = {
      {"ordinary", restart_nginx_info(), restart_nginx(), kRestartNginxLine},
      {"awkward",
       {"command=/usr/bin/env", "runas_user=nobody", "runas_uid=65534", "runas_gid=65534",
        "cwd=/tmp/a dir"},
       {"env", "-c", "echo \"it's\" > /tmp/x", "two words", "", "line\nbreak", "\x1b[31mred",
        "abc\u202e"
        "def",
        "B\u00fc"
        "cher"},
       kAwkwardLine,
       {"PATH=/usr/bin", "PAGER=less -R", "EVIL=\x1b[2J"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string socket = dir.file("approval.sock");
    FakeService service(socket, {.read_request = true, .pieces = {kApproval}});
    LoadedPlugin plugin;
    Facts facts{options_for(socket, {"timeout=300"}), alice(), c.command_info, c.argv};
    facts.envp = c.envp;
    const CheckRun run = plugin.run(facts);
    EXPECT_EQ(service.received(), c.line);
    EXPECT_EQ(run.check, 1) << run.printed;
  }
}

TEST(SudoPlugin, RefusesAnArgumentThatIsNotUtf8AndAsksNobody) {
  TempDir dir;
  const std::string socket = dir.file("approval.sock");
  FakeService service(socket, {.read_request = true, .pieces = {kApproval}});
  LoadedPlugin plugin;
  const CheckRun run =
      plugin.run(Facts{options_for(socket), alice(), restart_nginx_info(), {"cat", "caf\xe9"}});
  EXPECT_EQ(run.check, -1);
  EXPECT_EQ(run.printed,
            "kelvane operator approval: refused: argv[1] is not valid UTF-8: $'caf\\xe9'; the "
            "command was not run\n");
  EXPECT_EQ(run.errstr,
            "kelvane operator approval: refused: argv[1] is not valid UTF-8: $'caf\\xe9'; the "
            "command was not run");
  EXPECT_EQ(service.received(), "");
  EXPECT_FALSE(service.accepted());
}

TEST(SudoPlugin, VeryLongArgvIsSentWholeUnderAShortTitle) {
  std::vector<std::string> argv{"echo"};
  for (int i = 0; i < 20000; ++i) argv.push_back("argument-" + std::to_string(100000 + i));
  TempDir dir;
  const std::string socket = dir.file("approval.sock");
  FakeService service(socket, {.read_request = true, .pieces = {kApproval}});
  LoadedPlugin plugin;
  const CheckRun run =
      plugin.run(Facts{options_for(socket), alice(), restart_nginx_info(), Strings(argv)});
  EXPECT_EQ(run.check, 1) << run.printed;
  const std::string& line = service.received();
  EXPECT_GT(line.size(), 2 * 20000 * 17u);  // in the detail and in the context
  EXPECT_TRUE(line.starts_with(
      R"({"id":"","title":"sudo: echo argument-100000 argument-100001 argument-100002 argument-100003 ar)"
      "\u2026\",\"detail\":\"command: /usr/bin/env argument-100000 "));
  EXPECT_NE(line.find(R"("argument-119998","argument-119999"],"command")"), std::string::npos);
  EXPECT_TRUE(line.ends_with("}\n"));
}

// What a request line holds for one command_info entry more than
// restart_nginx_info(); the digest, or "" when nobody was asked.
struct Asked {
  std::string line;
  std::string digest;
  CheckRun run;
};

Asked ask_with(const Strings& command_info, std::vector<std::string> options = {},
               Strings argv = restart_nginx()) {
  TempDir dir;
  const std::string socket = dir.file("approval.sock");
  FakeService service(socket, {.read_request = true, .pieces = {kApproval}});
  LoadedPlugin plugin;
  Asked asked;
  asked.run =
      plugin.run(Facts{options_for(socket, std::move(options)), alice(), command_info, argv});
  asked.line = service.received();
  const std::size_t at = asked.line.find("\"operationDigest\":\"");
  if (at != std::string::npos) asked.digest = asked.line.substr(at + 19, 7 + 64);
  return asked;
}

// Each entry that can change what runs, or how, changes the digest and is
// shown; one sudo may send that the plugin does not know is shown as it
// stands; one that cannot change what runs is left out; one the request
// cannot show is refused.
TEST(SudoPlugin, EveryCommandInfoEntryIsShownDigestedRefusedOrLeftOut) {
  const Asked base = ask_with(restart_nginx_info());
  ASSERT_EQ(base.digest.size(), 71u) << base.line;
  enum Expect { kShownAndDigested, kLeftOut, kRefused };
  const struct {
    std::string entry;
    Expect expect;
    std::string shown;
  } cases[] = {
      {"x_from_a_newer_sudo=a b", kShownAndDigested, R"(\n  'x_from_a_newer_sudo=a b'\n)"},
      {"no_equals_sign", kShownAndDigested, R"(\n  no_equals_sign\n)"},
      {"timeout=5", kShownAndDigested, R"(\n  timeout=5\n)"},
      {"umask=077", kShownAndDigested, R"(\n  umask=077\n)"},
      {"nice=-5", kShownAndDigested, R"(\n  nice=-5\n)"},
      {"login_class=daemon", kShownAndDigested, R"(\n  login_class=daemon\n)"},
      {"runas_groups=0,4", kShownAndDigested, R"(\n  runas_groups=0,4\n)"},
      {"rlimit_nofile=1,1", kShownAndDigested, R"(\n  rlimit_nofile=1,1\n)"},
      {"sudoedit=true", kShownAndDigested,
       R"(\neditor runs as: alice (uid 1000), the invoking user, on copies of the files\n)"
       R"(files written back as: root (uid 0, gid 0)\n)"},
      {"runcwd=/srv", kShownAndDigested, R"(\nworking directory: /srv\n)"},
      {"cwd=/var", kShownAndDigested, R"("cwd":"/var")"},
      {"use_pty=true", kLeftOut, ""},
      {"iolog_path=/var/log/sudo-io/00/00/01", kLeftOut, ""},
      {"log_servers=logs:30344", kLeftOut, ""},
      {"set_utmp=true", kLeftOut, ""},
      {"chroot=/srv/jail", kRefused,
       "kelvane operator approval: refused: the command would run under chroot=/srv/jail, which "
       "the request cannot show; the command was not run\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const Asked asked = ask_with(restart_nginx_info().with(c.entry));
    switch (c.expect) {
      case kShownAndDigested:
        EXPECT_EQ(asked.run.check, 1) << asked.run.printed;
        EXPECT_NE(asked.digest, base.digest);
        EXPECT_NE(asked.line.find(c.shown), std::string::npos) << asked.line;
        break;
      case kLeftOut:
        EXPECT_EQ(asked.run.check, 1) << asked.run.printed;
        EXPECT_EQ(asked.digest, base.digest);
        EXPECT_EQ(asked.line, base.line);
        break;
      case kRefused:
        EXPECT_EQ(asked.run.check, -1);
        EXPECT_EQ(asked.line, "");
        EXPECT_EQ(asked.run.printed, c.shown);
        break;
    }
  }
  // An unknown entry is in the context as well.
  EXPECT_NE(ask_with(restart_nginx_info().with("x_new=1"))
                .line.find(R"("settings":["closefrom=3","x_new=1"])"),
            std::string::npos);
}

// A command that someone other than root could change (here: under /tmp)
// is refused by default without asking, and asked with a warning, its
// owner, mode and SHA-256 under user_writable=ask; a FIFO is never read.
TEST(SudoPlugin, ACommandOthersCouldChangeIsRefusedOrAskedWithAWarning) {
  TempDir dir;
  const std::string tool = dir.file("tool");
  write_file(tool, "harmless\n");
  ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0700), 0);
  const Strings info{"command=" + tool, "runas_user=root", "runas_uid=0", "runas_gid=0"};
  const std::string warning =
      "the directory /tmp is writable by others (mode 1777): someone other than root could "
      "change what runs after the approval";

  const Asked refused = ask_with(info, {}, {"tool"});
  EXPECT_EQ(refused.run.check, -1);
  EXPECT_EQ(refused.line, "");
  EXPECT_EQ(refused.run.printed, "kelvane operator approval: refused: " + warning +
                                     " (user_writable=ask in sudo.conf would ask the operator "
                                     "instead); the command was not run\n");

  const Asked asked = ask_with(info, {"user_writable=ask"}, {"tool"});
  EXPECT_EQ(asked.run.check, 1) << asked.run.printed;
  // printf 'harmless\n' | sha256sum
  const std::string sha = "439cd8f06a0f19cd6611715e1d444948149a97ff166dfc80c780097eb4b76eb3";
  EXPECT_TRUE(asked.line.starts_with(
      R"({"id":"","title":"WARNING, changeable command: sudo: tool","detail":"WARNING: )" +
      warning + "; the file can still change after the approval\\ncommand: " + tool))
      << asked.line;
  EXPECT_NE(asked.line.find("\\nfile as read: owner "), std::string::npos);
  EXPECT_NE(asked.line.find(", mode 0755, sha256 " + sha + "\\n"), std::string::npos);
  EXPECT_NE(
      asked.line.find(R"("userWritable":{"mode":"0755","owner":)" + std::to_string(::geteuid()) +
                      R"(,"sha256":")" + sha + R"(","warning":")" + warning + "\"}"),
      std::string::npos)
      << asked.line;

  const Asked from_fifo =
      ask_with({"command=" + fifo, "runas_user=root", "runas_uid=0", "runas_gid=0"},
               {"user_writable=ask"}, {"fifo"});
  EXPECT_EQ(from_fifo.run.check, -1);
  EXPECT_EQ(from_fifo.line, "");
  EXPECT_EQ(from_fifo.run.printed, "kelvane operator approval: refused: " + warning +
                                       ", and cannot read " + fifo +
                                       ": not a regular file; the command was not run\n");
}

// --- Verdicts ---------------------------------------------------------------

TEST(SudoPlugin, EveryVerdict) {
  const struct {
    const char* name;
    std::vector<std::string> reply;
    int status;
    const char* printed;
    const char* errstr;
  } cases[] = {
      {"approved with token and expiry",
       {kApproval},
       1,
       "kelvane operator approval: APPROVED (ok)\n"
       "kelvane operator approval: token expires at 2030-01-01T00:00:00Z\n",
       "(none)"},
      {"approved bare",
       {R"({"verdict":"approved","detail":"fine"})"
        "\n"},
       1,
       "kelvane operator approval: APPROVED (fine)\n",
       "(none)"},
      {"approved in pieces",
       {R"({"verdict":"appr)", R"(oved","detail":"slow"})"
                               "\n"},
       1,
       "kelvane operator approval: APPROVED (slow)\n",
       "(none)"},
      {"denied, token ignored",
       {R"({"verdict":"denied","detail":"not now","approvalToken":"x"})"
        "\n"},
       0,
       "kelvane operator approval: DENIED (not now); the command was not run\n",
       "not now"},
      {"other verdict",
       {R"({"verdict":"Approved","detail":"case"})"
        "\n"},
       -1,
       "kelvane operator approval: Approved (case); the command was not run\n",
       "kelvane operator approval: Approved (case); the command was not run"},
      {"APPROVED in capitals",
       {R"({"verdict":"APPROVED","detail":"caps"})"
        "\n"},
       -1,
       "kelvane operator approval: APPROVED (caps); the command was not run\n",
       "kelvane operator approval: APPROVED (caps); the command was not run"},
      {"unreadable",
       {"garbage\n"},
       -1,
       "kelvane operator approval unavailable: expected value at line 1 column 1; the command was "
       "not run\n",
       "kelvane operator approval unavailable: expected value at line 1 column 1; the command was "
       "not run"},
      {"missing detail",
       {R"({"verdict":"approved"})"
        "\n"},
       -1,
       "kelvane operator approval unavailable: missing field `detail` at line 1 column 22; the "
       "command was not run\n",
       "kelvane operator approval unavailable: missing field `detail` at line 1 column 22; the "
       "command was not run"},
      {"not UTF-8",
       {"{\"verdict\":\"approved\",\"detail\":\"\xff\"}\n"},
       -1,
       "kelvane operator approval unavailable: stream did not contain valid UTF-8; the command was "
       "not run\n",
       "kelvane operator approval unavailable: stream did not contain valid UTF-8; the command was "
       "not run"},
      {"closed without an answer",
       {},
       -1,
       "kelvane operator approval unavailable: EOF while parsing a value at line 1 column 0; the "
       "command was not run\n",
       "kelvane operator approval unavailable: EOF while parsing a value at line 1 column 0; the "
       "command was not run"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string socket = dir.file("approval.sock");
    FakeService service(socket, {.read_request = true, .pieces = c.reply});
    LoadedPlugin plugin;
    const CheckRun run = plugin.run(restart_nginx_facts(socket));
    EXPECT_EQ(run.check, c.status);
    // alice has a terminal: she is told what sudo waits for.
    EXPECT_EQ(run.printed, kWaiting + c.printed);
    EXPECT_EQ(run.errstr, c.errstr);
    for (const int type : run.message_types) EXPECT_EQ(type, SUDO_CONV_ERROR_MSG);
    EXPECT_EQ(run.printed.find("t0k"), std::string::npos) << "the token is never shown";
  }
}

// One line before the wait, and only where sudo has a terminal and the
// operator is asked at all.
TEST(SudoPlugin, SaysItWaitsOnlyAtATerminal) {
  const struct {
    const char* name;
    Strings user_info;
    Strings argv;
    std::string printed;
  } cases[] = {
      {"terminal", alice(), restart_nginx(),
       kWaiting + "kelvane operator approval: APPROVED (ok)\n"},
      {"no terminal",
       {"user=alice", "uid=1000", "cwd=/home/alice", "host=web-03"},
       restart_nginx(),
       "kelvane operator approval: APPROVED (ok)\n"},
      {"refused before asking",
       alice(),
       {"cat", "caf\xe9"},
       "kelvane operator approval: refused: argv[1] is not valid UTF-8: $'caf\\xe9'; the command "
       "was not run\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string socket = dir.file("approval.sock");
    FakeService service(socket, {.read_request = true,
                                 .pieces = {R"({"verdict":"approved","detail":"ok"})"
                                            "\n"}});
    LoadedPlugin plugin;
    const CheckRun run =
        plugin.run(Facts{options_for(socket), c.user_info, restart_nginx_info(), c.argv});
    EXPECT_EQ(run.printed, c.printed);
  }
}

TEST(SudoPlugin, NoServiceIsAnError) {
  TempDir dir;
  LoadedPlugin plugin;
  const CheckRun run = plugin.run(restart_nginx_facts(dir.file("approval.sock")));
  EXPECT_EQ(run.check, -1);
  EXPECT_EQ(run.printed, kWaiting +
                             "kelvane operator approval unavailable: No such file or directory (os "
                             "error 2); the command was not run\n");
}

TEST(SudoPlugin, ErrstrOnlyWhereTheApiHasIt) {
  TempDir dir;
  const std::string socket = dir.file("approval.sock");
  FakeService service(socket, {.read_request = true,
                               .pieces = {R"({"verdict":"denied","detail":"no"})"
                                          "\n"}});
  LoadedPlugin plugin;
  Facts facts = restart_nginx_facts(socket);
  facts.api_version = SUDO_API_MKVERSION(1, 14);
  const CheckRun run = plugin.run(facts);
  EXPECT_EQ(run.check, 0);
  EXPECT_EQ(run.errstr, "(none)");
}

// --- Configuration ----------------------------------------------------------

TEST(SudoPlugin, OpenRefusesABadConfiguration) {
  const struct {
    Strings options;
    unsigned int api_version;
    const char* message;
  } cases[] = {
      {{"socket=relative.sock"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: socket= needs an absolute path: "
       "socket=relative.sock"},
      {{"socket="},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: socket= needs an absolute path: socket="},
      {{"timeout=soon"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: timeout= needs a number of seconds: timeout=soon"},
      {{"timeout=-1"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: timeout= needs a number of seconds: timeout=-1"},
      {{"timeout=18446744073709551616"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: timeout= needs a number of seconds: "
       "timeout=18446744073709551616"},
      {{"service_uid=approver"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: service_uid= needs a numeric uid: "
       "service_uid=approver"},
      {{"service_uid=4294967295"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: service_uid= needs a numeric uid: "
       "service_uid=4294967295"},
      {{"sokcet=/run/a.sock"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: unknown option: sokcet=/run/a.sock"},
      {{"socket"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: unknown option: socket"},
      {{"user_writable=yes"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: user_writable= needs refuse or ask: "
       "user_writable=yes"},
      {{"socket=/run/a.sock", "socket=/run/b.sock"},
       SUDO_API_VERSION,
       "kelvane operator approval: sudo.conf: option given twice: socket=/run/b.sock"},
      {{},
       SUDO_API_MKVERSION(2, 0),
       "kelvane operator approval: sudo's plugin API is version 2, not 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    LoadedPlugin plugin;
    Facts facts{c.options, alice(), restart_nginx_info(), restart_nginx()};
    facts.api_version = c.api_version;
    const CheckRun run = plugin.run(facts);
    EXPECT_EQ(run.open, -1);
    // sudo stops at a failed open(): the command does not run.
    const std::string message = std::string(c.message) + "; the command was not run";
    EXPECT_EQ(run.printed, message + "\n");
    EXPECT_EQ(run.errstr, message);
  }
}

// sudo calls open() first and hands it a printf and errstr; a plugin called
// out of order, or handed null pointers, refuses the command and crashes on
// nothing.
TEST(SudoPlugin, FailsClosedWhenCalledOutOfOrderOrHandedNulls) {
  LoadedPlugin plugin;
  approval_plugin& entry = plugin.entry_points();
  const Strings command_info = restart_nginx_info();
  const Strings argv = restart_nginx();
  const Strings none;
  const char* errstr = nullptr;
  EXPECT_EQ(entry.check(command_info.get(), argv.get(), none.get(), &errstr), -1)
      << "check() before open()";
  EXPECT_EQ(errstr, nullptr);
  EXPECT_EQ(entry.show_version(0), -1) << "show_version() before open()";

  static char* const submit_argv[] = {const_cast<char*>("sudo"), nullptr};
  ASSERT_EQ(entry.open(SUDO_API_VERSION, nullptr, nullptr, none.get(), nullptr, 1, submit_argv,
                       none.get(), nullptr, nullptr),
            1);
  // No user_info: the request cannot be built; nothing to print it with.
  EXPECT_EQ(entry.check(command_info.get(), argv.get(), none.get(), nullptr), -1);
  EXPECT_EQ(entry.show_version(0), -1);
  entry.close();
}

TEST(SudoPlugin, ShowsItsVersion) {
  LoadedPlugin plugin;
  EXPECT_EQ(plugin.version(), "kelvane_approval approval plugin version " KOA_VERSION "\n");
}

// --- Who may answer ---------------------------------------------------------

std::string refusal(const std::string& socket) {
  return "kelvane operator approval unavailable: the service at " + socket +
         " runs as uid 65534, neither root nor the service_uid= of sudo.conf (none is set); add "
         "service_uid=UID to the plugin's line in sudo.conf to trust that uid; the command was not "
         "run\n";
}

TEST(SudoPlugin, RefusesAServiceUnderAnotherUidBeforeSendingAByte) {
  REQUIRE_ROOT();
  TempDir dir;
  const std::string socket = dir.file("approval.sock");
  ServiceAs stranger(socket, kNobody, kApproval);
  LoadedPlugin plugin;
  const CheckRun run =
      plugin.run(Facts{{"socket=" + socket}, alice(), restart_nginx_info(), restart_nginx()});
  EXPECT_EQ(stranger.received(), "");
  EXPECT_EQ(run.check, -1);
  EXPECT_EQ(run.printed, kWaiting + refusal(socket));
}

TEST(SudoPlugin, ServiceUidTrustsThatUidOnly) {
  REQUIRE_ROOT();
  const struct {
    std::string service_uid;
    bool trusted;
  } cases[] = {{"service_uid=65534", true}, {"service_uid=65533", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.service_uid);
    TempDir dir;
    const std::string socket = dir.file("approval.sock");
    ServiceAs dedicated(socket, kNobody, kApproval);
    LoadedPlugin plugin;
    const CheckRun run = plugin.run(
        Facts{{"socket=" + socket, c.service_uid}, alice(), restart_nginx_info(), restart_nginx()});
    const std::string received = dedicated.received();
    EXPECT_EQ(run.check, c.trusted ? 1 : -1) << run.printed;
    EXPECT_EQ(received.empty(), !c.trusted);
    if (!c.trusted) {
      EXPECT_NE(run.printed.find("neither root nor service_uid=65533; change service_uid="),
                std::string::npos)
          << run.printed;
    }
  }
}

// --- The environment --------------------------------------------------------

// The invoking user sets the environment; the client's variables, in the
// plugin's process or in the vectors sudo passes, point at a service that
// would approve. Only socket= counts, and the host comes from user_info.
TEST(SudoPlugin, IgnoresTheEnvironment) {
  TempDir dir;
  const std::string approver_socket = dir.file("kelvane-operator-approval.sock");
  const std::string denier_socket = dir.file("denier.sock");
  FakeService approver(approver_socket, {.read_request = true, .pieces = {kApproval}});
  FakeService denier(denier_socket, {.read_request = true,
                                     .pieces = {R"({"verdict":"denied","detail":"no"})"
                                                "\n"}});
  const Strings envp{"KELVANE_OPERATOR_APPROVAL_SOCK=" + approver_socket,
                     "XDG_RUNTIME_DIR=" + dir.path(), "HOSTNAME=elsewhere"};
  ::setenv("KELVANE_OPERATOR_APPROVAL_SOCK", approver_socket.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  ::setenv("HOSTNAME", "elsewhere", 1);
  LoadedPlugin plugin;
  Facts facts = restart_nginx_facts(denier_socket);
  facts.envp = envp;
  const CheckRun run = plugin.run(facts);
  ::unsetenv("KELVANE_OPERATOR_APPROVAL_SOCK");
  ::unsetenv("XDG_RUNTIME_DIR");
  ::unsetenv("HOSTNAME");
  EXPECT_EQ(run.check, 0);
  EXPECT_EQ(run.printed,
            kWaiting + "kelvane operator approval: DENIED (no); the command was not run\n");
  EXPECT_EQ(approver.received(), "");
  EXPECT_NE(denier.received().find(R"("sourceHost":"web-03","targetHost":"web-03")"),
            std::string::npos);
}

// --- Ctrl-C -----------------------------------------------------------------

volatile sig_atomic_t g_sudo_saw = 0;
// Stands in for sudo's handler, which restarts interrupted calls and only
// records the signal.
void sudo_handler(int signal) {
  g_sudo_saw = signal;
}

// The service holds its answer: the connection waits in the listener's
// backlog, never accepted. SIGINT reaches the thread in check() once the
// request is on its way; check() must end at once, fail, put sudo's handler
// back and pass the signal on to it.
TEST(SudoPlugin, CtrlCEndsTheWaitAndTheCommandDoesNotRun) {
  TempDir dir;
  const std::string socket = dir.file("approval.sock");
  const int listener = listen_on(socket);
  ASSERT_GE(listener, 0);
  struct sigaction sudo_action {};
  sudo_action.sa_handler = sudo_handler;
  sudo_action.sa_flags = SA_RESTART;
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGINT, &sudo_action, &before), 0);
  g_sudo_saw = 0;

  const pthread_t checking = ::pthread_self();
  std::atomic<bool> returned = false;
  std::thread ctrl_c([&] {
    pollfd pending{listener, POLLIN, 0};
    if (::poll(&pending, 1, 10000) == 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::pthread_kill(checking, SIGINT);
    // A plugin that keeps waiting fails the test instead of hanging it: the
    // service then hangs up without an answer.
    for (int i = 0; i < 500 && !returned; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!returned) ::close(::accept(listener, nullptr, nullptr));
  });
  LoadedPlugin plugin;
  const auto start = std::chrono::steady_clock::now();
  const CheckRun run = plugin.run(restart_nginx_facts(socket));
  const auto waited = std::chrono::steady_clock::now() - start;
  returned = true;
  ctrl_c.join();

  struct sigaction after {};
  ::sigaction(SIGINT, &before, &after);
  ::close(listener);
  EXPECT_EQ(run.check, -1);
  EXPECT_EQ(run.printed, kWaiting +
                             "kelvane operator approval: interrupted by SIGINT before the operator "
                             "answered; the command was not run\n");
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(g_sudo_saw, SIGINT) << "the signal is passed on to sudo";
  EXPECT_EQ(after.sa_handler, sudo_handler) << "sudo's handler is put back";
}

}  // namespace
}  // namespace kelvane::testing
