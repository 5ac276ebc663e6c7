// Parts of the command: times, the daemon's lines as they are read, the
// watch queue.
#include <gtest/gtest.h>

#include "fake_daemon.h"
#include "operators/daemon_link.h"
#include "operators/listing.h"
#include "operators/watch_queue.h"

namespace kelvane::operators {
namespace {

// status prints what the daemon sent: who waits only to those who may read
// requests, the record's upkeep to anyone, and an older daemon's four lines.
TEST(StatusLines, ShowWhatTheDaemonSent) {
  const std::string head =
      "version      1\nuptime       5 s\npending      2\nrecord size  9 bytes\n";
  service::OperatorAnswer base;
  base.version = "1";
  base.uptime_secs = 5;
  base.pending = 2;
  base.record_bytes = 9;
  service::OperatorAnswer roleless = base;
  roleless.last_backup = "2026-12-08T03:00:02Z";
  service::OperatorAnswer approver = roleless;
  approver.pending_by_user = std::map<std::string, std::uint64_t>{{"bob", 2}};
  approver.oldest_pending = "2026-12-08T04:12:09Z";
  const std::pair<service::OperatorAnswer, std::string> cases[] = {
      {base, head},
      {roleless, head + "last commit  none since the daemon started\n"
                        "last backup  2026-12-08T03:00:02Z\n"},
      {approver, head + "by user      bob 2\n"
                        "oldest       2026-12-08T04:12:09Z\n"
                        "last commit  none since the daemon started\n"
                        "last backup  2026-12-08T03:00:02Z\n"},
  };
  for (const auto& [answer, text] : cases) EXPECT_EQ(status_lines(answer), text);
}

TEST(Rfc3339, Ages) {
  EXPECT_EQ(describe_age(100, 100), "0s");
  EXPECT_EQ(describe_age(100, 50), "0s");  // clocks that disagree
  EXPECT_EQ(describe_age(0, 59), "59s");
  EXPECT_EQ(describe_age(0, 60), "1m");
  EXPECT_EQ(describe_age(0, 3599), "59m");
  EXPECT_EQ(describe_age(0, 7200), "2h");
  EXPECT_EQ(describe_age(0, 3 * 86400 + 5), "3d");
}

// The daemon's lines as the command reads them, whatever the pieces they
// arrive in; a line over the bound ends the conversation, even when good
// lines follow it, finished or not.
TEST(DaemonLink, ReadsLinesUpToTheBoundAndNothingAfterAnOverlongOne) {
  std::string short_lines;
  for (int i = 0; i < 50; ++i) short_lines += "123456789\n";
  const struct {
    const char* what;
    std::string reply;
    std::vector<std::string> lines;
    bool overlong;
  } cases[] = {
      {"lines, one empty", "{\"a\":1}\n{\"b\":2}\n\n", {"{\"a\":1}", "{\"b\":2}", ""}, false},
      {"many lines of the bound at once", short_lines, std::vector<std::string>(50, "123456789"),
       false},
      {"an overlong line, then a good one", "ok\n12345678901\nok\n", {"ok"}, true},
      {"an overlong line left unfinished", "12345678901", {}, true},
  };
  for (const auto& c : cases) {
    testing::FakeDaemon daemon;
    daemon.serve({c.reply});
    auto link = DaemonLink::connect(daemon.path(), 10);
    ASSERT_TRUE(link.ok()) << c.what;
    ASSERT_TRUE(link.value().send("{}\n").ok()) << c.what;
    for (const std::string& expected : c.lines) {
      auto line = link.value().next_line();
      ASSERT_TRUE(line.ok()) << c.what << ": " << line.error().message;
      EXPECT_EQ(line.value(), expected) << c.what;
    }
    if (!c.overlong) continue;
    for (int again = 0; again < 2; ++again) {
      auto line = link.value().next_line();
      ASSERT_FALSE(line.ok()) << c.what;
      EXPECT_NE(line.error().message.find("longer than this command takes"), std::string::npos)
          << line.error().message;
    }
  }
}

service::RequestRecord record(std::string id) {
  service::RequestRecord r;
  r.id = std::move(id);
  r.state = "pending";
  return r;
}

std::string shown_id(const WatchQueue& q) {
  return q.shown() ? q.shown()->id : "none";
}

TEST(WatchQueue, ArrivalsNeverReplaceTheShownRequest) {
  WatchQueue q;
  EXPECT_EQ(shown_id(q), "none");
  q.arrived(record("1"));
  q.arrived(record("2"));
  q.arrived(record("3"));
  q.arrived(record("1"));  // announced again: still one
  EXPECT_EQ(shown_id(q), "1");
  EXPECT_EQ(q.waiting(), 2u);

  EXPECT_FALSE(q.closed("3"));  // not the shown one
  EXPECT_EQ(shown_id(q), "1");
  EXPECT_TRUE(q.closed("1"));
  EXPECT_EQ(shown_id(q), "2");
  EXPECT_FALSE(q.closed("99"));
}

TEST(WatchQueue, VotedRequestsAreNotAskedAgain) {
  WatchQueue q;
  q.arrived(record("1"));
  q.arrived(record("2"));
  EXPECT_TRUE(q.done_with("1"));
  EXPECT_EQ(shown_id(q), "2");
  q.arrived(record("1"));  // still pending elsewhere (two approvals needed)
  EXPECT_EQ(q.waiting(), 0u);
  // The vote's answer may come after the request has closed: naming it by
  // id leaves the request shown now alone.
  EXPECT_FALSE(q.done_with("5"));
  EXPECT_EQ(shown_id(q), "2");
}

TEST(WatchQueue, SkipPutsTheShownRequestLast) {
  WatchQueue q;
  q.skip_shown();
  q.arrived(record("1"));
  q.skip_shown();
  EXPECT_EQ(shown_id(q), "1");
  q.arrived(record("2"));
  q.arrived(record("3"));
  q.skip_shown();
  EXPECT_EQ(shown_id(q), "2");
  EXPECT_TRUE(q.closed("2"));
  EXPECT_EQ(shown_id(q), "3");
  EXPECT_TRUE(q.closed("3"));
  EXPECT_EQ(shown_id(q), "1");
}

}  // namespace
}  // namespace kelvane::operators
