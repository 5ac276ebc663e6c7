#include "json/unexpected.h"

#include <charconv>
#include <string>

#include "json/number_text.h"
#include "support/visible_text.h"

namespace kelvane::json::detail {

Status Unexpected::invalid_type(std::string_view found) const {
  std::string message = "invalid type: ";
  message.append(found).append(", expected ").append(expected_);
  return fail(Error::message(std::move(message)));
}

Status Unexpected::null_value() const {
  return invalid_type("null");
}

Status Unexpected::boolean(bool value) const {
  return invalid_type(value ? "boolean `true`" : "boolean `false`");
}

Status Unexpected::number(const NumberToken& token) const {
  const Number n = token.value;
  char digits[kMaxDoubleText > kMaxIntegerText ? kMaxDoubleText : kMaxIntegerText];
  std::string found;
  switch (n.kind()) {
    case Number::Kind::Unsigned64:
      found.append("integer `").append(digits, unsigned_text(n.as_unsigned64(), digits));
      break;
    case Number::Kind::Negative64:
      found.append("integer `").append(digits, negative_text(n.as_negative64(), digits));
      break;
    case Number::Kind::Double:
      found.append("floating point `").append(digits, double_text(n.as_double(), digits));
      break;
  }
  found += '`';
  return invalid_type(found);
}

Status Unexpected::string(const StringToken& token) const {
  std::string found = "string ";
  visible::append_quoted(found, token.text);
  return invalid_type(found);
}

Status Unexpected::open(bool object) const {
  return invalid_type(object ? "map" : "sequence");
}

}  // namespace kelvane::json::detail
