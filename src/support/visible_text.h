// The visible form of a text, as messages and the operator's screen show a
// text that someone else chose: escapes make invisible, layout-changing and
// combining characters visible, so that nothing hides inside the quotes or
// attaches to them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::visible {

// Appends `text` between double quotes. Quote, backslash, LF, CR, TAB and NUL
// get their short escapes; other characters that needs_escape() names are
// written as \u{hex}, and each byte that starts no UTF-8 character as
// \x{hh}; every other character is copied as it is.
void append_quoted(std::string& out, std::string_view text);

// False for what a terminal would not show faithfully as itself: controls,
// format characters, separators other than U+0020 SPACE, surrogates,
// private-use and unassigned code points, and every character drawn as
// blank or as nothing whatever its category (the default-ignorable ones such
// as the Hangul fillers, the conjoining Hangul vowels and final consonants,
// the braille blank): none may pass for a space, hide in a word or push a
// text out of view. tools/gen_unicode_tables.py names the sets.
bool is_printable(char32_t c) noexcept;
// True for combining marks and the other grapheme-extending characters,
// which attach to the character before them.
bool is_grapheme_extend(char32_t c) noexcept;

// True for the characters that are escaped when shown: the ones that are not
// printable and the grapheme-extending ones.
inline bool needs_escape(char32_t c) noexcept {
  return !is_printable(c) || is_grapheme_extend(c);
}

// Where `text` first holds a byte that starts no UTF-8 character or a
// character that is not printable (a control, line feed and tab included; a
// bidirectional or other format character; one that is invisible or drawn
// as blank; ...): the text a terminal would not show as itself on one line.
// Nullopt when there is none. Combining marks pass: the letters of many
// scripts need them.
struct Unprintable {
  std::size_t at;      // byte offset
  std::size_t length;  // bytes
  char32_t c;          // U+FFFD for a byte that starts no character
};
std::optional<Unprintable> first_unprintable(std::string_view text) noexcept;

}  // namespace kelvane::visible
