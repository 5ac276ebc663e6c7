#include "json/value.h"

#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "json/internal/frame_stack.h"
#include "json/internal/key_order.h"
#include "json/internal/value_internals.h"

static_assert(std::endian::native == std::endian::little, "Value packs its counts little-endian");

namespace kelvane::json {

void wrong_kind(const char* what) noexcept {
  // No allocation and no stdio: the program is in a state it did not expect.
  const std::string_view head = "json: a value of one kind read as another (";
  const std::string_view name = what;
  (void)!::write(STDERR_FILENO, head.data(), head.size());
  (void)!::write(STDERR_FILENO, name.data(), name.size());
  (void)!::write(STDERR_FILENO, ")\n", 2);
  std::abort();
}

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
bool ValueInternals::key_less(const Value& a, const Value& b) noexcept {
  if (a.tag() != Value::Tag::ShortString || b.tag() != Value::Tag::ShortString) {
    return detail::bytes_less(a.as_string(), b.as_string());
  }
  const std::uint64_t a_high = load_big_endian(a.raw_ + 2, 8);
  const std::uint64_t b_high = load_big_endian(b.raw_ + 2, 8);
  if (a_high != b_high) return a_high < b_high;
  const std::uint64_t a_low = load_big_endian(a.raw_ + 10, 6);
  const std::uint64_t b_low = load_big_endian(b.raw_ + 10, 6);
  if (a_low != b_low) return a_low < b_low;
  return a.raw_[1] < b.raw_[1];
}

// A short string's bytes are followed by zeros in the value; a long one has
// more than eight.
std::uint64_t ValueInternals::key_prefix(const Value& key) noexcept {
  if (key.tag() == Value::Tag::ShortString) return load_big_endian(key.raw_ + 2, 8);
  return load_big_endian(static_cast<const unsigned char*>(key.block()), 8);
}

// ---- Objects ----------------------------------------------------------------

// Values do not care where they live: their bytes are moved. The sources are
// cleared when they may own something (heap trees); members built in an
// arena own nothing, and keep their bytes.
void ValueInternals::take_members(const MemberOrder& order, std::span<Member> members,
                                  Member* block, bool owned) noexcept {
  for (std::size_t j = 0; j < order.kept(); ++j) {
    Member& from = members[order.position(j)];
    std::memcpy(static_cast<void*>(block + j), static_cast<const void*>(&from), sizeof(Member));
    if (owned) std::memset(static_cast<void*>(&from), 0, sizeof(Member));
  }
}

// ---- Heap values --------------------------------------------------------------

Value Value::string(std::string_view text) {
  Value v;
  if (v.set_short_string(text)) return v;
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
  auto* block = static_cast<Value*>(::operator new(elements.size_bytes()));
  std::memcpy(static_cast<void*>(block), static_cast<const void*>(elements.data()),
              elements.size_bytes());
  std::memset(static_cast<void*>(elements.data()), 0, elements.size_bytes());
  v.set_count(elements.size());
  v.set_block(block);
  return v;
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

// ---- Destruction ----------------------------------------------------------

// The chunks of a root's arena are kept in the 8 bytes before its block.
void*& ValueInternals::arena_slot(const Value& v) noexcept {
  return *reinterpret_cast<void**>(static_cast<char*>(v.block()) - sizeof(void*));
}

struct ValueInternals::Frame {
  void* block;
  std::size_t count;
  std::size_t next;
  bool object;
};

// Walks a tree of heap blocks without recursion. The frames of the 128 levels
// that the reader can produce fit in place; deeper hand-built trees spill to
// the heap.
void ValueInternals::free_tree(Value& root) noexcept {
  // May terminate on exhaustion past the levels in place; only hand-built
  // trees get there.
  detail::FrameStack<Frame, 130> open;
  auto push = [&](const Value& v) {
    open.push({v.block(), v.count(), 0, v.tag() == Value::Tag::Object});
  };
  // Frees what `v` owns directly; containers are pushed to be walked.
  auto visit = [&](const Value& v) {
    if (v.owns_arena()) {
      Arena::free_chunks(arena_slot(v));
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
  while (!open.empty()) {
    Frame& f = open.top();
    if (f.next == f.count) {
      ::operator delete(f.block);
      open.pop();
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

void Value::release() noexcept {
  if (owns_block()) {
    ValueInternals::free_tree(*this);
  } else if (owns_arena()) {
    Arena::free_chunks(ValueInternals::arena_slot(*this));
  }
}

bool Value::has_block() const noexcept {
  const Tag t = tag();
  return (t == Tag::LongString || t == Tag::Array || t == Tag::Object) && count() != 0;
}

bool Value::owns_block() const noexcept {
  return has_block() && owner() == Owner::Heap;
}

bool Value::owns_arena() const noexcept {
  return has_block() && owner() == Owner::ArenaRoot;
}

// ---- Map ------------------------------------------------------------------

void Map::insert(std::string_view key, Value value) {
  auto it = std::lower_bound(
      members_.begin(), members_.end(), key,
      [](const Member& m, std::string_view k) { return detail::bytes_less(m.name(), k); });
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
