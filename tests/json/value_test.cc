#include "json/value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <utility>

#include <string>
#include <vector>

#include "json/internal/testing.h"

namespace kelvane::json {
namespace {

std::vector<std::string> keys_of(const Value& v) {
  std::vector<std::string> keys;
  for (const Member& m : v.as_object()) keys.emplace_back(m.name());
  return keys;
}

TEST(Value, StringsShortAndLongKeepTheirBytes) {
  for (const std::string& s :
       {std::string(), std::string("abc"), std::string(14, 'x'), std::string(15, 'y'),
        std::string("a\0b", 3), std::string(1000, 'z')}) {
    Value v = Value::string(s);
    EXPECT_EQ(v.kind(), Value::Kind::String);
    EXPECT_EQ(v.as_string(), s);
    Value moved(std::move(v));
    EXPECT_EQ(moved.as_string(), s);
    EXPECT_TRUE(v.is_null());
  }
}

TEST(Value, NumbersKeepTheirRepresentation) {
  EXPECT_EQ(Value::number(Number::unsigned64(UINT64_MAX)).as_number().as_unsigned64(), UINT64_MAX);
  const Number neg = Value::number(Number::negative64(INT64_MIN)).as_number();
  EXPECT_EQ(neg.kind(), Number::Kind::Negative64);
  EXPECT_EQ(neg.as_negative64(), INT64_MIN);
  const Number minus_zero = Value::number(Number::from_double(-0.0)).as_number();
  EXPECT_EQ(minus_zero.kind(), Number::Kind::Double);
  EXPECT_TRUE(std::signbit(minus_zero.as_double()));
}

TEST(Value, ObjectKeysSortByteWiseAndLastRepeatWins) {
  std::vector<Member> members;
  for (const char* k : {"b", "a", "B", "_", "aa", "\xC3\xA9", "Z", "a"}) {
    members.emplace_back(k, Value::string(k));
  }
  members.back().value = Value::number(Number::unsigned64(2));
  Value obj = Value::object(members);
  EXPECT_EQ(keys_of(obj), (std::vector<std::string>{"B", "Z", "_", "a", "aa", "b", "\xC3\xA9"}));
  EXPECT_EQ(obj.as_object()[3].value.as_number().as_unsigned64(), 2u);
}

// Objects are sorted on their keys' first eight bytes with the whole keys
// as tie-breakers, by insertion when small and otherwise on a table; the
// largest fall back to a plain stable sort. At sizes around each step, with
// keys sharing long prefixes, holding NUL bytes and repeated, the result
// must be the byte-wise order with the last of each key.
TEST(Value, ObjectOrderAtEverySortingStep) {
  std::uint64_t seed = 7;
  auto next = [&seed] {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::size_t>(seed >> 33);
  };
  const std::string stems[] = {"",
                               "a",
                               "ab",
                               std::string("a\0", 2),
                               "abcdefgh",
                               "abcdefghi",
                               "abcdefgh\0",
                               "abcdefghijklmnopq",
                               "zz",
                               std::string(14, 'x'),
                               std::string(15, 'x')};
  for (const std::size_t n : {2u, 3u, 31u, 32u, 33u, 100u, 511u, 512u, 513u, 700u}) {
    std::vector<Member> members;
    std::vector<std::pair<std::string, std::size_t>> expected;  // key, value (position in the text)
    for (std::size_t i = 0; i < n; ++i) {
      std::string key = stems[next() % std::size(stems)];
      if (next() % 2 == 0) key += static_cast<char>('a' + next() % 3);
      members.emplace_back(key, Value::number(Number::unsigned64(i)));
      auto at = std::find_if(expected.begin(), expected.end(),
                             [&](const auto& e) { return e.first == key; });
      if (at != expected.end()) {
        at->second = i;
      } else {
        expected.emplace_back(key, i);
      }
    }
    std::sort(expected.begin(), expected.end());  // std::string orders bytes as unsigned
    const Value obj = Value::object(members);
    ASSERT_EQ(obj.as_object().size(), expected.size()) << n;
    for (std::size_t k = 0; k < expected.size(); ++k) {
      EXPECT_EQ(obj.as_object()[k].name(), expected[k].first) << n;
      EXPECT_EQ(obj.as_object()[k].value.as_number().as_unsigned64(), expected[k].second) << n;
    }
  }
}

TEST(Map, InsertReplacesInPlace) {
  Map map;
  map.insert("b", Value::boolean(true));
  map.insert("a", Value::null());
  map.insert("b", Value::string("again"));
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.entries()[1].value.as_string(), "again");
  Value v = std::move(map).to_value();
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"a", "b"}));
}

TEST(Value, DestroysVeryDeepTreesWithoutRecursion) {
  Value v = Value::string("leaf of a deep tree, long enough to live on the heap");
  for (int i = 0; i < 1'000'000; ++i) {
    if (i % 2 == 0) {
      Value elems[2] = {std::move(v), Value::string("a sibling string on the heap too")};
      v = Value::array(elems);
    } else {
      Member m("key", std::move(v));
      v = Value::object({&m, 1});
    }
  }
  EXPECT_EQ(v.kind(), Value::Kind::Object);
  // Leaving scope destroys a million levels; a recursive destructor would overflow the stack.
}

TEST(Value, EmptyContainers) {
  Value a = Value::array({});
  Value o = Value::object({});
  EXPECT_TRUE(a.as_array().empty());
  EXPECT_TRUE(o.as_object().empty());
  EXPECT_EQ(a.kind(), Value::Kind::Array);
  EXPECT_EQ(o.kind(), Value::Kind::Object);
}

// Building in an arena is the reader's alone: no public call can put blocks
// of an arena under a heap tree, or heap blocks under an arena tree that
// does not clear them (which freed them twice or read them after they were
// freed).
template <class V, class A>
concept ArrayFromArena = requires(std::span<V> elements, A& arena) {
  V::array(elements, arena, true);
};
template <class V, class A>
concept AdoptsArena = requires(V root, A& arena) {
  V::adopt(std::move(root), arena);
};
static_assert(!ArrayFromArena<Value, Arena> && !AdoptsArena<Value, Arena>);

#if GTEST_HAS_DEATH_TEST
// Each accessor requires its kind: asking for another stops the program, in
// every build, instead of reading the value's bytes as something they are
// not.
TEST(ValueDeathTest, AccessorsOfAnotherKindAreCaught) {
  const Value text = Value::string("a string long enough to live on the heap");
  const Value number = Value::number(Number::unsigned64(7));
  const Value array = Value::array({});
  EXPECT_DEATH((void)text.as_array(), "kind");
  EXPECT_DEATH((void)text.as_object(), "kind");
  EXPECT_DEATH((void)text.as_number(), "kind");
  EXPECT_DEATH((void)text.as_bool(), "kind");
  EXPECT_DEATH((void)number.as_string(), "kind");
  EXPECT_DEATH((void)array.as_object(), "kind");
  EXPECT_DEATH((void)number.as_number().as_double(), "kind");
  EXPECT_DEATH((void)Number::from_double(1.5).as_unsigned64(), "kind");
  EXPECT_DEATH((void)Number::unsigned64(1).as_negative64(), "kind");
}
#endif

}  // namespace
}  // namespace kelvane::json
