// sudo hands a plugin its facts as NULL-terminated vectors of "name=value"
// strings: user_info, command_info and the words of its sudo.conf line.
#pragma once

#include <optional>
#include <string_view>

namespace kelvane::sudo {

// The value of the first entry called `name`, split at the first '=' (a name
// never holds one, a value may); nullopt when there is none or the vector
// itself is null.
std::optional<std::string_view> find_setting(char* const* vector, std::string_view name) noexcept;

}  // namespace kelvane::sudo
