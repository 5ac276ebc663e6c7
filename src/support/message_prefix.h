// What every message of the client and the sudo plugin starts with, so that
// a user reading a terminal or a log knows which program speaks.
#pragma once

#include <string_view>

namespace kelvane {

inline constexpr std::string_view kMessageSource = "kelvane operator approval";
// The usual start of a line: the source and a colon.
inline constexpr std::string_view kMessagePrefix = "kelvane operator approval: ";

}  // namespace kelvane
