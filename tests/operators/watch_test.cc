// The watch console on a pseudo-terminal against a fake daemon that pushes
// events: the keys an operator types can only ever answer the request that
// was on the screen when they were meant.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "fake_daemon.h"
#include "service/operator_protocol.h"
#include "service/peer.h"
#include "service/signed_vote.h"
#include "sshsig/detached_signature.h"
#include "sshsig/public_key.h"
#include "sshsig/verify.h"
#include "testing/service.h"

namespace kelvane::operators {
namespace {

using namespace std::chrono_literals;
using service::OperatorAnswer;
using service::OperatorEvent;
using service::RequestRecord;
using testing::FakeDaemon;

RequestRecord pending(std::string id) {
  RequestRecord r;
  r.id = id;
  r.state = "pending";
  r.title = "Reboot web-" + id;
  r.detail = "command: /usr/sbin/reboot";
  r.action = "sudo";
  r.requester = "alice";
  r.source_host = "web-03";
  r.target_host = "web-" + id;
  r.timeout_secs = 300;
  r.created_at = "2026-12-07T20:00:00Z";
  r.verified_uid = 1000;
  r.verified_user = "alice";
  r.peer = {1000, 1000, 4242, "kelvane-operato", "/usr/bin/kelvane-operator-approve"};
  r.needed = 1;
  return r;
}

std::string closed(std::string id, std::string state) {
  OperatorEvent e;
  e.kind = OperatorEvent::Kind::Closed;
  e.id = std::move(id);
  e.state = std::move(state);
  return service::encode_event(e);
}

std::string vote_reply(std::string state) {
  OperatorAnswer a;
  a.reply = true;
  a.state = std::move(state);
  a.votes = 1;
  a.needed = 1;
  return service::encode_answer(a);
}

std::string vote_line(std::string id, bool approve, std::optional<std::string> reason) {
  service::OperatorRequest r;
  r.op = service::OperatorOp::Vote;
  r.id = std::move(id);
  r.approve = approve;
  r.reason = std::move(reason);
  std::string line = service::encode_operator_request(r);
  line.pop_back();
  return line;
}

// kelvane-operator-approvals watch on a pseudo-terminal, and the daemon's
// end of its connection.
class WatchSession {
 public:
  explicit WatchSession(FakeDaemon& daemon, unsigned short rows = 50, unsigned short columns = 100)
      : WatchSession(daemon.path(), daemon.listener(), rows, columns) {}

  // On the socket at `path`; with `listener` >= 0, the connection is taken
  // from it (a fake daemon).
  // With more arguments after "watch".
  WatchSession(FakeDaemon& daemon, std::vector<std::string> more)
      : WatchSession(daemon.path(), daemon.listener(), 50, 100, std::move(more)) {}

  WatchSession(const std::string& path, int listener, unsigned short rows = 50,
               unsigned short columns = 100, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {KOA_APPROVALS_PATH, "--socket", path, "watch"};
    args.insert(args.end(), more.begin(), more.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    winsize size{};
    size.ws_row = rows;
    size.ws_col = columns;
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      ::execv(KOA_APPROVALS_PATH, argv.data());
      ::_exit(127);
    }
    if (listener >= 0) connection_ = testing::accept_within(listener, 10000);
  }

  ~WatchSession() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }

  int connection() const { return connection_.get(); }
  pid_t pid() const { return pid_; }
  int terminal() const { return master_; }
  void signal(int number) { ::kill(pid_, number); }

