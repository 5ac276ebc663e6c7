#include "json/internal/testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "json/value.h"

namespace kelvane::json {
namespace {

TEST(Arena, BlocksAreAlignedAndDistinctAcrossChunks) {
  Arena arena;
  std::vector<unsigned char*> blocks;
  // Small blocks fill several chunks; a big one gets a chunk of its own.
  // Aligned blocks and unaligned text interleaved.
  for (std::size_t i = 0; i < 20000; ++i) {
    if (i % 3 == 0) {
      blocks.push_back(reinterpret_cast<unsigned char*>(arena.allocate_text(1 + i % 40)));
    } else {
      blocks.push_back(static_cast<unsigned char*>(arena.allocate(1 + i % 40)));
    }
  }
  blocks.push_back(static_cast<unsigned char*>(arena.allocate(std::size_t{5} << 20)));
  blocks.push_back(static_cast<unsigned char*>(arena.allocate(3)));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i >= 20000 || i % 3 != 0) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(blocks[i]) % 8, 0u);
    }
    blocks[i][0] = static_cast<unsigned char>(i);
  }
  for (std::size_t i = 0; i < blocks.size(); ++i)
    ASSERT_EQ(blocks[i][0], static_cast<unsigned char>(i));
}

// The reader's way of building in an arena, one value at a time.
Value arena_string(std::string_view text, Arena& arena) {
  Value v;
  ValueInternals::set_string(v, text, arena);
  return v;
}
Value arena_array(std::span<Value> elements, Arena& arena, bool outermost = false) {
  Value v;
  ValueInternals::set_array(v, elements, arena, outermost);
  return v;
}
Value arena_object(std::span<Member> members, Arena& arena, bool outermost = false) {
  Value v;
  ValueInternals::set_object(v, members, arena, outermost);
  return v;
}

// Builds [["<long string>", {"k": [1]}], ...] in an arena, the way the reader
// does, and hands it to a root.
Value arena_tree(Arena& arena, std::size_t n, bool outermost) {
  std::vector<Value> outer;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<Value> inner;
    inner.push_back(arena_string(std::string(20 + i % 7, 'x'), arena));
    std::vector<Value> one;
    one.push_back(Value::number(Number::unsigned64(i)));
    std::vector<Member> members;
    members.emplace_back(arena_string("k", arena), arena_array(one, arena));
    inner.push_back(arena_object(members, arena));
    outer.push_back(arena_array(inner, arena));
  }
  return ValueInternals::adopt(arena_array(outer, arena, outermost), arena);
}

TEST(Arena, AdoptedRootOwnsTheTreeAndOutlivesTheArena) {
  for (bool outermost : {true, false}) {
    Value root;
    {
      Arena arena;
      root = arena_tree(arena, 3000, outermost);
    }  // the arena object is gone; its chunks now belong to the root
    ASSERT_EQ(root.as_array().size(), 3000u);
    EXPECT_EQ(root.as_array()[1].as_array()[0].as_string(), std::string(21, 'x'));
  }
  Value root;
  {
    Arena arena;
    root = arena_tree(arena, 3000, true);
  }
  ASSERT_EQ(root.as_array().size(), 3000u);
  const Value& last = root.as_array()[2999];
  EXPECT_EQ(last.as_array()[0].as_string(), std::string(20 + 2999 % 7, 'x'));
  EXPECT_EQ(last.as_array()[1].as_object()[0].value.as_array()[0].as_number().as_unsigned64(),
            2999u);

  // Moved into an ordinary container, it is still freed exactly once.
  std::vector<Value> holder;
  holder.push_back(std::move(root));
  holder.push_back(Value::string(std::string(100, 'y')));
  Value outer = Value::array(holder);
  EXPECT_EQ(outer.as_array()[0].as_array().size(), 3000u);
}

TEST(Arena, AdoptingScalarsAndLongStrings) {
  Arena arena;
  Value text = ValueInternals::adopt(arena_string(std::string(40, 'q'), arena), arena);
  Value number = ValueInternals::adopt(Value::number(Number::unsigned64(7)), arena);
  std::vector<Value> none;
  Value empty = ValueInternals::adopt(arena_array(none, arena), arena);
  // The string was copied out: it survives the arena.
  Arena::free_chunks(arena.take_chunks());
  EXPECT_EQ(text.as_string(), std::string(40, 'q'));
  EXPECT_EQ(number.as_number().as_unsigned64(), 7u);
  EXPECT_TRUE(empty.as_array().empty());
}

TEST(Arena, ObjectsSortAndDropRepeatsLikeHeapObjects) {
  // Every order of a few keys, some repeated, some sharing prefixes, some
  // longer than fit inline, and more than the small-object sort handles.
  const std::vector<std::string> names = {"b",
                                          "a",
                                          "B",
                                          "_",
                                          "aa",
                                          "\xC3\xA9",
                                          "Z",
                                          "a",
                                          std::string("a\0", 2),
                                          "abcdefghijklmn",
                                          "abcdefghijklmno",
                                          "abcdefghijklmn",
                                          "abcdefgh",
                                          "abcdefgi"};
  for (std::size_t count : {names.size(), std::size_t{40}}) {
    std::vector<Member> heap;
    std::vector<Member> in_arena;
    Arena arena;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string& k = names[(i * 7) % names.size()];
      heap.emplace_back(Value::string(k), Value::number(Number::unsigned64(i)));
      in_arena.emplace_back(arena_string(k, arena), Value::number(Number::unsigned64(i)));
    }
    Value a = Value::object(heap);
    Value b = ValueInternals::adopt(arena_object(in_arena, arena), arena);
    ASSERT_EQ(a.as_object().size(), b.as_object().size());
    for (std::size_t i = 0; i < a.as_object().size(); ++i) {
      EXPECT_EQ(a.as_object()[i].name(), b.as_object()[i].name());
      EXPECT_EQ(a.as_object()[i].value.as_number().as_unsigned64(),
                b.as_object()[i].value.as_number().as_unsigned64());
      if (i > 0) {
        EXPECT_TRUE(detail::bytes_less(a.as_object()[i - 1].name(), a.as_object()[i].name()));
      }
    }
  }
}

TEST(KeyLess, ValuesCompareLikeTheirBytes) {
  const std::vector<std::string> keys = {"",
                                         "a",
                                         std::string("a\0", 2),
                                         "ab",
                                         "b",
                                         "\x7f",
                                         "\x80",
                                         "\xff",
                                         "abcdefgh",
                                         "abcdefgha",
                                         "abcdefghijklmn",
                                         "abcdefghijklmo",
                                         "abcdefghijklmn\x01",
                                         std::string(30, 'a')};
  for (const std::string& x : keys) {
    for (const std::string& y : keys) {
      EXPECT_EQ(ValueInternals::key_less(Value::string(x), Value::string(y)),
                detail::bytes_less(x, y))
          << x << " / " << y;
    }
  }
}

}  // namespace
}  // namespace kelvane::json
