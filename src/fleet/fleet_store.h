// The shared record of every host's requests and votes in PostgreSQL, as one
// service sees it: its own host's requests it inserts and closes, every
// host's pending requests it reads, its own operators' votes it casts.
//
// A FleetStore is one database session, used from one thread (never the
// daemon's event loop: every call here waits on the network). For its whole
// life the session holds its host's advisory lock, so a second service
// started with the same host_name refuses to start, and when this one dies
// the server releases the lock and any other service marks its waiting
// requests abandoned (abandon_orphans).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fleet/connection.h"
#include "service/operator_protocol.h"
#include "support/result.h"
#include "token/published.h"

namespace kelvane::fleet {

struct StoreError {
  std::string message;
  // The operator (or caller) asked for something the record refuses: an
  // unknown or decided request, a self-approval, a second vote. Otherwise
  // the database failed or is unreachable.
  bool refused = false;
  bool connection_lost = false;
};

template <class T>
using StoreResult = Result<T, StoreError>;

// A request with the host it waits on and the host of each vote.
struct HostedRequest {
  std::string host_name;
  service::RequestRecord record;        // its votes in order of arrival
  std::vector<std::string> vote_hosts;  // vote_hosts[i] is record.votes[i]'s host
  // Its rule's approvers as the requesting host's configuration writes them
  // (user names, "@group"); empty when the rule names none.
  std::vector<std::string> approvers;
};

// What the voting host vouches for about its operator beyond the name.
struct Voter {
  // The operator's groups (the voting host's group database), for a rule
  // that names "@group" approvers.
  std::vector<std::string> groups;
  // Named in the voting host's own top-level approvers: what lets a vote
  // on a request whose rule names no approvers.
  bool top_level_approver = false;
};

struct VoteOutcome {
  std::string state;  // "pending", "approved" or "denied"
  std::uint64_t yes = 0;
  std::uint64_t needed = 1;
  // Every vote on the request once this one is in, in order, each with its
  // host: what the requesting host's record keeps.
  std::vector<service::VoteRecord> votes;
};

// What one host publishes for its approval tokens (its row of `hosts`).
struct HostKeys {
  std::string host_name;
  std::vector<token::PublicKey> keys;
  std::vector<token::Revocation> revoked;
  std::uint64_t token_lifetime = 0;  // the longest it signs with
  // Why the row does not read (then keys and revoked are empty): a row
  // another service wrote is checked like a published file.
  std::optional<std::string> error;
};

// What a notification on the fleet's channel says.
struct FleetEvent {
  enum class Kind { Request, Vote, Verdict, Keys };
  Kind kind = Kind::Request;
  std::string id;
  std::string host_name;
  std::string state;  // Verdict only
};
// Nullopt for a payload this program does not write.
std::optional<FleetEvent> parse_event(std::string_view payload);

class FleetStore {
 public:
  struct Timing {
    // How long to wait for the host's lock that another service's
    // abandon_orphans holds for a moment.
    int lock_wait_ms = 3000;
    // After the database server starts, every service is reconnecting:
    // for this long a free host lock does not mean its service is gone.
    int restart_grace_secs = 15;
  };

  // What a session is for: a service's own holds the host's lock; the one
  // that waits for notifications listens on the channel (a session that
  // listens must read them, or libpq keeps them all). A store used alone
  // (tests, tools) does both.
  struct Uses {
    bool hold_lock = true;
    bool listen = true;
  };

  // Connects, checks the schema version and that the role is bound to
  // `host_name`, takes the host's lock and listens on the channel (as
  // `uses` says).
  static StoreResult<std::unique_ptr<FleetStore>> open(const std::string& conninfo,
                                                       const std::string& host_name,
                                                       const Timing& timing, Uses uses);
  static StoreResult<std::unique_ptr<FleetStore>> open(const std::string& conninfo,
                                                       const std::string& host_name,
                                                       const Timing& timing) {
    return open(conninfo, host_name, timing, Uses{});
  }
  const std::string& host_name() const { return host_name_; }
  bool connected() const { return connection_->is_open(); }
  // For poll(): readable when notifications (or a lost connection) arrive.
  int socket() const { return connection_->socket(); }
  Connection& connection() { return *connection_; }

  // The first id of a block of service::kIdBlock ids no other service will use.
  StoreResult<std::uint64_t> reserve_id_block();

  // At start: this host's requests left pending by an earlier run.
  StoreResult<std::uint64_t> abandon_own_pending();
  // Other hosts whose service is gone: their pending requests abandoned.
  StoreResult<std::uint64_t> abandon_orphans();

  // This host's request: pending, or already decided by its rule (state
  // "approved" or "denied" with decided_at and detail_of_verdict), so that
  // no other host ever sees it pending. `approvers` is its rule's own list.
  StoreResult<void> insert_request(const service::RequestRecord& record,
                                   const std::vector<std::string>& approvers = {});
  // Closes this host's pending request (expired, withdrawn, refused, ...).
  // Nullopt when it closed it; otherwise the state it already had, e.g. a
  // verdict that votes on another host reached first.
  StoreResult<std::optional<std::string>> close_request(const std::string& id,
                                                        const std::string& state,
                                                        const std::string& decided_at,
                                                        const std::string& detail);
  // One of this host's operators votes; the verdict, if the vote reaches
  // one, is written in the same transaction. Refused (not recorded) when
  // the requesting host's rule does not let this voter decide.
  StoreResult<VoteOutcome> vote(const std::string& id, const service::VoteRecord& vote,
                                const Voter& voter);

  // Every host's pending requests, oldest first.
  StoreResult<std::vector<HostedRequest>> pending();
  StoreResult<std::optional<HostedRequest>> find(const std::string& id);
  // The requests among `ids` (in one snapshot, one read for a burst of
  // notifications); ids the database does not hold are left out.
  StoreResult<std::vector<HostedRequest>> find_many(const std::vector<std::string>& ids);
  // Deletes this host's closed requests created before `before`.
  StoreResult<std::uint64_t> prune(const std::string& before);

  // This host's token keys, revocations and longest lifetime, in its row.
  StoreResult<void> publish_keys(const std::vector<token::PublicKey>& keys,
                                 const std::vector<token::Revocation>& revoked,
                                 std::uint64_t token_lifetime);
  // Every host's row, this one's included.
  StoreResult<std::vector<HostKeys>> host_keys();

  // Notifications that arrived, without waiting.
  StoreResult<std::vector<FleetEvent>> events();

 private:
  FleetStore(std::unique_ptr<Connection> connection, std::string host_name)
      : connection_(std::move(connection)), host_name_(std::move(host_name)) {}
  StoreResult<std::vector<HostedRequest>> select_requests(const std::string& where,
                                                          const std::vector<Param>& params);

  std::unique_ptr<Connection> connection_;
  std::string host_name_;
  int restart_grace_ = 15;
};

}  // namespace kelvane::fleet
