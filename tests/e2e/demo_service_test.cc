// The demo service answering on its own (--auto), driven by the real client
// and by hand-made requests.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ios>
#include <regex>
#include <string>
#include <vector>

#include "e2e/client.h"
#include "e2e/demo_harness.h"
#include "testing/service.h"

namespace kelvane::testing {
namespace {

const std::string kName = "kelvane-operator-approval-demo";

bool is_socket(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

DemoRun::Setup answering(const std::string& socket, const char* verdict,
                         std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"--socket", socket, "--auto", verdict};
  args.insert(args.end(), extra.begin(), extra.end());
  return {.args = args, .env = {}};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

TEST(DemoService, ApprovesWithTokenAndExpiryThenRemovesItsSocket) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  ::close(listen_on(socket));  // stale: left by a run that is gone
  DemoRun demo(answering(socket, "approve"));
  ASSERT_TRUE(demo.wait_until_ready()) << demo.log();
  // Only the service's own user may connect (and root, whom nothing stops).
  struct stat status {};
  ASSERT_EQ(::lstat(socket.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 077, 0u) << std::oct << status.st_mode;
  for (int round = 0; round < 2; ++round) {  // one connection after another
    const ClientRun run = run_client(reboot_client(socket));
    EXPECT_EQ(run.status(), 0);
    EXPECT_TRUE(std::regex_match(run.out, std::regex("[0-9a-f]{32}\n"))) << run.out;
    EXPECT_TRUE(std::regex_match(
        run.err, std::regex("kelvane operator approval: APPROVED \\(approved automatically\\)\n"
                            "kelvane operator approval: token expires at "
                            "20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z\n")))
        << run.err;
  }
  EXPECT_EQ(demo.stop(), 0);
  EXPECT_FALSE(exists(socket));
  EXPECT_EQ(lines_of(demo.screen())[0],
            kName + ": listening on " + socket + " (approving everything)");
}

// Ctrl-C, a kill, or the operator's terminal closing: the service stops and
// takes its socket file with it.
TEST(DemoService, StopsCleanlyOnEachStopSignal) {
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    TempDir dir;
    const std::string socket = dir.file("demo.sock");
    DemoRun demo(answering(socket, "deny"));
    ASSERT_TRUE(demo.wait_until_ready());
    demo.signal(number);
    EXPECT_EQ(demo.wait_for_exit(), 0) << number;
    EXPECT_FALSE(exists(socket)) << number;
    EXPECT_EQ(demo.log(), kName + ": stopped\n") << number;
  }
}

TEST(DemoService, Denies) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "deny"));
  ASSERT_TRUE(demo.wait_until_ready());
  const ClientRun run = run_client(reboot_client(socket));
  EXPECT_EQ(run.status(), 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "kelvane operator approval: DENIED (denied automatically)\n");
}

TEST(DemoService, ListensWhereTheClientLooks) {
  TempDir dir;
  DemoRun demo({.args = {"--auto", "approve"}, .env = {"XDG_RUNTIME_DIR=" + dir.path()}});
  ASSERT_TRUE(demo.wait_until_ready());
  EXPECT_EQ(run_client({.args = {"--title", "t", "--detail", "d", "--target-host", "h"},
                        .env = {"XDG_RUNTIME_DIR=" + dir.path()},
                        .close_standard_descriptors = false})
                .status(),
            0);
}

// One line on standard error per request, whatever became of it.
TEST(DemoService, LogsEveryDecision) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "approve"));
  ASSERT_TRUE(demo.wait_until_ready());
  ClientProcess client(reboot_client(socket));
  ASSERT_TRUE(client.wait());
  ASSERT_TRUE(demo.wait_for_log("\n"));
  const std::string expected =
      "20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z uid=" +
      std::to_string(::geteuid()) + " pid=" + std::to_string(client.pid()) +
      " title=\"Reboot\" target=\"web-03\" verdict=approved how=auto "
      "detail=\"approved automatically\"\n";
  EXPECT_TRUE(std::regex_match(demo.log(), std::regex(expected))) << demo.log();
}

