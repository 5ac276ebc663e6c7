// The daemon when things go wrong around it: a state directory or record it
// cannot use, a record another writer holds locked, sockets it cannot have
// or that systemd hands it, signals in every phase of a request, descriptors
// closed at start, caps.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "harness.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;
using Clock = std::chrono::steady_clock;

constexpr const char* kConfig = "approvers = [\"daemon\", \"bin\"]\nauditors = [\"sys\"]\n";

class ApprovaldFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    alice_ = account("daemon");
    bob_ = account("bin");
    carol_ = account("sys");
    if (!alice_ || !bob_ || !carol_) GTEST_SKIP() << "needs the accounts daemon, bin and sys";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
  }

  static OperatorLink watcher(const DaemonProcess& daemon, const std::optional<Account>& as) {
    OperatorLink link(daemon, as);
    EXPECT_TRUE(link.ask(op(OperatorOp::Watch)).ok);
    return link;
  }

  // A raw requester that has sent its line.
  FileDescriptor ask(const DaemonProcess& daemon, const std::string& title,
                     const std::optional<Account>& as) {
    FileDescriptor fd = connect_as(daemon.request_socket(), as);
    EXPECT_TRUE(send_all(fd.get(), request_line(title)));
    return fd;
  }

  std::optional<Account> alice_, bob_, carol_;
};

// The verdict line a requester gets ("" when none comes within `limit`).
std::string verdict_line(const FileDescriptor& fd, std::chrono::milliseconds limit = 10s) {
  std::string buffer;
  return read_line(fd.get(), buffer, limit).value_or("");
}

