// Reading the one request line of a connection, within a size and a time
// limit for the whole line.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace kelvane::demo {

// The longest request line taken, without its line feed, and the time a
// client has to send all of it. A local client writes its line at once; a
// line that is neither finished nor abandoned by then is not coming.
inline constexpr std::size_t kMaxRequestBytes = 1 << 20;
inline constexpr std::chrono::seconds kRequestTimeLimit{10};

enum class LineStatus {
  Complete,    // `line` holds the request, without its line feed
  Nothing,     // closed before sending a byte (a probe, or a change of mind)
  Unfinished,  // closed, or failed, after some bytes but before the line feed
  TooLong,     // more than kMaxRequestBytes before the line feed
  TimedOut,    // the line feed did not come within kRequestTimeLimit
  Stopped,     // the service is stopping
};

struct RequestLine {
  LineStatus status = LineStatus::Nothing;
  std::string line;
};

// Reads up to the first line feed; bytes after it are dropped. After
// TooLong the rest of the line has been read and dropped (up to the time
// limit), so that a client still sending can finish and read the answer.
RequestLine read_request_line(int fd, std::size_t max_bytes = kMaxRequestBytes,
                              std::chrono::milliseconds time_limit = kRequestTimeLimit);

// The invalid_request detail for a status other than Complete and Nothing.
std::string line_problem(LineStatus status, std::size_t max_bytes = kMaxRequestBytes,
                         std::chrono::milliseconds time_limit = kRequestTimeLimit);

}  // namespace kelvane::demo
