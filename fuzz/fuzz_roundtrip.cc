// Whatever reads as a Value is written, read again and written again: the
// two texts must be the same, and every number must come back in the
// representation it had (an integer stays an integer, 1.0 stays a double).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"
#include "support/utf8.h"

namespace {

using kelvane::json::Number;
using kelvane::json::Value;

void same_shape(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) std::abort();
  switch (a.kind()) {
    case Value::Kind::Null:
      return;
    case Value::Kind::Bool:
      if (a.as_bool() != b.as_bool()) std::abort();
      return;
    case Value::Kind::Number: {
      const Number x = a.as_number();
      const Number y = b.as_number();
      if (x.kind() != y.kind() || x.bits() != y.bits()) std::abort();
      return;
    }
    case Value::Kind::String:
      if (a.as_string() != b.as_string()) std::abort();
      return;
    case Value::Kind::Array: {
      const auto xs = a.as_array();
      const auto ys = b.as_array();
      if (xs.size() != ys.size()) std::abort();
      for (std::size_t i = 0; i < xs.size(); ++i) same_shape(xs[i], ys[i]);
      return;
    }
    case Value::Kind::Object: {
      const auto xs = a.as_object();
      const auto ys = b.as_object();
      if (xs.size() != ys.size()) std::abort();
      for (std::size_t i = 0; i < xs.size(); ++i) {
        if (xs[i].name() != ys[i].name()) std::abort();
        same_shape(xs[i].value, ys[i].value);
      }
      return;
    }
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (!kelvane::utf8::is_valid(input)) return 0;
  auto first = kelvane::json::parse_value(input);
  if (!first.ok()) return 0;
  const std::string text1 = kelvane::json::to_json(first.value());
  // The writer's text is compact JSON in UTF-8 that the reader accepts.
  if (!kelvane::utf8::is_valid(text1)) std::abort();
  auto second = kelvane::json::parse_value(text1);
  if (!second.ok()) std::abort();
  const std::string text2 = kelvane::json::to_json(second.value());
  if (text1 != text2) std::abort();
  same_shape(first.value(), second.value());
  return 0;
}
