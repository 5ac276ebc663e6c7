// The operators' protocol: one compact JSON object per line each way, the
// same code on both ends (the daemon and kelvane-operator-approvals).
//
// The command sends one request line and reads one answer line. After
// "watch" the daemon also pushes event lines, and answers to votes sent on
// that connection come back among them marked "reply":true.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/result.h"

namespace kelvane::service {

// The longest operator line the daemon reads, without its line feed.
inline constexpr std::size_t kMaxOperatorLine = 64 * 1024;

// Answer status of a refusal: what was asked is not allowed or not possible
// (unknown or decided id, not an approver, self-approval).
inline constexpr int kOperatorRefused = 1;
// Answer status of a line the daemon could not read as a request.
inline constexpr int kOperatorBadLine = 2;

enum class OperatorOp {
  List,
  Show,
  Vote,
  History,
  Status,
  Cancel,
  Watch,
  // Approval tokens: {"op":"rotate-key"} (root), {"op":"revoke","id":"17"}
  // (approvers; an approved request's token).
  RotateKey,
  Revoke,
};

std::string_view op_name(OperatorOp op);

struct OperatorRequest {
  OperatorOp op = OperatorOp::Status;
  std::string id;                      // show, vote, cancel: decimal text
  bool approve = false;                // vote
  std::optional<std::string> reason;   // vote
  std::optional<std::int64_t> since;   // history: Unix seconds
  std::optional<std::uint64_t> limit;  // history: the newest this many, at least 1
  // vote, signed (docs/signed-votes.md): the operator's SSH signature of the
  // vote message (armored or its base64 blob), and the time it names, which
  // the daemon cannot know. Both or neither.
  std::optional<std::string> signature = std::nullopt;
  std::optional<std::int64_t> signed_at = std::nullopt;
};

// The line, with its line feed.
std::string encode_operator_request(const OperatorRequest& request);
// One line without its line feed. Unknown or repeated members, members the
// op does not take, missing ones and wrong types are refused with the reason
// (the daemon answers it with status kOperatorBadLine).
Result<OperatorRequest, std::string> decode_operator_request(std::string_view line);

// Kernel facts about the requesting process. uid and gid are the kernel's;
// name and executable are what the process says of itself and may change.
struct PeerRecord {
  std::uint64_t uid = 0;
  std::uint64_t gid = 0;
  std::uint64_t pid = 0;
  std::string name;
  std::string executable;

  bool operator==(const PeerRecord&) const = default;
};

struct VoteRecord {
  std::string operator_name;  // the operator's user name ("" if none)
  std::uint64_t uid = 0;
  bool approve = false;
  std::optional<std::string> reason;
  std::string at;  // RFC 3339 UTC
  // The fleet: the host whose service took the vote (the shared database
  // vouches for it, as for a request's host). Absent on a single service.
  std::optional<std::string> host;
  // A signed vote: the signature as the operator sent it, its key's
  // fingerprint ("SHA256:..."), and the time the signed message names.
  std::optional<std::string> signature = std::nullopt;
  std::optional<std::string> key_fingerprint = std::nullopt;
  std::optional<std::int64_t> signed_at = std::nullopt;

  bool operator==(const VoteRecord&) const = default;
};

// A request as operators see it ("R").
struct RequestRecord {
  std::string id;
  std::string state;
  std::string title;
  std::string detail;
  std::string action;
  std::string requester;
  std::string source_host;
  std::string target_host;
  std::optional<std::string> operation_digest;
  std::optional<std::string> context;  // compact JSON text of the value
  std::uint64_t timeout_secs = 0;
  std::string created_at;                 // RFC 3339 UTC
  std::optional<std::string> decided_at;  // absent while pending
  std::uint64_t verified_uid = 0;
  std::string verified_user;  // "" when the uid has no name
  bool via_sudo = false;
  PeerRecord peer;
  std::vector<VoteRecord> votes;
  std::uint64_t needed = 1;
  std::optional<std::string> detail_of_verdict;  // absent while pending
  // The policy rule that decided the request or asked for it (absent when
  // no rule matched), and for an approval reused under the rule's
  // reuse_for, the id of the request whose votes it repeats.
  std::optional<std::string> rule;
  std::optional<std::string> reused_from;