// A SQLite connection of the test's own that holds the record's write lock,
// as an administrator's sqlite3 session left in a transaction would.
class RecordLock {
 public:
  explicit RecordLock(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) return;
    locked_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~RecordLock() { release(); }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;
  bool locked() const { return locked_; }
  void release() {
    if (db_ == nullptr) return;
    if (locked_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
    locked_ = false;
  }

 private:
  sqlite3* db_ = nullptr;
  bool locked_ = false;
};

// The id of the pending request titled `title` ("" if none shows up in 10 s).
std::string id_titled(OperatorLink& link, const std::string& title) {
  for (int i = 0; i < 500; ++i) {
    const auto list = link.ask(op(OperatorOp::List));
    for (const auto& r : list.requests.value_or(std::vector<service::RequestRecord>{})) {
      if (r.title == title) return r.id;
    }
    std::this_thread::sleep_for(20ms);
  }
  return {};
}

void run_sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

// Every start that cannot serve stops with status 1 (2 for usage) and says
// why, before it prints "listening on"; none leaves a socket file behind.
TEST_F(ApprovaldFailures, StartsThatCannotServeSayWhyAndExit) {
  struct Case {
    const char* what;
    // Prepares the daemon's directory; may add arguments.
    std::function<void(DaemonProcess&)> prepare;
    int status;
    std::string message;
  };
  const std::string long_path = "/tmp/" + std::string(120, 's');
  const Case cases[] = {
      {"the state directory's parent is missing",
       [](DaemonProcess& d) {
         d.add_arguments({"--state-dir", d.dir() + "/no/such/state"});
       },
       1, "/no/such/state: No such file or directory"},
      {"the state directory is a file",
       [](DaemonProcess& d) { testing::write_file(d.state_dir(), "x"); }, 1,
       "record.sqlite3: cannot open the record"},
      {"the record is not a database",
       [](DaemonProcess& d) {
         ::mkdir(d.state_dir().c_str(), 0750);
         testing::write_file(d.record_path(), std::string(8192, 'x'));
       },
       1, "record.sqlite3: file is not a database"},
      {"the record comes from a newer version",
       [](DaemonProcess& d) {
         ::mkdir(d.state_dir().c_str(), 0750);
         run_sql(d.record_path(), "PRAGMA user_version=99");
       },
       1, "the record has schema version 99"},
      {"the record's request ids are used up",
       [](DaemonProcess& d) {
         ASSERT_TRUE(d.start());
         ASSERT_EQ(d.stop(SIGTERM), 0);
         run_sql(d.record_path(),
                 "UPDATE meta SET value = (1 << 39) - 10 WHERE key = 'next_sequence'");
       },
       1, "the request ids of this record are used up"},
      {"a file that is not a socket holds the request socket's path",
       [](DaemonProcess& d) { testing::write_file(d.request_socket(), "keep me"); }, 1,
       "requests.sock exists and is not a socket; not replacing it"},
      {"the operator socket's directory cannot be made",
       [](DaemonProcess& d) {
         d.add_arguments({"--operator-socket", d.dir() + "/a/b/ops.sock"});
       },
       1, "/a/b: No such file or directory"},
      {"the request socket's path is too long for a socket",
       [&](DaemonProcess& d) {
         d.add_arguments({"--socket", long_path});
       },
       1, "the socket path is 125 bytes long"},
      {"a relative state directory", [](DaemonProcess& d) { d.add_arguments({"--state-dir=s"}); },
       2, "--state-dir needs an absolute path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DaemonProcess daemon(kConfig);
    c.prepare(daemon);
    EXPECT_FALSE(daemon.start());
    EXPECT_EQ(daemon.wait_exit(), c.status);
    EXPECT_NE(daemon.log().find(c.message), std::string::npos) << daemon.log();
    EXPECT_NE(::access(daemon.operator_socket().c_str(), F_OK), 0);
  }
  // What was kept in the way is still there.
  DaemonProcess kept(kConfig);
  testing::write_file(kept.request_socket(), "keep me");
  EXPECT_FALSE(kept.start());
  EXPECT_EQ(testing::read_file(kept.request_socket()), "keep me");
}

TEST_F(ApprovaldFailures, AnotherServiceOnTheSocketIsLeftAlone) {
  DaemonProcess first(kConfig);
  ASSERT_TRUE(first.start());
  DaemonProcess second(kConfig);
  second.add_arguments({"--socket", first.request_socket()});
  EXPECT_FALSE(second.start());
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_NE(second.log().find("another service is already listening on " + first.request_socket()),
            std::string::npos)
      << second.log();
  EXPECT_TRUE(accepts(first.request_socket(), 1s));  // still the first one's
  // A stale socket (nobody listening) is replaced.
  DaemonProcess third(kConfig);
  const int stale = testing::listen_on(third.request_socket());
  ASSERT_GE(stale, 0);
  ::close(stale);  // its file stays, refusing connections
  EXPECT_TRUE(third.start()) << third.log();
}

// A daemon that may not write its state directory (run as a user other
// than root on root's directory) says so and stops.
TEST_F(ApprovaldFailures, AnUnwritableStateDirectoryStopsTheStart) {
  DaemonProcess daemon(kConfig);
  ::mkdir(daemon.state_dir().c_str(), 0755);  // root's
  ASSERT_FALSE(daemon.start(
      {"/usr/bin/setpriv", "--reuid=daemon", "--regid=daemon", "--clear-groups", "--"}));
  EXPECT_EQ(daemon.wait_exit(), 1);
  EXPECT_NE(daemon.log().find("record.sqlite3: cannot open the record"), std::string::npos)
      << daemon.log();
}

// Another writer holds the record: nothing the daemon cannot record is
// given. A vote is not taken and its request is refused, not approved; a
// withdrawal is not taken either; an operator voting meanwhile is not told
// the request is approved. Once the lock is gone the daemon works again, and
// the record says what the requesters were told (refused), not pending.
TEST_F(ApprovaldFailures, AVerdictThatCannotBeRecordedIsNotGiven) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  Process client = run_client(daemon, carol_, "Before the lock");
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());
  const FileDescriptor own = ask(daemon, "To be cancelled", alice_);
  const std::string own_id = next_pending(bob);
  ASSERT_FALSE(own_id.empty());
  // The new requests' rows are written within CommitThread::kDeferLimit.
  std::this_thread::sleep_for(200ms);

