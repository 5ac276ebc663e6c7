#include "service/shown_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/block.h"
#include "support/quoting.h"

namespace kelvane::service {
namespace {

std::vector<std::string> texts(const std::vector<Piece>& pieces) {
  std::vector<std::string> out;
  for (const Piece& p : pieces) out.push_back(p.text);
  return out;
}

// Whatever a request holds, what reaches the terminal is printable: no
// control, format, separator or combining character is ever copied.
TEST(ShownText, EscapesWhatATerminalWouldNotShowFaithfully) {
  struct Case {
    const char* name;
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"plain", "Reboot web-03", "\"Reboot web-03\""},
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"escape sequence", "x\x1b[2Jy", "\"x\\u{1b}[2Jy\""},
      {"carriage return and tab", "a\rb\tc", "\"a\\rb\\tc\""},
      {"NUL", std::string("a\0b", 3), "\"a\\0b\""},
      {"DEL and a C1 control", "\x7f\xc2\x9b", "\"\\u{7f}\\u{9b}\""},
      {"right-to-left override", "abc\u202Edef", "\"abc\\u{202e}def\""},
      {"isolates", "\u2066a\u2067b\u2068c\u2069", "\"\\u{2066}a\\u{2067}b\\u{2068}c\\u{2069}\""},
      {"zero-width characters", "a\u200Bb\u200Cc\u200Dd\u2060e\uFEFF",
       "\"a\\u{200b}b\\u{200c}c\\u{200d}d\\u{2060}e\\u{feff}\""},
      {"line and paragraph separators", "a\u2028b\u2029c", "\"a\\u{2028}b\\u{2029}c\""},
      {"soft hyphen and no-break space", "a\u00ADb\u00A0c", "\"a\\u{ad}b\\u{a0}c\""},
      {"combining mark", "e\u0301", "\"e\\u{301}\""},
      {"unassigned and private use", "\U000E0001\uE000", "\"\\u{e0001}\\u{e000}\""},
      {"printable non-ASCII", "Bücher 日本", "\"Bücher 日本\""},
      {"bytes that are not UTF-8", "a\x9b\xff", "\"a\\x{9b}\\x{ff}\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kelvane::quoted(c.text), c.shown) << c.name;
    EXPECT_EQ(texts(quoted_pieces(c.text, 200)), std::vector<std::string>{c.shown}) << c.name;
  }
}

TEST(ShownText, PiecesBreakAfterLineFeedsAndBeforeTheWidth) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t width;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"empty", "", 10, {"\"\""}},
      {"lines", "one\ntwo\n", 40, {"\"one\\n\"", "\"two\\n\""}},
      {"blank lines", "\n\n", 40, {"\"\\n\"", "\"\\n\""}},
      {"cut at the width, quotes counted", "abcdefgh", 5, {"\"abc\"", "\"def\"", "\"gh\""}},
      {"an escape is never cut", "ab\x1b", 9, {"\"ab\"", "\"\\u{1b}\""}},
      {"wide characters count two", "日本語", 6, {"\"日本\"", "\"語\""}},
      {"one character at least", "abc", 1, {"\"a\"", "\"b\"", "\"c\""}},
  };
  for (const Case& c : cases) {
    const std::vector<Piece> pieces = quoted_pieces(c.text, c.width);
    EXPECT_EQ(texts(pieces), c.pieces) << c.name;
    for (const Piece& p : pieces) {
      if (p.text.size() > 3) {
        EXPECT_LE(p.width, c.width) << c.name;
      }
    }
  }
}

TEST(ShownText, LogPrefixIsCutAtACharacter) {
  EXPECT_EQ(kelvane::quoted_prefix("short", 10), "\"short\"");
  EXPECT_EQ(kelvane::quoted_prefix("abcdef", 3), "\"abc\"...");
  EXPECT_EQ(kelvane::quoted_prefix("a\xC3\xA9z", 2), "\"a\"...");  // é is not split
}

// A text can only ever take the value column: a title holding a line feed
// and what looks like another field stays inside its own pieces.
TEST(Block, TextContinuesInTheValueColumnAndStaysInsideTheFence) {
  Block block;
  block.add("what is asked:");
  block.add_text("  title", 7, "Reboot\n  target host   \"prod\"", 16);
  block.add_text("  detail", 8, std::string(100, 'd'), 16);
  const std::vector<std::string> expected = {
      "what is asked:",
      "  title         \"Reboot\\n\"",
      "                \"  target host   \\\"prod\\\"\"",
      "  detail        \"" + std::string(58, 'd') + "\"",
      "                \"" + std::string(42, 'd') + "\"",
  };
  EXPECT_EQ(block.lines(), expected);
  const std::string shown = fenced(block, "approval request 1", "end of approval request 1");
  EXPECT_EQ(shown.substr(0, 24), "+-- approval request 1 -");
  std::size_t lines = 0;
  for (std::size_t start = 0; start < shown.size(); ++lines) {
    const std::size_t end = shown.find('\n', start);
    const std::string line = shown.substr(start, end - start);
    EXPECT_LE(line.size(), 80u) << line;
    if (lines > 0 && end + 1 < shown.size()) {
      EXPECT_EQ(line.substr(0, 2), "| ");
    }
    start = end + 1;
  }
  EXPECT_EQ(lines, expected.size() + 2);
}

}  // namespace
}  // namespace kelvane::service
