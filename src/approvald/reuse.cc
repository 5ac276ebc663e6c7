#include "reuse.h"

namespace kelvane::approvald {

using namespace std::string_view_literals;

std::optional<std::string> ReuseCache::key_of(const service::RequestRecord& record,
                                              std::string_view line, std::string_view rule) {
  // The rule, the verified requester and how it asked, then what repeats.
  std::string key(rule);
  key += '\0';
  key += std::to_string(record.verified_uid);
  key += record.via_sudo ? "\0sudo\0"sv : "\0self\0"sv;
  const bool digest_from_sudo = record.via_sudo && record.peer.uid == 0;
  if (digest_from_sudo && record.operation_digest && !record.operation_digest->empty()) {
    key += "digest\0"sv;
    key += *record.operation_digest;
    return key;
  }
  if (line.empty()) return std::nullopt;
  key += "line\0"sv;
  key += line;
  return key;
}

void ReuseCache::remember(const std::string& key, Approval approval) {
  if (key.size() > kMaxBytes) return;
  auto [slot, added] = approvals_.insert_or_assign(key, std::move(approval));
  (void)slot;
  if (added) {
    bytes_ += key.size();
    order_.push_back(key);
  }
  while (bytes_ > kMaxBytes || approvals_.size() > kMaxEntries) forget_oldest();
}

void ReuseCache::forget_oldest() {
  while (!order_.empty()) {
    const std::string key = std::move(order_.front());
    order_.pop_front();
    if (approvals_.erase(key) != 0) {
      bytes_ -= key.size();
      return;
    }
  }
}

std::optional<ReuseCache::Approval> ReuseCache::find(const std::string& key,
                                                     std::chrono::seconds window,
                                                     Clock::time_point now) {
  const auto found = approvals_.find(key);
  if (found == approvals_.end()) return std::nullopt;
  if (now >= found->second.at + window) return std::nullopt;
  return found->second;
}

}  // namespace kelvane::approvald
