// A point in time by which something must have happened, or none.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace kelvane::service {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  static Deadline never() { return Deadline(); }
  static Deadline after(std::chrono::milliseconds limit) { return Deadline(Clock::now() + limit); }
  // Limits too long to matter (past a century) mean no deadline, so that a
  // huge timeoutSecs cannot overflow the clock.
  static Deadline after_seconds(std::uint64_t seconds);

  bool expired() const { return at_ && Clock::now() >= *at_; }
  // For poll: -1 without a deadline, else the milliseconds left, rounded up
  // and capped at what poll takes (it is then simply called again).
  int poll_timeout() const;

 private:
  Deadline() = default;
  explicit Deadline(Clock::time_point at) : at_(at) {}
  std::optional<Clock::time_point> at_;
};

}  // namespace kelvane::service
