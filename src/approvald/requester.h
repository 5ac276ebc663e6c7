// One requester's connection, from accept to the verdict sent: its line
// reader, its send buffer, where it is in its life, and what the daemon
// knows of its request meanwhile.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "request_id.h"
#include "reuse.h"
#include "send_buffer.h"
#include "service/namespace_owner.h"
#include "service/policy.h"
#include "service/request.h"
#include "service/request_limits.h"
#include "service/store.h"
#include "service/verified_requester.h"
#include "support/file_descriptor.h"
#include "support/line_reader.h"

namespace kelvane::approvald {

using Clock = std::chrono::steady_clock;

// Where a requester's connection is. The phases are not ordered: ask what
// a phase allows (has_id, decided) rather than compare them.
class RequesterPhase {
 public:
  enum Value {
    Reading,      // the request line is coming (or the rest of a too-long one)
    Identifying,  // the lookup thread is finding out who asks
    Inserting,    // the fleet's shared database is taking the request
    Pending,      // waiting for operators
    Recording,    // the verdict is being made durable
    Sending,      // the verdict line is being sent
  };

  constexpr RequesterPhase(Value value) noexcept : value_(value) {}  // NOLINT: a phase is its value
  constexpr bool operator==(const RequesterPhase&) const = default;
  constexpr Value value() const noexcept { return value_; }

  // The request has its id and its record (an operator may ask about it).
  constexpr bool has_id() const noexcept { return value_ == Pending || decided(); }
  // The verdict is made (being recorded, or recorded and being sent).
  constexpr bool decided() const noexcept { return value_ == Recording || value_ == Sending; }

 private:
  Value value_;
};

struct Requester {
  std::uint64_t key = 0;
  FileDescriptor fd;
  service::PeerCredentials credentials;
  uid_t cap_uid = 0;               // the uid a refusal's row names
  service::Accountable cap_owner;  // whose per-user cap this connection counts against
  bool holds_place = true;         // counted there until its verdict is decided
  std::optional<service::Accountable> namespace_owner;  // when not the daemon's namespace
  RequesterPhase phase = RequesterPhase::Reading;
  LineReader reader{service::kMaxRequestBytes};  // while Reading
  service::Request request;                      // Identifying
  RequestId id{0};                               // from Identifying's end on
  service::RequestRecord record;                 // from Identifying's end on (id.text() in it)
  std::string record_json;                       // R as operators get it, while Pending
  // The request's row is committed: only then is it shown to operators
  // (listed, watched, notified), so that the record holds every request
  // an operator saw, even after a kill -9.
  bool row_durable = false;
  std::optional<Clock::time_point> deadline;
  SendBuffer out;                // the verdict line, from Recording on
  bool gone = false;             // the requester left; fd closed
  std::string token;             // approvals
  std::string token_expires_at;  // approvals
  // The fleet (fleet_glue.cc): the request is in the shared database;
  // its verdict there is settled (a local decision waits for that).
  bool in_fleet = false;
  bool fleet_settled = false;
  // Policy (policy_steps.cc): the verified user's groups, what the rules
  // made of the request, who may vote on it when its rule names its own
  // approvers, the request line while its rule may reuse an approval of
  // it, and the approval it repeats.
  std::vector<std::string> groups;
  service::PolicyOutcome policy;
  std::optional<std::vector<std::string>> approvers;
  std::string line;
  std::optional<ReuseCache::Approval> reused;
};

// A verdict sent by the commit thread the moment it is durable, on the
// thread's own duplicate of the requester's socket; what it could not send
// at once the loop sends (Requester::out skips what it took).
struct EarlySend {
  FileDescriptor fd;
  SendBuffer out;
  std::size_t taken = 0;  // written by the commit thread, read on the loop after
  // Commit thread.
  void send();
};

}  // namespace kelvane::approvald