  RecordLock lock(daemon.record_path());
  ASSERT_TRUE(lock.locked());
  {
    // One that leaves while its request is being recorded.
    const FileDescriptor gone = ask(daemon, "Leaves during the lock", carol_);
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(send_all(bob.fd(), service::encode_operator_request(vote(id, true))));
  std::this_thread::sleep_for(100ms);
  // While the verdict is being recorded the request is no longer open, and
  // its outcome is not known yet: it ends refused, not approved.
  const auto second = OperatorLink(daemon, alice_).ask(vote(id, true));
  EXPECT_FALSE(second.ok);
  EXPECT_EQ(second.error, "request " + id + " is no longer open: its verdict is being recorded");
  const auto cancelled = OperatorLink(daemon, alice_).ask(op(OperatorOp::Cancel, own_id));
  EXPECT_FALSE(cancelled.ok);
  EXPECT_EQ(cancelled.error, "the record cannot be written");
  const auto voted = bob.ask(op(OperatorOp::Status));  // the vote's answer comes first
  EXPECT_FALSE(voted.ok);
  EXPECT_EQ(voted.status, 1);
  EXPECT_NE(voted.error.find("the record cannot be written; the vote is not taken"),
            std::string::npos)
      << voted.error;

  const Finished done = client.wait();
  EXPECT_EQ(done.status, 4) << done.err;
  EXPECT_EQ(done.out, "");  // no token
  EXPECT_NE(done.err.find("cannot write its record"), std::string::npos) << done.err;
  EXPECT_EQ(member_text(verdict_line(own), "detail"),
            "the approval service cannot write its record");
  EXPECT_TRUE(daemon.log_shows("cannot record a verdict")) << daemon.log();
  // Decided now: told the outcome, not that it is being recorded.
  const auto late = OperatorLink(daemon, alice_).ask(vote(id, true));
  EXPECT_EQ(late.error, "request " + id + " is already refused");

  lock.release();
  // The refusals the requesters got reach the record once it takes writes.
  const std::string refused = "refused|the approval service cannot write its record";
  for (const std::string& which : {id, own_id}) {
    SCOPED_TRACE(which);
    std::string row;
    for (int i = 0; i < 200 && row != refused; ++i) {
      std::this_thread::sleep_for(50ms);
      row = query_record(
          daemon.record_path(),
          "SELECT state || '|' || detail_of_verdict FROM requests WHERE id = " + which);
    }
    EXPECT_EQ(row, refused);
  }
  // The operators' connections outlive the failures.
  EXPECT_TRUE(bob.ask(op(OperatorOp::Status)).ok);
  Process after = run_client(daemon, carol_, "After the lock");
  const std::string next = id_titled(bob, "After the lock");
  ASSERT_FALSE(next.empty());
  ASSERT_TRUE(bob.ask(vote(next, true)).ok);
  EXPECT_EQ(after.wait().status, 0);
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + next),
            "approved");
  EXPECT_EQ(query_record(daemon.record_path(), "PRAGMA integrity_check"), "ok");
}

