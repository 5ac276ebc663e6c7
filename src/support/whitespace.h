// Trimming by the Unicode White_Space property, used for the required-field
// check, the path check of the file options and the received reply line.
#pragma once

#include <string_view>

namespace kelvane {

// True for the 25 code points with the White_Space property.
bool is_unicode_white_space(char32_t c) noexcept;

// The text without leading and trailing White_Space characters. Malformed
// UTF-8 is never white space, so it stops the trimming.
std::string_view trim(std::string_view text) noexcept;

// True when nothing is left of the text after trimming.
inline bool is_blank(std::string_view text) noexcept {
  return trim(text).empty();
}

}  // namespace kelvane
