#include "support/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

namespace kelvane::utf8 {
namespace {

TEST(ReplaceInvalid, OneReplacementPerMaximalPiece) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string_view, std::string> cases[] = {
      {"plain", "plain"},
      {"\xEF\xBF\xBD", r},  // a real U+FFFD stays one
      {"\xE2\x82"
       "A",
       r + "A"},                            // truncated three-byte sequence
      {"x\xF0\x9F\x98", "x" + r},           // truncated four-byte sequence at the end
      {"\xC0\x80", r + r},                  // overlong lead, stray continuation
      {"\xED\xA0\x80", r + r + r},          // surrogate: the lead alone is the piece
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xC3\xA9\xFF", "\xC3\xA9" + r},
      {"\xE0\x9F\x80", r + r + r},          // overlong three-byte form
      {"\xF0\x8F\x80\x80", r + r + r + r},  // overlong four-byte form
      {"\xF5\x80", r + r},                  // no lead byte above F4
      {"\xE2\x82\xAC\xE2", "\xE2\x82\xAC" + r},
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(replace_invalid(bytes), expected);
}

}  // namespace
}  // namespace kelvane::utf8
