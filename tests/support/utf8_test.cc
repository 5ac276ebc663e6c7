#include "support/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

namespace kelvane::utf8 {
namespace {

TEST(ReplaceInvalid, OneReplacementPerMaximalPiece) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string_view, std::string> cases[] = {
      {"plain", "plain"},
      {"\xEF\xBF\xBD", r},  // a real U+FFFD stays one
      {"\xE2\x82"
       "A",
       r + "A"},                            // truncated three-byte sequence
      {"x\xF0\x9F\x98", "x" + r},           // truncated four-byte sequence at the end
      {"\xC0\x80", r + r},                  // overlong lead, stray continuation
      {"\xED\xA0\x80", r + r + r},          // surrogate: the lead alone is the piece
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xC3\xA9\xFF", "\xC3\xA9" + r},
      {"\xE0\x9F\x80", r + r + r},          // overlong three-byte form
      {"\xF0\x8F\x80\x80", r + r + r + r},  // overlong four-byte form
      {"\xF5\x80", r + r},                  // no lead byte above F4
      {"\xE2\x82\xAC\xE2", "\xE2\x82\xAC" + r},
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(replace_invalid(bytes), expected);
}

// Validation checks each sequence in one step, replacement walks it byte by
// byte; both follow one table of lead bytes and must agree on every text:
// valid exactly when nothing would be replaced. All texts of up to two bytes
// after "a", and every three- and four-byte start over the interesting
// second bytes with each kind of following byte. This holds the two readers
// of the table to each other; the table's entries are checked by the case
// tables.
TEST(IsValid, AgreesWithReplacementOnEveryShortSequence) {
  const auto agrees = [](const std::string& text) {
    return is_valid(text) == (replace_invalid(text) == text);
  };
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string text = {'a', static_cast<char>(a), static_cast<char>(b)};
      ASSERT_TRUE(agrees(text)) << a << " " << b;
      ASSERT_TRUE(agrees(text.substr(0, 2))) << a;
    }
  }
  const char following[] = {'\x00', 'z', '\x80', '\xBF', '\xC0'};
  for (int lead = 0xE0; lead < 0x100; ++lead) {
    for (int second = 0x7F; second <= 0xC0; ++second) {
      for (char third : following) {
        for (char fourth : following) {
          const std::string text = {static_cast<char>(lead), static_cast<char>(second), third,
                                    fourth};
          ASSERT_TRUE(agrees(text)) << lead << " " << second;
          ASSERT_TRUE(agrees(text.substr(0, 3))) << lead << " " << second;
        }
      }
    }
  }
}

// Read from the back, as trimming does: a whole character, or one U+FFFD
// for the last byte when it ends no well-formed sequence, however many
// continuation bytes come before it.
TEST(DecodeBefore, TheCharacterThatEndsHereOrOneReplacedByte) {
  const struct {
    std::string_view text;
    char32_t c;
    std::size_t length;
  } cases[] = {
      {"a", U'a', 1},
      {"a\u00e9", U'\u00e9', 2},
      {"\u20ac", U'\u20ac', 3},
      {"x\U0001f600", U'\U0001f600', 4},
      {"a\x80", U'\ufffd', 1},
      {"\xe2\x82", U'\ufffd', 1},
      {"\u20ac\x80", U'\ufffd', 1},
      {"\xf0\x9f\x98\x80\x80", U'\ufffd', 1},
      {"x\x80\x80\x80\x80\x80", U'\ufffd', 1},
  };
  for (const auto& c : cases) {
    std::size_t length = 0;
    EXPECT_EQ(decode_before(c.text, c.text.size(), length), c.c) << c.text;
    EXPECT_EQ(length, c.length) << c.text;
  }
}

}  // namespace
}  // namespace kelvane::utf8
