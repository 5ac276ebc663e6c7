// The daemon's record on a disk that fills up or that it may only read: the
// daemon runs in a mount namespace of its own, its state directory a small
// tmpfs there, which the test reaches through /proc/PID/root. Whatever a
// requester is told must be what the record says once the disk takes
// writes again; nothing is approved that the record does not hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

constexpr const char* kConfig = "approvers = [\"daemon\", \"bin\"]\nauditors = [\"sys\"]\n";

// Runs a command; its exit status (-1 when it could not run).
int run(const std::vector<std::string>& argv) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// In front of the daemon: a mount namespace of its own in which `mounts`
// (shell, the state directory as $0) have run, then the daemon.
std::vector<std::string> in_namespace(const DaemonProcess& daemon, const std::string& mounts) {
  return {"/usr/bin/unshare",
          "--mount",
          "--propagation",
          "private",
          "/bin/sh",
          "-c",
          "mkdir -p \"$0\" && " + mounts + " && exec \"$@\"",
          daemon.state_dir()};
}

// The state directory a tmpfs of `size`.
std::vector<std::string> on_tmpfs(const DaemonProcess& daemon, const std::string& size) {
  return in_namespace(daemon, "mount -t tmpfs -o size=" + size + ",mode=0755 koa-state \"$0\"");
}

// The state directory as it is, but read-only.
std::vector<std::string> read_only(const DaemonProcess& daemon) {
  return in_namespace(daemon, "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\"");
}

// What sqlite3 answers for `sql` on the daemon's record, in its mount
// namespace (SQLite resolves /proc/PID/root to the test's own root).
std::string query_seen(const DaemonProcess& daemon, const std::string& sql) {
  const std::string command = "nsenter --target " + std::to_string(daemon.pid()) +
                              " --mount sqlite3 -readonly " + daemon.record_path() + " '" + sql +
                              "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "cannot run sqlite3";
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  ::pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class RecordFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    alice_ = account("daemon");
    bob_ = account("bin");
    carol_ = account("sys");
    if (!alice_ || !bob_ || !carol_) GTEST_SKIP() << "needs the accounts daemon, bin and sys";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
    if (run({"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
             "mount -t tmpfs koa-probe /mnt && umount /mnt"}) != 0)
      GTEST_SKIP() << "cannot mount a tmpfs in a mount namespace here";
  }

  // The daemon's state directory as the test sees it.
  static std::string state_seen(const DaemonProcess& daemon) {
    return "/proc/" + std::to_string(daemon.pid()) + "/root" + daemon.state_dir();
  }

  std::optional<Account> alice_, bob_, carol_;
};

// Fills the file system of `dir` to the last byte with a file of its own.
void fill(const std::string& dir) {
  const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  const std::string block(4096, 'x');
  for (std::size_t size = block.size(); size > 0; size /= 2) {
    while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
    }
  }
  EXPECT_EQ(errno, ENOSPC);
  ::close(fd);
}

