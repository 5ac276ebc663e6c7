#include "json/string_lexer.h"

#include <cstdint>

#include "json/plain_run.h"

namespace kelvane::json::detail {

namespace {

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hexadecimal digits after "\u".
Result<std::uint32_t, Error> hex_escape(Input& in) {
  if (in.size() - in.index() < 4) {
    in.set_index(in.size());
    return fail(in.error(ErrorCode::EofWhileParsingString));
  }
  const char* digits = in.data() + in.index();
  in.set_index(in.index() + 4);
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hex_value(digits[i]);
    if (d < 0) return fail(in.error(ErrorCode::InvalidEscape));
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return value;
}

// After "\u" when reading. A surrogate must come as a leading half at once
// followed by an escaped trailing half, so the text is always valid UTF-8.
template <class Sink>
Status unicode_escape(Input& in, Sink& out) {
  Result<std::uint32_t, Error> first = hex_escape(in);
  if (!first) return fail(std::move(first).error());
  const std::uint32_t c1 = first.value();
  if (c1 >= 0xDC00 && c1 <= 0xDFFF) return fail(in.error(ErrorCode::LoneLeadingSurrogateInHexEscape));
  if (c1 < 0xD800 || c1 > 0xDBFF) {
    out.code_point(c1);
    return {};
  }
  for (const char expected : {'\\', 'u'}) {
    if (in.at_end()) return fail(in.error(ErrorCode::EofWhileParsingString));
    const char c = in.data()[in.index()];
    in.eat();
    if (c != expected) return fail(in.error(ErrorCode::UnexpectedEndOfHexEscape));
  }
  Result<std::uint32_t, Error> second = hex_escape(in);
  if (!second) return fail(std::move(second).error());
  const std::uint32_t c2 = second.value();
  if (c2 < 0xDC00 || c2 > 0xDFFF) return fail(in.error(ErrorCode::LoneLeadingSurrogateInHexEscape));
  out.code_point(0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00));
  return {};
}

// After the backslash.
template <Mode M, class Sink>
Status escape(Input& in, Sink& out) {
  if (in.at_end()) return fail(in.error(ErrorCode::EofWhileParsingString));
  const char letter = in.data()[in.index()];
  in.eat();
  char byte;
  switch (letter) {
    case '"': byte = '"'; break;
    case '\\': byte = '\\'; break;
    case '/': byte = '/'; break;
    case 'b': byte = '\b'; break;
    case 'f': byte = '\f'; break;
    case 'n': byte = '\n'; break;
    case 'r': byte = '\r'; break;
    case 't': byte = '\t'; break;
    case 'u':
      if constexpr (M == Mode::Read) {
        return unicode_escape(in, out);
      } else {
        Result<std::uint32_t, Error> code = hex_escape(in);
        if (!code) return fail(std::move(code).error());
        return {};
      }
    default:
      return fail(in.error(ErrorCode::InvalidEscape));
  }
  if constexpr (M == Mode::Read) out.byte(byte);
  return {};
}

}  // namespace

// From the index, which stands at the first byte that ends the leading run
// of plain text (or at the end); the string's text started at `start`.
// The first stop is looked at again: nothing has been consumed for it.
template <Mode M, class Sink>
Result<StringToken, Error> lex_string_rest(Input& in, Sink& sink, std::size_t start) {
  const char* const p = in.data();
  const std::size_t n = in.size();
  if constexpr (M == Mode::Read) sink.clear();
  std::size_t run = start;  // the plain bytes since the last escape
  for (;;) {
    std::size_t i = in.index();
    if (i < n && !ends_plain_run(static_cast<unsigned char>(p[i]))) i += 1 + plain_run(p + i + 1, n - i - 1);
    in.set_index(i);
    if (i == n) return fail(in.error(ErrorCode::EofWhileParsingString));
    const char c = p[i];
    if (c == '"') {
      in.set_index(i + 1);
      if constexpr (M == Mode::Read) {
        sink.run(p + run, i - run);
        return StringToken{sink.text(), false};
      } else {
        return StringToken{{}, false};
      }
    }
    if (c != '\\') {
      if constexpr (M == Mode::Read) in.set_index(i + 1);
      return fail(in.error(ErrorCode::ControlCharacterWhileParsingString));
    }
    if constexpr (M == Mode::Read) sink.run(p + run, i - run);
    in.set_index(i + 1);
    if (Status s = escape<M>(in, sink); !s) return fail(std::move(s).error());
    run = in.index();
  }
}

template Result<StringToken, Error> lex_string_rest<Mode::Read>(Input&, DecodedText&, std::size_t);
template Result<StringToken, Error> lex_string_rest<Mode::Read>(Input&, EscapedText&, std::size_t);
template Result<StringToken, Error> lex_string_rest<Mode::Skip>(Input&, DecodedText&, std::size_t);

}  // namespace kelvane::json::detail
