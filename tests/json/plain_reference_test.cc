// Each performance trick of the codec against the plain way to the same
// result, kept beside it. The fuzz targets fuzz_lexers, fuzz_canonical and
// fuzz_key_order go over the same ground with arbitrary input; these cases
// pin the boundaries where the tricks change strategy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "json/internal/testing.h"
#include "json/json.h"

namespace kelvane::json {
namespace {

using namespace detail;

std::string eight(std::uint32_t v, void (*write)(std::uint32_t, char*)) {
  char text[8];
  write(v, text);
  return {text, 8};
}

// Every value in the default run would take seconds in a debug build; the
// slow label has them all.
TEST(PlainReference, EightDigitsFromLanesMatchThePairTable) {
#ifdef KOA_EXHAUSTIVE_DIGITS
  constexpr std::uint32_t kStep = 1;
#else
  constexpr std::uint32_t kStep = 997;
#endif
  for (std::uint32_t v = 0; v < 100000000; v += kStep) {
    ASSERT_EQ(eight(v, write_eight_digits), eight(v, write_eight_digits_plain)) << v;
  }
  for (const std::uint32_t v :
       {0u, 9u, 10u, 99u, 100u, 9999u, 10000u, 10099u, 99999999u, 12345678u, 10000001u}) {
    EXPECT_EQ(eight(v, write_eight_digits), eight(v, write_eight_digits_plain)) << v;
  }
}

// Short strings are written from their value's sixteen bytes with one test
// for escapes; the general writer scans them.
TEST(PlainReference, ShortStringsFromTheirValueMatchTheGeneralWriter) {
  std::mt19937 rng(5);
  const std::string alphabet = std::string("ab\"\\/\x7F\xC3\xA9") + '\0' + "\x01\x1F\n\t\b\f\r\x20";
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::size_t n = rng() % 15;
    for (std::size_t i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
    std::string general;
    {
      OutputCursor out(general);
      write_str(out, text);
    }
    ASSERT_EQ(to_json(Value::string(text)), general) << round;
  }
}

// Skipping a number as the walker does: the quick path, else the grammar.
Status skip_number(Input& in) {
  const std::size_t end = skip_number_quick(in.data(), in.size(), in.index());
  if (end == kNotQuick) return skip_number_plain(in);
  in.set_index(end);
  return {};
}

struct Keys {
  const std::vector<std::string>& keys;
  std::size_t size() const { return keys.size(); }
  std::uint64_t prefix(std::size_t i) const { return key_prefix(keys[i]); }
  bool less(std::size_t i, std::size_t j) const { return bytes_less(keys[i], keys[j]); }
};

// Sizes on both sides of the insertion sort's limit, keys that share their
// first eight bytes or are prefixes of each other, repeats.
TEST(PlainReference, KeyOrderMatchesAStableSortOfWholeKeys) {
  std::mt19937 rng(11);
  const std::vector<std::string> stems = {"",          "a",        "abcdefgh",
                                          "abcdefghi", "abcdefgg", std::string("abc\0", 4),
                                          "\xC3\xA9",  "zz",       std::string(20, 'q')};
  for (const std::size_t n : {0u, 1u, 2u, 31u, 32u, 33u, 100u, 600u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<std::string> keys;
      for (std::size_t i = 0; i < n; ++i) {
        std::string key = stems[rng() % stems.size()];
        if (rng() % 2 == 0) key += static_cast<char>('a' + rng() % 3);
        keys.push_back(key);
      }
      const Keys view{keys};
      const std::vector<std::size_t> expected = order_keys_plain(view);
      std::vector<KeyRank> ranks(n);
      const std::size_t sorted = ordered_prefix(view);
      const std::size_t kept = sorted == n ? n : order_keys(view, ranks, sorted);
      ASSERT_EQ(kept, expected.size()) << n;
      for (std::size_t j = 0; j < kept; ++j) {
        ASSERT_EQ(sorted == n ? j : ranks[j].position, expected[j]) << n << " " << j;
      }
    }
  }
}

TEST(PlainReference, SmallMovesMatchMemmoveInBothDirections) {
  for (std::size_t n = 0; n <= 40; ++n) {
    for (int shift = -3; shift <= 3; ++shift) {
      char expected[96];
      char got[96];
      for (std::size_t i = 0; i < sizeof expected; ++i)
        expected[i] = got[i] = static_cast<char>('A' + i % 50);
      const std::size_t from = 20;
      const auto to = static_cast<std::size_t>(20 + shift);
      std::memmove(expected + to, expected + from, n);
      move_bytes(got + to, got + from, n);
      ASSERT_EQ(std::string(got, sizeof got), std::string(expected, sizeof expected))
          << n << " " << shift;
    }
  }
}

// The run of plain bytes, sixteen or sixty-four at a time, against one byte
// at a time, with its stop at every offset and of every kind.
TEST(PlainReference, PlainRunsMatchAByteByByteScan) {
  for (std::size_t len = 0; len < 150; ++len) {
    for (const char stop : {'"', '\\', '\x00', '\x1F'}) {
      for (std::size_t at = 0; at <= len; ++at) {
        std::string text(len, 'x');
        if (at < len) text[at] = stop;
        std::size_t expected = 0;
        while (expected < text.size() &&
               !ends_plain_run(static_cast<unsigned char>(text[expected])))
          ++expected;
        ASSERT_EQ(plain_run(text.data(), text.size()), expected) << len << " " << at;
        ASSERT_EQ(short_plain_run(text.data(), text.size()), expected) << len << " " << at;
      }
    }
  }
}

std::string number_outcome(Status s, const Input& in, const NumberToken& t) {
  if (!s) return "error " + s.error().to_string();
  return std::to_string(in.index()) + " " + std::to_string(static_cast<int>(t.value.kind())) + " " +
         std::to_string(t.value.bits());
}

// The number lexer's quick paths (32 bytes at a time where 48 remain, word
// by word near the end) against the grammar digit by digit, each literal at
// the end of the text and followed by more.
TEST(PlainReference, NumberQuickPathsMatchTheGrammar) {
  const std::vector<std::string> literals = {"0",
                                             "-0",
                                             "7",
                                             "-7",
                                             "12345678",
                                             "123456789",
                                             "1234567890123456789",
                                             "12345678901234567890",
                                             "18446744073709551615",
                                             "18446744073709551616",
                                             "-9223372036854775808",
                                             "-9223372036854775809",
                                             "901.57009841569436",
                                             "0.6866012274167075E-59",
                                             "1.0601839457285873e-298",
                                             "222282313092.416",
                                             "1.5",
                                             "0.5e1",
                                             "1e2",
                                             "1E+2",
                                             "1e-7",
                                             "5e-324",
                                             "1e308",
                                             "1e309",
                                             "1e-400",
                                             "3.7e-22",
                                             "1.2345678901234567890",
                                             "0.0000000000000000000001",
                                             "123456789012345678.9",
                                             "1234567890123456789.5",
                                             "1e2147483648",
                                             "0e2147483648",
                                             "1e000000001",
                                             "1e0000000001",
                                             "01",
                                             "-",
                                             "1.",
                                             "1.e5",
                                             "1e",
                                             "1e+",
                                             "-a",
                                             "1" + std::string(40, '0') + ".5",
                                             "0." + std::string(30, '0') + "1"};
  const std::vector<std::string> followers = {"",  ",",      "]",
                                              " ", ",1,2,3", "," + std::string(60, '7')};
  for (const std::string& literal : literals) {
    for (const std::string& after : followers) {
      const std::string text = literal + after;
      for (const Mode mode : {Mode::Read, Mode::Skip}) {
        Input quick(text);
        Input plain(text);
        NumberToken a;
        NumberToken b;
        const Status sa = mode == Mode::Read ? lex_number(quick, a) : skip_number(quick);
        const Status sb = mode == Mode::Read ? lex_number_plain<Mode::Read>(plain, b)
                                             : lex_number_plain<Mode::Skip>(plain, b);
        ASSERT_EQ(number_outcome(sa, quick, a), number_outcome(sb, plain, b)) << text;
      }
    }
  }
}

// Where a double's literal is short enough for its digits to be known as
// the shortest, they are what the conversion of the double gives.
TEST(PlainReference, ShortLiteralDigitsMatchTheShortestConversion) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 200000; ++round) {
    const std::uint64_t significand = rng() % (std::uint64_t{1} << (1 + rng() % 54));
    const auto exponent = static_cast<std::int32_t>(static_cast<int>(rng() % 45) - 22);
    Decimal digits{};
    if (!literal_is_shortest(significand, exponent, digits)) continue;
    const double d = *compose_double(round % 2 == 0, significand, exponent);
    char shortcut[kMaxDoubleText];
    char converted[kMaxDoubleText];
    ASSERT_EQ(std::string_view(shortcut, layout_decimal(std::signbit(d), digits, shortcut)),
              std::string_view(converted, double_text(d, converted)))
        << significand << "e" << exponent;
  }
}

