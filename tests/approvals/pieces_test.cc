// The parts of the command that decide without input or output: times, the
// line splitter and the watch queue.
#include <gtest/gtest.h>

#include "approvals/line_splitter.h"
#include "approvals/listing.h"
#include "approvals/rfc3339.h"
#include "approvals/watch_queue.h"

namespace kelvane::approvals {
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

TEST(Rfc3339, Times) {
  const struct {
    std::string_view text;
    std::optional<std::int64_t> unix_time;
  } cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2026-12-07T20:00:00Z", 1796673600},
      {"2026-12-07t20:00:00z", 1796673600},
      {"2026-12-07 20:00:00Z", 1796673600},
      {"2026-12-07T21:30:00+01:30", 1796673600},
      {"2026-12-07T18:00:00-02:00", 1796673600},
      {"2026-12-07T20:00:00.999Z", 1796673600},  // fractions dropped
      {"1969-12-31T23:59:59Z", -1},
      {"2024-02-29T00:00:00Z", 1709164800},
      {"2016-12-31T23:59:60Z", 1483228799},  // a leap second
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2100-02-29T00:00:00Z", std::nullopt},
      {"2026-04-31T00:00:00Z", std::nullopt},
      {"2026-00-10T00:00:00Z", std::nullopt},
      {"2026-12-07T24:00:00Z", std::nullopt},
      {"2026-12-07T20:00:00", std::nullopt},  // no zone
      {"2026-12-07T20:00:00.Z", std::nullopt},
      {"2026-12-07T20:00:00+0100", std::nullopt},
      {"2026-12-07T20:00:00+24:00", std::nullopt},
      {"2026-12-07", std::nullopt},
      {"+2026-12-07T20:00:00Z", std::nullopt},
      {"2026-12-07T20:00:00Z ", std::nullopt},
      {"", std::nullopt},
      // Each separator, each field and each bound on its own.
      {"2000-02-29T00:00:00Z", 951782400},  // divisible by 400: a leap year
      {"2026/12-07T20:00:00Z", std::nullopt},
      {"2026-12/07T20:00:00Z", std::nullopt},
      {"2026-12-07_20:00:00Z", std::nullopt},
      {"2026-12-07T20.00:00Z", std::nullopt},
      {"2026-12-07T20:00.00Z", std::nullopt},
      {"2O26-12-07T20:00:00Z", std::nullopt},
      {"2026-1x-07T20:00:00Z", std::nullopt},
      {"2026-12-0xT20:00:00Z", std::nullopt},
      {"2026-12-07Tx0:00:00Z", std::nullopt},
      {"2026-12-07T20:x0:00Z", std::nullopt},
      {"2026-12-07T20:00:x0Z", std::nullopt},
      {"2026-13-07T20:00:00Z", std::nullopt},
      {"2026-12-00T20:00:00Z", std::nullopt},
      {"2026-12-32T20:00:00Z", std::nullopt},
      {"2026-12-07T20:60:00Z", std::nullopt},
      {"2026-12-07T20:00:61Z", std::nullopt},
      {"2026-12-07T20:00:00*01:00", std::nullopt},
      {"2026-12-07T20:00:00+01-00", std::nullopt},
      {"2026-12-07T20:00:00+0x:00", std::nullopt},
      {"2026-12-07T20:00:00+01:0x", std::nullopt},
      {"2026-12-07T20:00:00+01:60", std::nullopt},
      {"2026-12-07T20:00:00.5", std::nullopt},  // a fraction without a zone
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_rfc3339(c.text), c.unix_time) << c.text;
  }
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

TEST(LineSplitter, CutsLinesWhereverTheBytesBreak) {
  LineSplitter s(100);
  s.add("{\"a\":1}\n{\"b\"");
  EXPECT_EQ(s.take_line(), "{\"a\":1}");
  EXPECT_EQ(s.take_line(), std::nullopt);
  s.add(":2}\n\n");
  EXPECT_EQ(s.take_line(), "{\"b\":2}");
  EXPECT_EQ(s.take_line(), "");
  EXPECT_EQ(s.take_line(), std::nullopt);
  EXPECT_FALSE(s.overlong());
}

TEST(LineSplitter, ManyShortLinesAtOnceAreNotOverlong) {
  LineSplitter s(10);
  std::string bytes;
  for (int i = 0; i < 50; ++i) bytes += "123456789\n";
  s.add(bytes);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(s.take_line(), "123456789");
  EXPECT_FALSE(s.overlong());
}

TEST(LineSplitter, ALineOverTheBoundStopsEverything) {
  LineSplitter finished(10);
  finished.add("12345678901\nok\n");
  EXPECT_EQ(finished.take_line(), std::nullopt);
  EXPECT_TRUE(finished.overlong());
  EXPECT_EQ(finished.take_line(), std::nullopt);

  LineSplitter unfinished(10);
  unfinished.add("12345");
  EXPECT_EQ(unfinished.take_line(), std::nullopt);
  unfinished.add("678901");
  EXPECT_EQ(unfinished.take_line(), std::nullopt);
  EXPECT_TRUE(unfinished.overlong());
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
}  // namespace kelvane::approvals
