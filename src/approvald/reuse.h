// Approvals that an ask rule's reuse_for lets stand for a repeat of the same
// operation by the same verified requester, without asking again.
//
// "The same operation" only where the service can trust it: a request from
// sudo (root peer verified as running sudo) with the operation digest the
// plugin computed inside sudo, or any request whose whole request line is,
// byte for byte, the one approved. A digest that a requester merely declared
// says nothing about what it will do, so it is never a key.
//
// Kept in memory: after a restart every request is asked again.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "service/operator_protocol.h"

namespace kelvane::approvald {

class ReuseCache {
 public:
  using Clock = std::chrono::steady_clock;

  struct Approval {
    std::string id;  // the request the operators approved
    std::vector<service::VoteRecord> votes;
    Clock::time_point at;  // when it was approved
  };

  // The key of `record` under `rule`, whose request line was `line`
  // (empty if not kept), or nullopt when nothing about it can be trusted
  // to repeat.
  static std::optional<std::string> key_of(const service::RequestRecord& record,
                                           std::string_view line, std::string_view rule);

  // Remembers an approval; the oldest are forgotten past the bounds.
  void remember(const std::string& key, Approval approval);

  // The approval under `key` if it was made less than `window` before `now`.
  std::optional<Approval> find(const std::string& key, std::chrono::seconds window,
                               Clock::time_point now);

  std::size_t size() const { return approvals_.size(); }

  // Bounds on what is kept (a request line may be large).
  static constexpr std::size_t kMaxBytes = std::size_t{32} << 20;
  static constexpr std::size_t kMaxEntries = 65536;

 private:
  void forget_oldest();

  std::unordered_map<std::string, Approval> approvals_;
  std::deque<std::string> order_;  // keys, oldest first (may name forgotten ones)
  std::size_t bytes_ = 0;
};

}  // namespace kelvane::approvald
