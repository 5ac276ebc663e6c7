// The requests a `watch` console asks about, in order of arrival. The one
// shown is always the oldest not yet dealt with; a request that arrives
// meanwhile waits its turn behind it and never takes its place.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <set>
#include <string>

#include "service/operator_protocol.h"

namespace kelvane::operators {

class WatchQueue {
 public:
  // A request that started to wait. A second announcement of a request
  // already queued, or one this console has already dealt with, changes
  // nothing.
  void arrived(service::RequestRecord request);

  // A request that stopped waiting. True when it was the one shown.
  bool closed(const std::string& id);

  // The request is dealt with by this console (voted on, or its vote
  // refused): it is not asked again. Named by id, not as "the shown one",
  // since what is shown may have changed since the vote went out. True when
  // it was the one shown.
  bool done_with(const std::string& id);

  // The shown request goes behind the others.
  void skip_shown();

  const service::RequestRecord* shown() const noexcept {
    return queue_.empty() ? nullptr : &queue_.front();
  }
  // Requests waiting behind the shown one.
  std::size_t waiting() const noexcept { return queue_.empty() ? 0 : queue_.size() - 1; }

 private:
  bool remove(const std::string& id);

  std::deque<service::RequestRecord> queue_;
  std::set<std::string> queued_;  // the ids in queue_
  std::set<std::string> done_;
};

}  // namespace kelvane::operators
