// How the library's messages show a text it read (a key type, an option, a
// namespace): quoted in its visible form and cut to a line's worth, since
// the text comes from a file, an agent or a signature that anyone may have
// written.
#pragma once

#include <string>
#include <string_view>

#include "support/visible_text.h"

namespace kelvane::sshsig {

inline std::string shown(std::string_view text) {
  constexpr std::size_t kMaxShownBytes = 64;
  std::string out;
  visible::append_quoted(out, text.substr(0, kMaxShownBytes));
  if (text.size() > kMaxShownBytes) out += "...";
  return out;
}

}  // namespace kelvane::sshsig
