// How much room the compact text of a value needs, worked out from the tree
// without writing it, so that the request line is allocated once: a large
// context then costs one buffer of its own size, never a copy into a buffer
// twice as big.
#include <vector>

#include "json/writer.h"

namespace kelvane::json {
namespace {

std::size_t digit_count(std::uint64_t v) noexcept {
  std::size_t n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

// A string's length plus its quotes, and an eighth more for escapes, which
// are not counted: the margin costs nothing until it is written to.
std::size_t string_hint(std::string_view s) noexcept { return s.size() + s.size() / 8 + 2; }

std::size_t scalar_hint(const Value& v) noexcept {
  switch (v.kind()) {
    case Value::Kind::Null:
      return 4;
    case Value::Kind::Bool:
      return v.as_bool() ? 4 : 5;
    case Value::Kind::Number: {
      const Number n = v.as_number();
      switch (n.kind()) {
        case Number::Kind::Unsigned64:
          return digit_count(n.as_unsigned64());
        case Number::Kind::Negative64:
          return 1 + digit_count(0 - static_cast<std::uint64_t>(n.as_negative64()));
        case Number::Kind::Double:
          return kMaxDoubleText;
      }
      return kMaxDoubleText;
    }
    case Value::Kind::String:
      return string_hint(v.as_string());
    default:
      return 2;  // an empty container
  }
}

}  // namespace

std::size_t compact_size_hint(const Value& root) {
  struct Open {
    const Value* values;  // array elements, or nullptr
    const Member* members;
    std::size_t count;
    std::size_t next;
  };
  std::vector<Open> open;
  std::size_t total = 0;
  // Counts a scalar, or the brackets and separators of a container that is
  // then opened.
  auto visit = [&](const Value& v) {
    if (v.kind() == Value::Kind::Array && !v.as_array().empty()) {
      total += 1 + v.as_array().size();
      open.push_back({v.as_array().data(), nullptr, v.as_array().size(), 0});
    } else if (v.kind() == Value::Kind::Object && !v.as_object().empty()) {
      total += 1 + 2 * v.as_object().size();
      open.push_back({nullptr, v.as_object().data(), v.as_object().size(), 0});
    } else {
      total += scalar_hint(v);
    }
  };
  visit(root);
  while (!open.empty()) {
    Open& top = open.back();
    if (top.next == top.count) {
      open.pop_back();
      continue;
    }
    const std::size_t i = top.next++;
    if (top.values != nullptr) {
      visit(top.values[i]);  // may push: `top` must not be used after this
    } else {
      const Member& m = top.members[i];
      total += string_hint(m.name());
      visit(m.value);
    }
  }
  return total;
}

}  // namespace kelvane::json