// A request about one operation is logged with who asked for it: the
// declared requester and the digest; the invoking user a peer states only
// where the requester check believes it too (root running sudo: the
// plugin). The client here is no sudo, root or not: its statement is not
// taken.
TEST(DemoService, LogsWhoAskedForAnOperation) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "deny"));
  ASSERT_TRUE(demo.wait_until_ready());
  ClientProcess client(reboot_client(
      socket, {"--requester", "sudo", "--operation-digest", "sha256:4f1c", "--context",
               R"({"invokingUid":1000,"invokingUser":"alice","runAsUser":"root"})"}));
  ASSERT_TRUE(client.wait());
  ASSERT_TRUE(demo.wait_for_log("\n"));
  EXPECT_TRUE(demo.log().ends_with(
      " verdict=denied how=auto detail=\"denied automatically\" requester=\"sudo\" "
      "digest=\"sha256:4f1c\"\n"))
      << demo.log();
}

// Started with standard input and output closed, the service still takes
// requests, and waits without using the processor: the numbers of the closed
// descriptors are not handed to its stop pipe or its socket.
TEST(DemoService, RunsQuietlyWithStandardInputAndOutputClosed) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun::Setup setup = answering(socket, "approve");
  setup.closed_input_and_output = true;
  DemoRun demo(setup);
  for (int i = 0; i < 500 && !is_socket(socket); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(is_socket(socket)) << demo.log();
  EXPECT_EQ(run_client(reboot_client(socket)).status(), 0);
  ASSERT_TRUE(demo.wait_for_log("verdict=approved"));
  const auto before = demo.cpu_time();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(demo.cpu_time() - before, 100ms) << "busy while waiting";
  EXPECT_EQ(demo.stop(), 0);
}

// The operator sees who connected as the kernel reports it, apart from what
// the request says of itself.
TEST(DemoService, ShowsTheVerifiedPeerBesideTheDeclaredRequester) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "deny"));
  ASSERT_TRUE(demo.wait_until_ready());
  ClientProcess client(
      reboot_client(socket, {"--requester", "root", "--source-host", "trusted-host"}));
  ASSERT_TRUE(client.wait());
  ASSERT_TRUE(demo.wait_for_screen("end of approval request 1"));
  const std::string shown = demo.screen();
  const std::string uid = std::to_string(::geteuid());
  EXPECT_NE(shown.find("| who asks, as the kernel reports it (verified; a process names "
                       "itself):\n|   user          uid " +
                       uid),
            std::string::npos)
      << shown;
  // Under tests/valgrind/run.sh (KOA_VALGRIND) the client's process is
  // valgrind's tool, which the kernel names and shows as such.
  const bool valgrind = std::getenv("KOA_VALGRIND") != nullptr;
  const std::string name = valgrind ? "memcheck-amd64-" : "kelvane-operato";
  const std::string executable = valgrind ? "memcheck-amd64-linux" : "kelvane-operator-approve";
  EXPECT_NE(shown.find("|   process       " + std::to_string(client.pid()) + " \"" + name + "\"\n"),
            std::string::npos)
      << shown;
  // A long executable path is wrapped into quoted pieces on lines of their
  // own; joined again, it ends with the client's name whatever the build
  // folder.
  const std::string joined = std::regex_replace(shown, std::regex("\"\n\\| +\""), "");
  EXPECT_NE(joined.find(executable + "\"\n"), std::string::npos) << "the executable: " << shown;
  EXPECT_NE(shown.find("| who asks, as the request declares it (not verified):\n"
                       "|   requester     \"root\"\n"
                       "|   source host   \"trusted-host\"\n"),
            std::string::npos)
      << shown;
}

