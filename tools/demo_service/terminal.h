// The demo service's own output, and the terminal it asks on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvane::demo {

// Writes to standard output / standard error, ignoring failures: the
// terminal going away must not take the service's answer with it.
void say(std::string_view text);
void complain(std::string_view text);

// Why the operator cannot be asked on standard input, or nullopt if they
// can: it must be a terminal, and this process must be in its foreground
// (a background job would be stopped, or its reads fail, at the first
// question).
std::optional<std::string> operator_terminal_problem();

}  // namespace kelvane::demo
