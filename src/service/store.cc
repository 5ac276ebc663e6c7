#include "service/store.h"

#include "service/safe_paths.h"

#include <sqlite3.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace kelvane::service {
namespace {

// The node number takes the bits above the sequence; both stay within a
// positive SQLite integer.
constexpr int kSequenceBits = 39;
constexpr std::uint64_t kNodeMask = (std::uint64_t{1} << 20) - 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE meta (
  key TEXT PRIMARY KEY,
  value INTEGER NOT NULL
);
CREATE TABLE requests (
  id INTEGER PRIMARY KEY,
  state TEXT NOT NULL,
  title TEXT NOT NULL,
  detail TEXT NOT NULL,
  action TEXT NOT NULL,
  requester TEXT NOT NULL,
  source_host TEXT NOT NULL,
  target_host TEXT NOT NULL,
  operation_digest TEXT,
  context TEXT,
  timeout_secs INTEGER NOT NULL,
  created_at TEXT NOT NULL,
  decided_at TEXT,
  verified_uid INTEGER NOT NULL,
  verified_user TEXT NOT NULL,
  via_sudo INTEGER NOT NULL,
  peer_uid INTEGER NOT NULL,
  peer_gid INTEGER NOT NULL,
  peer_pid INTEGER NOT NULL,
  peer_name TEXT NOT NULL,
  peer_executable TEXT NOT NULL,
  needed INTEGER NOT NULL,
  detail_of_verdict TEXT,
  rule TEXT,
  reused_from INTEGER
);
CREATE INDEX requests_by_creation ON requests (created_at);
CREATE INDEX requests_by_state ON requests (state);
CREATE TABLE votes (
  request_id INTEGER NOT NULL REFERENCES requests (id) ON DELETE CASCADE,
  operator TEXT NOT NULL,
  uid INTEGER NOT NULL,
  approve INTEGER NOT NULL,
  reason TEXT,
  at TEXT NOT NULL,
  host TEXT,
  signature TEXT,
  key_fingerprint TEXT,
  signed_at INTEGER
);
CREATE INDEX votes_by_request ON votes (request_id);
)sql";

// Version 1 to 2: the policy rule that decided or asked, and the approval a
// reuse repeats. Old rows have neither.
constexpr const char* kUpgradeTo2 = R"sql(
ALTER TABLE requests ADD COLUMN rule TEXT;
ALTER TABLE requests ADD COLUMN reused_from INTEGER;
PRAGMA user_version=2;
)sql";

// Version 2 to 3: the host of each vote, so that a fleet service's record
// says where each vote on its requests was cast. Old rows (and a single
// service's) have none.
constexpr const char* kUpgradeTo3 = R"sql(
ALTER TABLE votes ADD COLUMN host TEXT;
PRAGMA user_version=3;
)sql";

// Version 3 to 4: a signed vote's signature, its key's fingerprint and the
// time the signed message names, so that the record can be checked later.
// Old rows are unsigned votes.
constexpr const char* kUpgradeTo4 = R"sql(
ALTER TABLE votes ADD COLUMN signature TEXT;
ALTER TABLE votes ADD COLUMN key_fingerprint TEXT;
ALTER TABLE votes ADD COLUMN signed_at INTEGER;
PRAGMA user_version=4;
)sql";

// Added beside schema version 2 without changing it: a file without it is
// given it when opened for writing, and a program that does not know it
// leaves it alone.
constexpr const char* kAcceptRefusalsTable = R"sql(
CREATE TABLE IF NOT EXISTS refused_at_accept (
  minute TEXT NOT NULL,
  uid INTEGER NOT NULL,
  user_namespace INTEGER NOT NULL,
  count INTEGER NOT NULL,
  PRIMARY KEY (minute, uid, user_namespace)
);
)sql";

