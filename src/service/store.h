// The durable record of requests, votes and verdicts: one SQLite file in the
// state directory, written in WAL mode with synchronous=FULL, so that what a
// committed transaction holds survives a crash of the process or the machine.
//
// A Store is used from one thread at a time (the daemon's commit thread; a
// store opened for reading, by the thread that answers reads).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/operator_protocol.h"
#include "support/result.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kelvane::service {

// The schema this code writes and reads, in PRAGMA user_version.
// Version 2 added the policy rule and the reused approval to requests,
// version 3 each vote's host (the fleet), version 4 a signed vote's
// signature, key fingerprint and signing time; an older file is upgraded in
// place when opened.
inline constexpr int kSchemaVersion = 4;
inline constexpr std::string_view kRecordFileName = "record.sqlite3";

class Store {
 public:
  // Opens (creating if need be) `directory`/record.sqlite3. Refuses a file
  // with a newer or unknown schema rather than guess at it.
  static Result<std::unique_ptr<Store>, std::string> open(const std::string& directory);
  // The same for a record file named in full (a restore prepares one).
  static Result<std::unique_ptr<Store>, std::string> open_file(const std::string& path);
  // A read-only connection to the record file at `path`, made by open():
  // in WAL mode its reads take no lock a writer holds, so they neither wait
  // for the commits nor hold them up.
  static Result<std::unique_ptr<Store>, std::string> open_for_reading(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& path() const { return path_; }

  // Transactions: the commit thread puts a group of writes in one.
  Result<void, std::string> begin();
  Result<void, std::string> commit();
  void rollback();
  // One part of a transaction that is undone alone when it fails: the
  // commit thread runs each job of a group in one, so that a job that fails
  // half-way leaves none of its writes in the group's commit.
  Result<void, std::string> begin_part();
  Result<void, std::string> end_part();
  void undo_part();
  // synchronous, as the connection has it: 2 is FULL.
  Result<std::uint64_t, std::string> synchronous_level();

  // Stops this connection from copying the write-ahead log back into the
  // database after its commits (SQLite does so every 1000 pages by
  // default); another connection does it with checkpoint(). wal_pages()
  // then says how long the log has grown.
  void leave_checkpoints_to_others();
  int wal_pages() const { return wal_pages_; }
  // Copies what it can of the log back without holding up writers.
  Result<void, std::string> checkpoint();

  // Takes `count` request ids that no earlier run has taken, durably, and
  // returns the first. Ids are this record's node number (random, chosen when
  // the file was made, so that records of different hosts do not collide) in
  // the high bits and a sequence that never goes back in the low ones.
  Result<std::uint64_t, std::string> reserve_ids(std::uint64_t count);

  // At start: requests left pending by an earlier run become "abandoned".
  Result<std::uint64_t, std::string> abandon_pending(std::string_view now);
  // Deletes requests (and their votes) created before `before`.
  Result<std::uint64_t, std::string> prune(std::string_view before);

  // Connections refused at accept (over a cap) have no row each: they are
  // counted per owner and minute ("2026-12-08T04:21Z"), and the counts added
  // here to the table refused_at_accept.
  struct AcceptRefusalCount {
    std::string minute;
    std::uint64_t uid = 0;
    std::uint64_t user_namespace = 0;  // 0, or the namespace that is an owner of its own
    std::uint64_t count = 0;
  };
  Result<void, std::string> add_accept_refusals(const std::vector<AcceptRefusalCount>& counts);
  // The counts kept, oldest minute first.
  Result<std::vector<AcceptRefusalCount>, std::string> accept_refusals();

  // R's members as they stand; votes are written with add_vote.
  Result<void, std::string> insert_request(const RequestRecord& record);
  Result<void, std::string> add_vote(std::string_view id, const VoteRecord& vote);
  Result<void, std::string> close_request(std::string_view id, std::string_view state,
                                          std::string_view decided_at, std::string_view detail);

  // Every request created at or after `since` (RFC 3339), oldest first, with
  // its votes.
  Result<std::vector<RequestRecord>, std::string> history(std::optional<std::string> since);
  // A place in the history's order (created_at, then id).
  struct HistoryPlace {
    std::string created_at;
    std::uint64_t id = 0;
  };
  // Up to `count` requests at or after `from`, in that order, with their
  // votes: a page of a history read in pages, so that nobody holds it whole.
  Result<std::vector<RequestRecord>, std::string> history_page(const HistoryPlace& from,
                                                               std::size_t count);
  // Where the `n` newest requests created at or after `since` start; nullopt
  // when there are fewer than `n`.
  Result<std::optional<HistoryPlace>, std::string> newest_start(const std::string& since,
                                                                std::uint64_t n);

  // One request by id.
  Result<std::optional<RequestRecord>, std::string> find(std::string_view id);

  // "ok", or what PRAGMA integrity_check found.
  Result<std::string, std::string> integrity_check();
  // How many of this record's requests have an id at or past its id
  // sequence (ids that a later reservation would hand out again); 0 in a
  // sound record.
  Result<std::uint64_t, std::string> ids_past_sequence();
  // Copies the whole record, as one consistent snapshot (the writer goes
  // on meanwhile), into a new SQLite file at `path` in rollback-journal
  // mode, so that the copy is one self-contained file.
  Result<void, std::string> copy_to(const std::string& path);
  // After a restore: the record takes a new node number, never one it had
  // before, and remembers the old one, so that no id the lost newer part
  // of the record handed out is handed out again. Returns the new node.
  Result<std::uint64_t, std::string> take_new_node();
  // The bytes of the file and its write-ahead log.
  std::uint64_t file_bytes() const;

 private:
  Store(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  Result<void, std::string> exec(const char* sql);
  Result<void, std::string> create_or_check_schema();
  Result<void, std::string> upgrade_from(std::uint64_t version);
  std::string error_text(std::string_view what) const;
  // The statement of `sql` (a literal: kept by its address), prepared once
  // for the life of the store: the writes of every commit use them.
  sqlite3_stmt* kept(const char* sql);
  // Appends the votes on `record` (found by its id), in the order cast.
  Result<void, std::string> read_votes(RequestRecord& record);

  sqlite3* db_;
  std::string path_;
  int wal_pages_ = 0;
  std::map<const char*, sqlite3_stmt*> kept_;
};

}  // namespace kelvane::service
