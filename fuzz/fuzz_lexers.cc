// The quick paths of the two lexers against their plain references, on any
// bytes, in both modes: the number lexer's word-at-a-time and 32-byte-mask
// paths against the grammar digit by digit, the inline scan of strings
// without escapes against the escape loop alone, and the digits that a
// short literal carries for its double against the shortest digits worked
// out from the double. Everything must agree: result, error and position,
// where the index ends, the value's representation and bits, the text.
//
// The first byte chooses what the rest is read as: even, a number; odd, a
// string (the rest is the string's body, after its opening quote).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/internal/testing.h"

namespace {

using kelvane::Result;
using namespace kelvane::json;
using namespace kelvane::json::detail;

std::string outcome(const Status& s, const Input& in) {
  return s ? "ok@" + std::to_string(in.index()) : "error " + s.error().to_string();
}

// Skipping a number as the walker does: the quick path, else the grammar.
Status skip_number(Input& in) {
  const std::size_t end = skip_number_quick(in.data(), in.size(), in.index());
  if (end == kNotQuick) return skip_number_plain(in);
  in.set_index(end);
  return {};
}

template <Mode M>
void check_number(std::string_view text) {
  Input quick(text);
  Input plain(text);
  NumberToken a;
  NumberToken b;
  const Status sa = M == Mode::Read ? lex_number(quick, a) : skip_number(quick);
  const Status sb = lex_number_plain<M>(plain, b);
  if (outcome(sa, quick) != outcome(sb, plain)) std::abort();
  if (!sa || M == Mode::Skip) return;
  if (a.value.kind() != b.value.kind() || a.value.bits() != b.value.bits() || a.text != b.text)
    std::abort();
  if (a.exact && a.value.kind() == Number::Kind::Double) {
    // The literal's digits, where they are known to be the shortest, are
    // what the conversion of the double gives.
    Decimal digits{};
    if (literal_is_shortest(a.significand, a.exponent, digits)) {
      char shortcut[kMaxDoubleText];
      char converted[kMaxDoubleText];
      const double d = a.value.as_double();
      const std::string_view x(shortcut, layout_decimal(std::signbit(d), digits, shortcut));
      const std::string_view y(converted, double_text(d, converted));
      if (x != y) std::abort();
    }
  }
}

template <Mode M>
void check_string(std::string_view text) {
  Input quick(text);
  Input plain(text);
  std::string quick_buffer;
  std::string plain_buffer;
  DecodedText plain_sink(plain_buffer);
  Result<StringToken, Error> a = lex_string<M, DecodedText>(quick, quick_buffer);
  Result<StringToken, Error> b = lex_string_rest<M>(plain, plain_sink, 0);
  if (a.ok() != b.ok()) std::abort();
  if (!a.ok()) {
    if (a.error().to_string() != b.error().to_string()) std::abort();
    return;
  }
  if (quick.index() != plain.index()) std::abort();
  if (M == Mode::Read && a.value().text != b.value().text) std::abort();
  // The escaped form the canonical writer takes is the decoded text escaped.
  if (M == Mode::Read) {
    Input again(text);
    std::string escaped_buffer;
    EscapedText escaped(escaped_buffer);
    Result<StringToken, Error> c = lex_string_rest<M>(again, escaped, 0);
    if (!c.ok()) std::abort();
    std::string expected;
    EscapedText reference(expected);
    for (const char ch : a.value().text) reference.byte(ch);
    if (c.value().text != expected) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return 0;
    check_number<Mode::Read>(text);
    check_number<Mode::Skip>(text);
  } else {
    check_string<Mode::Read>(text);
    check_string<Mode::Skip>(text);
  }
  return 0;
}