// One prepared statement, finalised with its owner.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  // One of the store's kept statements: reset, not finalised, at the end.
  explicit Statement(sqlite3_stmt* kept) : stmt_(kept), kept_(true) {}
  ~Statement() {
    if (!kept_) {
      sqlite3_finalize(stmt_);
    } else if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& text(int index, std::string_view value) {
    if (stmt_)
      sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                        SQLITE_TRANSIENT);
    return *this;
  }
  Statement& optional_text(int index, const std::optional<std::string>& value) {
    if (!value) {
      if (stmt_) sqlite3_bind_null(stmt_, index);
      return *this;
    }
    return text(index, *value);
  }
  Statement& optional_signed(int index, const std::optional<std::int64_t>& value) {
    if (stmt_ && value) sqlite3_bind_int64(stmt_, index, *value);
    if (stmt_ && !value) sqlite3_bind_null(stmt_, index);
    return *this;
  }
  Statement& integer(int index, std::uint64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, index, static_cast<sqlite3_int64>(value));
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }

  std::string column_text(int index) const {
    const auto* bytes = sqlite3_column_text(stmt_, index);
    return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index)))
                 : std::string();
  }
  std::optional<std::int64_t> column_optional_signed(int index) const {
    if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(stmt_, index);
  }
  std::optional<std::string> column_optional_text(int index) const {
    if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return std::nullopt;
    return column_text(index);
  }
  std::uint64_t column_integer(int index) const {
    return static_cast<std::uint64_t>(sqlite3_column_int64(stmt_, index));
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool kept_ = false;
};

std::uint64_t random_node() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) bits = 0;
  return bits & kNodeMask;
}

std::uint64_t parse_id(std::string_view id) {
  std::uint64_t value = 0;
  for (const char c : id) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

// A vote's columns from `first` on: operator, uid, approve, reason, at,
// host, signature, key_fingerprint, signed_at.
VoteRecord read_vote_row(const Statement& row, int first) {
  VoteRecord vote;
  vote.operator_name = row.column_text(first);
  vote.uid = row.column_integer(first + 1);
  vote.approve = row.column_integer(first + 2) != 0;
  vote.reason = row.column_optional_text(first + 3);
  vote.at = row.column_text(first + 4);
  vote.host = row.column_optional_text(first + 5);
  vote.signature = row.column_optional_text(first + 6);
  vote.key_fingerprint = row.column_optional_text(first + 7);
  vote.signed_at = row.column_optional_signed(first + 8);
  return vote;
}

constexpr const char* kSelectRequest =
    "SELECT id, state, title, detail, action, requester, source_host, target_host, "
    "operation_digest, context, timeout_secs, created_at, decided_at, verified_uid, "
    "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, peer_executable, "
    "needed, detail_of_verdict, rule, reused_from FROM requests ";

RequestRecord read_request_row(const Statement& row) {
  RequestRecord r;
  r.id = std::to_string(row.column_integer(0));
  r.state = row.column_text(1);
  r.title = row.column_text(2);
  r.detail = row.column_text(3);
  r.action = row.column_text(4);
  r.requester = row.column_text(5);
  r.source_host = row.column_text(6);
  r.target_host = row.column_text(7);
  r.operation_digest = row.column_optional_text(8);
  r.context = row.column_optional_text(9);
  r.timeout_secs = row.column_integer(10);
  r.created_at = row.column_text(11);
  r.decided_at = row.column_optional_text(12);
  r.verified_uid = row.column_integer(13);
  r.verified_user = row.column_text(14);
  r.via_sudo = row.column_integer(15) != 0;
  r.peer = {row.column_integer(16), row.column_integer(17), row.column_integer(18),
            row.column_text(19), row.column_text(20)};
  r.needed = row.column_integer(21);
  r.detail_of_verdict = row.column_optional_text(22);
  r.rule = row.column_optional_text(23);
  r.reused_from = row.column_optional_text(24);
  return r;
}

}  // namespace

Result<std::unique_ptr<Store>, std::string> Store::open(const std::string& directory) {
  return open_file(directory + "/" + std::string(kRecordFileName));
}

