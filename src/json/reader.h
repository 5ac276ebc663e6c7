// Reading one whole JSON text into a Value.
#pragma once

#include <string_view>

#include "json/error.h"
#include "json/value.h"
#include "support/result.h"

namespace kelvane::json {

// Reads `text` (valid UTF-8) as exactly one JSON value, optionally surrounded
// by JSON white space. Arrays and objects may nest 127 deep. On failure the
// error carries the kind and the line and column where reading stopped.
Result<Value, Error> parse_value(std::string_view text);

}  // namespace kelvane::json