// A full disk: votes and withdrawals that cannot be recorded are not taken,
// their requesters are refused, never approved; once there is room again
// the record holds what each requester was told, and the daemon serves as
// before.
TEST_F(RecordFaults, AFullDiskRefusesWhatItCannotRecordAndTheRecordAgreesAfterwards) {
  DaemonProcess daemon(kConfig);
  ASSERT_TRUE(daemon.start(on_tmpfs(daemon, "2m"))) << daemon.log();
  const std::string state = state_seen(daemon);
  OperatorLink bob(daemon, bob_);
  ASSERT_TRUE(bob.ask(op(OperatorOp::Watch)).ok);

  // Requests that wait while the disk fills; their rows are written within
  // the commit thread's deferral.
  constexpr int kRequests = 4;
  std::vector<Process> clients;
  std::vector<std::string> ids;
  for (int i = 0; i < kRequests; ++i) {
    clients.push_back(run_client(daemon, carol_, "Waits for room " + std::to_string(i)));
    ids.push_back(next_pending(bob));
    ASSERT_FALSE(ids.back().empty());
  }
  std::this_thread::sleep_for(200ms);
  fill(state);

  // Each vote is either taken (the verdict is durable) or refused with the
  // record's reason; either way the requester hears the same.
  std::vector<bool> taken;
  for (const std::string& id : ids) {
    const auto answer = bob.ask(vote(id, true));
    taken.push_back(answer.ok);
    if (!answer.ok) {
      EXPECT_NE(answer.error.find("the record cannot be written"), std::string::npos)
          << answer.error;
    }
  }
  for (int i = 0; i < kRequests; ++i) {
    SCOPED_TRACE(ids[static_cast<std::size_t>(i)]);
    const Finished done = clients[static_cast<std::size_t>(i)].wait();
    EXPECT_EQ(done.status, taken[static_cast<std::size_t>(i)] ? 0 : 4) << done.err;
    if (!taken[static_cast<std::size_t>(i)]) {
      EXPECT_NE(done.err.find("cannot write its record"), std::string::npos) << done.err;
    }
  }
  ASSERT_EQ(::unlink((state + "/filler").c_str()), 0);

  // What the requesters were told reaches the record once it takes writes.
  for (int i = 0; i < kRequests; ++i) {
    const std::string& id = ids[static_cast<std::size_t>(i)];
    SCOPED_TRACE(id);
    const std::string told = taken[static_cast<std::size_t>(i)] ? "approved" : "refused";
    std::string row;
    for (int tries = 0; tries < 200 && row != told; ++tries) {
      row = query_seen(daemon, "SELECT state FROM requests WHERE id = " + id);
      if (row != told) std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(row, told);
  }
  Process after = run_client(daemon, carol_, "After the room is back");
  const std::string next = next_pending(bob);
  ASSERT_FALSE(next.empty());
  ASSERT_TRUE(bob.ask(vote(next, true)).ok);
  EXPECT_EQ(after.wait().status, 0);
  EXPECT_EQ(query_seen(daemon, "SELECT state FROM requests WHERE id = " + next), "approved");
  EXPECT_EQ(query_seen(daemon, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(daemon.stop(SIGTERM), 0) << daemon.log();
}

// The record removed or replaced under a running daemon (an
// administrator's rm, a restore over it): what the daemon decides afterwards
// would go to a file no later start opens. It decides nothing more that it
// cannot record: requesters are refused, the log says why, and a restart
// opens what is at the path and serves again.
TEST_F(RecordFaults, ARecordRemovedOrReplacedUnderItIsNotWrittenBlindly) {
  const struct {
    const char* what;
    const char* shell;  // run with the record's path as $0
  } cases[] = {
      {"removed", "rm -f \"$0\" \"$0-wal\" \"$0-shm\""},
      {"replaced by a copy", "cp \"$0\" \"$0.copy\" && mv \"$0.copy\" \"$0\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DaemonProcess daemon(kConfig);
    ASSERT_TRUE(daemon.start());
    OperatorLink bob(daemon, bob_);
    ASSERT_TRUE(bob.ask(op(OperatorOp::Watch)).ok);
    Process before = run_client(daemon, carol_, "Before");
    const std::string first = next_pending(bob);
    ASSERT_FALSE(first.empty());
    ASSERT_TRUE(bob.ask(vote(first, true)).ok);
    EXPECT_EQ(before.wait().status, 0);

    ASSERT_EQ(run({"/bin/sh", "-c", c.shell, daemon.record_path()}), 0);
    const Finished refused = run_client(daemon, carol_, "After", {"--timeout", "2"}).wait();
    EXPECT_EQ(refused.status, 4) << refused.err;
    EXPECT_NE(refused.err.find("cannot write its record"), std::string::npos) << refused.err;
    EXPECT_TRUE(daemon.log_shows("the record file was removed or replaced")) << daemon.log();

    ASSERT_EQ(daemon.stop(SIGTERM), 0);
    ASSERT_TRUE(daemon.start());
    OperatorLink watcher(daemon, bob_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    Process again = run_client(daemon, carol_, "After the restart");
    const std::string next = next_pending(watcher);
    ASSERT_FALSE(next.empty());
    ASSERT_TRUE(watcher.ask(vote(next, true)).ok);
    EXPECT_EQ(again.wait().status, 0);
    EXPECT_EQ(query_record(daemon.record_path(), "SELECT state FROM requests WHERE id = " + next),
              "approved");
  }
}

// A state directory on a file system it may only read, with or without a
// record in it: the daemon cannot record a verdict, so it does not start
// (rather than take requests it could never decide), and what it had is
// left as it was.
TEST_F(RecordFaults, ARecordItMayOnlyReadStopsTheStart) {
  for (const bool had_record : {false, true}) {
    SCOPED_TRACE(had_record ? "a record from before" : "no record yet");
    DaemonProcess daemon(kConfig);
    std::string before;
    if (had_record) {
      ASSERT_TRUE(daemon.start());
      Process client = run_client(daemon, carol_, "Left waiting", {"--timeout", "1"});
      EXPECT_EQ(client.wait().status, 4);  // expired
      ASSERT_EQ(daemon.stop(SIGTERM), 0);
      before = query_record(daemon.record_path(), "SELECT id || state FROM requests");
      ASSERT_NE(before, "");
    }
    EXPECT_FALSE(daemon.start(read_only(daemon)));
    EXPECT_EQ(daemon.wait_exit(), 1) << daemon.log();
    EXPECT_NE(daemon.log().find("record.sqlite3"), std::string::npos) << daemon.log();
    if (had_record) {
      EXPECT_EQ(query_record(daemon.record_path(), "SELECT id || state FROM requests"), before);
    }
  }
}

}  // namespace
}  // namespace kelvane::approvald_test
