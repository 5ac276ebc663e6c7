// UTF-8 checks shared by every subsystem that takes bytes as text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane::utf8 {

// True when the bytes are well-formed UTF-8: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool is_valid(std::string_view bytes) noexcept;

// Decodes the character starting at `text[pos]`; sets `length` to its byte
// count. A byte that starts no well-formed sequence decodes as U+FFFD of
// length 1, so that callers never read past the end of malformed text.
char32_t decode(std::string_view text, std::size_t pos, std::size_t& length) noexcept;

// The bytes as UTF-8, each maximal invalid piece (the longest start of a
// well-formed sequence, or one byte) replaced by one U+FFFD.
std::string replace_invalid(std::string_view bytes);

// Decodes the character ending just before `text[end]`, with the same
// treatment of malformed bytes.
char32_t decode_before(std::string_view text, std::size_t end, std::size_t& length) noexcept;

// Writes the UTF-8 form of `c` (at most U+10FFFF, not a surrogate) to `out`,
// which has room for four bytes; returns its length.
std::size_t encode(char32_t c, char* out) noexcept;

}  // namespace kelvane::utf8
