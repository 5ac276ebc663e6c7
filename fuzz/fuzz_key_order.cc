// The order of object members, which the tree and the canonical writer share
// (first eight key bytes and position sorted, whole keys compared only on
// equal prefixes, insertion for small objects), against a stable sort of
// whole keys: the same members kept, in the same order. And an object built
// from those members must hold them so.
//
// The input is split at each 0xFF byte into keys, in text order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "json/internal/testing.h"
#include "json/value.h"

namespace {

using namespace kelvane::json;

struct Keys {
  const std::vector<std::string_view>& keys;
  std::size_t size() const { return keys.size(); }
  std::uint64_t prefix(std::size_t i) const { return detail::key_prefix(keys[i]); }
  bool less(std::size_t i, std::size_t j) const { return detail::bytes_less(keys[i], keys[j]); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> keys;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= input.size(); ++i) {
    if (i == input.size() || input[i] == '\xFF') {
      keys.push_back(input.substr(start, i - start));
      start = i + 1;
    }
  }
  const Keys view{keys};
  const std::vector<std::size_t> expected = detail::order_keys_plain(view);

  std::vector<detail::KeyRank> ranks(keys.size());
  const std::size_t sorted = detail::ordered_prefix(view);
  const std::size_t kept =
      sorted == keys.size() ? keys.size() : detail::order_keys(view, ranks, sorted);
  if (kept != expected.size()) std::abort();
  for (std::size_t j = 0; j < kept; ++j) {
    const std::size_t position = sorted == keys.size() ? j : ranks[j].position;
    if (position != expected[j]) std::abort();
  }

  std::vector<Member> members;
  for (std::size_t i = 0; i < keys.size(); ++i)
    members.emplace_back(keys[i], Value::number(Number::unsigned64(i)));
  const Value object = Value::object(members);
  const auto built = object.as_object();
  if (built.size() != expected.size()) std::abort();
  for (std::size_t j = 0; j < built.size(); ++j) {
    if (built[j].name() != keys[expected[j]] ||
        built[j].value.as_number().as_unsigned64() != expected[j])
      std::abort();
  }
  return 0;
}