Result<std::unique_ptr<Store>, std::string> Store::open_file(const std::string& path) {
  // The record holds what requesters wrote (a detail may hold a secret):
  // readable by its owner only, whatever the umask and the folder's mode.
  // SQLite gives the log and the shared-memory file the record's mode.
  for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
    if (auto made = make_private_file(file, 0600, file == path); !made.ok())
      return fail(path + ": cannot open the record (" + made.error() + ")");
  }
  sqlite3* db = nullptr;
  const int opened = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
      nullptr);
  std::unique_ptr<Store> store(new Store(db, path));
  if (opened != SQLITE_OK) return fail(store->error_text("cannot open the record"));
  sqlite3_busy_timeout(db, 5000);
  sqlite3_extended_result_codes(db, 1);
  for (const char* pragma :
       {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON"}) {
    if (auto done = store->exec(pragma); !done.ok()) return fail(std::move(done).error());
  }
  if (auto schema = store->create_or_check_schema(); !schema.ok())
    return fail(std::move(schema).error());
  if (auto counts = store->exec(kAcceptRefusalsTable); !counts.ok())
    return fail(std::move(counts).error());
  return store;
}

Result<std::unique_ptr<Store>, std::string> Store::open_for_reading(const std::string& path) {
  sqlite3* db = nullptr;
  const int opened =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE, nullptr);
  std::unique_ptr<Store> store(new Store(db, path));
  if (opened != SQLITE_OK) return fail(store->error_text("cannot open the record for reading"));
  // Readers wait only while a writer recovers or resets the log.
  sqlite3_busy_timeout(db, 5000);
  sqlite3_extended_result_codes(db, 1);
  Statement version(db, "PRAGMA user_version");
  if (version.step() != SQLITE_ROW)
    return fail(store->error_text("cannot read the schema version"));
  if (version.column_integer(0) != static_cast<std::uint64_t>(kSchemaVersion))
    return fail(path + ": the record's schema version is not the one this program knows");
  return store;
}

Store::~Store() {
  for (const auto& [sql, statement] : kept_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

sqlite3_stmt* Store::kept(const char* sql) {
  const auto found = kept_.find(sql);
  if (found != kept_.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
    return nullptr;
  kept_.emplace(sql, statement);
  return statement;
}

std::string Store::error_text(std::string_view what) const {
  return path_ + ": " + std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
}

Result<void, std::string> Store::exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = path_ + ": " + (message ? message : sqlite3_errmsg(db_));
    sqlite3_free(message);
    return fail(std::move(text));
  }
  return {};
}

Result<void, std::string> Store::create_or_check_schema() {
  Statement version(db_, "PRAGMA user_version");
  if (version.step() != SQLITE_ROW) return fail(error_text("cannot read the schema version"));
  const std::uint64_t found = version.column_integer(0);
  if (found == static_cast<std::uint64_t>(kSchemaVersion)) return {};
  if (found >= 1 && found <= 3) return upgrade_from(found);
  if (found != 0) {
    return fail(path_ + ": the record has schema version " + std::to_string(found) +
                ", this program knows version " + std::to_string(kSchemaVersion));
  }
  Statement tables(db_, "SELECT count(*) FROM sqlite_master");
  if (tables.step() != SQLITE_ROW || tables.column_integer(0) != 0)
    return fail(path_ + ": the file holds tables but no schema version; not a record of ours");
  if (auto b = begin(); !b.ok()) return b;
  if (auto made = exec(kSchema); !made.ok()) {
    rollback();
    return made;
  }
  Statement node(db_, "INSERT INTO meta (key, value) VALUES ('node', ?1), ('next_sequence', 1)");
  node.integer(1, random_node());
  if (node.step() != SQLITE_DONE) {
    rollback();
    return fail(error_text("cannot write the schema"));
  }
  if (auto v = exec("PRAGMA user_version=4"); !v.ok()) {
    rollback();
    return v;
  }
  return commit();
}

Result<void, std::string> Store::upgrade_from(std::uint64_t version) {
  if (auto b = begin(); !b.ok()) return b;
  // Each step in turn, all in one transaction.
  for (const char* step :
       {version < 2 ? kUpgradeTo2 : nullptr, version < 3 ? kUpgradeTo3 : nullptr, kUpgradeTo4}) {
    if (step == nullptr) continue;
    if (auto upgraded = exec(step); !upgraded.ok()) {
      rollback();
      return fail(path_ + ": cannot upgrade the record from schema version " +
                  std::to_string(version) + ": " + upgraded.error());
    }
  }
  return commit();
}

Result<void, std::string> Store::begin() {
  // A record removed or replaced under the running service would take the
  // commits into a file that no later start opens: what they hold would be
  // lost. None is made; a restart opens whatever is at the path.
  int moved = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved != 0)
    return fail(path_ + ": the record file was removed or replaced; restart the service");
  return exec("BEGIN IMMEDIATE");
}

