// The string lexer's entries that are not inline: the rest of a string
// with escapes, resolved or checked, and its skipping on a bare index.
#include "json/internal/string_lexer.h"
#include "json/internal/walker.h"

namespace kelvane::json::detail {

// From the index, which stands at the first byte that ends the leading run
// of plain text (or at the end); the string's text started at `start`.
template <Mode M, class Sink>
Result<StringToken, Error> lex_string_rest(Input& in, Sink& sink, std::size_t start) {
  string_lexing::Text t{in.data(), in.size(), in.index()};
  if constexpr (M == Mode::Read) sink.clear();
  ErrorCode error{};
  const bool ok = string_lexing::string_body<M>(t, sink, start, error);
  in.set_index(t.i);
  if (!ok) return fail(in.error(error));
  if constexpr (M == Mode::Read) return StringToken{sink.text(), false};
  return StringToken{{}, false};
}

template Result<StringToken, Error> lex_string_rest<Mode::Read>(Input&, DecodedText&, std::size_t);
template Result<StringToken, Error> lex_string_rest<Mode::Read>(Input&, EscapedText&, std::size_t);
template Result<StringToken, Error> lex_string_rest<Mode::Skip>(Input&, DecodedText&, std::size_t);

SkippedString skip_string_rest(const char* p, std::size_t n, std::size_t stop) noexcept {
  string_lexing::Text t{p, n, stop};
  struct {
  } nothing;  // skipping keeps no text
  ErrorCode error{};
  const bool ok = string_lexing::string_body<Mode::Skip>(t, nothing, stop, error);
  return {t.i, error, ok};
}

}  // namespace kelvane::json::detail
