// The bytes of a Value, for the parts of the codec that build or write it
// fast: trees that the reader builds in an arena, and short strings looked
// at where they are stored. Internal to src/json: a tree built here is only
// safe once adopt() has made its root the owner of the arena, which the
// reader does before anyone else sees the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <vector>

#include "json/internal/arena.h"
#include "json/internal/key_order.h"
#include "json/value.h"

namespace kelvane::json {

struct ValueInternals {
  // ---- Trees in an arena -----------------------------------------------

  // Turn `v`, which must be null, into a string, array or object where it
  // stands, its block taken from `arena`. Elements and members must
  // themselves be scalars or built this way: they are copied, not cleared.
  // The container that is to be the root (`outermost`) keeps room before
  // its block for the arena's chunks.
  static void set_string(Value& v, std::string_view text, Arena& arena);
  static void set_array(Value& v, std::span<Value> elements, Arena& arena, bool outermost);
  static void set_object(Value& v, std::span<Member> members, Arena& arena, bool outermost);
  // Makes `root`, built as above, the owner of all of the arena's chunks,
  // so that it can be used like any other value.
  static Value adopt(Value root, Arena& arena);

  // ---- Short strings ---------------------------------------------------

  // The sixteen bytes of a short string (its length in byte 1, its text from
  // byte 2, zeros after it), or null for any other value.
  static const unsigned char* short_string(const Value& v) noexcept {
    return v.tag() == Value::Tag::ShortString ? v.raw_ : nullptr;
  }
  // key_less of two string values; two short keys compare as words.
  static bool key_less(const Value& a, const Value& b) noexcept;
  // detail::key_prefix of a string value.
  static std::uint64_t key_prefix(const Value& key) noexcept;

  // ---- value.cc's own --------------------------------------------------

  struct Frame;
  struct MemberKeys;
  class MemberOrder;
  static void free_tree(Value& root) noexcept;
  static void*& arena_slot(const Value& v) noexcept;
  static void* set_container(Value& v, Value::Tag tag, std::size_t count, std::size_t bytes,
                             Arena& arena, bool outermost);
  static void take_members(const MemberOrder& order, std::span<Member> members, Member* block,
                           bool owned) noexcept;
};

// The members as order_keys sees them.
struct ValueInternals::MemberKeys {
  std::span<const Member> members;
  std::size_t size() const noexcept { return members.size(); }
  std::uint64_t prefix(std::size_t i) const noexcept {
    return ValueInternals::key_prefix(members[i].key);
  }
  bool less(std::size_t i, std::size_t j) const noexcept {
    return ValueInternals::key_less(members[i].key, members[j].key);
  }
};

// The order in which to take an object's members: by key, the last of a
// repeated key kept.
class ValueInternals::MemberOrder {
 public:
  explicit MemberOrder(std::span<const Member> members) {
    const MemberKeys keys{members};
    const std::size_t sorted = detail::ordered_prefix(keys);
    if (sorted == members.size()) {
      kept_ = members.size();  // in order, no repeats: taken as they stand
      return;
    }
    std::span<detail::KeyRank> ranks(inline_, members.size());
    if (members.size() > kInline) {
      spilled_.resize(members.size());
      ranks = spilled_;
    }
    kept_ = detail::order_keys(keys, ranks, sorted);
    ranks_ = ranks.data();
  }

  std::size_t kept() const noexcept { return kept_; }
  // The position in text order of the member that goes to place `j`.
  std::size_t position(std::size_t j) const noexcept {
    return ranks_ == nullptr ? j : ranks_[j].position;
  }

 private:
  static constexpr std::size_t kInline = 512;
  detail::KeyRank inline_[kInline];
  std::vector<detail::KeyRank> spilled_;
  const detail::KeyRank* ranks_ = nullptr;
  std::size_t kept_ = 0;
};

}  // namespace kelvane::json
