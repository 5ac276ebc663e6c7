// The record as an administrator keeps it: status, a backup while the
// service runs, a restore while it is stopped (no id handed out twice), and
// the integrity check a timer runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "harness.h"

namespace kelvane::approvald_test {
namespace {

using namespace std::chrono_literals;
using service::OperatorOp;

class RecordUpkeep : public ::testing::Test {
 protected:
  void SetUp() override {
    approver_ = account("daemon");
    requester_ = account("bin");
    other_ = account("sys");
    if (!approver_ || !requester_ || !other_) GTEST_SKIP() << "needs the accounts daemon, bin, sys";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other uids";
  }

  static std::string config() { return "approvers = [\"daemon\"]\n"; }

  // kelvane-operator-approvald with the daemon's state directory and
  // configuration, and `more`.
  static Finished upkeep(const DaemonProcess& daemon, std::vector<std::string> more) {
    std::vector<std::string> argv = {KOA_DAEMON_PATH, "--state-dir", daemon.state_dir(), "--config",
                                     daemon.config_path()};
    argv.insert(argv.end(), more.begin(), more.end());
    return Process(argv, {}).wait();
  }

  // Asks as `who`, has the approver approve it, and returns its id.
  std::string approved_request(DaemonProcess& daemon, OperatorLink& watcher,
                               const std::optional<Account>& who, const std::string& title) {
    Process client = run_client(daemon, who, title);
    const std::string id = next_pending(watcher);
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(OperatorLink(daemon, approver_).ask(vote(id, true)).state, "approved");
    EXPECT_EQ(client.wait().status, 0);
    return id;
  }

  std::optional<Account> approver_, requester_, other_;
};

TEST_F(RecordUpkeep, StatusShowsWhoWaitsSinceWhenAndTheLastCommitAndBackup) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink watcher(daemon, approver_);
  ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);

  // Who waits is for those who may read requests (an approver here).
  const auto idle = OperatorLink(daemon, approver_).ask(op(OperatorOp::Status));
  ASSERT_TRUE(idle.ok) << idle.error;
  EXPECT_EQ(idle.pending_by_user, (std::map<std::string, std::uint64_t>{}));
  EXPECT_FALSE(idle.oldest_pending);
  EXPECT_FALSE(idle.last_backup);

  Process first = run_client(daemon, requester_, "First");
  const std::string first_id = next_pending(watcher);
  Process second = run_client(daemon, requester_, "Second");
  ASSERT_FALSE(next_pending(watcher).empty());
  Process third = run_client(daemon, other_, "Third");
  ASSERT_FALSE(next_pending(watcher).empty());
  const auto shown = watcher.ask(op(OperatorOp::Show, first_id));
  ASSERT_TRUE(shown.ok) << shown.error;

  const Finished backed_up = upkeep(daemon, {"--backup", daemon.dir() + "/backup.sqlite3"});
  EXPECT_EQ(backed_up.status, 0) << backed_up.err;

  const auto busy = OperatorLink(daemon, approver_).ask(op(OperatorOp::Status));
  ASSERT_TRUE(busy.ok) << busy.error;
  EXPECT_EQ(busy.pending, 3u);
  EXPECT_EQ(busy.pending_by_user, (std::map<std::string, std::uint64_t>{{"bin", 2}, {"sys", 1}}));
  EXPECT_EQ(busy.oldest_pending, shown.request->created_at);
  // The requests' rows are committed (deferred by 20 ms at most).
  EXPECT_TRUE(busy.last_commit && busy.last_commit->size() == 20) << busy.last_commit.value_or("");
  ASSERT_TRUE(busy.last_backup);
  EXPECT_NE(backed_up.out.find(*busy.last_backup), std::string::npos) << backed_up.out;

  // The operators' command shows them after the lines it always had.
  const Finished text =
      Process({KOA_APPROVALS_PATH, "--socket", daemon.operator_socket(), "status"}, {}, approver_)
          .wait();
  EXPECT_EQ(text.status, 0) << text.err;
  for (const std::string& line :
       {std::string("pending      3\n"), std::string("by user      bin 2, sys 1\n"),
        "oldest       " + shown.request->created_at + "\n",
        "last backup  " + *busy.last_backup + "\n"}) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << " in\n" << text.out;
  }
  EXPECT_TRUE(text.out.starts_with("version      ")) << text.out;
}

