// One connection of the demo service, from its request line to the answer.
#pragma once

#include <cstdint>

#include "options.h"

namespace kelvane::demo {

enum class Served {
  Request,  // a request came and was answered (or withdrawn)
  Nothing,  // the connection closed before sending a byte
};

// Reads the request, shows it, decides it (asking the operator in Ask
// mode), answers, and logs one line on standard error. `number` counts the
// requests shown so far and is advanced for this one.
Served serve_connection(int connection, Mode mode, std::uint64_t& number);

}  // namespace kelvane::demo
