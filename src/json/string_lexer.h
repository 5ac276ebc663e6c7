// The one string lexer: the body of a JSON string, from just after its
// opening quote to just after its closing one.
#pragma once

#include <string>
#include <string_view>

#include "json/input.h"

namespace kelvane::json::detail {

struct StringToken {
  // The text with its escapes resolved: in the input when there were none,
  // otherwise in the caller's scratch buffer, until that is next used.
  std::string_view text;
  // No escape: the text stands in the input as it is, and holds no byte that
  // the writer would escape either.
  bool plain;
};

// Read: resolves the escapes. Skip: only checks the string (a \u escape
// needs four hexadecimal digits and nothing more, and a control byte is
// reported before it is consumed, one column earlier than when reading);
// the token is then empty and the scratch buffer untouched.
//
// Most strings have no escape and are found by one scan for the closing
// quote, sixteen bytes at a time.
template <Mode M>
Result<StringToken, Error> lex_string(Input& in, std::string& scratch);

}  // namespace kelvane::json::detail
