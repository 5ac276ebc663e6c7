// One libpq connection and the few ways this program talks over it:
// statements with text parameters, results read as text, errors as values
// that keep the server's SQLSTATE (a row-level security refusal is
// explained). Nothing is retried here: votes on one request take turns
// under kelvane_approval.lock_request instead of failing to serialize, and
// a lost session is the caller's to open again (FleetLink::reconnect_now).
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace kelvane::fleet {

// The longest a connection attempt may take, whatever the connection
// string says: a new request waits on it.
inline constexpr int kMaxConnectTimeout = 10;
inline constexpr int kDefaultConnectTimeout = 5;

struct DbError {
  std::string message;   // one line, the server's primary message
  std::string sqlstate;  // "" when the error is not the server's
  bool connection_lost = false;
};

using Param = std::optional<std::string>;  // nullopt is SQL NULL

class Rows {
 public:
  explicit Rows(PGresult* result) : result_(result, &PQclear) {}
  int count() const { return PQntuples(result_.get()); }
  bool is_null(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
  std::string text(int row, int column) const;
  std::optional<std::string> optional_text(int row, int column) const;
  std::uint64_t number(int row, int column) const;  // 0 when not a number
  bool boolean(int row, int column) const { return text(row, column) == "t"; }

 private:
  std::unique_ptr<PGresult, decltype(&PQclear)> result_;
};

class Connection {
 public:
  // Connects with `conninfo`, its connect_timeout bounded by
  // kMaxConnectTimeout (kDefaultConnectTimeout when it names none).
  static Result<std::unique_ptr<Connection>, DbError> open(const std::string& conninfo);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // One statement (several without parameters when `params` is empty and
  // `several` is set); the rows it returns.
  Result<Rows, DbError> exec(std::string_view sql, const std::vector<Param>& params = {});
  Result<void, DbError> exec_script(std::string_view sql);

  bool is_open() const { return PQstatus(conn_) == CONNECTION_OK; }
  int socket() const { return PQsocket(conn_); }
  PGconn* raw() { return conn_; }

  // Notifications the server sent: channel and payload. Reads what has
  // arrived on the socket without waiting.
  struct Notice {
    std::string channel;
    std::string payload;
  };
  Result<std::vector<Notice>, DbError> take_notifications();

 private:
  explicit Connection(PGconn* conn) : conn_(conn) {}
  DbError error_of(const PGresult* result) const;
  PGconn* conn_;
};

// The connect_timeout to use for `conninfo`: its own, bounded, or the
// default. Nullopt when libpq cannot parse the string (the message in `why`).
std::optional<int> bounded_connect_timeout(const std::string& conninfo, std::string& why);

}  // namespace kelvane::fleet
