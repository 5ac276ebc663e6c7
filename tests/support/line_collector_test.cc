#include "support/line_collector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane {
namespace {

// Feeds `stream` in pieces of `step` bytes and records what came out: each
// line as it is, "<too long>" for a line over the cap, and "<partial>" when
// the stream ends inside a line.
std::vector<std::string> collect(std::string_view stream, std::size_t step, std::size_t cap) {
  LineCollector collector(cap);
  std::vector<std::string> out;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    std::string_view input = stream.substr(at, step);
    while (!input.empty()) {
      const std::size_t before = input.size();
      switch (collector.feed(input)) {
        case LineCollector::Event::Line:
          out.push_back(collector.line());
          break;
        case LineCollector::Event::TooLong:
          out.emplace_back("<too long>");
          break;
        case LineCollector::Event::NeedMore:
          EXPECT_TRUE(input.empty() || input.size() < before);
          break;
      }
    }
  }
  if (collector.in_line()) out.emplace_back("<partial>");
  return out;
}

TEST(LineCollector, SameLinesWhateverThePiecesTheBytesComeIn) {
  struct Case {
    const char* name;
    std::string stream;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"nothing", "", {}},
      {"one line", "abc\n", {"abc"}},
      {"empty lines", "\n\n", {"", ""}},
      {"lines in a row", "a\nbb\nccc\n", {"a", "bb", "ccc"}},
      {"exactly the cap", "12345678\n", {"12345678"}},
      {"one byte over the cap", "123456789\n", {"<too long>"}},
      {"the rest of a long line is skipped", "123456789abcdefgh\nok\n", {"<too long>", "ok"}},
      {"ends inside a line", "ab\ncd", {"ab", "<partial>"}},
      {"ends inside a long line", "123456789abc", {"<too long>", "<partial>"}},
      {"long line then a short one without a feed", "123456789\nab", {"<too long>", "<partial>"}},
      {"a line feed alone after a long line", "123456789\n\n", {"<too long>", ""}},
      {"NUL bytes are bytes", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const Case& c : cases) {
    for (std::size_t step = 1; step <= c.stream.size() + 1; ++step) {
      EXPECT_EQ(collect(c.stream, step, 8), c.lines) << c.name << ", pieces of " << step;
    }
  }
}

TEST(LineCollector, LeavesWhatFollowsTheLineFeedAndHoldsNoMoreThanTheCap) {
  LineCollector collector(4);
  std::string_view input = "ab\ncd\n";
  ASSERT_EQ(collector.feed(input), LineCollector::Event::Line);
  EXPECT_EQ(collector.line(), "ab");
  EXPECT_EQ(input, "cd\n");
  EXPECT_FALSE(collector.in_line());
  ASSERT_EQ(collector.feed(input), LineCollector::Event::Line);
  EXPECT_EQ(collector.take_line(), "cd");
  EXPECT_TRUE(input.empty());

  // Too long as soon as the cap is passed, before any line feed arrives.
  std::string_view long_piece = "abcde";
  EXPECT_EQ(collector.feed(long_piece), LineCollector::Event::TooLong);
  EXPECT_TRUE(collector.skipping());
  EXPECT_TRUE(collector.line().empty());
  std::string_view rest = "fgh\nxy\n";
  EXPECT_EQ(collector.feed(rest), LineCollector::Event::NeedMore);
  EXPECT_FALSE(collector.skipping());
  EXPECT_EQ(rest, "xy\n");
  EXPECT_EQ(collector.feed(rest), LineCollector::Event::Line);
  EXPECT_EQ(collector.line(), "xy");
}

TEST(LineCollector, ACapOfZeroTakesOnlyEmptyLines) {
  EXPECT_EQ(collect("\nx\n\n", 1, 0), (std::vector<std::string>{"", "<too long>", ""}));
}

}  // namespace
}  // namespace kelvane