// Reads of the record do not wait for its write lock (WAL lets readers
// read): history, show of a decided request, and why a vote on it comes
// too late are answered at once while another writer holds the lock.
TEST_F(ApprovaldFailures, ReadsOfTheRecordDoNotWaitForItsWriteLock) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  Process client = run_client(daemon, carol_, "Decided before the lock");
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(bob.ask(vote(id, false, "not now")).ok);
  EXPECT_EQ(client.wait().status, 1);

  RecordLock lock(daemon.record_path());
  ASSERT_TRUE(lock.locked());
  OperatorLink auditor(daemon, carol_);
  struct Case {
    const char* what;
    service::OperatorRequest request;
    std::function<void(const service::OperatorAnswer&)> check;
  };
  const Case cases[] = {
      {"history", op(OperatorOp::History),
       [&](const service::OperatorAnswer& a) {
         ASSERT_TRUE(a.ok) << a.error;
         ASSERT_EQ(a.records->size(), 1u);
         EXPECT_EQ(a.records->at(0).state, "denied");
       }},
      {"show", op(OperatorOp::Show, id),
       [&](const service::OperatorAnswer& a) {
         ASSERT_TRUE(a.ok) << a.error;
         EXPECT_EQ(a.request->state, "denied");
         ASSERT_EQ(a.request->votes.size(), 1u);
         EXPECT_EQ(a.request->votes[0].reason, "not now");
       }},
      {"show of no request", op(OperatorOp::Show, "12"),
       [](const service::OperatorAnswer& a) { EXPECT_EQ(a.error, "there is no request 12"); }},
      {"a late vote", vote(id, true),
       [&](const service::OperatorAnswer& a) {
         EXPECT_EQ(a.error, "request " + id + " is already denied");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OperatorLink& link = c.request.op == OperatorOp::Vote ? bob : auditor;
    const auto asked = Clock::now();
    const auto answer = link.ask(c.request);
    EXPECT_LT(Clock::now() - asked, 1s);
    c.check(answer);
  }
  lock.release();
  EXPECT_TRUE(auditor.ask(op(OperatorOp::History)).ok);
}

// SIGTERM answers a request in every phase at once and the daemon is gone
// within moments, its sockets' files with it.
TEST_F(ApprovaldFailures, SigtermAnswersEveryPhaseAndExitsPromptly) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor silent = connect_as(daemon.request_socket(), carol_);
  const FileDescriptor partial = connect_as(daemon.request_socket(), carol_);
  ASSERT_TRUE(send_all(partial.get(), "{\"title\":\"half"));
  const FileDescriptor oversize = connect_as(daemon.request_socket(), carol_);
  ASSERT_TRUE(send_all(oversize.get(), std::string((1 << 20) + 100, 'x')));
  const FileDescriptor waiting = ask(daemon, "Waiting", carol_);
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());
  OperatorLink idle(daemon, alice_);
  ASSERT_TRUE(send_all(idle.fd(), "{\"op\":"));  // half a line

  const auto asked = Clock::now();
  const int status = daemon.stop(SIGTERM);
  const auto took = Clock::now() - asked;
  EXPECT_EQ(status, 0) << daemon.log();
  EXPECT_LT(took, 3s);
  for (const FileDescriptor* fd : {&silent, &partial, &oversize, &waiting}) {
    const std::string line = verdict_line(*fd, 2s);
    EXPECT_EQ(member_text(line, "verdict"), "refused") << line;
    EXPECT_EQ(member_text(line, "detail"), "the approval service is stopping") << line;
  }
  std::string rest;
  EXPECT_FALSE(read_line(bob.fd(), rest, 2s));  // the watcher's connection ends
  EXPECT_FALSE(read_line(idle.fd(), rest, 2s));
  EXPECT_EQ(query_record(daemon.record_path(),
                         "SELECT state || ' ' || count(*) FROM requests GROUP BY state"),
            "refused 4");
  EXPECT_NE(::access(daemon.request_socket().c_str(), F_OK), 0);
  EXPECT_NE(::access(daemon.operator_socket().c_str(), F_OK), 0);
  EXPECT_TRUE(daemon.log().find("SIGTERM: refusing every waiting request") != std::string::npos);
}

// SIGINT (a daemon run by hand in a terminal) stops it the same way.
TEST_F(ApprovaldFailures, SigintStopsItAsSigtermDoes) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  const FileDescriptor waiting = ask(daemon, "Waiting", carol_);
  OperatorLink bob(daemon, bob_);
  for (int i = 0; i < 200 && bob.ask(op(OperatorOp::Status)).pending.value_or(0) == 0; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(daemon.stop(SIGINT), 0);
  EXPECT_EQ(member_text(verdict_line(waiting, 2s), "detail"), "the approval service is stopping");
}

