#include "support/quoting.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kelvane {
namespace {

// What someone else's text may hold to end the quotes, start a line, steer
// the terminal or hide from the reader, and how each must come out.
TEST(Quoting, NothingLeavesTheQuotesUnescaped) {
  const struct {
    std::string_view text;
    std::string_view shown;
  } cases[] = {
      {"rule one", R"("rule one")"},
      {"a\"b", R"("a\"b")"},          // would end the quotes early
      {"a\\", R"("a\\")"},            // would escape the closing quote
      {"x\ny", R"("x\ny")"},          // would start a line of its own
      {"\x1b[2J", R"("\u{1b}[2J")"},  // a terminal's escape sequence
      {"\xE2\x80\xAE"
       "abc",
       R"("\u{202e}abc")"},  // right-to-left override
      {"\x9b"
       "2J",
       R"("\x{9b}2J")"},                     // a lone byte: 8-bit CSI on some terminals
      {"caf\xE9", R"("caf\x{e9}")"},         // Latin-1, not UTF-8
      {"\xE2\x82", R"("\x{e2}\x{82}")"},     // a character cut short
      {"\xC0\xAF", R"("\x{c0}\x{af}")"},     // an overlong '/'
      {"\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},  // a real U+FFFD is shown as itself
  };
  for (const auto& c : cases) EXPECT_EQ(quoted(c.text), c.shown) << c.shown;
}

TEST(Quoting, PrefixCutsBetweenCharacters) {
  const struct {
    std::string_view text;
    std::size_t max_bytes;
    std::string_view shown;
  } cases[] = {
      {"abcdef", 6, R"("abcdef")"},  // fits: nothing added
      {"abcdef", 3, R"("abc"...)"},
      {"ab\xC3\xA9", 3, R"("ab"...)"},  // never half of the é
      {"ab\xC3\xA9z", 4, "\"ab\xC3\xA9\"..."},
      {"a\"\"\"", 2, R"("a\""...)"},  // the cap counts bytes of the text
      {"\xF0\x9F\x98\x80", 2, R"(""...)"},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_prefix(c.text, c.max_bytes), c.shown) << c.shown;
}

}  // namespace
}  // namespace kelvane
