// The daemon's settings and files under a careless administrator and a
// local attacker: folders another user could write, a link swapped in for a
// socket, a loose umask and folder mode, names that do not resolve, numbers
// past their range, and a request an operator saw before a kill -9.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "harness.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

constexpr const char* kConfig = "approvers = [\"bin\"]\n";

mode_t mode_of(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

class ApprovaldSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    other_ = account("daemon");
    operator_ = account("bin");
    if (!other_ || !operator_) GTEST_SKIP() << "needs the accounts daemon and bin";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give folders to other uids";
  }
  std::optional<Account> other_, operator_;
};

// A folder that another user owns, or that others may write, holds none of
// the daemon's sockets, its state folder or its record: the start is
// refused, saying why, and nothing is made there. A root-owned sticky
// folder (/tmp) may hold a socket itself and sit above the state folder.
TEST_F(ApprovaldSettings, RefusesFoldersAnotherUserCouldWriteAndMakesNothingThere) {
  struct Case {
    const char* what;
    std::function<void(DaemonProcess&)> prepare;
    std::string message;              // "" : it starts
    std::vector<std::string> absent;  // relative to the daemon's folder
  };
  const uid_t other = other_->uid;
  const auto folder = [](DaemonProcess& d, const std::string& name, mode_t mode, uid_t owner) {
    const std::string path = d.dir() + "/" + name;
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    ASSERT_EQ(::chown(path.c_str(), owner, 0), 0);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  };
  const Case cases[] = {
      {"the state folder's parent belongs to another user",
       [&](DaemonProcess& d) {
         folder(d, "theirs", 0755, other);
         d.add_arguments({"--state-dir", d.dir() + "/theirs/state"});
       },
       "theirs belongs to uid " + std::to_string(other),
       {"theirs/state", "operators.sock", "requests.sock"}},
      {"the state folder belongs to another user",
       [&](DaemonProcess& d) { folder(d, "state", 0750, other); },
       "state belongs to uid " + std::to_string(other),
       {"state/record.sqlite3"}},
      {"the state folder's parent may be written by every user",
       [&](DaemonProcess& d) {
         folder(d, "open", 0777, 0);
         d.add_arguments({"--state-dir", d.dir() + "/open/state"});
       },
       "open may be written by users other than root (mode 0777)",
       {"open/state"}},
      {"the state folder is a sticky folder every user may write",
       [&](DaemonProcess& d) { folder(d, "state", 01777, 0); },
       "state may be written by users other than root (mode 1777)",
       {"state/record.sqlite3"}},
      {"the request socket's folder belongs to another user",
       [&](DaemonProcess& d) {
         folder(d, "theirs", 0755, other);
         d.add_arguments({"--socket", d.dir() + "/theirs/requests.sock"});
       },
       "theirs belongs to uid " + std::to_string(other),
       {"theirs/requests.sock"}},
      {"the operators' socket's folder is reached through a link to another user's folder",
       [&](DaemonProcess& d) {
         folder(d, "theirs", 0755, other);
         ASSERT_EQ(::symlink("theirs", (d.dir() + "/link").c_str()), 0);
         d.add_arguments({"--operator-socket", d.dir() + "/link/operators.sock"});
       },
       "theirs belongs to uid " + std::to_string(other),
       {"theirs/operators.sock"}},
      {"the request socket's folder may be written by every user",
       [&](DaemonProcess& d) {
         folder(d, "open", 0777, 0);
         d.add_arguments({"--socket", d.dir() + "/open/requests.sock"});
       },
       "may be written by users other than root",
       {"open/requests.sock"}},
      {"a socket directly in a root-owned sticky folder",
       [&](DaemonProcess& d) {
         folder(d, "tmp", 01777, 0);
         d.add_arguments({"--socket", d.dir() + "/tmp/requests.sock"});
       },
       "",
       {}},
      {"the state folder under a root-owned sticky folder",
       [&](DaemonProcess& d) {
         folder(d, "tmp", 01777, 0);
         d.add_arguments({"--state-dir", d.dir() + "/tmp/state"});
       },
       "",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DaemonProcess daemon(kConfig);
    c.prepare(daemon);
    if (c.message.empty()) {
      EXPECT_TRUE(daemon.start()) << daemon.log();
      continue;
    }
    EXPECT_FALSE(daemon.start());
    EXPECT_EQ(daemon.wait_exit(), 1);
    EXPECT_NE(daemon.log().find(c.message), std::string::npos) << daemon.log();
    EXPECT_NE(daemon.log().find("refusing to"), std::string::npos) << daemon.log();
    for (const std::string& name : c.absent)
      EXPECT_FALSE(exists(daemon.dir() + "/" + name)) << name;
  }
}

// Whatever the umask and the state folder's mode: the sockets have their
// own modes from the start, and no file of the state folder can be read by
// others (the record, its log, its shared memory, the keys).
TEST_F(ApprovaldSettings, MakesItsFilesWithTheirModesWhateverTheUmask) {
  DaemonProcess daemon(kConfig);
  ASSERT_EQ(::mkdir(daemon.state_dir().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((daemon.dir() + "/ops").c_str(), 0755), 0);
  // Away from the path the harness opens up for the tests' operators.
  const std::string operators = daemon.dir() + "/ops/operators.sock";
  daemon.add_arguments({"--operator-socket", operators});
  const mode_t old_mask = ::umask(0);
  const bool started = daemon.start();
  ::umask(old_mask);
  ASSERT_TRUE(started) << daemon.log();
  EXPECT_EQ(mode_of(daemon.request_socket()), 0666u);
  EXPECT_EQ(mode_of(operators), 0600u);  // no approvers' group here

  // A request, so that the log and the shared memory exist.
  FileDescriptor requester = connect_as(daemon.request_socket(), operator_);
  ASSERT_TRUE(send_all(requester.get(), request_line("Make the log")));
  std::this_thread::sleep_for(300ms);
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(daemon.state_dir())) {
    if (!entry.is_regular_file()) continue;
    ++files;
    EXPECT_EQ(mode_of(entry.path()) & 077, 0u)
        << entry.path() << " mode " << std::oct << mode_of(entry.path());
  }
  EXPECT_GE(files, 3);
  for (const char* name : {"record.sqlite3", "record.sqlite3-wal", "record.sqlite3-shm"})
    EXPECT_TRUE(exists(daemon.state_dir() + "/" + name)) << name;
}

// The daemon gives its socket a mode at bind, never by a path that someone
// could have turned into a link meanwhile: a link swapped in for the socket
// the moment it appears leaves the link's target as it was. A listen()
// that pauses (preloaded) holds the moment open; a round without it races.
TEST_F(ApprovaldSettings, NeverSetsAModeThroughALinkSwappedInForItsSocket) {
  const std::vector<std::string> slow = {"/usr/bin/env", "LD_PRELOAD=" KOA_SLOW_LISTEN_PATH,
                                         "ASAN_OPTIONS=verify_asan_link_order=0"};
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const bool paused = round % 2 == 0;
    DaemonProcess daemon(kConfig);
    const std::string target = daemon.dir() + "/target";
    testing::write_file(target, "hers");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const std::string link = daemon.dir() + "/link";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      const auto end = std::chrono::steady_clock::now() + 10s;
      while (!done && std::chrono::steady_clock::now() < end) {
        struct stat status {};
        if (::lstat(daemon.request_socket().c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
          (void)::rename(link.c_str(), daemon.request_socket().c_str());
          return;
        }
      }
    });
    const bool started = daemon.start(paused ? slow : std::vector<std::string>{});
    done = true;
    swapper.join();
    if (!started) {
      EXPECT_EQ(daemon.wait_exit(), 1);
    }
    if (paused) {
      EXPECT_FALSE(started);
      EXPECT_NE(daemon.log().find("requests.sock was replaced after it was made; leaving it alone"),
                std::string::npos)
          << daemon.log();
    }
    EXPECT_EQ(mode_of(target), 0600u) << daemon.log();
    EXPECT_EQ(testing::read_file(target), "hers");
  }
}

