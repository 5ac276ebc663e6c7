// The limits on a requester's one request line, shared by every approval
// service, and the invalid_request detail that names a limit broken.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace kelvane::service {

// The longest request line taken, without its line feed, and the time a
// client has to send all of it. A local client writes its line at once; a
// line that is neither finished nor abandoned by then is not coming.
inline constexpr std::size_t kMaxRequestBytes = 1 << 20;
inline constexpr std::chrono::seconds kRequestTimeLimit{10};

// How reading a request line ended.
enum class LineStatus {
  Complete,    // the request is there, without its line feed
  Nothing,     // closed before sending a byte (a probe, or a change of mind)
  Unfinished,  // closed, or failed, after some bytes but before the line feed
  TooLong,     // more than kMaxRequestBytes before the line feed
  TimedOut,    // the line feed did not come within kRequestTimeLimit
  Stopped,     // the service is stopping
};

// The invalid_request detail for a status other than Complete and Nothing
// (for those: empty).
std::string line_problem(LineStatus status, std::size_t max_bytes = kMaxRequestBytes,
                         std::chrono::milliseconds time_limit = kRequestTimeLimit);

}  // namespace kelvane::service
