// The "invalid type" error: a description of the value that was found where
// another kind was expected. Scalars are read (and consumed) to describe
// them; an array or object is named by its opening bracket alone.
#include <charconv>
#include <string>

#include "json/deserializer.h"
#include "json/number_text.h"
#include "json/quoted.h"

namespace kelvane::json::detail {

namespace {

void append_double_text(std::string& out, double d) {
  char text[kMaxDoubleText];
  out.append(text, double_text(d, text));
}

void append_number_description(std::string& out, Number n) {
  char buf[24];
  switch (n.kind()) {
    case Number::Kind::Unsigned64: {
      const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n.as_unsigned64());
      out += "integer `";
      out.append(buf, end);
      break;
    }
    case Number::Kind::Negative64: {
      const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n.as_negative64());
      out += "integer `";
      out.append(buf, end);
      break;
    }
    case Number::Kind::Double:
      out += "floating point `";
      append_double_text(out, n.as_double());
      break;
  }
  out += '`';
}

}  // namespace

Error Deserializer::peek_invalid_type(std::string_view expected) {
  std::string message = "invalid type: ";
  const int c = peek();
  switch (c) {
    case 'n':
      eat();
      if (Status s = parse_ident("ull"); !s) return std::move(s).error();
      message += "null";
      break;
    case 't':
      eat();
      if (Status s = parse_ident("rue"); !s) return std::move(s).error();
      message += "boolean `true`";
      break;
    case 'f':
      eat();
      if (Status s = parse_ident("alse"); !s) return std::move(s).error();
      message += "boolean `false`";
      break;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      const bool positive = c != '-';
      if (!positive) eat();
      Result<Number, Error> n = parse_integer(positive);
      if (!n) return std::move(n).error();
      append_number_description(message, n.value());
      break;
    }
    case '"': {
      eat();
      Result<std::string_view, Error> text = parse_str();
      if (!text) return std::move(text).error();
      message += "string ";
      append_quoted(message, text.value());
      break;
    }
    case '[':
      message += "sequence";
      break;
    case '{':
      message += "map";
      break;
    default:
      return peek_error(ErrorCode::ExpectedSomeValue);
  }
  message += ", expected ";
  message += expected;
  Error e = Error::message(std::move(message));
  fix_position(e);
  return e;
}

}  // namespace kelvane::json::detail