// The record holds every request an operator was shown: a request listed
// to a watcher is in the record after a kill -9 that follows at once.
TEST_F(ApprovaldSettings, ARequestAnOperatorSawSurvivesAKillRightAfter) {
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    DaemonProcess daemon(kConfig);
    ASSERT_TRUE(daemon.start());
    OperatorLink watcher(daemon, operator_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    const FileDescriptor requester = connect_as(daemon.request_socket(), other_);
    ASSERT_TRUE(send_all(requester.get(), request_line("Seen, then killed")));
    const std::string id = next_pending(watcher);
    ASSERT_FALSE(id.empty());
    daemon.kill_hard();
    EXPECT_EQ(query_record(daemon.record_path(), "SELECT title FROM requests WHERE id = " + id),
              "Seen, then killed");
  }
}

// "Keep for ever" written as the largest number: the start keeps the
// record (it once deleted every request), says it used 36500 days, and a
// request still waits its own time rather than expiring at once.
TEST_F(ApprovaldSettings, HugeNumbersKeepTheRecordAndTheWaits) {
  const std::string huge = "9223372036854775807";
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start());
  {
    OperatorLink watcher(daemon, operator_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    const FileDescriptor requester = connect_as(daemon.request_socket(), other_);
    ASSERT_TRUE(send_all(requester.get(), request_line("Kept for ever")));
    ASSERT_FALSE(next_pending(watcher).empty());
  }
  ASSERT_EQ(daemon.stop(SIGTERM), 0);
  daemon.write_config(std::string(kConfig) + "keep_days = " + huge + "\nmax_timeout = " + huge +
                      "\ndefault_timeout = " + huge + "\ntoken_lifetime = " + huge + "\n");
  ASSERT_TRUE(daemon.start()) << daemon.log();
  EXPECT_NE(daemon.log().find("keep_days = " + huge +
                              " is above its range (0 to 36500); using "
                              "36500"),
            std::string::npos)
      << daemon.log();
  EXPECT_EQ(query_record(daemon.record_path(),
                         "SELECT count(*) FROM requests WHERE title = 'Kept for ever'"),
            "1");
  OperatorLink watcher(daemon, operator_);
  ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
  const FileDescriptor requester = connect_as(daemon.request_socket(), other_);
  ASSERT_TRUE(send_all(requester.get(), request_line("Waits")));
  const std::string id = next_pending(watcher);
  ASSERT_FALSE(id.empty());
  std::string buffer;
  EXPECT_EQ(read_line(requester.get(), buffer, 500ms), std::nullopt) << "answered at once";
  EXPECT_EQ(
      query_record(daemon.record_path(), "SELECT timeout_secs FROM requests WHERE id = " + id),
      "31536000");
}

