#include "demo_service/deadline.h"

#include <climits>

namespace kelvane::service {

Deadline Deadline::after_seconds(std::uint64_t seconds) {
  constexpr std::uint64_t kCentury = 100ULL * 366 * 24 * 3600;
  if (seconds > kCentury) return never();
  return Deadline(Clock::now() + std::chrono::seconds(static_cast<std::int64_t>(seconds)));
}

int Deadline::poll_timeout() const {
  if (!at_) return -1;
  const auto left = *at_ - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace kelvane::service
