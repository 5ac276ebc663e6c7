// The context's way from text to compact text, without a tree, against the
// tree's: read a Value and write it. For any UTF-8 input the two must fail
// with the same error at the same position or give the same bytes, and so
// must the compact text written over its own source.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.h"
#include "support/utf8.h"

namespace {

template <class R>
std::string outcome(const R& r) {
  return r.ok() ? "text " + std::string(r.value().text()) : "error " + r.error().to_string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kelvane::utf8::is_valid(text)) return 0;
  auto tree = kelvane::json::parse_value(text);
  const std::string expected = tree.ok() ? "text " + kelvane::json::to_json(tree.value())
                                         : "error " + tree.error().to_string();
  if (outcome(kelvane::json::CompactText::read(text)) != expected) std::abort();
  if (outcome(kelvane::json::CompactText::read_in_place(std::string(text))) != expected)
    std::abort();
  // With a little room in front (less than growing doubles may need) and
  // bytes there that must never be taken for the text.
  const std::size_t headroom = size % 16;
  if (outcome(kelvane::json::CompactText::read_in_place(
          std::string(headroom, '"') + std::string(text), headroom)) != expected)
    std::abort();
  return 0;
}
