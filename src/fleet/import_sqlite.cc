#include "fleet/import_sqlite.h"

#include <sys/stat.h>

#include "service/store.h"

namespace kelvane::fleet {
namespace {

std::string decimal(std::uint64_t value) {
  return std::to_string(value);
}

Result<bool, std::string> copy_request(Connection& admin, const service::RequestRecord& r,
                                       const std::string& host) {
  const bool pending = r.state == "pending";
  auto inserted = admin.exec(
      "INSERT INTO kelvane_approval.requests (id, host_name, state, title, detail, action, "
      "requester, source_host, target_host, operation_digest, context, timeout_secs, "
      "created_at, decided_at, verified_uid, verified_user, via_sudo, peer_uid, peer_gid, "
      "peer_pid, peer_name, peer_executable, needed, detail_of_verdict, rule, reused_from) "
      "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, "
      "$19, $20, $21, $22, $23, $24, $25, $26) ON CONFLICT (id) DO NOTHING RETURNING id",
      {r.id, host, pending ? "abandoned" : r.state, r.title, r.detail, r.action, r.requester,
       r.source_host, r.target_host, r.operation_digest, r.context, decimal(r.timeout_secs),
       r.created_at, pending ? std::optional<std::string>(r.created_at) : r.decided_at,
       decimal(r.verified_uid), r.verified_user, r.via_sudo ? "t" : "f", decimal(r.peer.uid),
       decimal(r.peer.gid), decimal(r.peer.pid), r.peer.name, r.peer.executable, decimal(r.needed),
       pending ? std::optional<std::string>("the service stopped while the request waited")
               : r.detail_of_verdict,
       // Closed requests only: which rule's approvers it had no longer matters.
       r.rule, r.reused_from});
  if (!inserted.ok()) return fail("request " + r.id + ": " + inserted.error().message);
  return inserted.value().count() == 1;
}

Result<void, std::string> copy_votes(Connection& admin, const service::RequestRecord& r,
                                     const std::string& host, Imported& imported) {
  for (const service::VoteRecord& vote : r.votes) {
    // A vote of a uid without a name keeps the uid as its name.
    const std::string name =
        vote.operator_name.empty() ? "uid " + decimal(vote.uid) : vote.operator_name;
    auto inserted = admin.exec(
        "INSERT INTO kelvane_approval.votes (request_id, operator_user, operator_uid, "
        "operator_host, approve, reason, at) VALUES ($1, $2, $3, $4, $5, $6, $7) "
        "ON CONFLICT DO NOTHING RETURNING 1",
        {r.id, name, decimal(vote.uid), host, vote.approve ? "t" : "f", vote.reason, vote.at});
    if (!inserted.ok()) return fail("a vote on request " + r.id + ": " + inserted.error().message);
    if (inserted.value().count() == 1) {
      ++imported.votes;
      continue;
    }
    // A second vote of one person (the votes' keys: one login name, or one
    // uid on one host), which an earlier version counted: kept aside, as
    // the upgrade to schema version 4 keeps those already in the database.
    auto aside = admin.exec(
        "INSERT INTO kelvane_approval.votes_set_aside (request_id, operator_user, operator_uid, "
        "operator_host, approve, reason, at, seq, operator_groups, set_aside_at, why) "
        "VALUES ($1, $2, $3, $4, $5, $6, $7, 0, '{}', kelvane_approval.now_text(), "
        "'a second vote of one person, in the imported record')",
        {r.id, name, decimal(vote.uid), host, vote.approve ? "t" : "f", vote.reason, vote.at});
    if (!aside.ok()) return fail("a vote on request " + r.id + ": " + aside.error().message);
    ++imported.set_aside;
  }
  return {};
}

Result<Imported, std::string> copy_all(Connection& admin,
                                       const std::vector<service::RequestRecord>& records,
                                       const std::string& host) {
  auto bound = admin.exec("SELECT 1 FROM kelvane_approval.hosts WHERE host_name = $1", {host});
  if (!bound.ok()) return fail("cannot read the hosts: " + bound.error().message);
  if (bound.value().count() == 0) {
    return fail("host \"" + host +
                "\" is not in kelvane_approval.hosts: bind it to its role first (docs/fleet.md)");
  }
  Imported imported;
  for (const service::RequestRecord& r : records) {
    auto copied = copy_request(admin, r, host);
    if (!copied.ok()) return fail(std::move(copied).error());
    if (!copied.value()) {
      ++imported.skipped;
      continue;
    }
    ++imported.requests;
    if (auto votes = copy_votes(admin, r, host, imported); !votes.ok())
      return fail(std::move(votes).error());
  }
  return imported;
}

}  // namespace

Result<Imported, std::string> import_sqlite(Connection& admin, const std::string& record,
                                            const std::string& host) {
  // The record is opened through its directory; a path that is not a
  // record file is refused rather than a new record made beside it.
  const std::size_t slash = record.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : record.substr(0, slash);
  const std::string name = slash == std::string::npos ? record : record.substr(slash + 1);
  struct stat status {};
  if (name != service::kRecordFileName || ::stat(record.c_str(), &status) != 0 ||
      !S_ISREG(status.st_mode)) {
    return fail(record + ": not a record file (the service's " +
                std::string(service::kRecordFileName) + ")");
  }
  auto store = service::Store::open(directory);
  if (!store.ok()) return fail(std::move(store).error());
  auto records = store.value()->history(std::nullopt);
  if (!records.ok()) return fail(record + ": " + records.error());

  if (auto begun = admin.exec_script("BEGIN"); !begun.ok())
    return fail("cannot begin: " + begun.error().message);
  auto imported = copy_all(admin, records.value(), host);
  if (!imported.ok()) {
    (void)admin.exec_script("ROLLBACK");
    return fail("nothing imported: " + imported.error());
  }
  if (auto committed = admin.exec_script("COMMIT"); !committed.ok())
    return fail("nothing imported: " + committed.error().message);
  return imported;
}

std::string describe(const Imported& imported, const std::string& host) {
  return "imported " + std::to_string(imported.requests) + " requests and " +
         std::to_string(imported.votes) + " votes as host " + host + " (" +
         std::to_string(imported.skipped) + " already there)" +
         (imported.set_aside == 0
              ? ""
              : "; " + std::to_string(imported.set_aside) +
                    " second votes of one person set aside in kelvane_approval.votes_set_aside");
}

}  // namespace kelvane::fleet
