// What the demo service shows the operator, and how it asks.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "json/value.h"

namespace kelvane::demo {

// Writes to standard output / standard error, ignoring failures: the
// terminal going away must not take the service's answer with it.
void say(std::string_view text);
void complain(std::string_view text);

// The text with every control character other than the line feed, and DEL,
// made visible as \u{..}, so that a request cannot rewrite the operator's
// screen (hide a line, move the cursor) and be approved for what it is not.
std::string visible(std::string_view text);

// The request laid out for reading: one labelled line per member, the detail
// with its own line breaks, the context pretty-printed.
std::string describe_request(const json::Value& request);

// Asks on standard input; true for an answer starting with y or Y. Nothing
// (end of input, interruption) counts as no.
bool ask_operator(std::string_view question);

}  // namespace kelvane::demo
