#include "fleet/fleet_store.h"

#include <unordered_map>

#include "fleet/schema.h"
#include "fleet/text_array.h"
#include "service/approvers.h"
#include "service/person.h"
#include "support/quoting.h"

namespace kelvane::fleet {
namespace {

StoreError from_db(std::string what, const DbError& error) {
  return StoreError{std::move(what) + ": " + error.message, false, error.connection_lost};
}

StoreError refused(std::string message) {
  return StoreError{std::move(message), true, false};
}

std::string decimal(std::uint64_t value) {
  return std::to_string(value);
}

Param optional_param(const std::optional<std::string>& value) {
  return value;
}

constexpr const char* kRequestColumns =
    "id, host_name, state, title, detail, action, requester, source_host, target_host, "
    "operation_digest, context, timeout_secs, created_at, decided_at, verified_uid, "
    "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, peer_executable, "
    "needed, detail_of_verdict, rule, reused_from, array_to_json(approvers)::text";

HostedRequest read_request(const Rows& rows, int row) {
  HostedRequest hosted;
  service::RequestRecord& r = hosted.record;
  r.id = rows.text(row, 0);
  hosted.host_name = rows.text(row, 1);
  r.state = rows.text(row, 2);
  r.title = rows.text(row, 3);
  r.detail = rows.text(row, 4);
  r.action = rows.text(row, 5);
  r.requester = rows.text(row, 6);
  r.source_host = rows.text(row, 7);
  r.target_host = rows.text(row, 8);
  r.operation_digest = rows.optional_text(row, 9);
  r.context = rows.optional_text(row, 10);
  r.timeout_secs = rows.number(row, 11);
  r.created_at = rows.text(row, 12);
  r.decided_at = rows.optional_text(row, 13);
  r.verified_uid = rows.number(row, 14);
  r.verified_user = rows.text(row, 15);
  r.via_sudo = rows.boolean(row, 16);
  r.peer.uid = rows.number(row, 17);
  r.peer.gid = rows.number(row, 18);
  r.peer.pid = rows.number(row, 19);
  r.peer.name = rows.text(row, 20);
  r.peer.executable = rows.text(row, 21);
  r.needed = rows.number(row, 22);
  r.detail_of_verdict = rows.optional_text(row, 23);
  r.host = hosted.host_name;
  r.rule = rows.optional_text(row, 24);
  r.reused_from = rows.optional_text(row, 25);
  // The database writes this array; an unreadable one names nobody, so
  // the request's own checks still fail closed in count_votes.
  hosted.approvers = read_text_array(rows.text(row, 26)).value_or(std::vector<std::string>{});
  return hosted;
}

}  // namespace

std::optional<FleetEvent> parse_event(std::string_view payload) {
  std::vector<std::string_view> words;
  while (!payload.empty()) {
    const std::size_t space = payload.find(' ');
    words.push_back(payload.substr(0, space));
    if (space == std::string_view::npos) break;
    payload.remove_prefix(space + 1);
  }
  FleetEvent event;
  if (words.size() == 3 && words[0] == "request") {
    event.kind = FleetEvent::Kind::Request;
  } else if (words.size() == 3 && words[0] == "vote") {
    event.kind = FleetEvent::Kind::Vote;
  } else if (words.size() == 2 && words[0] == "keys") {
    event.kind = FleetEvent::Kind::Keys;
    event.host_name = words[1];
    return event;
  } else if (words.size() == 4 && words[0] == "verdict") {
    event.kind = FleetEvent::Kind::Verdict;
    event.state = words[3];
  } else {
    return std::nullopt;
  }
  event.id = words[1];
  event.host_name = words[2];
  return event;
}

StoreResult<std::unique_ptr<FleetStore>> FleetStore::open(const std::string& conninfo,
                                                          const std::string& host_name,
                                                          const Timing& timing, Uses uses) {
  auto connection = Connection::open(conninfo);
  if (!connection.ok()) return fail(from_db("cannot connect to the database", connection.error()));
  Connection& db = *connection.value();
  auto version = schema_version(db);
  if (!version.ok()) return fail(StoreError{version.error(), false, !db.is_open()});
  if (version.value() != kFleetSchemaVersion) {
    return fail(StoreError{"the database holds schema version " + std::to_string(version.value()) +
                               ", this program needs " + std::to_string(kFleetSchemaVersion) +
                               " (run kelvane-operator-approvald --migrate as its administrator)",
                           false, false});
  }
  auto bound = db.exec(
      "SELECT host_name, host_key FROM kelvane_approval.hosts WHERE role_name = current_user");
  if (!bound.ok()) return fail(from_db("cannot read the hosts", bound.error()));
  if (bound.value().count() == 0 || bound.value().text(0, 0) != host_name) {
    const std::string has =
        bound.value().count() == 0 ? "no host" : "host \"" + bound.value().text(0, 0) + "\"";
    return fail(StoreError{"the database binds this service's role to " + has + ", not to \"" +
                               host_name + "\" (see kelvane_approval.hosts)",
                           false, false});
  }
  const std::string key = bound.value().text(0, 1);
  if (!uses.hold_lock) {
    if (auto set =
            db.exec_script(uses.listen ? "SET statement_timeout = '10s'; LISTEN kelvane_approval"
                                       : "SET statement_timeout = '10s'");
        !set.ok())
      return fail(from_db("cannot listen for notifications", set.error()));
    auto store =
        std::unique_ptr<FleetStore>(new FleetStore(std::move(connection).value(), host_name));
    store->restart_grace_ = timing.restart_grace_secs;
    return store;
  }
  // Another service's abandon_orphans may hold the lock for a moment;
  // a service that runs for this host holds it for good.
  if (auto set = db.exec("SELECT set_config('lock_timeout', $1, false)",
                         {std::to_string(timing.lock_wait_ms) + "ms"});
      !set.ok())
    return fail(from_db("cannot set lock_timeout", set.error()));
  auto locked =
      db.exec("SELECT pg_advisory_lock(" + std::to_string(kHostLockClass) + ", $1)", {key});
  if (!locked.ok()) {
    if (locked.error().sqlstate == "55P03") {
      return fail(StoreError{"another service is running for host \"" + host_name +
                                 "\" (it holds the host's lock in the database)",
                             false, false});
    }
    return fail(from_db("cannot take the host's lock", locked.error()));
  }
  // No statement waits for ever: a vote waiting on another's row lock, or
  // a server that stopped answering, gives up after this.
  if (auto reset =
          db.exec_script(uses.listen ? "RESET lock_timeout; SET statement_timeout = '10s'; "
                                       "LISTEN kelvane_approval"
                                     : "RESET lock_timeout; SET statement_timeout = '10s'");
      !reset.ok())
    return fail(from_db("cannot listen for notifications", reset.error()));
  auto store =
      std::unique_ptr<FleetStore>(new FleetStore(std::move(connection).value(), host_name));
  store->restart_grace_ = timing.restart_grace_secs;
  return store;
}

StoreResult<std::uint64_t> FleetStore::reserve_id_block() {
  auto rows = connection_->exec("SELECT nextval('kelvane_approval.request_ids')");
  if (!rows.ok()) return fail(from_db("cannot reserve request ids", rows.error()));
  return rows.value().number(0, 0);
}

StoreResult<std::uint64_t> FleetStore::abandon_own_pending() {
  auto rows = connection_->exec(
      "WITH gone AS (UPDATE kelvane_approval.requests SET state = 'abandoned', "
      "decided_at = kelvane_approval.now_text(), "
      "detail_of_verdict = 'the service stopped while the request waited' "
      "WHERE host_name = $1 AND state = 'pending' RETURNING 1) SELECT count(*) FROM gone",
      {host_name_});
  if (!rows.ok()) return fail(from_db("cannot abandon this host's pending requests", rows.error()));
  return rows.value().number(0, 0);
}

StoreResult<std::uint64_t> FleetStore::abandon_orphans() {
  auto rows = connection_->exec("SELECT kelvane_approval.abandon_orphans($1)",
                                {std::to_string(restart_grace_)});
  if (!rows.ok()) return fail(from_db("cannot abandon orphaned requests", rows.error()));
  return rows.value().number(0, 0);
}

StoreResult<void> FleetStore::insert_request(const service::RequestRecord& r,
                                             const std::vector<std::string>& approvers) {
  const bool decided = r.state != "pending";
  auto rows = connection_->exec(
      "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, action, "
      "requester, source_host, target_host, operation_digest, context, timeout_secs, "
      "created_at, verified_uid, verified_user, via_sudo, peer_uid, peer_gid, peer_pid, "
      "peer_name, peer_executable, needed, rule, approvers, reused_from, decided_at, "
      "detail_of_verdict) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, "
      "$15, $16, $17, $18, $19, $20, $21, $22, $23, $24, $25, $26, $27)",
      {r.id,
       host_name_,
       r.state,
       r.title,
       r.detail,
       r.action,
       r.requester,
       r.source_host,
       r.target_host,
       optional_param(r.operation_digest),
       optional_param(r.context),
       decimal(r.timeout_secs),
       r.created_at,
       decimal(r.verified_uid),
       r.verified_user,
       r.via_sudo ? "t" : "f",
       decimal(r.peer.uid),
       decimal(r.peer.gid),
       decimal(r.peer.pid),
       r.peer.name,
       r.peer.executable,
       decimal(r.needed),
       optional_param(r.rule),
       text_array_literal(approvers),
       optional_param(r.reused_from),
       decided ? optional_param(r.decided_at) : Param(),
       decided ? optional_param(r.detail_of_verdict) : Param()});
  if (!rows.ok()) return fail(from_db("cannot record request " + r.id, rows.error()));
  return {};
}

StoreResult<std::optional<std::string>> FleetStore::close_request(const std::string& id,
                                                                  const std::string& state,
                                                                  const std::string& decided_at,
                                                                  const std::string& detail) {
  // At READ COMMITTED an UPDATE that meets a concurrent verdict waits for
  // it and then finds the row no longer pending: no second verdict.
  auto rows = connection_->exec(
      "UPDATE kelvane_approval.requests SET state = $2, decided_at = $3, detail_of_verdict = $4 "
      "WHERE id = $1 AND host_name = $5 AND state = 'pending' RETURNING id",
      {id, state, decided_at, detail, host_name_});
  if (!rows.ok()) return fail(from_db("cannot close request " + id, rows.error()));
  if (rows.value().count() == 1) return std::optional<std::string>();
  auto now = connection_->exec(
      "SELECT state FROM kelvane_approval.requests WHERE id = $1 AND host_name = $2",
      {id, host_name_});
  if (!now.ok()) return fail(from_db("cannot read request " + id, now.error()));
  if (now.value().count() == 0) return fail(refused("request " + id + " is not this host's"));
  return std::optional<std::string>(now.value().text(0, 0));
}

namespace {

bool names_voter(const std::vector<std::string>& approvers, const service::VoteRecord& vote,
                 const Voter& voter) {
  return service::names_person(approvers, vote.operator_name, voter.groups);
}

// The operator's groups the approvers name: all the database needs to know.
std::vector<std::string> named_groups(const std::vector<std::string>& approvers,
                                      const Voter& voter) {
  std::vector<std::string> named;
  for (const std::string& group : voter.groups) {
    for (const std::string& entry : approvers) {
      if (entry.starts_with('@') && entry.compare(1, std::string::npos, group) == 0) {
        named.push_back(group);
        break;
      }
    }
  }
  return named;
}

service::VoteRecord read_vote(const Rows& rows, int row, int first) {
  return service::VoteRecord{rows.text(row, first),        rows.number(row, first + 1),
                             rows.boolean(row, first + 2), rows.optional_text(row, first + 3),
                             rows.text(row, first + 4),    rows.text(row, first + 5)};
}

constexpr const char* kVoteColumns =
    "v.operator_user, v.operator_uid, v.approve, v.reason, v.at, v.operator_host";

// Who asked for request `id` and who voted on it so far, in order: what
// service::not_one_more_vote judges a voter by.
Result<service::RequestRecord, DbError> votes_so_far(Connection& db, const std::string& id) {
  auto request = db.exec(
      "SELECT host_name, verified_user, verified_uid FROM kelvane_approval.requests "
      "WHERE id = $1",
      {id});
  if (!request.ok()) return fail(std::move(request).error());
  service::RequestRecord record;
  record.id = id;
  if (request.value().count() == 1) {
    record.host = request.value().text(0, 0);
    record.verified_user = request.value().text(0, 1);
    record.verified_uid = request.value().number(0, 2);
  }
  auto votes = db.exec(std::string("SELECT ") + kVoteColumns +
                           " FROM kelvane_approval.votes v WHERE v.request_id = $1 ORDER BY v.seq",
                       {id});
  if (!votes.ok()) return fail(std::move(votes).error());
  for (int row = 0; row < votes.value().count(); ++row)
    record.votes.push_back(read_vote(votes.value(), row, 0));
  return record;
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

StoreResult<VoteOutcome> FleetStore::vote(const std::string& id, const service::VoteRecord& vote,
                                          const Voter& voter) {
  if (auto begun = connection_->exec_script("BEGIN"); !begun.ok())
    return fail(from_db("cannot vote", begun.error()));
  auto undo = [&](StoreError error) {
    (void)connection_->exec_script("ROLLBACK");
    return fail(std::move(error));
  };
  // Votes on one request take turns from here to the commit (see
  // lock_request); at READ COMMITTED each later statement then sees every
  // vote committed before this one, and the verdict if there is one.
  auto request = connection_->exec("SELECT * FROM kelvane_approval.lock_request($1)", {id});
  if (!request.ok()) return undo(from_db("cannot vote on request " + id, request.error()));
  const Rows& r = request.value();
  if (r.count() == 0 || r.is_null(0, 0)) return undo(refused("no request " + id));
  if (r.text(0, 1) != "pending")
    return undo(refused("request " + id + " is already " + r.text(0, 1)));
  // One person, one vote, and none on their own request: the rule of
  // service::same_person, which the database holds too (the votes' keys
  // and the insert policy refuse the same whatever a service sends);
  // checked here first for a clear message.
  auto so_far = votes_so_far(*connection_, id);
  if (!so_far.ok()) return undo(from_db("cannot vote on request " + id, so_far.error()));
  if (auto refusal = service::not_one_more_vote(
          so_far.value(), service::Person{host_name_, vote.operator_name, vote.uid}))
    return undo(refused(std::move(*refusal)));
  // The requesting host's rule decides whose votes count. The insert's
  // row-level check and count_votes hold the same line whatever a service
  // sends; checked here first for a clear message.
  auto named = connection_->exec(
      "SELECT rule, array_to_json(approvers)::text FROM kelvane_approval.requests WHERE id = $1",
      {id});
  if (!named.ok()) return undo(from_db("cannot vote on request " + id, named.error()));
  const std::optional<std::string> rule = named.value().optional_text(0, 0);
  const auto approvers = read_text_array(named.value().text(0, 1));
  if (!approvers)
    return undo(StoreError{"request " + id + " has unreadable approvers", false, false});
  const std::string rule_text = rule ? "its rule " + quoted(*rule) : "its rule";
  if (!approvers->empty() && !names_voter(*approvers, vote, voter)) {
    return undo(refused("you are not an approver of request " + id + ": " + rule_text +
                        " on host " + r.text(0, 0) + " names who decides (" + listed(*approvers) +
                        "); the vote is not taken"));
  }
  if (approvers->empty() && !voter.top_level_approver) {
    return undo(refused("you are not an approver of request " + id +
                        " (approvers in this host's configuration); the vote is not taken"));
  }
  auto inserted = connection_->exec(
      "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
      "operator_host, approve, reason, at, operator_groups) "
      "VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
      {id, vote.operator_name, decimal(vote.uid), host_name_, vote.approve ? "t" : "f",
       optional_param(vote.reason), vote.at, text_array_literal(named_groups(*approvers, voter))});
  if (!inserted.ok()) {
    const DbError& error = inserted.error();
    if (error.sqlstate == "23505")
      return undo(refused("you have already voted on request " + id +
                          " (through another host or under another name): one person, one vote"));
    if (error.sqlstate == "42501")
      return undo(
          refused("the database refuses this vote on request " + id + ": " + error.message));
    return undo(from_db("cannot vote on request " + id, error));
  }
  // The yes votes that count are counted_votes' (the same as count_votes').
  auto counted = connection_->exec(
      "SELECT kelvane_approval.count_votes($1), (SELECT count(DISTINCT operator_user) FILTER "
      "(WHERE approve) FROM kelvane_approval.counted_votes($1))",
      {id});
  if (!counted.ok())
    return undo(from_db("cannot count the votes on request " + id, counted.error()));
  // Every vote now on the request, this one included, for the requesting
  // host's record.
  auto after = votes_so_far(*connection_, id);
  if (!after.ok()) return undo(from_db("cannot read the votes on request " + id, after.error()));
  if (auto committed = connection_->exec_script("COMMIT"); !committed.ok())
    return fail(from_db("cannot vote on request " + id, committed.error()));
  return VoteOutcome{counted.value().text(0, 0), counted.value().number(0, 1), r.number(0, 3),
                     std::move(after.value().votes)};
}

StoreResult<std::vector<HostedRequest>> FleetStore::select_requests(
    const std::string& where, const std::vector<Param>& params) {
  // One snapshot for the requests and their votes.
  if (auto begun = connection_->exec_script("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
      !begun.ok())
    return fail(from_db("cannot read the requests", begun.error()));
  auto requests = connection_->exec(std::string("SELECT ") + kRequestColumns +
                                        " FROM kelvane_approval.requests r WHERE " + where +
                                        " ORDER BY created_at, id",
                                    params);
  auto votes =
      requests.ok()
          ? connection_->exec(std::string("SELECT v.request_id, ") + kVoteColumns +
                                  " FROM kelvane_approval.votes v "
                                  "JOIN kelvane_approval.requests r ON r.id = v.request_id WHERE " +
                                  where + " ORDER BY v.seq",
                              params)
          : Result<Rows, DbError>(fail(requests.error()));
  (void)connection_->exec_script("COMMIT");
  if (!votes.ok()) return fail(from_db("cannot read the requests", votes.error()));
  std::vector<HostedRequest> out;
  std::unordered_map<std::string, std::size_t> index;
  for (int row = 0; row < requests.value().count(); ++row) {
    out.push_back(read_request(requests.value(), row));
    index.emplace(out.back().record.id, out.size() - 1);
  }
  const Rows& v = votes.value();
  for (int row = 0; row < v.count(); ++row) {
    const auto at = index.find(v.text(row, 0));
    if (at == index.end()) continue;
    HostedRequest& hosted = out[at->second];
    hosted.record.votes.push_back(read_vote(v, row, 1));
    hosted.vote_hosts.push_back(*hosted.record.votes.back().host);
  }
  return out;
}

StoreResult<std::vector<HostedRequest>> FleetStore::pending() {
  return select_requests("r.state = 'pending'", {});
}

StoreResult<std::optional<HostedRequest>> FleetStore::find(const std::string& id) {
  auto found = select_requests("r.id = $1", {id});
  if (!found.ok()) return fail(std::move(found).error());
  if (found.value().empty()) return std::optional<HostedRequest>();
  return std::optional<HostedRequest>(std::move(found.value().front()));
}

StoreResult<std::vector<HostedRequest>> FleetStore::find_many(const std::vector<std::string>& ids) {
  if (ids.empty()) return std::vector<HostedRequest>();
  return select_requests("r.id = ANY($1::text[])", {text_array_literal(ids)});
}

StoreResult<std::uint64_t> FleetStore::prune(const std::string& before) {
  auto rows = connection_->exec(
      "WITH gone AS (DELETE FROM kelvane_approval.requests WHERE host_name = $1 AND "
      "state <> 'pending' AND created_at < $2 RETURNING 1) SELECT count(*) FROM gone",
      {host_name_, before});
  if (!rows.ok()) return fail(from_db("cannot prune the record", rows.error()));
  return rows.value().number(0, 0);
}

StoreResult<void> FleetStore::publish_keys(const std::vector<token::PublicKey>& keys,
                                           const std::vector<token::Revocation>& revoked,
                                           std::uint64_t token_lifetime) {
  // Each element one entry as the published files write it; the arrays go
  // as JSON and are split by the server.
  std::string key_entries;
  token::append_key_entries(key_entries, keys);
  std::string revoked_entries;
  token::append_revocation_entries(revoked_entries, revoked);
  auto rows = connection_->exec(
      "UPDATE kelvane_approval.hosts SET "
      "public_keys = ARRAY(SELECT e::text FROM json_array_elements($1::json) e), "
      "revoked = ARRAY(SELECT e::text FROM json_array_elements($2::json) e), "
      "token_lifetime = $3 WHERE host_name = $4 AND role_name = current_user RETURNING 1",
      {key_entries, revoked_entries, decimal(token_lifetime), host_name_});
  if (!rows.ok()) return fail(from_db("cannot publish this host's token keys", rows.error()));
  if (rows.value().count() != 1)
    return fail(refused("the database does not let this service publish host " + host_name_ +
                        "'s token keys"));
  return {};
}

StoreResult<std::vector<HostKeys>> FleetStore::host_keys() {
  auto rows = connection_->exec(
      "SELECT host_name, '[' || array_to_string(public_keys, ',') || ']', "
      "'[' || array_to_string(revoked, ',') || ']', token_lifetime "
      "FROM kelvane_approval.hosts ORDER BY host_name");
  if (!rows.ok()) return fail(from_db("cannot read the hosts' token keys", rows.error()));
  std::vector<HostKeys> out;
  for (int row = 0; row < rows.value().count(); ++row) {
    HostKeys host;
    host.host_name = rows.value().text(row, 0);
    host.token_lifetime = rows.value().number(row, 3);
    auto keys = token::read_public_keys(R"({"keys":)" + rows.value().text(row, 1) + "}");
    auto revoked = token::read_revocations(R"({"revoked":)" + rows.value().text(row, 2) + "}");
    if (keys.ok() && revoked.ok()) {
      host.keys = std::move(keys).value();
      host.revoked = std::move(revoked).value();
    } else {
      host.error = keys.ok() ? revoked.error() : keys.error();
    }
    out.push_back(std::move(host));
  }
  return out;
}

StoreResult<std::vector<FleetEvent>> FleetStore::events() {
  auto notices = connection_->take_notifications();
  if (!notices.ok()) return fail(from_db("lost the database connection", notices.error()));
  std::vector<FleetEvent> out;
  for (const Connection::Notice& notice : notices.value()) {
    if (notice.channel != kChannel) continue;
    if (auto event = parse_event(notice.payload)) out.push_back(std::move(*event));
  }
  return out;
}

}  // namespace kelvane::fleet
