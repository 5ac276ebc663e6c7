// The loop's deadlines, earliest first, each under a key: a connection's
// (its key) or one of the loop's own tasks. The owner of a timer keeps its
// time, so that moving or dropping it needs no search.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>

namespace kelvane::approvald {

class TimerSet {
 public:
  using Clock = std::chrono::steady_clock;
  using Held = std::optional<Clock::time_point>;

  // Moves the timer of `key`, whose time its owner holds in `held`, to `at`
  // (nullopt: no timer).
  void arm(std::uint64_t key, Held& held, Held at) {
    if (held) by_time_.erase({*held, key});
    held = at;
    if (at) by_time_.insert({*at, key});
  }
  // The earliest time of all, if any.
  Held next() const {
    if (by_time_.empty()) return std::nullopt;
    return by_time_.begin()->first;
  }
  // The key of a timer due at `now`, taken out of the set; its owner clears
  // what it holds. Nullopt when none is due.
  std::optional<std::uint64_t> take_due(Clock::time_point now) {
    if (by_time_.empty() || by_time_.begin()->first > now) return std::nullopt;
    const std::uint64_t key = by_time_.begin()->second;
    by_time_.erase(by_time_.begin());
    return key;
  }

 private:
  std::set<std::pair<Clock::time_point, std::uint64_t>> by_time_;
};

}  // namespace kelvane::approvald