// A backup taken while requests are decided; more decided after it; then
// the service stopped, the backup restored and the service started again:
// the record is the backup's, the newer record is kept aside, and the ids
// handed out after the backup are never handed out again.
TEST_F(RecordUpkeep, ARestoredBackupNeverHandsOutAnIdAgain) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  const std::string backup = daemon.dir() + "/backup.sqlite3";
  std::set<std::string> issued;
  std::string before_backup;
  {
    OperatorLink watcher(daemon, approver_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    before_backup = approved_request(daemon, watcher, requester_, "Before the backup");
    issued.insert(before_backup);
    const Finished backed_up = upkeep(daemon, {"--backup", backup});
    ASSERT_EQ(backed_up.status, 0) << backed_up.err;
  }
  // A restart after the backup reserves the next block of ids: the ids the
  // restored record would reserve again, were it not renumbered.
  ASSERT_EQ(daemon.stop(), 0);
  ASSERT_TRUE(daemon.start());
  {
    OperatorLink watcher(daemon, approver_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    for (const char* title : {"After the backup 1", "After the backup 2"})
      issued.insert(approved_request(daemon, watcher, requester_, title));
  }
  // Not while the service runs: the record is left as it is.
  const Finished refused = upkeep(daemon, {"--restore", backup});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("stop the service and its sockets first"), std::string::npos)
      << refused.err;
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT count(*) FROM requests"), "3");
  ASSERT_EQ(daemon.stop(), 0);

  const Finished restored = upkeep(daemon, {"--restore", backup});
  ASSERT_EQ(restored.status, 0) << restored.err;
  EXPECT_NE(restored.out.find("kept as"), std::string::npos) << restored.out;
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT id FROM requests"), before_backup);
  const Finished checked = upkeep(daemon, {"--check-record"});
  EXPECT_EQ(checked.status, 0) << checked.err;

  // The daemon starts on the restored record, and each start reserves a new
  // block: several starts, each asked for requests.
  for (int start = 0; start < 2; ++start) {
    ASSERT_TRUE(daemon.start());
    OperatorLink watcher(daemon, approver_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    for (int i = 0; i < 2; ++i) {
      const std::string id = approved_request(daemon, watcher, requester_, "After the restore");
      EXPECT_EQ(issued.count(id), 0u) << "id " << id << " handed out twice";
      issued.insert(id);
    }
    ASSERT_EQ(daemon.stop(), 0);
  }
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT count(*) FROM requests"), "5");
}

// The disk lost with the state directory: the restore makes it again.
// A backup onto a disk without room for it, or onto a folder it may only
// read: it fails with the reason and a status, leaves no part of itself,
// and the backup that was there before is still whole.
TEST_F(RecordUpkeep, ABackupThatCannotBeWrittenKeepsThePreviousOne) {
  if (Process({"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
               "mount -t tmpfs koa-probe /mnt && umount /mnt"},
              {"PATH=/usr/bin:/bin"})
          .wait()
          .status != 0)
    GTEST_SKIP() << "cannot mount in a mount namespace here";
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  OperatorLink watcher(daemon, approver_);
  ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
  for (int i = 0; i < 20; ++i) approved_request(daemon, watcher, requester_, "Fills the record");
  const struct {
    const char* what;
    const char* mount;  // the backup folder $0 made so
    const char* reason;
  } cases[] = {
      {"a full disk", "mount -t tmpfs -o size=16k koa-backup \"$0\"", "full"},
      {"a read-only folder",
       "mount -t tmpfs koa-backup \"$0\" && printf previous > \"$0/b\" && "
       "mount -o remount,ro \"$0\"",
       "ead-only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = daemon.dir() + "/backups";
    ::mkdir(folder.c_str(), 0700);
    // In a mount namespace of its own: the previous backup, the backup
    // over it, then what the folder holds.
    const std::string script = std::string(c.mount) +
                               " && { [ -e \"$0/b\" ] || printf previous > \"$0/b\"; } && "
                               "\"$@\" --backup \"$0/b\"; status=$?; ls -A \"$0\"; cat \"$0/b\"; "
                               "exit $status";
    const Finished done = Process({"/usr/bin/unshare", "--mount", "--propagation", "private",
                                   "/bin/sh", "-c", script, folder, KOA_DAEMON_PATH, "--state-dir",
                                   daemon.state_dir(), "--config", daemon.config_path()},
                                  {"PATH=/usr/bin:/bin"})
                              .wait();
    EXPECT_EQ(done.status, 1) << done.err;
    EXPECT_NE(done.err.find(c.reason), std::string::npos) << done.err;
    EXPECT_EQ(done.out, "b\nprevious") << done.err;  // no partial file beside it
  }
  // The service went on meanwhile, and knows of no backup.
  const auto status = watcher.ask(op(OperatorOp::Status));
  ASSERT_TRUE(status.ok) << status.error;
  EXPECT_FALSE(status.last_backup);
}

TEST_F(RecordUpkeep, ARestoreOntoANewDiskMakesTheStateDirectory) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  const std::string backup = daemon.dir() + "/backup.sqlite3";
  std::string first;
  {
    OperatorLink watcher(daemon, approver_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    first = approved_request(daemon, watcher, requester_, "Before the loss");
  }
  ASSERT_EQ(upkeep(daemon, {"--backup=" + backup}).status, 0);
  ASSERT_EQ(daemon.stop(), 0);
  ASSERT_EQ(::rename(daemon.state_dir().c_str(), (daemon.dir() + "/lost").c_str()), 0);

  const Finished restored = upkeep(daemon, {"--restore=" + backup});
  ASSERT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(restored.out.find("kept as"), std::string::npos) << restored.out;
  ASSERT_TRUE(daemon.start());
  OperatorLink watcher(daemon, approver_);
  ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
  const std::string after = approved_request(daemon, watcher, requester_, "After the restore");
  EXPECT_NE(after, first);
  EXPECT_EQ(query_record(daemon.record_path(), "SELECT count(*) FROM requests"), "2");
}

TEST_F(RecordUpkeep, CheckRecordFindsDamageForATimer) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  {
    OperatorLink watcher(daemon, approver_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    (void)approved_request(daemon, watcher, requester_, "Something to check");
  }
  // Sound while the service runs.
  const Finished live = upkeep(daemon, {"--check-record"});
  EXPECT_EQ(live.status, 0) << live.err;
  EXPECT_NE(live.out.find(": ok ("), std::string::npos) << live.out;
  ASSERT_EQ(daemon.stop(), 0);

  struct Case {
    const char* what;
    std::string sql;  // applied to a copy of the record; "" : no record at all
    const char* says;
  };
  const Case cases[] = {
      {"an id sequence behind the ids in use",
       "UPDATE meta SET value = 1 WHERE key = 'next_sequence'", "would be handed out again"},
      {"no record", "", "No such file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DaemonProcess copy(config());
    ASSERT_EQ(::system(("mkdir -p " + copy.state_dir() + " && cp " + daemon.record_path() + " " +
                        copy.record_path())
                           .c_str()),
              0);
    if (c.sql.empty()) {
      ASSERT_EQ(::unlink(copy.record_path().c_str()), 0);
    } else {
      ASSERT_EQ(::system(("sqlite3 " + copy.record_path() + " \"" + c.sql + "\"").c_str()), 0);
    }
    const Finished checked = upkeep(copy, {"--check-record"});
    EXPECT_EQ(checked.status, 1) << checked.out;
    EXPECT_NE(checked.err.find(c.says), std::string::npos) << checked.err;
  }
}

TEST_F(RecordUpkeep, CheckRecordReportsAPageThatNoLongerReads) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  {
    OperatorLink watcher(daemon, approver_);
    ASSERT_TRUE(watcher.ask(op(OperatorOp::Watch)).ok);
    for (int i = 0; i < 3; ++i)
      (void)approved_request(daemon, watcher, requester_, std::string(2000, 'x'));
  }
  ASSERT_EQ(daemon.stop(), 0);
  // Zeroes over the two pages after the schema's first one.
  const std::string damage = "dd if=/dev/zero of=" + daemon.record_path() +
                             " bs=4096 seek=1 count=2 conv=notrunc status=none";
  ASSERT_EQ(::system(damage.c_str()), 0);
  const Finished checked = upkeep(daemon, {"--check-record"});
  EXPECT_EQ(checked.status, 1) << checked.out;
  EXPECT_FALSE(checked.err.empty());
}

TEST_F(RecordUpkeep, OneDaemonPerRecord) {
  DaemonProcess daemon(config());
  ASSERT_TRUE(daemon.start());
  const Finished second =
      Process({KOA_DAEMON_PATH, "--socket", daemon.dir() + "/second.sock", "--operator-socket",
               daemon.dir() + "/second-operators.sock", "--state-dir", daemon.state_dir(),
               "--config", daemon.config_path()},
              {})
          .wait();
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("in use by a running kelvane-operator-approvald"), std::string::npos)
      << second.err;
  EXPECT_TRUE(accepts(daemon.request_socket(), 2s));
}

}  // namespace
}  // namespace kelvane::approvald_test
