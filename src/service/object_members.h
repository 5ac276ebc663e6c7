// The members of the request's outermost JSON object, each as JSON text.
//
// The request object is one level of nesting more than its context: a
// context as deep as the client accepts would exceed the reader's limit if
// the whole line were read as one value. So the outermost level is taken
// apart here, without a nesting limit of its own, and each member's key and
// value are then read, and checked, one by one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace kelvane::service {

struct RawMember {
  std::string_view key;    // the key's JSON string text, quotes included
  std::string_view value;  // the value's JSON text
};

// Splits `text`, which must be one JSON object surrounded by nothing but JSON
// white space. Only the object's own punctuation is checked here; the keys
// and values are delimited, not validated. On failure: why, with the byte
// offset.
Result<std::vector<RawMember>, std::string> split_object(std::string_view text);

// The same for one JSON array: each element's JSON text, delimited, not
// validated. The operators' answers carry requests, whose contexts may nest as
// deep as the reader allows, inside arrays.
Result<std::vector<std::string_view>, std::string> split_array(std::string_view text);

}  // namespace kelvane::service