Result<void, std::string> Store::commit() {
  return exec("COMMIT");
}

void Store::rollback() {
  (void)exec("ROLLBACK");
}

Result<void, std::string> Store::begin_part() {
  return exec("SAVEPOINT part");
}

Result<void, std::string> Store::end_part() {
  return exec("RELEASE part");
}

void Store::undo_part() {
  // Rolled back to its start, then ended: the transaction goes on without it.
  (void)exec("ROLLBACK TO part");
  (void)exec("RELEASE part");
}

Result<std::uint64_t, std::string> Store::synchronous_level() {
  Statement level(db_, "PRAGMA synchronous");
  if (level.step() != SQLITE_ROW) return fail(error_text("cannot read synchronous"));
  return level.column_integer(0);
}

void Store::leave_checkpoints_to_others() {
  // Replaces SQLite's own hook, which is what checkpoints after commits.
  sqlite3_wal_hook(
      db_,
      [](void* self, sqlite3*, const char*, int pages) {
        static_cast<Store*>(self)->wal_pages_ = pages;
        return SQLITE_OK;
      },
      this);
}

Result<void, std::string> Store::checkpoint() {
  if (sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) !=
      SQLITE_OK)
    return fail(error_text("cannot checkpoint the write-ahead log"));
  return {};
}

Result<std::uint64_t, std::string> Store::reserve_ids(std::uint64_t count) {
  Statement read(db_,
                 "SELECT (SELECT value FROM meta WHERE key = 'node'),"
                 " (SELECT value FROM meta WHERE key = 'next_sequence')");
  if (read.step() != SQLITE_ROW) return fail(error_text("cannot read the id sequence"));
  const std::uint64_t node = read.column_integer(0) & kNodeMask;
  const std::uint64_t next = read.column_integer(1);
  if (next + count >= (std::uint64_t{1} << kSequenceBits))
    return fail(path_ + ": the request ids of this record are used up");
  Statement write(db_, "UPDATE meta SET value = ?1 WHERE key = 'next_sequence'");
  write.integer(1, next + count);
  if (write.step() != SQLITE_DONE) return fail(error_text("cannot write the id sequence"));
  return (node << kSequenceBits) | next;
}

Result<std::uint64_t, std::string> Store::abandon_pending(std::string_view now) {
  // The detail says only what the record knows: a verdict the record could
  // not take was still sent (a refusal), and leaves its row pending too.
  Statement update(db_,
                   "UPDATE requests SET state = 'abandoned', decided_at = ?1, detail_of_verdict ="
                   " 'the service stopped before a verdict was recorded' WHERE state = 'pending'");
  update.text(1, now);
  if (update.step() != SQLITE_DONE) return fail(error_text("cannot mark abandoned requests"));
  return static_cast<std::uint64_t>(sqlite3_changes(db_));
}

Result<std::uint64_t, std::string> Store::prune(std::string_view before) {
  Statement erase(db_, "DELETE FROM requests WHERE created_at < ?1 AND state <> 'pending'");
  erase.text(1, before);
  if (erase.step() != SQLITE_DONE) return fail(error_text("cannot prune the record"));
  const auto pruned = static_cast<std::uint64_t>(sqlite3_changes(db_));
  // Minutes ("...T04:21Z") sort with the times of the same day.
  Statement counts(db_, "DELETE FROM refused_at_accept WHERE minute < ?1");
  counts.text(1, before);
  if (counts.step() != SQLITE_DONE) return fail(error_text("cannot prune the record"));
  return pruned;
}

Result<void, std::string> Store::add_accept_refusals(
    const std::vector<AcceptRefusalCount>& counts) {
  for (const AcceptRefusalCount& c : counts) {
    Statement add(
        kept("INSERT INTO refused_at_accept (minute, uid, user_namespace, count)"
             " VALUES (?1, ?2, ?3, ?4) ON CONFLICT (minute, uid, user_namespace)"
             " DO UPDATE SET count = count + excluded.count"));
    add.text(1, c.minute).integer(2, c.uid).integer(3, c.user_namespace).integer(4, c.count);
    if (add.step() != SQLITE_DONE) return fail(error_text("cannot count refused connections"));
  }
  return {};
}

