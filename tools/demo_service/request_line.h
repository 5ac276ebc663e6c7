// Reading the one request line of a connection, within a size and a time
// limit for the whole line.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "service/request_limits.h"

namespace kelvane::demo {

// The limits and their texts are every service's (service/request_limits.h).
using service::kMaxRequestBytes;
using service::kRequestTimeLimit;
using service::line_problem;
using service::LineStatus;

struct RequestLine {
  LineStatus status = LineStatus::Nothing;
  std::string line;
};

// Reads up to the first line feed; bytes after it are dropped. After
// TooLong the rest of the line has been read and dropped (up to the time
// limit), so that a client still sending can finish and read the answer.
RequestLine read_request_line(int fd, std::size_t max_bytes = kMaxRequestBytes,
                              std::chrono::milliseconds time_limit = kRequestTimeLimit);

}  // namespace kelvane::demo