// --check-config warns, with status 0, of what would quietly break the
// service: names this system does not know (a typo means nobody can
// approve), a notify program that is not there, numbers past their range.
TEST(ApprovaldCheckConfig, WarnsOfNamesThatDoNotResolveWithStatusZero) {
  testing::TempDir dir;
  testing::write_file(dir.file("service.toml"), R"(approvers = ["alcie", "@koa-no-such-group"]
notify = ["/usr/local/bin/koa-no-such-pager"]
notify_user = "koa-no-such-user"
keep_days = 9223372036854775807

[[rule]]
name = "db"
effect = "ask"
approvals = 1
group = "koa-no-such-dba"
)");
  const char* daemon = std::getenv("KOA_DAEMON");
  const Finished done = Process({daemon && *daemon ? daemon : KOA_DAEMON_PATH, "--check-config",
                                 "--config", dir.file("service.toml")},
                                {})
                            .wait();
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.out.find("service.toml: ok"), std::string::npos) << done.out;
  for (const std::string warning : {
           "warning: approvers: no user \"alcie\" on this system",
           "warning: approvers: no group \"koa-no-such-group\" on this system",
           "warning: notify: /usr/local/bin/koa-no-such-pager: No such file or directory",
           "warning: notify_user: no user \"koa-no-such-user\" on this system",
           "group: no group \"koa-no-such-dba\" on this system",
           "service.toml:4:13: keep_days = 9223372036854775807 is above its range (0 to "
           "36500); using 36500",
       }) {
    EXPECT_NE(done.err.find(warning), std::string::npos) << warning << "\n" << done.err;
  }
  // A file whose names all resolve gets no warning.
  testing::write_file(dir.file("good.toml"), "approvers = [\"root\", \"@root\"]\n");
  const Finished good = Process({daemon && *daemon ? daemon : KOA_DAEMON_PATH, "--check-config",
                                 "--config", dir.file("good.toml")},
                                {})
                            .wait();
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.err, "");
}

}  // namespace
}  // namespace kelvane::approvald_test
