#include "support/line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane {
namespace {

// Feeds `stream` in pieces of `step` bytes and records what came out: each
// line as it is, "<too long>" for a line over the cap, and "<partial>" when
// the stream ends inside a line.
std::vector<std::string> collect(std::string_view stream, std::size_t step, std::size_t cap) {
  LineReader collector(cap);
  std::vector<std::string> out;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    std::string_view input = stream.substr(at, step);
    while (!input.empty()) {
      const std::size_t before = input.size();
      switch (collector.feed(input)) {
        case LineReader::Event::Line:
          out.push_back(collector.line());
          break;
        case LineReader::Event::TooLong:
          out.emplace_back("<too long>");
          break;
        case LineReader::Event::NeedMore:
          EXPECT_TRUE(input.empty() || input.size() < before);
          break;
      }
    }
  }
  if (collector.in_line()) out.emplace_back("<partial>");
  return out;
}

// The same through hold() and next(), as a peer sending many lines is read:
// each piece held as it comes, the lines taken after it.
std::vector<std::string> collect_held(std::string_view stream, std::size_t step, std::size_t cap) {
  LineReader reader(cap);
  std::vector<std::string> out;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    reader.hold(stream.substr(at, step));
    for (;;) {
      const LineReader::Event event = reader.next();
      if (event == LineReader::Event::Line) out.push_back(reader.take_line());
      if (event == LineReader::Event::TooLong) out.emplace_back("<too long>");
      if (event == LineReader::Event::NeedMore && reader.held() == 0) break;
    }
  }
  if (reader.in_line()) out.emplace_back("<partial>");
  return out;
}

TEST(LineReader, HeldBytesGiveTheSameLinesAsBytesFedAsTheyCome) {
  const std::string streams[] = {
      "",
      "abc\n",
      "\n\n",
      "a\nbb\nccc\n",
      "12345678\n",
      "123456789\n",
      "123456789abcdefgh\nok\n",
      "ab\ncd",
      "123456789abc",
      "123456789\nab",
      "123456789\n\n",
      std::string("a\0b\n", 4),
      "a\n123456789abcdefgh\nb\nc",
  };
  for (const std::string& stream : streams) {
    for (std::size_t step = 1; step <= stream.size() + 1; ++step) {
      EXPECT_EQ(collect_held(stream, step, 8), collect(stream, step, 8))
          << "\"" << stream << "\", pieces of " << step;
    }
  }
}

TEST(LineReader, TellsWhetherALineEndIsHeldAndLetsGoOfWhatIsTaken) {
  LineReader reader(8);
  reader.hold("ab\ncd");
  EXPECT_TRUE(reader.holds_line_end());
  EXPECT_EQ(reader.held(), 5u);
  ASSERT_EQ(reader.next(), LineReader::Event::Line);
  EXPECT_EQ(reader.take_line(), "ab");
  EXPECT_FALSE(reader.holds_line_end());
  // The rest of a line is not a line: it stays held until its line feed.
  EXPECT_EQ(reader.next(), LineReader::Event::NeedMore);
  EXPECT_EQ(reader.held(), 0u);
  EXPECT_TRUE(reader.in_line());
  reader.hold("\n");
  ASSERT_EQ(reader.next(), LineReader::Event::Line);
  EXPECT_EQ(reader.line(), "cd");
  // A line past the cap is too long before its line feed comes.
  reader.hold("123456789");
  EXPECT_EQ(reader.next(), LineReader::Event::TooLong);
  EXPECT_TRUE(reader.skipping());
}

TEST(LineReader, SameLinesWhateverThePiecesTheBytesComeIn) {
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

TEST(LineReader, LeavesWhatFollowsTheLineFeedAndHoldsNoMoreThanTheCap) {
  LineReader collector(4);
  std::string_view input = "ab\ncd\n";
  ASSERT_EQ(collector.feed(input), LineReader::Event::Line);
  EXPECT_EQ(collector.line(), "ab");
  EXPECT_EQ(input, "cd\n");
  EXPECT_FALSE(collector.in_line());
  ASSERT_EQ(collector.feed(input), LineReader::Event::Line);
  EXPECT_EQ(collector.take_line(), "cd");
  EXPECT_TRUE(input.empty());

  // Too long as soon as the cap is passed, before any line feed arrives.
  std::string_view long_piece = "abcde";
  EXPECT_EQ(collector.feed(long_piece), LineReader::Event::TooLong);
  EXPECT_TRUE(collector.skipping());
  EXPECT_TRUE(collector.line().empty());
  std::string_view rest = "fgh\nxy\n";
  EXPECT_EQ(collector.feed(rest), LineReader::Event::NeedMore);
  EXPECT_FALSE(collector.skipping());
  EXPECT_EQ(rest, "xy\n");
  EXPECT_EQ(collector.feed(rest), LineReader::Event::Line);
  EXPECT_EQ(collector.line(), "xy");
}

TEST(LineReader, ACapOfZeroTakesOnlyEmptyLines) {
  EXPECT_EQ(collect("\nx\n\n", 1, 0), (std::vector<std::string>{"", "<too long>", ""}));
}

}  // namespace
}  // namespace kelvane
