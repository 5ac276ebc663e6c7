// The one string lexer: the body of a JSON string, from just after its
// opening quote to just after its closing one.
#pragma once

#include <string_view>

#include "json/input.h"
#include "json/plain_run.h"
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
//
// In two steps: lex_plain_string takes a string without escapes, the most
// common kind, inline; lex_string_rest goes on from where it stopped.
[[gnu::always_inline]] inline bool lex_plain_string(Input& in, StringToken& token) noexcept;
template <Mode M, class Sink>
Result<StringToken, Error> lex_string_rest(Input& in, Sink& sink, std::size_t start);

template <Mode M, class Sink>
Result<StringToken, Error> lex_string(Input& in, Sink& sink) {
  const std::size_t start = in.index();
  StringToken token;
  if (lex_plain_string(in, token)) return token;
  return lex_string_rest<M>(in, sink, start);
}

// True for a string without escapes, the index then past its closing quote;
// otherwise the index stops at the first byte that is not plain text.
inline bool lex_plain_string(Input& in, StringToken& token) noexcept {
  const char* const p = in.data();
  const std::size_t start = in.index();
  const std::size_t end = start + short_plain_run(p + start, in.size() - start);
  if (end < in.size() && p[end] == '"') {
    in.set_index(end + 1);
    token = {{p + start, end - start}, true};
    return true;
  }
  in.set_index(end);
  return false;
}

}  // namespace kelvane::json::detail
