#include "json/value.h"

#include <algorithm>
#include "json/arena.h"
#include "json/key_order.h"
#include <bit>
#include <cstring>
#include <new>
#include <utility>

static_assert(std::endian::native == std::endian::little, "Value packs its counts little-endian");

namespace kelvane::json {

bool key_less(std::string_view a, std::string_view b) noexcept { return detail::bytes_less(a, b); }

namespace {

std::uint64_t load_big_endian(const unsigned char* p, std::size_t n) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, p, n);
  return __builtin_bswap64(word);
}

}  // namespace

// Most keys are short: their bytes sit in the value followed by zeros, so two
// of them compare as two big-endian words and then their lengths (the zeros
// make a proper prefix compare equal up to its end).
bool key_less(const Value& a, const Value& b) noexcept {
  if (a.tag() != Value::Tag::ShortString || b.tag() != Value::Tag::ShortString) {
    return key_less(a.as_string(), b.as_string());
  }
  const std::uint64_t a_high = load_big_endian(a.raw_ + 2, 8);
  const std::uint64_t b_high = load_big_endian(b.raw_ + 2, 8);
  if (a_high != b_high) return a_high < b_high;
  const std::uint64_t a_low = load_big_endian(a.raw_ + 10, 6);
  const std::uint64_t b_low = load_big_endian(b.raw_ + 10, 6);
  if (a_low != b_low) return a_low < b_low;
  return a.raw_[1] < b.raw_[1];
}

// Walks a tree of heap blocks without recursion. The frames of the 128 levels
// that the reader can produce fit in place; deeper hand-built trees spill to
// the heap.
struct ValueInternals {
  struct Frame {
    void* block;
    std::size_t count;
    std::size_t next;
    bool object;
  };

  // The chunks of a root's arena are kept in the 8 bytes before its block.
  static void*& arena_slot(const Value& v) noexcept {
    return *reinterpret_cast<void**>(static_cast<char*>(v.block()) - sizeof(void*));
  }
  static void free_arena(const Value& v) noexcept { Arena::free_chunks(arena_slot(v)); }

  // Moves the raw bytes of `from` to uninitialised `to` and leaves `from`
  // null: a value does not care where it lives.
  template <class T>
  static void relocate(std::span<T> from, T* to) noexcept {
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(from.data()), from.size_bytes());
    std::memset(static_cast<void*>(from.data()), 0, from.size_bytes());
  }

  // The same for values that own nothing (scalars, and what was built from
  // an arena): the sources may keep their bytes, as destroying them again
  // frees nothing. Saves clearing every reader stack frame.
  template <class T>
  static void relocate_unowned(std::span<T> from, T* to) noexcept {
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(from.data()), from.size_bytes());
  }

  // The order in which to take an object's members: by key, the last of a
  // repeated key kept.
  class MemberOrder;

  // Makes `v` (null) the array or object `tag` of `count` items, in a block
  // of `bytes` from `arena`, which is returned (null when `count` is 0).
  static void* set_arena_container(Value& v, Value::Tag tag, std::size_t count, std::size_t bytes, Arena& arena,
                                   bool outermost);

  // Moves the members to keep into `block` in key order; the sources are
  // cleared when they may own something.
  static void take_members(const MemberOrder& order, std::span<Member> members, Member* block, bool owned) noexcept;

  // The first eight bytes of a key as a big-endian word, zeros after a
  // shorter key (a short string's bytes are followed by zeros in the value;
  // a long one has more than eight): when two keys' words differ, they
  // order the keys as key_less does.
  static std::uint64_t key_prefix(const Value& key) noexcept {
    if (key.tag() == Value::Tag::ShortString) return load_big_endian(key.raw_ + 2, 8);
    return load_big_endian(static_cast<const unsigned char*>(key.block()), 8);
  }

  static void free_tree(Value& root) noexcept {
    constexpr std::size_t kInline = 130;
    Frame inline_frames[kInline];
    std::vector<Frame> spilled;
    std::size_t depth = 0;

    auto push = [&](const Value& v) {
      Frame f{v.block(), v.count(), 0, v.tag() == Value::Tag::Object};
      if (depth < kInline) {
        inline_frames[depth] = f;
      } else {
        spilled.push_back(f);  // may terminate on exhaustion; only hand-built trees get here
      }
      ++depth;
    };
    auto top = [&]() -> Frame& {
      return depth <= kInline ? inline_frames[depth - 1] : spilled[depth - 1 - kInline];
    };
    auto pop = [&]() {
      if (depth > kInline) spilled.pop_back();
      --depth;
    };
    // Frees what `v` owns directly; containers are pushed to be walked.
    auto visit = [&](const Value& v) {
      if (v.owns_arena()) {
        free_arena(v);
        return;
      }
      if (!v.owns_block()) return;
      if (v.tag() == Value::Tag::LongString) {
        ::operator delete(v.block());
      } else {
        push(v);
      }
    };

    visit(root);
    while (depth > 0) {
      Frame& f = top();
      if (f.next == f.count) {
        ::operator delete(f.block);
        pop();
        continue;
      }
      const std::size_t i = f.next++;
      if (f.object) {
        const Member& m = static_cast<const Member*>(f.block)[i];
        visit(m.key);
        visit(m.value);  // may push: `f` must not be used after this
      } else {
        visit(static_cast<const Value*>(f.block)[i]);
      }
    }
    // Every block below has been freed; the element objects ended with them.
  }
};