  void push(const std::string& line) {
    ASSERT_EQ(::send(connection_.get(), line.data(), line.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(line.size()));
  }

  std::optional<std::string> next_line(int ms) {
    return testing::read_line_within(connection_.get(), ms);
  }

  void type(std::string_view keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads the screen until `text` shows up after what was seen before.
  bool wait_for(std::string_view text, std::chrono::milliseconds within = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
      const std::size_t found = screen_.find(text, seen_);
      if (found != std::string::npos) {
        seen_ = found + text.size();
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_screen(static_cast<int>(left.count()))) return false;
    }
  }

  // Everything shown until now, including what is still on its way.
  const std::string& screen(std::chrono::milliseconds settle = 200ms) {
    while (read_screen(static_cast<int>(settle.count()))) {
    }
    return screen_;
  }

  int wait_exit() {
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      screen(10ms);  // a pty whose output is not read can block its writer
      std::this_thread::sleep_for(10ms);
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }

 private:
  bool read_screen(int ms) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;
    screen_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  FileDescriptor connection_;
  std::string screen_;
  std::size_t seen_ = 0;
};

void start_watch(WatchSession& s, std::vector<std::string> ids) {
  ASSERT_EQ(s.next_line(5000), std::optional<std::string>("{\"op\":\"watch\"}"));
  std::string lines = "{\"ok\":true}\n";
  for (const std::string& id : ids) lines += service::encode_pending_event(pending(id));
  s.push(lines);
}

// The key the operator meant for a request that was withdrawn while they
// read it arrives after the withdrawal, 0.15 to 0.8 s later: it must not
// approve the request shown next.
TEST(Watch, AKeyTypedAfterAWithdrawalDoesNotAnswerTheNextRequest) {
  for (const auto delay : {150ms, 450ms, 800ms}) {
    SCOPED_TRACE(delay.count());
    FakeDaemon daemon;
    WatchSession s(daemon);
    ASSERT_NO_FATAL_FAILURE(start_watch(s, {"1", "2"}));
    ASSERT_TRUE(s.wait_for("approve request 1?")) << s.screen();
    std::this_thread::sleep_for(1200ms);  // past the quiet second of the first question

    s.push(closed("1", "withdrawn"));
    std::this_thread::sleep_for(delay);
    s.type("y");
    EXPECT_EQ(s.next_line(1500), std::nullopt) << "a vote was sent for the next request";

    const std::string& screen = s.screen();
    const std::size_t announced = screen.find("request 1 was withdrawn by its requester");
    const std::size_t next = screen.find("approve request 2?");
    ASSERT_NE(announced, std::string::npos) << screen;
    ASSERT_NE(next, std::string::npos) << screen;
    EXPECT_LT(announced, next);

    // Once the quiet second is over, a key answers the request shown, by id.
    s.type("y");
    EXPECT_EQ(s.next_line(3000), vote_line("2", true, std::nullopt));
    s.push(vote_reply("approved"));
    EXPECT_TRUE(s.wait_for("request 2: your vote is recorded; it is now approved")) << s.screen();
    s.type("q");
    EXPECT_EQ(s.wait_exit(), 0);
  }
}

TEST(Watch, AKeyTypedJustBeforeTheQuestionChangesIsFlushed) {
  FakeDaemon daemon;
  WatchSession s(daemon);
  ASSERT_NO_FATAL_FAILURE(start_watch(s, {"1", "2"}));
  ASSERT_TRUE(s.wait_for("approve request 1?"));
  std::this_thread::sleep_for(1200ms);
  // The closing event and the key reach the console together; the event is
  // handled first and takes the key with it.
  s.push(closed("1", "approved"));
  s.type("y");
  EXPECT_EQ(s.next_line(1500), std::nullopt);
  EXPECT_NE(s.screen().find("request 1 was decided elsewhere: approved"), std::string::npos);
}

// Typing that runs on across a change of the request shown, one key every
// 70 ms without a pause, whatever the console was doing when the request
// changed: taking a reason ("try again tomorrow, yes..."), showing the keys,
// or asking. None of it may count for the request shown next, however long
// it goes on after the change; once the keyboard has been still for a
// second, a key answers the new request, by its id.
TEST(Watch, TypingThatRunsOnAcrossAChangeNeverVotes) {
  const std::string words = "try again tomorrow, yes yes, why not, it is fine by me ";
  for (const std::string_view mode : {"reason", "help", "question"}) {
    SCOPED_TRACE(mode);
    FakeDaemon daemon;
    WatchSession s(daemon);
    ASSERT_NO_FATAL_FAILURE(start_watch(s, {"1", "2"}));
    ASSERT_TRUE(s.wait_for("approve request 1?")) << s.screen();
    std::this_thread::sleep_for(1200ms);
    if (mode == "reason") {
      s.type("n");
      ASSERT_TRUE(s.wait_for("reason for denying request 1")) << s.screen();
    } else if (mode == "help") {
      s.type("?");
      ASSERT_TRUE(s.wait_for("keys: y approve")) << s.screen();
    }
    if (mode != "reason") {
      // At a question the words hold keys that answer it: typing starts as
      // soon as the change is on the screen.
      s.push(closed("1", "withdrawn"));
      ASSERT_TRUE(s.wait_for("approve request 2?")) << s.screen();
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (mode == "reason" && i == 12) s.push(closed("1", "withdrawn"));
      s.type(words.substr(i, 1));
      std::this_thread::sleep_for(70ms);
    }
    EXPECT_EQ(s.next_line(1500), std::nullopt) << "typing that ran on voted\n" << s.screen();
    EXPECT_NE(s.screen().find("request 1 was withdrawn"), std::string::npos);

    s.type("y");
    EXPECT_EQ(s.next_line(3000), vote_line("2", true, std::nullopt)) << s.screen();
    s.type("q");
    EXPECT_EQ(s.wait_exit(), 0);
  }
}

// Keys typed ahead, queued in the terminal with the event that changes the
// question (the console stopped while both arrive), and keys typed right
// after the new question is drawn: all are thrown away, none answers it.
TEST(Watch, KeysTypedAheadOfTheNewQuestionAreThrownAway) {
  FakeDaemon daemon;
  WatchSession s(daemon);
  ASSERT_NO_FATAL_FAILURE(start_watch(s, {"1", "2"}));
  ASSERT_TRUE(s.wait_for("approve request 1?"));
  std::this_thread::sleep_for(1200ms);
  ::kill(s.pid(), SIGSTOP);
  s.push(closed("1", "approved"));
  s.type("yyy");
  std::this_thread::sleep_for(1200ms);  // longer than the still second
  ::kill(s.pid(), SIGCONT);
  ASSERT_TRUE(s.wait_for("approve request 2?")) << s.screen();
  s.type("y");
  EXPECT_EQ(s.next_line(1500), std::nullopt) << s.screen();
  s.type("y");  // a second after the last key: this one is meant
  EXPECT_EQ(s.next_line(3000), vote_line("2", true, std::nullopt)) << s.screen();
}

// A sudo request as the plugin words it: the command, its run-as user, the
// environment one variable a line.
RequestRecord sudo_request(std::string id, const std::string& command,
                           const std::vector<std::string>& env) {
  RequestRecord r = pending(std::move(id));
  r.title = "sudo: " + command;
  r.detail = "command: /usr/bin/" + command +
             "\nargv[0]: x\nrun as: root (uid 0, gid 0)\nworking directory: /home/alice"
             "\ninvoked by: alice (uid 1000)\nsettings: (empty)\nenvironment:";
  std::string env_json;
  for (const std::string& e : env) {
    r.detail += "\n  " + e;
    env_json += (env_json.empty() ? "\"" : ",\"") + e + "\"";
  }
  r.context = "{\"command\":\"/usr/bin/x\",\"env\":[" + env_json +
              "],\"runAsGid\":0,\"runAsUid\":0,\"runAsUser\":\"root\"}";
  r.via_sudo = true;
  return r;
}

// The rows a terminal of `rows` x `columns` shows at the end of `screen`
// (printable ASCII and line ends only): a line longer than the width takes
// more rows; the row the cursor is on, after the last line feed, counts.
std::vector<std::string> visible_rows(const std::string& screen, std::size_t rows,
                                      std::size_t columns) {
  std::vector<std::string> all;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = screen.find('\n', begin);
    std::string line = screen.substr(begin, end == std::string::npos ? end : end - begin);
    std::erase(line, '\r');
    do {
      all.push_back(line.substr(0, columns));
      line.erase(0, columns);
    } while (!line.empty());
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (all.size() > rows) all.erase(all.begin(), all.end() - static_cast<std::ptrdiff_t>(rows));
  return all;
}

// On a terminal of 24 rows and 80 columns, whenever a key can vote, what it
// decides is in view: the title, the verified requester, the run-as user and
// the start of the command, however long the rest of the request (a plain
// sudo with its environment, one padded with a long variable, a title
// padded itself), after the whole request was shown with d, after the
// keys with ?, and after a skip with nothing else waiting.
TEST(Watch, TheQuestionShowsWhatItDecidesOn24By80) {
  std::vector<std::string> plain_env;
  for (int i = 0; i < 60; ++i) plain_env.push_back("VAR_" + std::to_string(i) + "=value");
  const struct {
    std::string_view what;
    RequestRecord request;
    std::string title_start;
  } cases[] = {
      {"plain", sudo_request("1", "systemctl restart nginx", plain_env),
       "\"sudo: systemctl restart nginx\""},
      {"padded environment",
       sudo_request("1", "rm -rf /srv/data", {"BIG=" + std::string(20000, 'x'), "PATH=/bin"}),
       "\"sudo: rm -rf /srv/data\""},
      {"padded title",
       [] {
         RequestRecord r = sudo_request("1", "rm -rf /srv/data", {});
         r.title = "sudo: rm -rf /srv/data " + std::string(5000, ' ') + "harmless";
         return r;
       }(),
       "\"sudo: rm -rf /srv/data    "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string command = "\"command: /usr/bin/" + c.request.title.substr(6, 16);
    auto expect_in_view = [&](WatchSession& s, std::string_view after) {
      ASSERT_TRUE(s.wait_for(after)) << s.screen();
      ASSERT_TRUE(s.wait_for("approve request 1?")) << s.screen();
      std::string view;
      for (const std::string& row : visible_rows(s.screen(), 24, 80)) view += row + "\n";
      for (const std::string& shown : {c.title_start, std::string("uid 1000 (alice), through sudo"),
                                       std::string("run as        root (uid 0, gid 0)"), command}) {
        EXPECT_NE(view.find(shown), std::string::npos) << after << ": " << shown << " not in\n"
                                                       << view;
      }
    };
    FakeDaemon daemon;
    WatchSession s(daemon, 24, 80);
    ASSERT_EQ(s.next_line(5000), std::optional<std::string>("{\"op\":\"watch\"}"));
    s.push("{\"ok\":true}\n" + service::encode_pending_event(c.request));
    ASSERT_NO_FATAL_FAILURE(expect_in_view(s, "request 1"));
    std::this_thread::sleep_for(1200ms);
    s.type("d");
    ASSERT_NO_FATAL_FAILURE(expect_in_view(s, "end of request 1"));
    EXPECT_NE(s.screen().find("time limit"), std::string::npos);  // d showed it all
    s.type("?");
    ASSERT_NO_FATAL_FAILURE(expect_in_view(s, "keys: y approve"));
    s.type("s");
    ASSERT_NO_FATAL_FAILURE(expect_in_view(s, "no other request is waiting"));
    s.type("y");
    EXPECT_EQ(s.next_line(3000), vote_line("1", true, std::nullopt));
    s.type("q");
    EXPECT_EQ(s.wait_exit(), 0);
  }
}

TEST(Watch, ArrivalsWaitTheirTurnAndADenialAsksItsReason) {
  FakeDaemon daemon;
  WatchSession s(daemon);
  ASSERT_NO_FATAL_FAILURE(start_watch(s, {"5"}));
  ASSERT_TRUE(s.wait_for("approve request 5?"));
  std::this_thread::sleep_for(1200ms);
  s.push(service::encode_pending_event(pending("6")));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(s.screen().find("approve request 6?"), std::string::npos) << s.screen();

  s.type("n");
  ASSERT_TRUE(s.wait_for("reason for denying request 5"));
  s.type("too risky today\n");
  EXPECT_EQ(s.next_line(3000), vote_line("5", false, "too risky today"));
  s.push(vote_reply("denied"));
  ASSERT_TRUE(s.wait_for("request 5: your vote is recorded; it is now denied"));
  ASSERT_TRUE(s.wait_for("approve request 6?"));

  // A withdrawal while the reason is typed drops the half-typed reason.
  std::this_thread::sleep_for(1200ms);
  s.type("n");
  ASSERT_TRUE(s.wait_for("reason for denying request 6"));
  s.type("half a rea");
  std::this_thread::sleep_for(100ms);
  s.push(closed("6", "withdrawn"));
  ASSERT_TRUE(s.wait_for("request 6 was withdrawn"));
  ASSERT_TRUE(s.wait_for("waiting for requests"));
  s.type("son\n");
  EXPECT_EQ(s.next_line(1500), std::nullopt);
  s.type("q");
  EXPECT_EQ(s.wait_exit(), 0);
}

TEST(Watch, ARequestClosedByTheVoteFromHereIsNotSaidToBeDecidedElsewhere) {
  FakeDaemon daemon;
  WatchSession s(daemon);
  ASSERT_NO_FATAL_FAILURE(start_watch(s, {"3"}));
  ASSERT_TRUE(s.wait_for("approve request 3?"));
  std::this_thread::sleep_for(1200ms);
  s.type("y");
  EXPECT_EQ(s.next_line(3000), vote_line("3", true, std::nullopt));
  // The daemon announces the close before it answers the vote.
  s.push(closed("3", "approved") + vote_reply("approved"));
  ASSERT_TRUE(s.wait_for("request 3 is now approved"));
  ASSERT_TRUE(s.wait_for("request 3: your vote is recorded; it is now approved\r\n"));
  EXPECT_EQ(s.screen().find("decided elsewhere"), std::string::npos);
  s.type("q");
  EXPECT_EQ(s.wait_exit(), 0);
}

TEST(Watch, SkipShowsTheNextAndComesBackLater) {
  FakeDaemon daemon;
  WatchSession s(daemon);
  ASSERT_NO_FATAL_FAILURE(start_watch(s, {"7", "8"}));
  ASSERT_TRUE(s.wait_for("approve request 7?"));
  std::this_thread::sleep_for(1200ms);
  s.type("s");
  ASSERT_TRUE(s.wait_for("approve request 8?"));
  std::this_thread::sleep_for(1200ms);
  s.type("s");
  ASSERT_TRUE(s.wait_for("approve request 7?"));
  s.type("q");
  EXPECT_EQ(s.wait_exit(), 0);
}

TEST(Watch, TheDaemonGoingAwayEndsWithStatus3) {
  FakeDaemon daemon;
  auto s = std::make_unique<WatchSession>(daemon);
  ASSERT_NO_FATAL_FAILURE(start_watch(*s, {}));
  ASSERT_TRUE(s->wait_for("waiting for requests"));
  ::shutdown(s->connection(), SHUT_RDWR);
  EXPECT_EQ(s->wait_exit(), 3);
  EXPECT_NE(s->screen().find("closed the connection"), std::string::npos);
}

TEST(Watch, ARefusalToWatchIsStatus1) {
  FakeDaemon daemon;
  WatchSession s(daemon);
  ASSERT_EQ(s.next_line(5000), std::optional<std::string>("{\"op\":\"watch\"}"));
  s.push(service::encode_answer(service::refused_answer(1, "you are not an approver or auditor")));
  EXPECT_EQ(s.wait_exit(), 1);
  EXPECT_NE(s.screen().find("not an approver"), std::string::npos);
}

// What the console does with keys, reasons and answers off the main path:
// help, a skip with nothing else waiting, an empty and a garbled reason,
// a vote the daemon does not take, a vote still short of its approvals, an
// expiry. None of them sends a vote it should not.
TEST(Watch, KeysReasonsAndAnswersOffTheMainPath) {
  FakeDaemon daemon;
  WatchSession s(daemon);
  ASSERT_NO_FATAL_FAILURE(start_watch(s, {"1"}));
  ASSERT_TRUE(s.wait_for("approve request 1?"));
  std::this_thread::sleep_for(1200ms);
  s.type("?");
  ASSERT_TRUE(s.wait_for("keys: y approve")) << s.screen();
  s.type("s");
  ASSERT_TRUE(s.wait_for("no other request is waiting")) << s.screen();

  s.type("n");
  ASSERT_TRUE(s.wait_for("reason for denying request 1"));
  s.type("   \n");  // blank: back to the keys, nothing sent
  ASSERT_TRUE(s.wait_for("approve request 1?")) << s.screen();
  s.type("n");
  ASSERT_TRUE(s.wait_for("reason for denying request 1"));
  // Not UTF-8 (a terminal in another encoding).
  s.type("caf\xe9\n");
  ASSERT_TRUE(s.wait_for("a reason is UTF-8 text; type it again")) << s.screen();
  EXPECT_EQ(s.next_line(300), std::nullopt);
  // A character the requester's terminal would act on or not show, typed
  // with Ctrl-V (the daemon would refuse it).
  for (const std::string_view odd : {"\x16\x1b[2J",
                                     "\xe2\x80\xae"
                                     "evil",
                                     "\xe3\x85\xa4"}) {
    s.type(std::string("no ") + std::string(odd) + "\n");
    ASSERT_TRUE(s.wait_for("a reason may hold no control, bidirectional or invisible character"))
        << s.screen();
    EXPECT_EQ(s.next_line(300), std::nullopt);
  }
  s.type("fine reason\n");
  EXPECT_EQ(s.next_line(3000), vote_line("1", false, "fine reason"));
  OperatorAnswer refused = service::refused_answer(1, "request 1 is already approved");
  refused.reply = true;
  s.push(service::encode_answer(refused));
  ASSERT_TRUE(s.wait_for("request 1: your vote was not taken: request 1 is already approved"))
      << s.screen();

  s.push(service::encode_pending_event(pending("2")));
  s.push(closed("1", "approved"));
  ASSERT_TRUE(s.wait_for("approve request 2?")) << s.screen();
  std::this_thread::sleep_for(1200ms);
  s.type("y");
  EXPECT_EQ(s.next_line(3000), vote_line("2", true, std::nullopt));
  OperatorAnswer short_of_two;
  short_of_two.reply = true;
  short_of_two.state = "pending";
  short_of_two.votes = 1;
  short_of_two.needed = 2;
  s.push(service::encode_answer(short_of_two));
  ASSERT_TRUE(s.wait_for("it is now pending (1 of 2 approvals)")) << s.screen();
  // Voted on from here, it is done with; the next one is shown until it
  // expires.
  ASSERT_TRUE(s.wait_for("waiting for requests")) << s.screen();
  s.push(service::encode_pending_event(pending("3")));
  ASSERT_TRUE(s.wait_for("approve request 3?")) << s.screen();
  s.push(closed("3", "expired"));
  ASSERT_TRUE(s.wait_for("request 3 expired unanswered")) << s.screen();
  s.type("q");
  EXPECT_EQ(s.wait_exit(), 0);
}

// The terminal keeps 4095 bytes of a line and drops the rest unseen: a
// reason as long as that may have been cut, so it is refused with the
// limit said, never sent cut. One within the limit is sent whole.
TEST(Watch, AReasonTheTerminalMayHaveCutIsRefusedNotSent) {
  FakeDaemon daemon;
  WatchSession s(daemon);
  ASSERT_NO_FATAL_FAILURE(start_watch(s, {"1"}));
  ASSERT_TRUE(s.wait_for("approve request 1?"));
  std::this_thread::sleep_for(1200ms);
  for (const std::size_t typed : {std::size_t{5000}, std::size_t{4095}}) {
    SCOPED_TRACE(typed);
    s.type("n");
    ASSERT_TRUE(s.wait_for("reason for denying request 1"));
    s.type(std::string(typed, 'r') + "\n");
    ASSERT_TRUE(
        s.wait_for("the reason is too long: at most 4094 bytes"
                   " (the terminal keeps no more of a line); type it again"))
        << s.screen();
    EXPECT_EQ(s.next_line(300), std::nullopt);
    s.type("\n");  // back to the keys
    ASSERT_TRUE(s.wait_for("approve request 1?")) << s.screen();
  }
  s.type("n");
  ASSERT_TRUE(s.wait_for("reason for denying request 1"));
  const std::string longest(4094, 'r');
  s.type(longest + "\n");
  EXPECT_EQ(s.next_line(3000), vote_line("1", false, longest));
  s.type("q");
  EXPECT_EQ(s.wait_exit(), 0);
}

// A line from the daemon that does not read ends the console (status 3);
// a stop signal ends it with status 0 and the terminal as it was.
TEST(Watch, ABadDaemonLineOrAStopSignalEndsItWithTheTerminalRestored) {
  for (const bool bad_line : {true, false}) {
    SCOPED_TRACE(bad_line ? "a bad line" : "SIGTERM");
    FakeDaemon daemon;
    WatchSession s(daemon);
    ASSERT_NO_FATAL_FAILURE(start_watch(s, {"1"}));
    ASSERT_TRUE(s.wait_for("approve request 1?"));
    termios during{};
    ASSERT_EQ(::tcgetattr(s.terminal(), &during), 0);
    EXPECT_EQ(during.c_lflag & ICANON, 0u);  // keys, one at a time
    if (bad_line) {
      s.push("{\"event\":\"pending\",\"request\":{\"id\":1}}\n");
    } else {
      s.signal(SIGTERM);
    }
    EXPECT_EQ(s.wait_exit(), bad_line ? 3 : 0);
    if (bad_line) {
      EXPECT_NE(s.screen().find("sent a line that does not read"), std::string::npos) << s.screen();
    }
    termios after{};
    ASSERT_EQ(::tcgetattr(s.terminal(), &after), 0);
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
  }
}

#ifdef KOA_APPROVALD_PATH
// The real daemon, on sockets of its own in a scratch folder.
// watch --key: the vote on the request shown goes out signed by the agent's
// key, over the message built from the record the daemon showed; a daemon
// that takes no signed votes is refused, never sent unsigned ones.
TEST(Watch, WithAKeyEveryVoteIsSignedAndNoneGoesUnsigned) {
  if (std::system("command -v ssh-keygen >/dev/null && command -v ssh-agent >/dev/null") != 0)
    GTEST_SKIP() << "ssh-keygen and ssh-agent are needed (openssh-client)";
  kelvane::testing::TempDir dir;
  const std::string key = dir.file("key");
  const std::string socket = dir.file("agent.sock");
  ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -f " + key + " && ssh-agent -a " + socket +
                         " > " + dir.file("env") + " && SSH_AUTH_SOCK=" + socket + " ssh-add -q " +
                         key + " 2>/dev/null && ssh-keygen -l -f " + key +
                         ".pub | cut -d' ' -f2 > " + dir.file("fp"))
                            .c_str()),
            0);
  const std::string env = kelvane::testing::read_file(dir.file("env"));
  const pid_t agent = std::atoi(env.c_str() + env.find("SSH_AGENT_PID=") + 14);
  std::string fingerprint = kelvane::testing::read_file(dir.file("fp"));
  fingerprint.pop_back();
  ::setenv("SSH_AUTH_SOCK", socket.c_str(), 1);

