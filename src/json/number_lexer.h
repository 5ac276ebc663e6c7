// The one number lexer: a JSON number literal, from its minus sign or first
// digit to the first byte that does not continue it.
#pragma once

#include <cstdint>
#include <string_view>

#include "json/input.h"
#include "json/value.h"

namespace kelvane::json::detail {

struct NumberToken {
  // In the representation the literal calls for (see Number).
  Number value = Number::unsigned64(0);
  // The literal as it stands in the input, minus sign included.
  std::string_view text;
  // Set when every digit of the literal went into `significand`: the
  // literal is exactly significand * 10^exponent (and negative when
  // value says so). Not set for literals too long for the quick path.
  bool exact = false;
  std::uint64_t significand = 0;
  std::int32_t exponent = 0;
};

// At the minus sign or first digit. Read computes the value; Skip checks the
// grammar only, so "number out of range" never arises, and the end of the
// text after a minus sign, an exponent's letter or its sign, or a point is
// "invalid number" there. The token is left alone when skipping.
//
// The common short literals (at most 19 significant digits and 9 exponent
// digits, value finite) are taken a word of digits at a time; anything else,
// errors included, goes digit by digit through the grammar below, which is
// the plain reference for that quick path.
template <Mode M>
Status lex_number(Input& in, NumberToken& out);

// The same without the quick path: the grammar digit by digit. For checking
// the quick path against it.
template <Mode M>
Status lex_number_plain(Input& in, NumberToken& out);

}  // namespace kelvane::json::detail