// Caps count every connection from accept on and give the place back when
// it closes; the total cap names itself.
TEST_F(ApprovaldFailures, TheTotalCapRefusesAtOnceAndFreesWithTheConnections) {
  DaemonProcess daemon(std::string(kConfig) + "max_pending = 3\n");
  ASSERT_TRUE(daemon.start());
  FileDescriptor held[] = {connect_as(daemon.request_socket(), alice_),
                           connect_as(daemon.request_socket(), bob_),
                           connect_as(daemon.request_socket(), carol_)};
  std::this_thread::sleep_for(200ms);  // accepted
  const FileDescriptor over = connect_as(daemon.request_socket(), std::nullopt);
  const std::string line = verdict_line(over, 5s);
  EXPECT_EQ(member_text(line, "verdict"), "refused") << line;
  EXPECT_NE(line.find("max_pending = 3"), std::string::npos) << line;
  // Refused at accept: no id and no row of its own, a count in the record.
  EXPECT_TRUE(member_text(line, "requestId").empty()) << line;

  held[0].close();
  std::this_thread::sleep_for(200ms);
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor again = ask(daemon, "room again", std::nullopt);
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(bob.ask(vote(id, true)).ok);
  EXPECT_EQ(member_text(verdict_line(again), "verdict"), "approved");
  EXPECT_EQ(daemon.stop(SIGTERM), 0);  // the counts are written at the latest then
  EXPECT_EQ(
      query_record(daemon.record_path(),
                   "SELECT count(*) FROM requests WHERE detail_of_verdict LIKE '%max_pending%'"),
      "0");
  EXPECT_EQ(query_record(daemon.record_path(),
                         "SELECT uid || ' ' || user_namespace || ' ' || count FROM "
                         "refused_at_accept"),
            "0 0 1");
}

// One user never holds more than half of max_pending, whatever
// max_pending_per_user says: the rest is kept for the others.
TEST_F(ApprovaldFailures, OneUserTakesAtMostHalfOfTheTotal) {
  DaemonProcess daemon(std::string(kConfig) + "max_pending = 4\nmax_pending_per_user = 16\n");
  ASSERT_TRUE(daemon.start());
  const FileDescriptor held[] = {connect_as(daemon.request_socket(), carol_),
                                 connect_as(daemon.request_socket(), carol_)};
  std::this_thread::sleep_for(200ms);  // accepted
  const FileDescriptor third = connect_as(daemon.request_socket(), carol_);
  const std::string line = verdict_line(third, 5s);
  EXPECT_EQ(member_text(line, "verdict"), "refused") << line;
  EXPECT_NE(line.find("half of what the approval service takes (max_pending = 4)"),
            std::string::npos)
      << line;
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor other = ask(daemon, "another user", alice_);
  EXPECT_FALSE(next_pending(bob).empty());
}

// A line that never ends holds nothing for long: it is answered when the
// time limit passes, and its place under the cap is free again.
TEST_F(ApprovaldFailures, AnUnfinishedLineIsAnsweredWhenItsTimeIsUp) {
  DaemonProcess daemon(std::string(kConfig) + "max_pending_per_user = 2\n");
  ASSERT_TRUE(daemon.start());
  const FileDescriptor silent = connect_as(daemon.request_socket(), carol_);
  const FileDescriptor dribble = connect_as(daemon.request_socket(), carol_);
  ASSERT_TRUE(send_all(dribble.get(), "{\"title\":"));
  const FileDescriptor third = connect_as(daemon.request_socket(), carol_);
  EXPECT_NE(verdict_line(third, 5s).find("max_pending_per_user = 2"), std::string::npos);

  const std::string timed_out = verdict_line(silent, 15s);
  EXPECT_EQ(member_text(timed_out, "verdict"), "invalid_request") << timed_out;
  EXPECT_EQ(member_text(timed_out, "detail"),
            "the request line was not complete within 10 seconds");
  EXPECT_EQ(member_text(verdict_line(dribble, 2s), "verdict"), "invalid_request");
  std::this_thread::sleep_for(100ms);
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor now = ask(daemon, "has room", carol_);
  EXPECT_FALSE(next_pending(bob).empty());
}