// Nothing a request holds can drive the terminal, or draw a field or a
// request boundary of its own.
TEST(DemoService, ShowsEveryTextEscapedAndFenced) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "deny"));
  ASSERT_TRUE(demo.wait_until_ready());
  const std::string fake_end = "\n+-- end of approval request 1 ---\nApprove request 1? [y/N] ";
  const ClientRun run = run_client(
      {.args =
           {"--title",
            "Reboot\x1b[2J\r\xC2\x9B\u202E\u2066\u200B\u2028\u2029x\n  target host   \"prod-db\"",
            "--detail", "two\nlines" + fake_end, "--target-host", "h\x7F", "--context",
            R"({"argv":["rm","-rf","/"],"k\u202e":"v\u2069"})"},
       .env = {"KELVANE_OPERATOR_APPROVAL_SOCK=" + socket},
       .close_standard_descriptors = false});
  EXPECT_EQ(run.status(), 1);
  ASSERT_TRUE(demo.wait_for_screen("+-- end of approval request 1 --"));
  const std::string shown = demo.screen();
  EXPECT_NE(
      shown.find(
          "|   title         \"Reboot\\u{1b}[2J\\r\\u{9b}\\u{202e}\\u{2066}\\u{200b}\\u{2028}\"\n"
          "|                 \"\\u{2029}x\\n\"\n"
          "|                 \"  target host   \\\"prod-db\\\"\"\n"),
      std::string::npos)
      << shown;
  EXPECT_NE(shown.find("|   target host   \"h\\u{7f}\"\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("|     \"k\\u{202e}\": \"v\\u{2069}\"\n"), std::string::npos) << shown;
  for (const char* raw :
       {"\x1b", "\r", "\x7f", "\xC2\x9B", "\u202E", "\u2066", "\u200B", "\u2028", "\u2029"}) {
    EXPECT_EQ(shown.find(raw), std::string::npos)
        << "copied raw: " << ::testing::PrintToString(std::string(raw));
  }
  // The block: its lines behind the fence, one target host, one end.
  std::size_t target_hosts = 0, ends = 0, fenced = 0;
  bool inside = false;
  for (const std::string& line : lines_of(shown)) {
    if (line.starts_with("+-- approval request 1 ")) inside = true;
    if (line.starts_with("+-- end of approval request 1 ")) {
      ++ends;
      inside = false;
    } else if (inside && !line.starts_with("+-- ")) {
      EXPECT_TRUE(line.starts_with("| ")) << line;
      ++fenced;
    }
    if (line.starts_with("|   target host")) ++target_hosts;
    if (line.starts_with("|")) {
      EXPECT_LE(line.size(), 80u) << line;
    }
  }
  EXPECT_EQ(target_hosts, 1u);
  EXPECT_EQ(ends, 1u);
  EXPECT_GT(fenced, 10u);
}

// A request from the sudo approval plugin, context and all, reads as a list
// of facts.
TEST(DemoService, ShowsAStructuredContextReadably) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "deny"));
  ASSERT_TRUE(demo.wait_until_ready());
  EXPECT_EQ(
      run_client(
          reboot_client(
              socket, {"--action", "sudo", "--context",
                       R"({"argv":["systemctl","restart","nginx"],"command":"/usr/bin/systemctl",)"
                       R"("cwd":"/root","runAsUser":"root","runAsUid":0,"tty":"/dev/pts/0",)"
                       R"("pid":1234})"}))
          .status(),
      1);
  ASSERT_TRUE(demo.wait_for_screen("end of approval request 1"));
  EXPECT_NE(demo.screen().find("|   context\n"
                               "|     argv:\n"
                               "|       - \"systemctl\"\n"
                               "|       - \"restart\"\n"
                               "|       - \"nginx\"\n"
                               "|     command: \"/usr/bin/systemctl\"\n"
                               "|     cwd: \"/root\"\n"
                               "|     pid: 1234\n"
                               "|     runAsUid: 0\n"
                               "|     runAsUser: \"root\"\n"
                               "|     tty: \"/dev/pts/0\"\n"),
            std::string::npos)
      << demo.screen();
}

