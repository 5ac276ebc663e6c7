// sudo hands a plugin its facts as NULL-terminated vectors of "name=value"
// strings: user_info, command_info and the words of its sudo.conf line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvane::sudo {

// The value of the first entry called `name`, split at the first '=' (a name
// never holds one, a value may); nullopt when there is none or the vector
// itself is null.
std::optional<std::string_view> find_setting(char* const* vector, std::string_view name) noexcept;

// Plain decimal digits (no sign, no space, no leading '+') for a number no
// greater than `max`; nullopt for anything else.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) noexcept;

}  // namespace kelvane::sudo
