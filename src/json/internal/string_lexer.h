// The one string lexer: the body of a JSON string, from just after its
// opening quote to just after its closing one.
#pragma once

#include <cstdint>
#include <string_view>

#include "json/internal/input.h"
#include "json/internal/plain_run.h"
#include "json/internal/string_sinks.h"

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
// The scan for a string without escapes is the walker's (walk_string);
// lex_string_rest goes on from where it stopped.
template <Mode M, class Sink>
Result<StringToken, Error> lex_string_rest(Input& in, Sink& sink, std::size_t start);

namespace string_lexing {

inline int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of the string and the index of the next one, kept apart from
// the Input while the string is read so that they stay in registers.
struct Text {
  const char* p;
  std::size_t n;
  std::size_t i;

  bool at_end() const noexcept { return i == n; }
  char take() noexcept { return p[i++]; }
};

// The escapes below return false on an error, with `error` set and the index
// where its position is taken (every error of a string is positioned just
// after the last byte consumed): a string with many escapes costs no error
// value per escape.

// Four hexadecimal digits after "\u".
inline bool hex_escape(Text& t, std::uint32_t& value, ErrorCode& error) noexcept {
  if (t.n - t.i < 4) {
    t.i = t.n;
    error = ErrorCode::EofWhileParsingString;
    return false;
  }
  const char* digits = t.p + t.i;
  t.i += 4;
  value = 0;
  for (int k = 0; k < 4; ++k) {
    const int d = hex_value(digits[k]);
    if (d < 0) {
      error = ErrorCode::InvalidEscape;
      return false;
    }
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  return true;
}

// After "\u" when reading. A surrogate must come as a leading half at once
// followed by an escaped trailing half, so the text is always valid UTF-8.
template <class Sink>
inline bool unicode_escape(Text& t, Sink& out, ErrorCode& error) {
  std::uint32_t c1 = 0;
  if (!hex_escape(t, c1, error)) return false;
  if (c1 >= 0xDC00 && c1 <= 0xDFFF) {
    error = ErrorCode::LoneLeadingSurrogateInHexEscape;
    return false;
  }
  if (c1 < 0xD800 || c1 > 0xDBFF) {
    out.code_point(c1);
    return true;
  }
  for (const char expected : {'\\', 'u'}) {
    if (t.at_end()) {
      error = ErrorCode::EofWhileParsingString;
      return false;
    }
    if (t.take() != expected) {
      error = ErrorCode::UnexpectedEndOfHexEscape;
      return false;
    }
  }
  std::uint32_t c2 = 0;
  if (!hex_escape(t, c2, error)) return false;
  if (c2 < 0xDC00 || c2 > 0xDFFF) {
    error = ErrorCode::LoneLeadingSurrogateInHexEscape;
    return false;
  }
  out.code_point(0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00));
  return true;
}

// After the backslash.
template <Mode M, class Sink>
inline bool escape(Text& t, Sink& out, ErrorCode& error) {
  if (t.at_end()) {
    error = ErrorCode::EofWhileParsingString;
    return false;
  }
  char byte;
  switch (t.take()) {
    case '"':
      byte = '"';
      break;
    case '\\':
      byte = '\\';
      break;
    case '/':
      byte = '/';
      break;
    case 'b':
      byte = '\b';
      break;
    case 'f':
      byte = '\f';
      break;
    case 'n':
      byte = '\n';
      break;
    case 'r':
      byte = '\r';
      break;
    case 't':
      byte = '\t';
      break;
    case 'u':
      if constexpr (M == Mode::Read) {
        return unicode_escape(t, out, error);
      } else {
        std::uint32_t unused = 0;
        return hex_escape(t, unused, error);
      }
    default:
      error = ErrorCode::InvalidEscape;
      return false;
  }
  if constexpr (M == Mode::Read) out.byte(byte);
  return true;
}

// The body of a string from t.i, which stands at its first byte or at the
// first that ends its leading run of plain text; the text so far started
// at `run`. True at the closing quote (t.i then past it); false with
// `error` and t.i where its position is taken.
template <Mode M, class Sink>
inline bool string_body(Text& t, Sink& sink, std::size_t run, ErrorCode& error) {
  for (;;) {
    if (!t.at_end() && !ends_plain_run(static_cast<unsigned char>(t.p[t.i]))) {
      t.i += 1 + short_plain_run(t.p + t.i + 1, t.n - t.i - 1);
    }
    if (t.at_end()) {
      error = ErrorCode::EofWhileParsingString;
      return false;
    }
    const char c = t.take();
    if (c == '"') {
      if constexpr (M == Mode::Read) sink.run(t.p + run, t.i - 1 - run);
      return true;
    }
    if (c != '\\') {
      if constexpr (M == Mode::Skip) --t.i;  // reported before it is consumed
      error = ErrorCode::ControlCharacterWhileParsingString;
      return false;
    }
    if constexpr (M == Mode::Read) sink.run(t.p + run, t.i - 1 - run);
    if (!escape<M>(t, sink, error)) return false;
    run = t.i;
  }
}

}  // namespace string_lexing

}  // namespace kelvane::json::detail