// Every request the service cannot take is answered, with the reason, and
// logged; none is approved and none is dropped in silence.
TEST(DemoService, AnswersOddRequestsWithTheReason) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "approve"));
  ASSERT_TRUE(demo.wait_until_ready());
  const std::string members =
      R"("title":"t","detail":"d","action":"a","requester":"r","sourceHost":"s","targetHost":"h")";
  struct Case {
    const char* name;
    std::string sent;
    bool end_stream;
    std::string detail;
  };
  const Case cases[] = {
      {"not UTF-8", "{" + members + ",\"context\":\"\xff\"}\n", false,
       "the request line is not valid UTF-8"},
      {"not an object", "[]\n", false, "the request is not a JSON object"},
      {"unknown member", "{" + members + ",\"approve\":true}\n", false,
       "the request has an unknown member \\\"approve\\\""},
      {"repeated member", "{" + members + ",\"targetHost\":\"other\"}\n", false,
       "the member \\\"targetHost\\\" appears twice"},
      {"missing member",
       R"({"title":"t"})"
       "\n",
       false, "the member \\\"detail\\\" is missing"},
      {"too long", "{\"title\":\"" + std::string(1 << 20, 't') + "\"}\n", false,
       "the request line is longer than 1048576 bytes"},
      {"no line feed", "{" + members + "}", true, "the request line ended without a line feed"},
  };
  std::size_t logged = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(raw_exchange(socket, c.sent, c.end_stream),
              "{\"verdict\":\"invalid_request\",\"detail\":\"" + c.detail + "\"}\n")
        << c.name;
    ++logged;
    EXPECT_TRUE(
        demo.wait_for_log("verdict=invalid_request how=invalid detail=\"" + c.detail + "\"\n"))
        << c.name << ": " << demo.log();
  }
  EXPECT_EQ(lines_of(demo.log()).size(), logged) << demo.log();
}

// A context as deep as the client accepts reaches the operator.
TEST(DemoService, TakesTheDeepestContextTheClientSends) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "approve"));
  ASSERT_TRUE(demo.wait_until_ready());
  const ClientRun run = run_client(
      reboot_client(socket, {"--context", std::string(127, '[') + "7" + std::string(127, ']')}));
  EXPECT_EQ(run.status(), 0) << run.err;
  EXPECT_TRUE(demo.wait_for_screen("(level 127) - 7\n")) << demo.screen();
}

// The time limit is on the whole line: a client that trickles bytes is
// answered when it runs out, not kept for as long as it keeps sending.
TEST(DemoService, TheRequestTimeLimitCoversTheWholeLine) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "approve"));
  ASSERT_TRUE(demo.wait_until_ready());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const auto start = std::chrono::steady_clock::now();
  std::string received;
  for (int i = 0; i < 15 && received.empty(); ++i) {
    ::send(fd, "{", 1, MSG_NOSIGNAL);
    std::this_thread::sleep_for(1s);
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) received.assign(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  EXPECT_EQ(received,
            "{\"verdict\":\"invalid_request\",\"detail\":\"the request line was not complete "
            "within 10 seconds\"}\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 13s);
}

TEST(DemoService, OnceAnswersOneRequestThenEnds) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun demo(answering(socket, "approve", {"--once"}));
  ASSERT_TRUE(demo.wait_until_ready());
  EXPECT_EQ(raw_exchange(socket, "", true), "");  // a connection that sends nothing is no request
  EXPECT_FALSE(demo.wait_for_exit(200ms));
  EXPECT_EQ(run_client(reboot_client(socket)).status(), 0);
  EXPECT_EQ(demo.wait_for_exit(), 0);
  EXPECT_FALSE(exists(socket));
  EXPECT_EQ(lines_of(demo.log()).size(), 1u)
      << demo.log();  // the request's line, and nothing for the probe
}

TEST(DemoService, NeverReplacesWhatIsNotAStaleSocket) {
  TempDir dir;
  const std::string file = dir.file("precious");
  write_file(file, "keep me");
  DemoRun on_file(answering(file, "approve"));
  EXPECT_EQ(on_file.wait_for_exit(), 1);
  EXPECT_EQ(read_whole_file(file), "keep me");
  EXPECT_EQ(on_file.log(), kName + ": " + file + " exists and is not a socket; not replacing it\n");

  const std::string live = dir.file("live.sock");
  FakeService other(live, {.read_request = true, .pieces = {}});
  DemoRun on_live(answering(live, "approve"));
  EXPECT_EQ(on_live.wait_for_exit(), 1);
  EXPECT_TRUE(is_socket(live));
  EXPECT_EQ(on_live.log(),
            kName + ": another service is already listening on " + live + "; leaving it alone\n");
}

