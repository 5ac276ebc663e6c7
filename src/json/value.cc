#include "json/value.h"

#include <algorithm>
#include "json/arena.h"
#include <bit>
#include <cstring>
#include <new>
#include <utility>

static_assert(std::endian::native == std::endian::little, "Value packs its counts little-endian");

namespace kelvane::json {

bool key_less(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);  // memcmp compares unsigned
  return c < 0 || (c == 0 && a.size() < b.size());
}

namespace {

std::uint64_t load_big_endian(const unsigned char* p, std::size_t n) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, p, n);
  return __builtin_bswap64(word);
}

}  // namespace

namespace {

// Objects up to this many members are sorted by their keys' first bytes,
// by insertion up to the second number.
constexpr std::size_t kSortedByPrefix = 512;
constexpr std::size_t kInsertionSorted = 32;

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

  // Puts the members in key order, keeps only the last of each repeated key
  // at the front, and returns how many were kept.
  static std::size_t sort_members(std::span<Member> members) noexcept;
  static void sort_by_prefix(std::span<Member> members, std::size_t sorted) noexcept;

  // Moves `items` into a block of `arena` and makes `v` (null) the array or
  // object `tag` of them.
  template <class T>
  static void set_arena_container(Value& v, Value::Tag tag, std::span<T> items, Arena& arena, bool outermost);

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

std::size_t ValueInternals::sort_members(std::span<Member> members) noexcept {
  const std::size_t n = members.size();
  const auto before = [](const Member& a, const Member& b) { return key_less(a.key, b.key); };
  // Already in order with no repeats: nothing to do.
  std::size_t i = 1;
  while (i < n && before(members[i - 1], members[i])) ++i;
  if (i == n) return n;
  if (n > kSortedByPrefix) {
    std::stable_sort(members.begin(), members.end(), before);
  } else {
    sort_by_prefix(members, i);
  }
  // Of each run of equal keys keep the last, which is the latest in the text.
  std::size_t kept = 0;
  for (i = 0; i < n; ++i) {
    if (i + 1 < n && !before(members[i], members[i + 1])) continue;
    if (kept != i) members[kept] = std::move(members[i]);
    ++kept;
  }
  return kept;
}

// Sorts (first eight key bytes, position) pairs, comparing whole keys only
// when the first eight bytes are equal and positions only when the keys are
// (which keeps repeats in text order), then moves each member once. The
// first `sorted` members are in order already.
void ValueInternals::sort_by_prefix(std::span<Member> members, std::size_t sorted) noexcept {
  const std::size_t n = members.size();
  struct Entry {
    std::uint64_t prefix;
    std::size_t index;
  };
  Entry entries[kSortedByPrefix];
  for (std::size_t k = 0; k < n; ++k) entries[k] = {key_prefix(members[k].key), k};
  const auto entry_before = [&](const Entry& a, const Entry& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (key_less(members[a.index].key, members[b.index].key)) return true;
    if (key_less(members[b.index].key, members[a.index].key)) return false;
    return a.index < b.index;
  };
  if (n <= kInsertionSorted) {
    for (std::size_t k = sorted; k < n; ++k) {
      const Entry held = entries[k];
      std::size_t j = k;
      for (; j > 0 && entry_before(held, entries[j - 1]); --j) entries[j] = entries[j - 1];
      entries[j] = held;
    }
  } else {
    std::sort(entries, entries + n, entry_before);
  }
  // Members move as raw bytes along each cycle of the permutation; a placed
  // entry points at its own position.
  for (std::size_t k = 0; k < n; ++k) {
    if (entries[k].index == k) continue;
    alignas(Member) unsigned char held[sizeof(Member)];
    std::memcpy(held, static_cast<const void*>(&members[k]), sizeof(Member));
    std::size_t j = k;
    for (;;) {
      const std::size_t from = entries[j].index;
      entries[j].index = j;
      if (from == k) {
        std::memcpy(static_cast<void*>(&members[j]), held, sizeof(Member));
        break;
      }
      std::memcpy(static_cast<void*>(&members[j]), static_cast<const void*>(&members[from]), sizeof(Member));
      j = from;
    }
  }
}

Value Value::object(std::span<Member> members) {
  Value v;
  v.set_tag(Tag::Object);
  if (members.empty()) return v;
  const std::size_t kept = ValueInternals::sort_members(members);
  auto* block = static_cast<Member*>(::operator new(kept * sizeof(Member)));
  ValueInternals::relocate(members.first(kept), block);
  v.set_count(kept);
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

template <class T>
void ValueInternals::set_arena_container(Value& v, Value::Tag tag, std::span<T> items, Arena& arena,
                                         bool outermost) {
  v.set_tag(tag);
  if (items.empty()) return;
  void* block = outermost ? slotted_block(arena, items.size_bytes()) : arena.allocate(items.size_bytes());
  relocate_unowned(items, static_cast<T*>(block));
  v.set_owner(outermost ? Value::Owner::ArenaOutermost : Value::Owner::Arena);
  v.set_count(items.size());
  v.set_block(block);
}

void Value::set_array(std::span<Value> elements, Arena& arena, bool outermost) {
  ValueInternals::set_arena_container(*this, Tag::Array, elements, arena, outermost);
}

Value Value::object(std::span<Member> members, Arena& arena, bool outermost) {
  Value v;
  v.set_object(members, arena, outermost);
  return v;
}

void Value::set_object(std::span<Member> members, Arena& arena, bool outermost) {
  const std::size_t kept = members.empty() ? 0 : ValueInternals::sort_members(members);
  ValueInternals::set_arena_container(*this, Tag::Object, members.first(kept), arena, outermost);
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
