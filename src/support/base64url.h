// base64url without padding (RFC 4648, section 5): the alphabet A-Z a-z 0-9
// '-' '_', no '=' at the end. Decoding is strict, so that one byte string
// has exactly one text: any other byte, padding, a length that leaves a
// single character over, and unused low bits that are not zero are all
// refused. Approval tokens rely on that: a token whose text differs is a
// different token, never the same one spelt another way.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::base64url {

std::string encode(std::span<const unsigned char> bytes);
std::string encode(std::string_view bytes);

// The bytes of `text`, or why it is not canonical base64url (one phrase, no
// full stop, e.g. "a byte outside the base64url alphabet at offset 4").
Result<std::string, std::string> decode(std::string_view text);

}  // namespace kelvane::base64url
