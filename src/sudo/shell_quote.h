// Arguments written the way a POSIX shell would need them typed, so that the
// operator reads every argument, and where it ends, without ambiguity.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kelvane::sudo {

// One word:
// - bare when it is not empty and holds only A-Z a-z 0-9 and _ @ % + = : , . / -
// - in $'...' with escapes (\n, \t, \r, \\, \', \xHH, \uHHHH, \UHHHHHHHH) when
//   it holds a byte that is not part of well-formed UTF-8 or a character
//   that the operator's screen escapes (visible::needs_escape): a control,
//   a format or separator character, one that is private-use or unassigned,
//   one drawn as blank or as nothing (a Hangul filler, the braille blank),
//   or a combining mark: nothing in an argument may move the cursor, hide
//   text, reorder what the operator reads or change how a quote looks;
// - in single quotes otherwise, each ' written as '\''.
std::string shell_quote(std::string_view word);

// The words quoted one by one and joined by single spaces.
std::string shell_join(std::span<const std::string> words);

}  // namespace kelvane::sudo