// A line past the size limit is answered whether its line feed comes in a
// later piece or never (the requester half-closes).
TEST_F(ApprovaldFailures, AnOversizedLineIsAnsweredHoweverItEnds) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  const std::string big((1 << 20) + 1000, 'x');
  const bool half_close[] = {false, true};
  for (const bool close_it : half_close) {
    const FileDescriptor fd = connect_as(daemon.request_socket(), carol_);
    ASSERT_TRUE(send_all(fd.get(), big));
    std::this_thread::sleep_for(50ms);
    if (close_it) {
      ::shutdown(fd.get(), SHUT_WR);
    } else {
      ASSERT_TRUE(send_all(fd.get(), std::string(5000, 'y') + "\nafter the line"));
    }
    const std::string line = verdict_line(fd, 5s);
    EXPECT_EQ(member_text(line, "detail"), "the request line is longer than 1048576 bytes")
        << close_it << line;
  }
}

// Out of descriptors, the daemon leaves connections queued rather than
// spin on a listener that stays readable, and takes them once descriptors
// are free again.
TEST_F(ApprovaldFailures, OutOfDescriptorsItWaitsAndRecovers) {
  DaemonProcess daemon(std::string(kConfig) + "max_pending_per_user = 500\nmax_pending = 500\n");
  ASSERT_TRUE(daemon.start({"/bin/sh", "-c", "ulimit -n 40 && exec \"$@\"", "sh"}));
  std::vector<FileDescriptor> flood;
  for (int i = 0; i < 60; ++i) {
    flood.push_back(connect_as(daemon.request_socket(), carol_));
    ASSERT_TRUE(flood.back().is_open()) << i;
  }
  ASSERT_TRUE(daemon.log_shows("accept: Too many open files")) << daemon.log();
  // Not spinning: well under a core while the flood waits.
  const auto cpu_ticks = [&] {
    std::istringstream stat(testing::read_file("/proc/" + std::to_string(daemon.pid()) + "/stat"));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stol(field);
    }
    return ticks;
  };
  const long before = cpu_ticks();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(cpu_ticks() - before, ::sysconf(_SC_CLK_TCK) / 2);

  flood.clear();
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor now = ask(daemon, "after the flood", alice_);
  std::string id;
  for (int i = 0; i < 100 && id.empty(); ++i) {
    const auto list = bob.ask(op(OperatorOp::List));
    for (const auto& r : list.requests.value_or(std::vector<service::RequestRecord>{})) {
      if (r.title == "after the flood") id = r.id;
    }
    if (id.empty()) std::this_thread::sleep_for(50ms);
  }
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(bob.ask(vote(id, true)).ok);
  EXPECT_EQ(member_text(verdict_line(now), "verdict"), "approved");
}

// SIGHUP: a named file that is gone keeps what is in force; socket and
// state directory changes wait for the next start; who may vote changes at
// once; caps apply to the next connection.
TEST_F(ApprovaldFailures, ReloadsChangeRolesAndCapsButNotSockets) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor first = ask(daemon, "first", carol_);
  const std::string id = next_pending(bob);

  ::unlink(daemon.config_path().c_str());
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.log_shows("keeping the configuration in force: " + daemon.config_path() +
                               ": No such file or directory"));

  daemon.write_config(
      "approvers = [\"daemon\"]\nmax_pending_per_user = 1\nsocket = \"/run/elsewhere.sock\"\n");
  daemon.signal(SIGHUP);
  ASSERT_TRUE(daemon.log_shows("configuration reloaded"));
  EXPECT_TRUE(daemon.log().find("socket and state_dir changes take effect at the next start") !=
              std::string::npos);
  const auto refused = bob.ask(vote(id, true));
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.error.find("not an approver"), std::string::npos) << refused.error;
  // bin may no longer read either: it is neither approver nor auditor now.
  EXPECT_FALSE(OperatorLink(daemon, bob_).ask(op(OperatorOp::List)).ok);
  const FileDescriptor second = connect_as(daemon.request_socket(), carol_);
  EXPECT_NE(verdict_line(second, 5s).find("max_pending_per_user = 1"), std::string::npos);
  ASSERT_TRUE(OperatorLink(daemon, alice_).ask(vote(id, true)).ok);
  EXPECT_EQ(member_text(verdict_line(first), "verdict"), "approved");
}

