// Standard base64 (RFC 4648, section 4, with '=' padding), the text of SSH
// public keys and of the armored signature; nettle does the work.
#pragma once

#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::sshsig::base64 {

std::string encode(std::string_view bytes);

// The bytes of `text`, which must be whole groups of four characters of the
// alphabet with correct padding: no white space, nothing after the padding.
Result<std::string, std::string> decode(std::string_view text);

}  // namespace kelvane::sshsig::base64
