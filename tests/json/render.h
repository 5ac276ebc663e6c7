// Test helper: a compact, unambiguous text of a Value for comparisons.
// Doubles are written D(shortest round-trip digits) so that their kind and
// exact bits show; integers as plain decimals.
#pragma once

#include <charconv>
#include <string>

#include "json/json.h"
#include "json/value.h"

namespace kelvane::json::testing {

inline void render_to(std::string& out, const Value& v) {
  char buf[40];
  switch (v.kind()) {
    case Value::Kind::Null:
      out += "null";
      return;
    case Value::Kind::Bool:
      out += v.as_bool() ? "true" : "false";
      return;
    case Value::Kind::Number: {
      const Number n = v.as_number();
      if (n.kind() == Number::Kind::Unsigned64) {
        out.append(buf, std::to_chars(buf, buf + sizeof buf, n.as_unsigned64()).ptr);
      } else if (n.kind() == Number::Kind::Negative64) {
        out.append(buf, std::to_chars(buf, buf + sizeof buf, n.as_negative64()).ptr);
      } else {
        out += "D(";
        out.append(buf, std::to_chars(buf, buf + sizeof buf, n.as_double()).ptr);
        out += ')';
      }
      return;
    }
    case Value::Kind::String:
      out += '"';
      out += v.as_string();
      out += '"';
      return;
    case Value::Kind::Array: {
      out += '[';
      bool first = true;
      for (const Value& e : v.as_array()) {
        if (!first) out += ',';
        first = false;
        render_to(out, e);
      }
      out += ']';
      return;
    }
    case Value::Kind::Object: {
      out += '{';
      bool first = true;
      for (const Member& m : v.as_object()) {
        if (!first) out += ',';
        first = false;
        render_to(out, m.key);
        out += ':';
        render_to(out, m.value);
      }
      out += '}';
      return;
    }
  }
}

inline std::string render(const Value& v) {
  std::string out;
  render_to(out, v);
  return out;
}

// Compact text, as the value that it reads back as.
inline std::string render(const CompactText& text) {
  const Result<Value, Error> v = parse_value(text.text());
  return v.ok() ? render(v.value()) : "unreadable compact text: " + v.error().to_string();
}

}  // namespace kelvane::json::testing
