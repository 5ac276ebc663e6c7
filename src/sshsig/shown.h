// How the library's messages show a text it read (a key type, an option, a
// namespace): quoted in its visible form and cut to a line's worth, since
// the text comes from a file, an agent or a signature that anyone may have
// written.
#pragma once

#include <string>
#include <string_view>

#include "support/quoting.h"

namespace kelvane::sshsig {

inline std::string shown(std::string_view text) {
  constexpr std::size_t kMaxShownBytes = 64;
  return quoted_prefix(text, kMaxShownBytes);
}

}  // namespace kelvane::sshsig
