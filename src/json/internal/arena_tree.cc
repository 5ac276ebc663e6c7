// Trees whose blocks come from an arena, as the reader builds them: each
// allocation is a pointer bump, blocks carry no allocator headers, and the
// root that adopts the arena frees it in one step per chunk.
#include <cstring>

#include "json/internal/value_internals.h"

namespace kelvane::json {

namespace {

// A root container's block, with the slot for its arena's chunks before it.
void* slotted_block(Arena& arena, std::size_t bytes) {
  auto* slot = static_cast<void**>(arena.allocate(sizeof(void*) + bytes));
  *slot = nullptr;
  return slot + 1;
}

}  // namespace

void ValueInternals::set_string(Value& v, std::string_view text, Arena& arena) {
  if (v.set_short_string(text)) return;
  char* p = arena.allocate_text(text.size());
  std::memcpy(p, text.data(), text.size());
  v.set_tag(Value::Tag::LongString);
  v.set_owner(Value::Owner::Arena);
  v.set_count(text.size());
  v.set_block(p);
}

// Makes `v` (null) the array or object `tag` of `count` items, in a block of
// `bytes` from `arena`, which is returned (null when `count` is 0).
void* ValueInternals::set_container(Value& v, Value::Tag tag, std::size_t count, std::size_t bytes,
                                    Arena& arena, bool outermost) {
  v.set_tag(tag);
  if (count == 0) return nullptr;
  void* block = outermost ? slotted_block(arena, bytes) : arena.allocate(bytes);
  v.set_owner(outermost ? Value::Owner::ArenaOutermost : Value::Owner::Arena);
  v.set_count(count);
  v.set_block(block);
  return block;
}

// The elements own nothing: their bytes are copied and the reader's stacks
// need no clearing.
void ValueInternals::set_array(Value& v, std::span<Value> elements, Arena& arena, bool outermost) {
  void* block =
      set_container(v, Value::Tag::Array, elements.size(), elements.size_bytes(), arena, outermost);
  if (block != nullptr)
    std::memcpy(block, static_cast<const void*>(elements.data()), elements.size_bytes());
}

void ValueInternals::set_object(Value& v, std::span<Member> members, Arena& arena, bool outermost) {
  if (members.empty()) {
    v.set_tag(Value::Tag::Object);
    return;
  }
  const MemberOrder order(members);
  void* block = set_container(v, Value::Tag::Object, order.kept(), order.kept() * sizeof(Member),
                              arena, outermost);
  take_members(order, members, static_cast<Member*>(block), false);
}

Value ValueInternals::adopt(Value root, Arena& arena) {
  const Value::Owner owner = root.owner();
  if ((owner != Value::Owner::Arena && owner != Value::Owner::ArenaOutermost) || !root.has_block())
    return root;
  if (root.tag() == Value::Tag::LongString)
    return Value::string(root.as_string());  // no slot: copy it out
  if (owner == Value::Owner::Arena) {
    // Built without room for the slot: move the block to one that has it.
    const std::size_t bytes =
        root.count() * (root.tag() == Value::Tag::Array ? sizeof(Value) : sizeof(Member));
    void* block = slotted_block(arena, bytes);
    std::memcpy(block, root.block(), bytes);
    root.set_block(block);
  }
  arena_slot(root) = arena.take_chunks();
  root.set_owner(Value::Owner::ArenaRoot);
  return root;
}

}  // namespace kelvane::json