Result<std::vector<Store::AcceptRefusalCount>, std::string> Store::accept_refusals() {
  Statement select(db_,
                   "SELECT minute, uid, user_namespace, count FROM refused_at_accept"
                   " ORDER BY minute, uid, user_namespace");
  std::vector<AcceptRefusalCount> counts;
  int step = 0;
  while ((step = select.step()) == SQLITE_ROW)
    counts.push_back({select.column_text(0), select.column_integer(1), select.column_integer(2),
                      select.column_integer(3)});
  if (step != SQLITE_DONE) return fail(error_text("cannot read the record"));
  return counts;
}

Result<void, std::string> Store::insert_request(const RequestRecord& r) {
  Statement insert(
      kept("INSERT INTO requests (id, state, title, detail, action, requester, source_host,"
           " target_host, operation_digest, context, timeout_secs, created_at, decided_at,"
           " verified_uid, verified_user, via_sudo, peer_uid, peer_gid, peer_pid,"
           " peer_name, peer_executable, needed, detail_of_verdict, rule, reused_from)"
           " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16,"
           " ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25)"));
  insert.integer(1, parse_id(r.id))
      .text(2, r.state)
      .text(3, r.title)
      .text(4, r.detail)
      .text(5, r.action)
      .text(6, r.requester)
      .text(7, r.source_host)
      .text(8, r.target_host)
      .optional_text(9, r.operation_digest)
      .optional_text(10, r.context)
      .integer(11, r.timeout_secs)
      .text(12, r.created_at)
      .optional_text(13, r.decided_at)
      .integer(14, r.verified_uid)
      .text(15, r.verified_user)
      .integer(16, r.via_sudo ? 1 : 0)
      .integer(17, r.peer.uid)
      .integer(18, r.peer.gid)
      .integer(19, r.peer.pid)
      .text(20, r.peer.name)
      .text(21, r.peer.executable)
      .integer(22, r.needed)
      .optional_text(23, r.detail_of_verdict)
      .optional_text(24, r.rule);
  if (r.reused_from)
    insert.integer(25, parse_id(*r.reused_from));
  else
    insert.optional_text(25, std::nullopt);
  if (insert.step() != SQLITE_DONE) return fail(error_text("cannot record request " + r.id));
  return {};
}

Result<void, std::string> Store::add_vote(std::string_view id, const VoteRecord& vote) {
  Statement insert(
      kept("INSERT INTO votes (request_id, operator, uid, approve, reason, at, host, signature,"
           " key_fingerprint, signed_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"));
  insert.integer(1, parse_id(id))
      .text(2, vote.operator_name)
      .integer(3, vote.uid)
      .integer(4, vote.approve ? 1 : 0)
      .optional_text(5, vote.reason)
      .text(6, vote.at)
      .optional_text(7, vote.host)
      .optional_text(8, vote.signature)
      .optional_text(9, vote.key_fingerprint)
      .optional_signed(10, vote.signed_at);
  if (insert.step() != SQLITE_DONE)
    return fail(error_text("cannot record a vote on request " + std::string(id)));
  return {};
}

Result<void, std::string> Store::close_request(std::string_view id, std::string_view state,
                                               std::string_view decided_at,
                                               std::string_view detail) {
  Statement update(kept(
      "UPDATE requests SET state = ?2, decided_at = ?3, detail_of_verdict = ?4 WHERE id = ?1"));
  update.integer(1, parse_id(id)).text(2, state).text(3, decided_at).text(4, detail);
  if (update.step() != SQLITE_DONE || sqlite3_changes(db_) != 1)
    return fail(error_text("cannot record the verdict of request " + std::string(id)));
  return {};
}