  {
    FakeDaemon daemon;
    WatchSession s(daemon, {"--key", fingerprint});
    ASSERT_EQ(s.next_line(5000), std::optional<std::string>("{\"op\":\"watch\"}"));
    OperatorAnswer watching;
    watching.service_host = "ops1";
    watching.signed_votes = true;
    const RequestRecord shown = pending("5");
    s.push(service::encode_answer(watching) + service::encode_pending_event(shown));
    ASSERT_TRUE(s.wait_for("approve request 5?"));
    std::this_thread::sleep_for(1200ms);
    s.type("y");
    const auto line = s.next_line(5000);
    ASSERT_TRUE(line);
    auto sent = service::decode_operator_request(*line);
    ASSERT_TRUE(sent.ok()) << *line;
    ASSERT_TRUE(sent.value().signature && sent.value().signed_at) << *line;
    auto message =
        service::vote_message_for(shown, "ops1", true, std::nullopt,
                                  service::user_name_of(::getuid()), *sent.value().signed_at);
    ASSERT_TRUE(message.ok());
    auto blob = sshsig::dearmor(*sent.value().signature);
    ASSERT_TRUE(blob.ok());
    auto signature = sshsig::read_signature_blob(blob.value());
    ASSERT_TRUE(signature.ok());
    EXPECT_TRUE(sshsig::verify_detached(signature.value(),
                                        sshsig::write_vote_message(message.value()).value(),
                                        sshsig::kVoteNamespace)
                    .ok());
    EXPECT_EQ(sshsig::fingerprint(signature.value().key), fingerprint);
    s.push(vote_reply("approved"));
    ASSERT_TRUE(s.wait_for("your vote is recorded"));
    s.type("q");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  {
    FakeDaemon daemon;
    WatchSession s(daemon, {"--key", fingerprint});
    ASSERT_EQ(s.next_line(5000), std::optional<std::string>("{\"op\":\"watch\"}"));
    s.push("{\"ok\":true}\n");
    EXPECT_EQ(s.wait_exit(), 1);
    EXPECT_NE(s.screen().find("takes no signed votes"), std::string::npos) << s.screen();
  }
  ::unsetenv("SSH_AUTH_SOCK");
  ::kill(agent, SIGTERM);
}

class RealDaemon {
 public:
  RealDaemon() {
    char dir[] = "/tmp/koa-approvals-real-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    ::chmod(dir, 0755);  // the requester, another user, must reach the socket
    const std::string config = dir_ + "/service.toml";
    FILE* f = std::fopen(config.c_str(), "w");
    if (f == nullptr) return;
    std::fputs("approvers = [\"root\"]\n", f);
    std::fclose(f);
    std::vector<std::string> args = {KOA_APPROVALD_PATH,
                                     "--socket",
                                     requests(),
                                     "--operator-socket",
                                     operators(),
                                     "--state-dir",
                                     dir_,
                                     "--config",
                                     config};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::execv(KOA_APPROVALD_PATH, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    listening_ = testing::read_line_within(out[0], 10000).value_or("").find("listening on") !=
                 std::string::npos;
    ::close(out[0]);
  }
  ~RealDaemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  bool listening() const { return listening_; }
  std::string requests() const { return dir_ + "/requests.sock"; }
  std::string operators() const { return dir_ + "/operators.sock"; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool listening_ = false;
};

// The client as "nobody", asking the daemon with `title`; its process id.
pid_t ask_as_nobody(const RealDaemon& daemon, const std::string& title) {
  std::vector<std::string> args = {KOA_CLIENT_PATH, "--title", title, "--detail", "d",
                                   "--target-host", "web-03"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string variable = "KELVANE_OPERATOR_APPROVAL_SOCK=" + daemon.requests();
  char* envp[] = {variable.data(), nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
    ::execve(KOA_CLIENT_PATH, argv.data(), envp);
    ::_exit(127);
  }
  return pid;
}

// The same race against the real daemon, with the requester really going
// away: its question is withdrawn, and the key typed for it afterwards must
// not approve the next requester's command.
TEST(Watch, RealDaemonAKeyTypedAfterAWithdrawalDoesNotAnswerTheNextRequest) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to ask as another user";
  RealDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  WatchSession s(daemon.operators(), -1);
  ASSERT_TRUE(s.wait_for("waiting for requests")) << s.screen();
  const pid_t first = ask_as_nobody(daemon, "first");
  ASSERT_TRUE(s.wait_for("\"first\"")) << s.screen();
  const pid_t second = ask_as_nobody(daemon, "second");
  std::this_thread::sleep_for(1200ms);

  ::kill(first, SIGKILL);
  ::waitpid(first, nullptr, 0);
  ASSERT_TRUE(s.wait_for("was withdrawn by its requester")) << s.screen();
  std::this_thread::sleep_for(300ms);
  s.type("y");
  std::this_thread::sleep_for(1200ms);
  int status = 0;
  EXPECT_EQ(::waitpid(second, &status, WNOHANG), 0) << "the second request was answered";

  s.type("y");
  ASSERT_EQ(::waitpid(second, &status, 0), second);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(s.screen().find("\"second\""), std::string::npos);
  s.type("q");
  EXPECT_EQ(s.wait_exit(), 0);
}
#endif

}  // namespace
}  // namespace kelvane::operators
