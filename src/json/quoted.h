// The quoted form of a text, as "invalid type" messages show a string found
// where something else was expected: escapes make invisible, layout-changing
// and combining characters visible.
#pragma once

#include <string>
#include <string_view>

namespace kelvane::json {

// Appends `text` between double quotes. Quote, backslash, LF, CR, TAB and NUL
// get their short escapes; other control characters, characters that are not
// printable and grapheme-extending characters are written as \u{hex}; every
// other character is copied as it is.
void append_quoted(std::string& out, std::string_view text);

bool is_printable(char32_t c) noexcept;
bool is_grapheme_extend(char32_t c) noexcept;

}  // namespace kelvane::json