Result<std::vector<RequestRecord>, std::string> Store::history(std::optional<std::string> since) {
  Statement select(
      db_,
      (std::string(kSelectRequest) + "WHERE created_at >= ?1 ORDER BY created_at, id").c_str());
  select.text(1, since.value_or(""));
  std::vector<RequestRecord> records;
  int step = 0;
  while ((step = select.step()) == SQLITE_ROW) records.push_back(read_request_row(select));
  if (step != SQLITE_DONE) return fail(error_text("cannot read the record"));
  Statement votes(db_,
                  "SELECT v.request_id, v.operator, v.uid, v.approve, v.reason, v.at, v.host,"
                  " v.signature, v.key_fingerprint, v.signed_at FROM votes v"
                  " JOIN requests r ON r.id = v.request_id WHERE r.created_at >= ?1"
                  " ORDER BY v.rowid");
  votes.text(1, since.value_or(""));
  // Requests come in creation order, which is not id order across restarts
  // of the clock; look each vote's request up by id.
  std::vector<std::pair<std::uint64_t, std::size_t>> by_id;
  by_id.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) by_id.emplace_back(parse_id(records[i].id), i);
  std::sort(by_id.begin(), by_id.end());
  while ((step = votes.step()) == SQLITE_ROW) {
    const std::uint64_t id = votes.column_integer(0);
    const auto found =
        std::lower_bound(by_id.begin(), by_id.end(), std::make_pair(id, std::size_t{0}));
    if (found == by_id.end() || found->first != id) continue;
    records[found->second].votes.push_back(read_vote_row(votes, 1));
  }
  if (step != SQLITE_DONE) return fail(error_text("cannot read the votes"));
  return records;
}

Result<std::vector<RequestRecord>, std::string> Store::history_page(const HistoryPlace& from,
                                                                    std::size_t count) {
  Statement select(
      kept("SELECT id, state, title, detail, action, requester, source_host, target_host, "
           "operation_digest, context, timeout_secs, created_at, decided_at, verified_uid, "
           "verified_user, via_sudo, peer_uid, peer_gid, peer_pid, peer_name, peer_executable, "
           "needed, detail_of_verdict, rule, reused_from FROM requests "
           // The index on created_at (with the rowid, which is id) gives the
           // range and the order: no page reads or sorts the rows before it.
           "WHERE created_at >= ?1 AND (created_at > ?1 OR id >= ?2) ORDER BY created_at, id"
           " LIMIT ?3"));
  select.text(1, from.created_at).integer(2, from.id).integer(3, count);
  std::vector<RequestRecord> records;
  int step = 0;
  while ((step = select.step()) == SQLITE_ROW) records.push_back(read_request_row(select));
  if (step != SQLITE_DONE) return fail(error_text("cannot read the record"));
  for (RequestRecord& record : records) {
    if (auto read = read_votes(record); !read.ok()) return fail(std::move(read).error());
  }
  return records;
}

Result<void, std::string> Store::read_votes(RequestRecord& record) {
  Statement votes(
      kept("SELECT operator, uid, approve, reason, at, host, signature, key_fingerprint, signed_at"
           " FROM votes WHERE request_id = ?1 ORDER BY rowid"));
  votes.integer(1, parse_id(record.id));
  int step = 0;
  while ((step = votes.step()) == SQLITE_ROW) record.votes.push_back(read_vote_row(votes, 0));
  if (step != SQLITE_DONE) return fail(error_text("cannot read the votes"));
  return {};
}

Result<std::optional<Store::HistoryPlace>, std::string> Store::newest_start(
    const std::string& since, std::uint64_t n) {
  Statement select(db_,
                   "SELECT created_at, id FROM requests WHERE created_at >= ?1"
                   " ORDER BY created_at DESC, id DESC LIMIT 1 OFFSET ?2");
  select.text(1, since).integer(2, n == 0 ? 0 : n - 1);
  const int step = select.step();
  if (step == SQLITE_DONE) return std::optional<HistoryPlace>();
  if (step != SQLITE_ROW) return fail(error_text("cannot read the record"));
  return std::optional<HistoryPlace>(HistoryPlace{select.column_text(0), select.column_integer(1)});
}

