// One connection of the demo service, from its request line to the answer.
#pragma once

#include <cstdint>

#include "options.h"

namespace kelvane::demo {

enum class Served {
  Request,  // a request came and was answered (or withdrawn)
  Nothing,  // the connection closed before sending a byte
};

// What one connection leaves for the next.
struct Session {
  std::uint64_t number = 0;  // requests shown so far
  // The last question went away without the operator's answer (withdrawn,
  // timed out): keys typed as the next one appears were meant for it.
  bool last_question_unanswered = false;
};

// Reads the request, shows it, decides it (asking the operator in Ask
// mode), answers, and logs one line on standard error. The session's
// number is advanced for this request.
Served serve_connection(int connection, Mode mode, Session& session);

}  // namespace kelvane::demo