// Started with standard input, output and error closed, the daemon still
// serves, and neither its "listening on" line nor its log lands in the
// record or a socket that took those numbers.
TEST_F(ApprovaldFailures, RunsWithItsStandardDescriptorsClosed) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start({"/bin/sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh"}, false));
  ASSERT_TRUE(accepts(daemon.operator_socket()));
  ::chmod(daemon.operator_socket().c_str(), 0666);
  OperatorLink bob = watcher(daemon, bob_);
  Process client = run_client(daemon, carol_, "Closed descriptors");
  const std::string id = next_pending(bob);
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(bob.ask(vote(id, true)).ok);
  EXPECT_EQ(client.wait().status, 0);
  for (const int fd : {0, 1, 2}) {
    char target[PATH_MAX] = {};
    const std::string link = "/proc/" + std::to_string(daemon.pid()) + "/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) continue;  // still closed
    EXPECT_EQ(std::string(target), "/dev/null") << "descriptor " << fd;
  }
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  EXPECT_EQ(query_record(daemon.record_path(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + id),
            "approved");
}

// Under systemd the decisions go to the journal. A JOURNAL_STREAM inherited
// by a daemon whose standard error goes elsewhere does not send them there
// (where, without a journal, they were dropped without an error).
TEST_F(ApprovaldFailures, AnInheritedJournalStreamDoesNotHideDecisions) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start({"/usr/bin/env", "JOURNAL_STREAM=8:12345"}));
  OperatorLink bob = watcher(daemon, bob_);
  const FileDescriptor fd = ask(daemon, "journal", carol_);
  const std::string id = next_pending(bob);
  ASSERT_TRUE(bob.ask(vote(id, false, "no")).ok);
  EXPECT_EQ(member_text(verdict_line(fd), "verdict"), "denied");
  EXPECT_TRUE(daemon.log_shows("decision id=" + id + " state=denied")) << daemon.log();
}

// Many waiting requests are many descriptors: the soft limit is raised to
// the hard one at start.
TEST_F(ApprovaldFailures, RaisesItsDescriptorLimit) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start({"/bin/sh", "-c", "ulimit -Sn 64 && exec \"$@\"", "sh"}));
  const std::string limits =
      testing::read_file("/proc/" + std::to_string(daemon.pid()) + "/limits");
  const std::size_t at = limits.find("Max open files");
  ASSERT_NE(at, std::string::npos);
  std::istringstream row(limits.substr(at + 14));
  std::string soft, hard;
  row >> soft >> hard;
  EXPECT_EQ(soft, hard) << limits.substr(at, 80);
  EXPECT_NE(soft, "64");
}

// Records older than keep_days go at start; younger ones stay.
TEST_F(ApprovaldFailures, OldRecordsArePrunedAtStart) {
  DaemonProcess daemon(std::string(kConfig) + "keep_days = 30\n");
  ASSERT_TRUE(daemon.start());
  for (const char* title : {"old", "new"}) {
    OperatorLink bob = watcher(daemon, bob_);
    const FileDescriptor fd = ask(daemon, title, carol_);
    const std::string id = next_pending(bob);
    ASSERT_TRUE(bob.ask(vote(id, false, "no")).ok);
    EXPECT_EQ(member_text(verdict_line(fd), "verdict"), "denied");
  }
  ASSERT_EQ(daemon.stop(SIGTERM), 0);
  run_sql(daemon.record_path(),
          "UPDATE requests SET created_at = '2000-01-01T00:00:00Z' WHERE title = 'old'");
  ASSERT_TRUE(daemon.start());
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT group_concat(title) FROM requests"), "new");
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT count(*) FROM votes"), "1");
}

