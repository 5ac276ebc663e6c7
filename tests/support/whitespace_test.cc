#include "support/whitespace.h"

#include <gtest/gtest.h>

#include "support/utf8.h"

namespace kelvane {
namespace {

struct TrimCase {
  std::string_view input;
  std::string_view trimmed;
};

TEST(Trim, RemovesEveryWhiteSpaceCodePointAtBothEnds) {
  const TrimCase cases[] = {
      {"", ""},
      {"   ", ""},
      {" \t\n\v\f\r x \r\n", "x"},
      {"\xC2\x85x\xC2\xA0", "x"},                      // U+0085, U+00A0
      {"\xE1\x9A\x80x\xE2\x80\x8A", "x"},              // U+1680, U+200A
      {"\xE2\x80\xA8\xE2\x80\xA9x\xE2\x80\xAF", "x"},  // U+2028, U+2029, U+202F
      {"\xE2\x81\x9Fx\xE3\x80\x80", "x"},              // U+205F, U+3000
      {"a b", "a b"},                                  // inner space stays
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},              // U+200B is not white space
      {"\xEF\xBB\xBF", "\xEF\xBB\xBF"},                // nor is the byte-order mark
      {"\xC2\xA0\xC2\xA0", ""},
      {"x\xE3\x80\x80", "x"},
      {" \xFF ", "\xFF"},        // malformed bytes stop trimming
      {"\xE3\x80", "\xE3\x80"},  // truncated sequence is not U+3000
  };
  for (const TrimCase& c : cases) EXPECT_EQ(trim(c.input), c.trimmed) << c.input;
}

TEST(WhiteSpace, ExactlyTwentyFiveCodePoints) {
  int count = 0;
  for (char32_t c = 0; c < 0x110000; ++c) count += is_unicode_white_space(c) ? 1 : 0;
  EXPECT_EQ(count, 25);
}

TEST(Utf8, Validation) {
  const std::pair<std::string_view, bool> cases[] = {
      {"", true},
      {"plain ascii text that is longer than a word", true},
      {"B\xC3\xBC"
       "cher",
       true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC0\x80", false},          // overlong NUL
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE2\x82", false},          // truncated
      {"abcdefgh\x80", false},      // stray continuation after a fast run
      {"\xFE", false},
  };
  for (const auto& [bytes, valid] : cases) EXPECT_EQ(utf8::is_valid(bytes), valid) << bytes;
}

// The same sequences at every offset around the sixteen-byte blocks that the
// validator tests at once, with ASCII before and after: the verdict must not
// depend on where a sequence falls.
TEST(Utf8, ValidationAtEveryOffset) {
  const std::pair<std::string_view, bool> pieces[] = {
      {"\xC3\xBC", true},
      {"\xE4\xB8\xAD", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC3", false},
      {"\xE4\xB8", false},
      {"\xF0\x9F\x98", false},
      {"\x80", false},
      {"\xC0\xAF", false},
      {"\xED\xBF\xBF", false},
      {"\xF4\x90\x80\x80", false},
      {"\xFF", false},
  };
  for (const auto& [piece, valid] : pieces) {
    for (std::size_t before = 0; before < 40; ++before) {
      for (const std::size_t after : {0u, 1u, 7u, 15u, 16u, 33u}) {
        const std::string text =
            std::string(before, 'a') + std::string(piece) + std::string(after, 'z');
        EXPECT_EQ(utf8::is_valid(text), valid) << before << " " << after;
        // Two in a row, the second straddling the next block.
        const std::string twice = text + std::string(piece) + "tail";
        EXPECT_EQ(utf8::is_valid(twice), valid) << before << " " << after;
      }
    }
  }
}

}  // namespace
}  // namespace kelvane
