// Whatever reads as a Value is written, read again and written again: every
// number must come back in the representation it had (an integer stays an
// integer, 1.0 stays a double), everything else unchanged, and the two texts
// must be the same.
//
// With one allowance: the reader computes a double by a fixed sequence of
// floating-point operations (significand times or divided by a table power
// of ten), which is not always the double nearest to the text. So the
// writer's shortest text of a double may read back as a neighbour a few
// units in the last place away; the texts then differ in that number only.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/json.h"
#include "json/value.h"
#include "support/utf8.h"

namespace {

using kelvane::json::Number;
using kelvane::json::Value;

// How far the reader's double may land from the written one.
constexpr std::uint64_t kMaxUlps = 4;

std::uint64_t ulp_distance(double x, double y) {
  if (std::signbit(x) != std::signbit(y)) std::abort();
  std::uint64_t a, b;
  std::memcpy(&a, &x, sizeof a);
  std::memcpy(&b, &y, sizeof b);
  return a > b ? a - b : b - a;
}

// Sets `drifted` when some double came back as a different neighbour.
void same_shape(const Value& a, const Value& b, bool& drifted) {
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
      if (x.kind() != y.kind()) std::abort();
      if (x.bits() == y.bits()) return;
      if (x.kind() != Number::Kind::Double) std::abort();
      if (ulp_distance(x.as_double(), y.as_double()) > kMaxUlps) std::abort();
      drifted = true;
      return;
    }
    case Value::Kind::String:
      if (a.as_string() != b.as_string()) std::abort();
      return;
    case Value::Kind::Array: {
      const auto xs = a.as_array();
      const auto ys = b.as_array();
      if (xs.size() != ys.size()) std::abort();
      for (std::size_t i = 0; i < xs.size(); ++i) same_shape(xs[i], ys[i], drifted);
      return;
    }
    case Value::Kind::Object: {
      const auto xs = a.as_object();
      const auto ys = b.as_object();
      if (xs.size() != ys.size()) std::abort();
      for (std::size_t i = 0; i < xs.size(); ++i) {
        if (xs[i].name() != ys[i].name()) std::abort();
        same_shape(xs[i].value, ys[i].value, drifted);
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
  bool drifted = false;
  same_shape(first.value(), second.value(), drifted);
  if (!drifted && text1 != text2) std::abort();
  return 0;
}
