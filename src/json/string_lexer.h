// The one string lexer: the body of a JSON string, from just after its
// opening quote to just after its closing one.
#pragma once

#include <string_view>

#include "json/input.h"
#include "json/string_sinks.h"

namespace kelvane::json::detail {

struct StringToken {
  // No escape: the text stands in the input as it is, and holds no byte that
  // the writer would escape either. Otherwise the text is what the sink made
  // of it, until the sink is next used.
  std::string_view text;
  bool plain;
};

// Read: resolves the escapes into the sink (string_sinks.h). Skip: only
// checks the string (a \u escape needs four hexadecimal digits and nothing
// more, and a control byte is reported before it is consumed, one column
// earlier than when reading); the token is then empty and the sink
// untouched.
//
// Most strings have no escape and are found by one scan for the closing
// quote, sixteen bytes at a time.
template <Mode M, class Sink>
Result<StringToken, Error> lex_string(Input& in, Sink& sink);

}  // namespace kelvane::json::detail