Value Value::string(std::string_view text) {
  Value v;
  if (text.size() <= kShortCapacity) {
    v.set_tag(Tag::ShortString);
    v.raw_[1] = static_cast<unsigned char>(text.size());
    if (!text.empty()) std::memcpy(v.raw_ + 2, text.data(), text.size());
    return v;
  }
  void* p = ::operator new(text.size());
  std::memcpy(p, text.data(), text.size());
  v.set_tag(Tag::LongString);
  v.set_count(text.size());
  v.set_block(p);
  return v;
}

Value Value::array(std::span<Value> elements) {
  Value v;
  v.set_tag(Tag::Array);
  if (elements.empty()) return v;
  auto* block = static_cast<Value*>(::operator new(elements.size() * sizeof(Value)));
  ValueInternals::relocate(elements, block);
  v.set_count(elements.size());
  v.set_block(block);
  return v;
}

// The members as order_keys sees them.
struct MemberKeys {
  std::span<const Member> members;
  std::size_t size() const noexcept { return members.size(); }
  std::uint64_t prefix(std::size_t i) const noexcept { return ValueInternals::key_prefix(members[i].key); }
  bool less(std::size_t i, std::size_t j) const noexcept { return key_less(members[i].key, members[j].key); }
};

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
  std::size_t position(std::size_t j) const noexcept { return ranks_ == nullptr ? j : ranks_[j].position; }

 private:
  static constexpr std::size_t kInline = 512;
  detail::KeyRank inline_[kInline];
  std::vector<detail::KeyRank> spilled_;
  const detail::KeyRank* ranks_ = nullptr;
  std::size_t kept_ = 0;
};

void ValueInternals::take_members(const MemberOrder& order, std::span<Member> members, Member* block,
                                  bool owned) noexcept {
  for (std::size_t j = 0; j < order.kept(); ++j) {
    Member& from = members[order.position(j)];
    std::memcpy(static_cast<void*>(block + j), static_cast<const void*>(&from), sizeof(Member));
    if (owned) std::memset(static_cast<void*>(&from), 0, sizeof(Member));
  }
}

Value Value::object(std::span<Member> members) {
  Value v;
  v.set_tag(Tag::Object);
  if (members.empty()) return v;
  const ValueInternals::MemberOrder order(members);
  auto* block = static_cast<Member*>(::operator new(order.kept() * sizeof(Member)));
  ValueInternals::take_members(order, members, block, true);
  v.set_count(order.kept());
  v.set_block(block);
  return v;
}

Value Value::string(std::string_view text, Arena& arena) {
  Value v;
  v.set_string(text, arena);
  return v;
}