// A service too busy to accept is not gone: its socket stays, also when the
// starting service is interrupted while it looks.
TEST(DemoService, LeavesABusyServicesSocketAlone) {
  TempDir dir;
  const std::string busy = dir.file("busy.sock");
  const int listener = listen_on(busy);
  ASSERT_GE(listener, 0);
  std::vector<int> queued;  // fill the backlog
  for (int i = 0; i < 64; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    busy.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    queued.push_back(fd);
    if (!connected) break;
  }
  DemoRun demo(answering(busy, "approve"));
  std::optional<int> status = demo.wait_for_exit(3s);
  if (!status) {
    demo.signal(SIGINT);  // Ctrl-C while it waits on the busy service
    status = demo.wait_for_exit();
  }
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(is_socket(busy)) << "the busy service's socket was removed";
  for (const int fd : queued) ::close(fd);
  ::close(listener);
}

// A second service started on the same path leaves the first one alone:
// its socket, its service and its log.
TEST(DemoService, ASecondInstanceLeavesTheFirstUndisturbed) {
  TempDir dir;
  const std::string socket = dir.file("demo.sock");
  DemoRun first(answering(socket, "approve"));
  ASSERT_TRUE(first.wait_until_ready());
  DemoRun second(answering(socket, "deny"));
  EXPECT_EQ(second.wait_for_exit(), 1);
  EXPECT_EQ(second.log(),
            kName + ": another service is already listening on " + socket + "; leaving it alone\n");
  EXPECT_EQ(run_client(reboot_client(socket)).status(), 0);
  ASSERT_TRUE(first.wait_for_log("\n"));
  EXPECT_EQ(lines_of(first.log()).size(), 1u) << first.log();  // the client's request only
  EXPECT_EQ(first.stop(), 0);
}

// The conventions of a command-line program: help and version on standard
// output, and a bad argument named, with the usage, on standard error.
TEST(DemoService, Conventions) {
  TempDir dir;
  const std::string long_dir = dir.path() + "/" + std::string(100, 'd');
  const std::string long_socket = long_dir + "/s.sock";
  const std::string long_default = long_dir + "/kelvane-operator-approval.sock";
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::string out_start;
    std::string err_start;
  };
  const Case cases[] = {
      {{"--help"},
       {},
       0,
       "usage: " + kName + " [--socket PATH] [--auto approve|deny] [--once]\n",
       ""},
      {{"--version"}, {}, 0, kName + " 0.", ""},
      {{"--auto", "maybe"},
       {},
       2,
       "",
       kName + ": --auto takes approve or deny, not \"maybe\"\nusage: "},
      {{"--socket", long_socket},
       {},
       2,
       "",
       kName + ": --socket: the socket path is " + std::to_string(long_socket.size()) +
           " bytes long; it must be shorter than 108 bytes\nusage: "},
      {{"--auto", "deny"},
       {"XDG_RUNTIME_DIR=" + long_dir},
       1,
       "",
       kName + ": the socket path is " + std::to_string(long_default.size()) +
           " bytes long; it must be shorter than 108 bytes: " + long_default + "\n"},
      {{"--frobnicate"}, {}, 2, "", kName + ": unknown argument \"--frobnicate\"\nusage: "},
  };
  for (const Case& c : cases) {
    DemoRun demo({.args = c.args, .env = c.env});
    EXPECT_EQ(demo.wait_for_exit(), c.status) << c.args[0];
    EXPECT_EQ(demo.screen().substr(0, c.out_start.size()), c.out_start) << c.args[0];
    EXPECT_EQ(demo.log().substr(0, c.err_start.size()), c.err_start) << c.args[0];
    if (c.out_start.empty()) {
      EXPECT_EQ(demo.screen(), "") << c.args[0];
    }
    if (c.err_start.empty()) {
      EXPECT_EQ(demo.log(), "") << c.args[0];
    }
  }
}

}  // namespace
}  // namespace kelvane::testing