  // The fleet (store = "postgresql"): the host whose service the request
  // waits on, as the shared database vouches for it (row-level security
  // lets each service write only its own host's requests). Absent on a
  // single service.
  std::optional<std::string> host;

  bool operator==(const RequestRecord&) const = default;
};

// Appends R's compact JSON, members in byte order, no line feed.
void append_request_record(std::string& out, const RequestRecord& record);

// One answer line. Which members are present says what it answers:
// requests (list), records (history), request (show), state with votes and
// needed (vote), state alone (cancel), version and the counts (status).
struct OperatorAnswer {
  bool ok = true;
  int status = 0;      // when !ok: kOperatorRefused or kOperatorBadLine
  std::string error;   // when !ok
  bool reply = false;  // an answer among the events of a watch connection
  std::optional<std::vector<RequestRecord>> requests;
  std::optional<std::vector<RequestRecord>> records;
  std::optional<RequestRecord> request;
  std::optional<std::string> state;
  std::optional<std::uint64_t> votes;
  std::optional<std::uint64_t> needed;
  std::optional<std::string> version;
  std::optional<std::uint64_t> uptime_secs;
  std::optional<std::uint64_t> pending;
  std::optional<std::uint64_t> record_bytes;
  // status, besides: the pending requests by verified user (user name, or
  // the uid in decimal when it has none), when the oldest of them was made,
  // when the record last committed and when it was last backed up (RFC 3339
  // UTC; absent when never since the daemon started, or never at all).
  std::optional<std::map<std::string, std::uint64_t>> pending_by_user;
  std::optional<std::string> oldest_pending;
  std::optional<std::string> last_commit;
  std::optional<std::string> last_backup;
  // rotate-key: the new signing key's id.
  std::optional<std::string> kid;
  // show: the host this service stands for (a vote it takes is cast from
  // that host, and a request without "host" is that host's), and whether it
  // checks signed votes (it has operator_keys).
  std::optional<std::string> service_host = std::nullopt;
  std::optional<bool> signed_votes = std::nullopt;
};

OperatorAnswer refused_answer(int status, std::string error);

// An event pushed to a watch connection.
struct OperatorEvent {
  enum class Kind { Pending, Closed };
  Kind kind = Kind::Pending;
  std::optional<RequestRecord> request;  // Pending
  std::string id;                        // Closed
  std::string state;                     // Closed: the state it closed in
};

// Each with its line feed.
std::string encode_answer(const OperatorAnswer& answer);
std::string encode_event(const OperatorEvent& event);
// The pending event of one record, written straight from it.
std::string encode_pending_event(const RequestRecord& record);
// The same from R's text as append_request_record wrote it: the daemon
// keeps that text of each waiting request and writes its events from it.
std::string encode_pending_event_of(std::string_view record_json);

// An answer that lists records (list: "requests", history: "records"),
// written a record at a time, from records or R's kept text, so that a list
// of thousands is never a vector of copies: the bytes encode_answer writes
// for the same answer.
class RecordListAnswer {
 public:
  enum class Member { Requests, Records };
  RecordListAnswer(Member member, bool reply) noexcept : member_(member), reply_(reply) {}

  // The answer's start, then each record, then its end with the line feed.
  void open(std::string& out) const;
  void add(std::string& out, const RequestRecord& record);
  void add_text(std::string& out, std::string_view record_json);
  void close(std::string& out) const;

 private:
  Member member_;
  bool reply_;
  bool first_ = true;
};

using DaemonLine = std::variant<OperatorAnswer, OperatorEvent>;

// One line from the daemon, without its line feed: an answer (it has "ok")
// or an event (it has "event"). Members this code does not know are skipped,
// so that a newer daemon can add some.
Result<DaemonLine, std::string> decode_daemon_line(std::string_view line);

}  // namespace kelvane::service
