#include "service/request_limits.h"

namespace kelvane::service {

std::string line_problem(LineStatus status, std::size_t max_bytes,
                         std::chrono::milliseconds time_limit) {
  switch (status) {
    case LineStatus::Unfinished:
      return "the request line ended without a line feed";
    case LineStatus::TooLong:
      return "the request line is longer than " + std::to_string(max_bytes) + " bytes";
    case LineStatus::TimedOut:
      return "the request line was not complete within " +
             std::to_string(time_limit.count() / 1000) + " seconds";
    case LineStatus::Stopped:
      return "the approval service was stopped";
    case LineStatus::Complete:
    case LineStatus::Nothing:
      break;
  }
  return {};
}

}  // namespace kelvane::service