// Each 1E15 is written 1000000000000000.0: written over its own text, the
// compact form soon reaches what has not been read yet.
std::string many_growing_numbers() {
  std::string text = "[1E15";
  for (int i = 0; i < 50; ++i) text += ",1E15";
  return text + "]";
}

// The compact text written as the text is read (over the text itself or
// into a buffer of its own) against the tree read and written.
TEST(PlainReference, CompactTextMatchesTheTreeWritten) {
  const std::vector<std::string> texts = {
      "null",
      " [ 1 , 2 ] ",
      R"({"b":1,"a":2,"B":3,"a":4})",
      R"({"x":{"d":[1,{"z":0,"y":1}],"c":2},"w":0})",
      R"({"\u0041":1,"A":2,"\"":3,"#":4,"\\":5})",
      R"(["\u00e9\ud83d\ude00\/\n\u0001\u001f",""])",
      "[1E2,-0,1e15,0.5e1,1.50,123e2,3.7e-22,18446744073709551616,-9223372036854775809]",
      many_growing_numbers(),
      "{\"k\":1E15,\"k\":1E15}",
      "[\n1E2,\n{\"b\":1,\"a\":2}\n]",
      R"({"a":1,"a":{"b":2,"a":1},"a":[3]})",
      "{" + std::string(40, ' ') + "\"b\"  :  1E2 , \"a\" : 2 }",
      "[1,2",
      "{\"a\":1,}",
      "[1e400]",
      "\"\\ud800\"",
      "[\n\"a\"\n,\n1.5e\n]",
      R"({"a" 1})"};
  for (const std::string& text : texts) {
    const Result<Value, Error> tree = parse_value(text);
    const std::string expected =
        tree.ok() ? to_json(tree.value()) : "error " + tree.error().to_string();
    const Result<CompactText, Error> copied = CompactText::read(text);
    EXPECT_EQ(
        copied.ok() ? std::string(copied.value().text()) : "error " + copied.error().to_string(),
        expected)
        << text;
    // In place with no room in front, with too little for the growing
    // doubles, and with plenty; what is in front is never read.
    for (const std::size_t headroom : {0u, 1u, 9u, 4096u}) {
      const Result<CompactText, Error> in_place =
          CompactText::read_in_place(std::string(headroom, '[') + text, headroom);
      EXPECT_EQ(in_place.ok() ? std::string(in_place.value().text())
                              : "error " + in_place.error().to_string(),
                expected)
          << text << " after " << headroom;
    }
  }
}

}  // namespace
}  // namespace kelvane::json
