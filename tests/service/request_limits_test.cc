// The details sent for a request line that breaks a limit: the daemon and
// the demo send these same words.
#include "service/request_limits.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace kelvane::service {
namespace {

using namespace std::chrono_literals;

TEST(RequestLimits, ProblemsReadAsReasons) {
  struct Case {
    LineStatus status;
    std::size_t max_bytes;
    std::chrono::milliseconds time_limit;
    std::string detail;
  };
  const Case cases[] = {
      {LineStatus::TooLong, kMaxRequestBytes, kRequestTimeLimit,
       "the request line is longer than 1048576 bytes"},
      {LineStatus::TimedOut, kMaxRequestBytes, kRequestTimeLimit,
       "the request line was not complete within 10 seconds"},
      {LineStatus::Unfinished, kMaxRequestBytes, kRequestTimeLimit,
       "the request line ended without a line feed"},
      {LineStatus::Stopped, kMaxRequestBytes, kRequestTimeLimit,
       "the approval service was stopped"},
      // The figures are the limits given.
      {LineStatus::TooLong, 64, 1s, "the request line is longer than 64 bytes"},
      {LineStatus::TimedOut, 64, 2500ms, "the request line was not complete within 2 seconds"},
      // A line read, or none at all, has no problem to tell.
      {LineStatus::Complete, kMaxRequestBytes, kRequestTimeLimit, ""},
      {LineStatus::Nothing, kMaxRequestBytes, kRequestTimeLimit, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(line_problem(c.status, c.max_bytes, c.time_limit), c.detail)
        << static_cast<int>(c.status);
  }
  EXPECT_EQ(line_problem(LineStatus::TooLong), cases[0].detail);
}

}  // namespace
}  // namespace kelvane::service