// Sockets from systemd, told apart by name (FileDescriptorName=) or by
// path; what cannot be placed stops the start.
TEST_F(ApprovaldFailures, SocketActivationPlacesSocketsByNameOrPath) {
  if (::access("/usr/bin/systemd-socket-activate", X_OK) != 0)
    GTEST_SKIP() << "needs systemd-socket-activate";
  struct Case {
    const char* what;
    // The listen options; "R" and "O" stand for the request and operator
    // socket's paths, "X" and "Y" for two other paths.
    std::vector<std::string> listen;
    std::string names;  // --fdname, when not empty
    std::string error;  // "" : it serves, on these two:
    std::string requests = "R";
    std::string operators = "O";  // "O" is also where the daemon makes its own
    bool datagram = false;
  };
  const Case cases[] = {
      {"both by name", {"R", "O"}, "requests:operators", ""},
      {"both by name, operators first", {"O", "R"}, "operators:requests", ""},
      {"both by path", {"R", "O"}, "", ""},
      {"named requests at another path", {"X"}, "requests", "", "X"},
      {"one of another path and name is the request socket", {"X"}, "", "", "X"},
      {"the request socket and one of another path", {"R", "X"}, "", "", "R", "X"},
      {"two of other paths", {"X", "Y"}, "", "neither \"requests\" nor \"operators\""},
      {"two operator sockets", {"O", "X"}, "operators:operators", "more than one operator socket"},
      {"a datagram socket", {"X"}, "", "not a listening Unix stream socket", "X", "O", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DaemonProcess daemon(kConfig);
    auto path_of = [&](const std::string& letter) {
      if (letter == "R") return daemon.request_socket();
      if (letter == "O") return daemon.operator_socket();
      return daemon.dir() + "/" + letter + ".sock";
    };
    std::vector<std::string> wrapper = {"/usr/bin/systemd-socket-activate"};
    if (c.datagram) wrapper.push_back("--datagram");
    for (const std::string& letter : c.listen) {
      wrapper.push_back("-l");
      wrapper.push_back(path_of(letter));
    }
    if (!c.names.empty()) wrapper.push_back("--fdname=" + c.names);
    ASSERT_TRUE(daemon.start(wrapper, false));
    const std::string first = path_of(c.listen.front());
    // The wrapper starts the daemon on the first connection (or datagram).
    FileDescriptor poke;
    if (c.datagram) {
      poke = FileDescriptor(::socket(AF_UNIX, SOCK_DGRAM, 0));
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, first.c_str(), sizeof address.sun_path - 1);
      for (int i = 0;
           i < 500 && ::sendto(poke.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&address),
                               sizeof address) != 1;
           ++i)
        std::this_thread::sleep_for(10ms);
    } else {
      poke = connect_when_listening(first);
      ASSERT_TRUE(poke.is_open());
    }
    if (!c.error.empty()) {
      EXPECT_EQ(daemon.wait_exit(), 1);
      EXPECT_NE(daemon.log().find(c.error), std::string::npos) << daemon.log();
      continue;
    }
    ASSERT_TRUE(daemon.wait_listening()) << daemon.log();
    // The poke was a requester that said nothing; a real one is served on
    // the socket that took the request role, and operators on the other.
    const std::string requests = path_of(c.requests);
    const std::string operators = path_of(c.operators);
    ::chmod(requests.c_str(), 0666);
    ::chmod(operators.c_str(), 0666);
    FileDescriptor fd = connect_as(requests, carol_);
    ASSERT_TRUE(send_all(fd.get(), request_line("activated")));
    FileDescriptor op_fd = connect_as(operators, bob_);
    ASSERT_TRUE(op_fd.is_open()) << operators;
    std::string id;
    for (int i = 0; i < 300 && id.empty(); ++i) {
      ASSERT_TRUE(send_all(op_fd.get(), service::encode_operator_request(op(OperatorOp::List))));
      std::string buffer;
      const auto line = read_line(op_fd.get(), buffer, 5s);
      ASSERT_TRUE(line) << operators;
      auto decoded = service::decode_daemon_line(*line);
      ASSERT_TRUE(decoded.ok()) << *line;
      const auto& answer = std::get<service::OperatorAnswer>(decoded.value());
      ASSERT_TRUE(answer.ok) << answer.error;
      if (!answer.requests->empty()) id = answer.requests->front().id;
      if (id.empty()) std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(send_all(op_fd.get(), service::encode_operator_request(vote(id, true))));
    EXPECT_EQ(member_text(verdict_line(fd), "verdict"), "approved");
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
}

}  // namespace
}  // namespace kelvane::approvald_test
