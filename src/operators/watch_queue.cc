#include "operators/watch_queue.h"

#include <algorithm>

namespace kelvane::operators {

void WatchQueue::arrived(service::RequestRecord request) {
  if (done_.count(request.id) != 0) return;
  if (!queued_.insert(request.id).second) return;
  // The decoder may leave room to spare behind the context's text; a
  // console can hold thousands of waiting requests.
  if (request.context) request.context->shrink_to_fit();
  queue_.push_back(std::move(request));
}

bool WatchQueue::closed(const std::string& id) {
  // Ids are never reused: once closed, nothing of it needs keeping.
  done_.erase(id);
  return remove(id);
}

bool WatchQueue::remove(const std::string& id) {
  if (queued_.erase(id) == 0) return false;
  const auto it = std::find_if(queue_.begin(), queue_.end(),
                               [&](const service::RequestRecord& r) { return r.id == id; });
  const bool was_shown = it == queue_.begin();
  queue_.erase(it);
  return was_shown;
}

bool WatchQueue::done_with(const std::string& id) {
  const bool was_shown = remove(id);
  done_.insert(id);
  return was_shown;
}

void WatchQueue::skip_shown() {
  if (queue_.size() < 2) return;
  queue_.push_back(std::move(queue_.front()));
  queue_.pop_front();
}

}  // namespace kelvane::operators
