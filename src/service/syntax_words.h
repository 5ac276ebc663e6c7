// The words both sockets use for the common ways a request line's JSON
// fails: the operator socket says what the request socket says.
#pragma once

#include <optional>
#include <string_view>

#include "json/json.h"

namespace kelvane::service {

// "expected ',' or '}'" and the like, or nullopt for a failure that keeps
// the JSON reader's own words.
std::optional<std::string_view> syntax_words(json::ErrorCode code);

}  // namespace kelvane::service
