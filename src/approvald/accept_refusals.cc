#include "accept_refusals.h"

#include "support/utc_time.h"

namespace kelvane::approvald {

std::string AcceptRefusals::minute_of(std::time_t when) {
  // "YYYY-MM-DDTHH:MM:SSZ" without its seconds.
  const std::string full = utc_text(when);
  return full.substr(0, 16) + "Z";
}

bool AcceptRefusals::count(const service::Accountable& owner, std::time_t now) {
  Key key{minute_of(now), owner};
  ++unwritten_[key];
  return ++minute_totals_[std::move(key)] == 1;
}

std::vector<service::Store::AcceptRefusalCount> AcceptRefusals::take_unwritten() {
  std::vector<service::Store::AcceptRefusalCount> counts;
  counts.reserve(unwritten_.size());
  for (const auto& [key, n] : unwritten_)
    counts.push_back({key.first, key.second.uid, key.second.namespace_inode, n});
  unwritten_.clear();
  return counts;
}

std::vector<std::string> AcceptRefusals::close_minutes(std::time_t now) {
  const std::string current = minute_of(now);
  std::vector<std::string> lines;
  for (auto it = minute_totals_.begin(); it != minute_totals_.end() && it->first.first < current;
       it = minute_totals_.erase(it)) {
    if (it->second > 1)
      lines.push_back(std::to_string(it->second - 1) + " more connections of " +
                      service::describe(it->first.second) + " refused at accept in minute " +
                      it->first.first + " (not logged one by one)");
  }
  return lines;
}

}  // namespace kelvane::approvald
