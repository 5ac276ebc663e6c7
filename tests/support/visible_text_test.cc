#include "support/visible_text.h"

#include <gtest/gtest.h>

#include <string>

#include "support/utf8.h"

namespace kelvane::visible {
namespace {

std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

TEST(Quoted, Escapes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", R"("")"},
      {"abc", R"("abc")"},
      {"it's", R"("it's")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\n\r\t", R"("\n\r\t")"},
      {std::string_view("\0", 1), R"("\0")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"\xC2\x85", R"("\u{85}")"},              // NEL, a control character
      {"\xC2\xA0", R"("\u{a0}")"},              // no-break space
      {"a b", R"("a b")"},                      // the space itself is kept
      {"\xC2\xAD", R"("\u{ad}")"},              // soft hyphen (format)
      {"\xE2\x80\x8B", R"("\u{200b}")"},        // zero width space (format)
      {"\xE2\x80\xA8", R"("\u{2028}")"},        // line separator
      {"\xE2\x80\xA9", R"("\u{2029}")"},        // paragraph separator
      {"\xE3\x80\x80", R"("\u{3000}")"},        // ideographic space
      {"e\xCC\x81", R"("e\u{301}")"},           // combining acute accent
      {"\xE2\x80\x8D", R"("\u{200d}")"},        // zero width joiner
      {"\xEF\xB8\x8F", R"("\u{fe0f}")"},        // variation selector
      {"\xEE\x80\x80", R"("\u{e000}")"},        // private use
      {"\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},  // noncharacter, unassigned
      {"\xCD\xB8", R"("\u{378}")"},             // unassigned
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"\xE4\xB8\xAD", "\"\xE4\xB8\xAD\""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(quoted(text), expected);
}

TEST(Quoted, TableBoundaries) {
  EXPECT_FALSE(is_printable(0x1F));
  EXPECT_TRUE(is_printable(0x20));
  EXPECT_TRUE(is_printable(0x7E));
  EXPECT_FALSE(is_printable(0x7F));
  EXPECT_FALSE(is_printable(0xA0));
  EXPECT_TRUE(is_printable(0xA1));
  EXPECT_FALSE(is_printable(0xD800));
  EXPECT_FALSE(is_printable(0x10FFFF));
  EXPECT_TRUE(is_grapheme_extend(0x300));
  EXPECT_TRUE(is_grapheme_extend(0x36F));
  EXPECT_FALSE(is_grapheme_extend(0x370));
  EXPECT_FALSE(is_grapheme_extend(U'a'));
  EXPECT_TRUE(is_grapheme_extend(0xE01EF));
  EXPECT_FALSE(is_grapheme_extend(0xE01F0));
}

// The characters that a terminal shows as nothing or that reorder the text
// around them (C1 controls, soft hyphen, zero-width and joiner characters,
// line and paragraph separators, bidirectional embeddings, overrides and
// isolates, byte order mark, interlinear annotations, tag characters) are
// all escaped; the sudo plugin's quoting relies on that.
TEST(Quoted, EscapesEveryInvisibleCharacter) {
  const std::pair<char32_t, char32_t> hidden[] = {
      {0x80, 0x9F},     {0xAD, 0xAD},     {0x61C, 0x61C},   {0x180E, 0x180E}, {0x200B, 0x200F},
      {0x2028, 0x202E}, {0x2060, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xE0000, 0xE007F},
  };
  for (const auto& [first, last] : hidden) {
    for (char32_t c = first; c <= last; ++c) {
      EXPECT_FALSE(is_printable(c)) << std::hex << static_cast<std::uint32_t>(c);
      EXPECT_TRUE(needs_escape(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
  }
  EXPECT_TRUE(needs_escape(0x301));  // combining, though printable
  EXPECT_FALSE(needs_escape(U'a'));
}

// What a terminal draws as blank or as nothing, though its category says
// letter or symbol: fillers, blank glyphs, default-ignorable characters and
// the conjoining Hangul vowels and final consonants. Each could pass for a
// space, hide in a name or pad a text until the rest is out of view. The
// visible neighbours on each side stay as they are.
TEST(Quoted, EscapesEveryCharacterDrawnAsBlank) {
  const struct {
    std::string_view what;
    char32_t first;
    char32_t last;
    char32_t before;  // neighbours shown as themselves (0: none checked)
    char32_t after;
  } blanks[] = {
      {"combining grapheme joiner", 0x34F, 0x34F, 0, 0},
      {"Hangul choseong filler to final jamo", 0x115F, 0x11FF, 0x115E, 0x1200},
      {"Khmer inherent vowels", 0x17B4, 0x17B5, 0x17B3, 0x17B6},
      {"Mongolian variation selectors and vowel separator", 0x180B, 0x180F, 0x180A, 0x1810},
      {"braille pattern blank", 0x2800, 0x2800, 0x27FF, 0x2801},
      {"Hangul filler", 0x3164, 0x3164, 0x3163, 0x3165},
      {"Hangul jamo extended-B vowels and finals", 0xD7B0, 0xD7FB, 0xD7A3, 0xF900},
      {"variation selectors", 0xFE00, 0xFE0F, 0xFDFF, 0xFE10},
      {"halfwidth Hangul filler", 0xFFA0, 0xFFA0, 0xFF9D, 0xFFA1},
      {"shorthand format controls", 0x1BCA0, 0x1BCA3, 0x1BC9C, 0},
      {"musical null notehead", 0x1D159, 0x1D159, 0x1D158, 0x1D15A},
      {"musical format characters", 0x1D173, 0x1D17A, 0x1D16D, 0x1D183},
      {"tags and variation selectors supplement", 0xE0000, 0xE0FFF, 0x3134A, 0},
  };
  for (const auto& range : blanks) {
    SCOPED_TRACE(range.what);
    for (char32_t c = range.first; c <= range.last; ++c) {
      EXPECT_TRUE(needs_escape(c)) << std::hex << static_cast<std::uint32_t>(c);
      char bytes[4];
      std::string shown;
      append_quoted(shown, "x" + std::string(bytes, utf8::encode(c, bytes)));
      EXPECT_TRUE(shown.starts_with("\"x\\u{")) << shown;
    }
    for (const char32_t neighbour : {range.before, range.after}) {
      if (neighbour == 0) continue;
      EXPECT_FALSE(needs_escape(neighbour)) << std::hex << static_cast<std::uint32_t>(neighbour);
    }
  }
  EXPECT_FALSE(needs_escape(U'a'));
  EXPECT_FALSE(needs_escape(U' '));
  EXPECT_FALSE(needs_escape(0x4E2D));
}

}  // namespace
}  // namespace kelvane::visible

namespace kelvane::visible {
namespace {

// What may go to a terminal as it is (a reason, a verdict's detail): any
// printable character, combining marks included; the first control, line
// end, tab, format, bidirectional, invisible or blank-drawn character, or
// byte that starts no character, is found where it is.
TEST(FirstUnprintable, FindsTheFirstCharacterATerminalWouldNotShowAsItself) {
  const struct {
    std::string_view text;
    std::optional<std::size_t> at;
    char32_t c;
  } cases[] = {
      {"", std::nullopt, 0},
      {"not during the freeze", std::nullopt, 0},
      {"na\xc3\xaf"
       "ve caf\x65\xcc\x81",
       std::nullopt, 0},  // a precomposed and a combining accent
      {"\xe0\xa4\xa8\xe0\xa4\xb9\xe0\xa5\x80\xe0\xa4\x82", std::nullopt, 0},  // Devanagari signs
      {"\xef\xbf\xbd", std::nullopt, 0},  // U+FFFD itself is a character
      {"no\x1b]0;x\x07", 2, 0x1B},
      {"a\tb", 1, 0x09},
      {"a\nb", 1, 0x0A},
      {"ab\xc2\x9b", 2, 0x9B},
      {"\xe2\x80\xae"
       "x",
       0, 0x202E},
      {"x\xe2\x81\xa6", 1, 0x2066},
      {"x\xe3\x85\xa4", 1, 0x3164},
      {"x\xe2\xa0\x80", 1, 0x2800},
      {"caf\xe9", 3, 0xFFFD},  // not UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    const std::optional<Unprintable> found = first_unprintable(c.text);
    ASSERT_EQ(found.has_value(), c.at.has_value());
    if (!found) continue;
    EXPECT_EQ(found->at, *c.at);
    EXPECT_EQ(found->c, c.c);
  }
}

}  // namespace
}  // namespace kelvane::visible