Result<std::optional<RequestRecord>, std::string> Store::find(std::string_view id) {
  Statement select(db_, (std::string(kSelectRequest) + "WHERE id = ?1").c_str());
  select.integer(1, parse_id(id));
  const int step = select.step();
  if (step == SQLITE_DONE) return std::optional<RequestRecord>();
  if (step != SQLITE_ROW) return fail(error_text("cannot read the record"));
  RequestRecord record = read_request_row(select);
  if (auto read = read_votes(record); !read.ok()) return fail(std::move(read).error());
  return std::optional<RequestRecord>(std::move(record));
}

Result<std::string, std::string> Store::integrity_check() {
  Statement check(db_, "PRAGMA integrity_check");
  std::string found;
  int step = 0;
  while ((step = check.step()) == SQLITE_ROW) {
    if (!found.empty()) found += "; ";
    found += check.column_text(0);
  }
  if (step != SQLITE_DONE) return fail(error_text("cannot check the record"));
  return found;
}

Result<std::uint64_t, std::string> Store::ids_past_sequence() {
  Statement count(db_,
                  "SELECT count(*) FROM requests WHERE (id >> ?1) ="
                  " (SELECT value FROM meta WHERE key = 'node') AND (id & ?2) >="
                  " (SELECT value FROM meta WHERE key = 'next_sequence')");
  count.integer(1, kSequenceBits);
  count.integer(2, (std::uint64_t{1} << kSequenceBits) - 1);
  if (count.step() != SQLITE_ROW) return fail(error_text("cannot read the request ids"));
  return count.column_integer(0);
}

Result<void, std::string> Store::copy_to(const std::string& path) {
  sqlite3* copy = nullptr;
  const int opened = sqlite3_open_v2(
      path.c_str(), &copy,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
      nullptr);
  auto failed = [&](std::string_view what) {
    std::string text =
        path + ": " + std::string(what) + ": " + (copy ? sqlite3_errmsg(copy) : "out of memory");
    sqlite3_close(copy);
    return fail(std::move(text));
  };
  if (opened != SQLITE_OK) return failed("cannot create the copy");
  sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db_, "main");
  if (backup == nullptr) return failed("cannot start the copy");
  // All pages in one step: one read transaction, so one consistent state.
  const int stepped = sqlite3_backup_step(backup, -1);
  const int finished = sqlite3_backup_finish(backup);
  if (stepped != SQLITE_DONE || finished != SQLITE_OK) return failed("cannot copy the record");
  char* message = nullptr;
  if (sqlite3_exec(copy, "PRAGMA journal_mode=DELETE", nullptr, nullptr, &message) != SQLITE_OK) {
    sqlite3_free(message);
    return failed("cannot make the copy one file");
  }
  if (sqlite3_close(copy) != SQLITE_OK) return fail(path + ": cannot close the copy");
  return {};
}

Result<std::uint64_t, std::string> Store::take_new_node() {
  Statement read(db_, "SELECT value FROM meta WHERE key = 'node'");
  if (read.step() != SQLITE_ROW) return fail(error_text("cannot read the node number"));
  const std::uint64_t old_node = read.column_integer(0) & kNodeMask;
  std::uint64_t node = old_node;
  for (int tries = 0; node == old_node; ++tries) {
    if (tries == 64) return fail(path_ + ": cannot draw a new node number");
    node = random_node();
    Statement used(db_, "SELECT count(*) FROM meta WHERE key = 'retired_node' || ?1");
    used.integer(1, node);
    if (used.step() != SQLITE_ROW) return fail(error_text("cannot read the old node numbers"));
    if (used.column_integer(0) != 0) node = old_node;
  }
  Statement retire(db_,
                   "INSERT OR REPLACE INTO meta (key, value) VALUES ('retired_node' || ?1, ?1)");
  retire.integer(1, old_node);
  Statement renumber(db_, "UPDATE meta SET value = ?1 WHERE key = 'node'");
  renumber.integer(1, node);
  if (retire.step() != SQLITE_DONE || renumber.step() != SQLITE_DONE)
    return fail(error_text("cannot write the new node number"));
  return node;
}

std::uint64_t Store::file_bytes() const {
  std::uint64_t total = 0;
  for (const std::string& file : {path_, path_ + "-wal"}) {
    struct stat status {};
    if (::stat(file.c_str(), &status) == 0) total += static_cast<std::uint64_t>(status.st_size);
  }
  return total;
}

}  // namespace kelvane::service
