// Reading any byte string as a Value. Text that is not UTF-8 never reaches
// the reader (the program checks it first), so it is dropped here too.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/internal/testing.h"
#include "json/json.h"
#include "json/value.h"
#include "support/utf8.h"

namespace {

using kelvane::json::Number;
using kelvane::json::Value;

// What every value the reader builds must satisfy: UTF-8 strings, keys
// unique and ascending, numbers in a canonical representation, and no more
// than 127 arrays and objects open at once.
void check(const Value& v, int depth) {
  switch (v.kind()) {
    case Value::Kind::Null:
    case Value::Kind::Bool:
      return;
    case Value::Kind::Number: {
      const Number n = v.as_number();
      if (n.kind() == Number::Kind::Negative64 && n.as_negative64() >= 0) std::abort();
      if (n.kind() == Number::Kind::Double && !std::isfinite(n.as_double())) std::abort();
      return;
    }
    case Value::Kind::String:
      if (!kelvane::utf8::is_valid(v.as_string())) std::abort();
      return;
    case Value::Kind::Array:
      if (depth >= 127) std::abort();
      for (const Value& e : v.as_array()) check(e, depth + 1);
      return;
    case Value::Kind::Object: {
      if (depth >= 127) std::abort();
      const auto members = v.as_object();
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (!kelvane::utf8::is_valid(members[i].name())) std::abort();
        if (i > 0 && !kelvane::json::detail::bytes_less(members[i - 1].name(), members[i].name()))
          std::abort();
        check(members[i].value, depth + 1);
      }
      return;
    }
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kelvane::utf8::is_valid(text)) return 0;
  auto result = kelvane::json::parse_value(text);
  if (result.ok()) {
    check(result.value(), 0);
    return 0;
  }
  // Every syntax error of a whole-text read has a position inside the text.
  const kelvane::json::Error& e = result.error();
  if (!e.has_position() || e.column() > size) std::abort();
  if (e.to_string().empty()) std::abort();
  return 0;
}
