#include "fleet/connection.h"

#include <charconv>

namespace kelvane::fleet {
namespace {

std::string first_line(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  const std::size_t end = text.find('\n');
  return std::string(end == std::string_view::npos ? text : text.substr(0, end));
}

}  // namespace

std::string Rows::text(int row, int column) const {
  const char* value = PQgetvalue(result_.get(), row, column);
  return std::string(value, static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
}

std::optional<std::string> Rows::optional_text(int row, int column) const {
  if (is_null(row, column)) return std::nullopt;
  return text(row, column);
}

std::uint64_t Rows::number(int row, int column) const {
  const std::string value = text(row, column);
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  return error == std::errc() && end == value.data() + value.size() ? number : 0;
}

std::optional<int> bounded_connect_timeout(const std::string& conninfo, std::string& why) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &message);
  if (options == nullptr) {
    why = message ? first_line(message) : "the connection string cannot be read";
    PQfreemem(message);
    return std::nullopt;
  }
  int timeout = kDefaultConnectTimeout;
  for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (std::string_view(option->keyword) != "connect_timeout" || option->val == nullptr) continue;
    const std::string_view value = option->val;
    int named = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), named);
    // libpq takes 0 (or nothing) as "wait for ever": never here.
    if (error == std::errc() && end == value.data() + value.size() && named > 0)
      timeout = std::min(named, kMaxConnectTimeout);
  }
  PQconninfoFree(options);
  return timeout;
}

Result<std::unique_ptr<Connection>, DbError> Connection::open(const std::string& conninfo) {
  std::string why;
  const std::optional<int> timeout = bounded_connect_timeout(conninfo, why);
  if (!timeout) return fail(DbError{why, "", false});
  const std::string timeout_text = std::to_string(*timeout);
  // The string is expanded first; the later connect_timeout overrides what
  // it said, and the application name marks our sessions in pg_stat_activity.
  const char* keywords[] = {"dbname", "connect_timeout", "application_name", nullptr};
  const char* values[] = {conninfo.c_str(), timeout_text.c_str(), "kelvane-operator-approvald",
                          nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (conn == nullptr) return fail(DbError{"out of memory", "", true});
  if (PQstatus(conn) != CONNECTION_OK) {
    DbError error{first_line(PQerrorMessage(conn)), "", true};
    PQfinish(conn);
    return fail(std::move(error));
  }
  // The server's notices (a warning about a transaction, say) are not
  // ours to print on the service's standard error.
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  return std::unique_ptr<Connection>(new Connection(conn));
}

Connection::~Connection() {
  PQfinish(conn_);
}

DbError Connection::error_of(const PGresult* result) const {
  DbError error;
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  if (state != nullptr) error.sqlstate = state;
  const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  error.message = first_line(primary != nullptr ? primary : PQerrorMessage(conn_));
  if (error.message.empty()) error.message = "the database did not answer";
  error.connection_lost = PQstatus(conn_) != CONNECTION_OK;
  return error;
}

Result<Rows, DbError> Connection::exec(std::string_view sql, const std::vector<Param>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const Param& param : params) values.push_back(param ? param->c_str() : nullptr);
  const std::string text(sql);
  PGresult* result = PQexecParams(conn_, text.c_str(), static_cast<int>(params.size()), nullptr,
                                  values.data(), nullptr, nullptr, 0);
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    DbError error = error_of(result);
    PQclear(result);
    return fail(std::move(error));
  }
  return Rows(result);
}

Result<void, DbError> Connection::exec_script(std::string_view sql) {
  const std::string text(sql);
  PGresult* result = PQexec(conn_, text.c_str());
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    DbError error = error_of(result);
    PQclear(result);
    return fail(std::move(error));
  }
  PQclear(result);
  return {};
}

Result<std::vector<Connection::Notice>, DbError> Connection::take_notifications() {
  if (PQconsumeInput(conn_) == 0) return fail(DbError{first_line(PQerrorMessage(conn_)), "", true});
  std::vector<Notice> notices;
  while (PGnotify* notify = PQnotifies(conn_)) {
    notices.push_back({notify->relname, notify->extra});
    PQfreemem(notify);
  }
  return notices;
}

}  // namespace kelvane::fleet