void Value::set_string(std::string_view text, Arena& arena) {
  if (text.size() <= kShortCapacity) {
    set_tag(Tag::ShortString);
    raw_[1] = static_cast<unsigned char>(text.size());
    if (!text.empty()) std::memcpy(raw_ + 2, text.data(), text.size());
    return;
  }
  char* p = arena.allocate_text(text.size());
  std::memcpy(p, text.data(), text.size());
  set_tag(Tag::LongString);
  set_owner(Owner::Arena);
  set_count(text.size());
  set_block(p);
}

namespace {

// A root container's block, with the slot for its arena's chunks before it.
void* slotted_block(Arena& arena, std::size_t bytes) {
  auto* slot = static_cast<void**>(arena.allocate(sizeof(void*) + bytes));
  *slot = nullptr;
  return slot + 1;
}

}  // namespace

Value Value::array(std::span<Value> elements, Arena& arena, bool outermost) {
  Value v;
  v.set_array(elements, arena, outermost);
  return v;
}

void* ValueInternals::set_arena_container(Value& v, Value::Tag tag, std::size_t count, std::size_t bytes,
                                          Arena& arena, bool outermost) {
  v.set_tag(tag);
  if (count == 0) return nullptr;
  void* block = outermost ? slotted_block(arena, bytes) : arena.allocate(bytes);
  v.set_owner(outermost ? Value::Owner::ArenaOutermost : Value::Owner::Arena);
  v.set_count(count);
  v.set_block(block);
  return block;
}

void Value::set_array(std::span<Value> elements, Arena& arena, bool outermost) {
  void* block = ValueInternals::set_arena_container(*this, Tag::Array, elements.size(), elements.size_bytes(), arena,
                                                    outermost);
  if (block != nullptr) ValueInternals::relocate_unowned(elements, static_cast<Value*>(block));
}

Value Value::object(std::span<Member> members, Arena& arena, bool outermost) {
  Value v;
  v.set_object(members, arena, outermost);
  return v;
}

void Value::set_object(std::span<Member> members, Arena& arena, bool outermost) {
  if (members.empty()) {
    set_tag(Tag::Object);
    return;
  }
  const ValueInternals::MemberOrder order(members);
  void* block = ValueInternals::set_arena_container(*this, Tag::Object, order.kept(), order.kept() * sizeof(Member),
                                                    arena, outermost);
  ValueInternals::take_members(order, members, static_cast<Member*>(block), false);
}

Value Value::adopt(Value root, Arena& arena) {
  const Owner owner = root.owner();
  if ((owner != Owner::Arena && owner != Owner::ArenaOutermost) || !root.has_block()) return root;
  if (root.tag() == Tag::LongString) return string(root.as_string());  // no slot: copy it out
  if (owner == Owner::Arena) {
    // Built without room for the slot: move the block to one that has it.
    const std::size_t bytes = root.count() * (root.tag() == Tag::Array ? sizeof(Value) : sizeof(Member));
    void* block = slotted_block(arena, bytes);
    std::memcpy(block, root.block(), bytes);
    root.set_block(block);
  }
  ValueInternals::arena_slot(root) = arena.take_chunks();
  root.set_owner(Owner::ArenaRoot);
  return root;
}

void Value::release() noexcept {
  if (owns_block()) {
    ValueInternals::free_tree(*this);
  } else if (owns_arena()) {
    ValueInternals::free_arena(*this);
  }
}

bool Value::has_block() const noexcept {
  const Tag t = tag();
  return (t == Tag::LongString || t == Tag::Array || t == Tag::Object) && count() != 0;
}

bool Value::owns_block() const noexcept { return has_block() && owner() == Owner::Heap; }

bool Value::owns_arena() const noexcept { return has_block() && owner() == Owner::ArenaRoot; }

void Map::insert(std::string_view key, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, std::string_view k) { return key_less(m.name(), k); });
  if (it != members_.end() && it->name() == key) {
    it->value = std::move(value);
  } else {
    members_.insert(it, Member(key, std::move(value)));
  }
}

Value Map::to_value() && {
  Value v = Value::object(members_);
  members_.clear();
  return v;
}

}  // namespace kelvane::json
