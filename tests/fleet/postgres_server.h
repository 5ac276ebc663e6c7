// A real PostgreSQL server for the fleet's tests: a cluster made with
// initdb in a directory of its own, run with pg_ctl, listening only on a
// Unix-domain socket in that directory (no TCP port).
//
// initdb refuses to run as root, so when the tests run as root the server's
// programs run as `nobody` (forked child, setgid + setuid, then exec) and the
// cluster's files belong to it. Authentication is "trust" on that socket:
// the directory is the only way in, and each test connects as the role it
// means to act as (the administrator, or a host's service role).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/service.h"

namespace kelvane::fleet_test {

class PostgresServer {
 public:
  // Makes and starts a cluster; nullptr with the reason in `why` when
  // PostgreSQL is missing or will not start here.
  static std::unique_ptr<PostgresServer> start(std::string& why);
  // A primary that commits only once `standby_name` has the commit too
  // (synchronous_standby_names, synchronous_commit = on): start the
  // standby with start_standby before anything commits.
  static std::unique_ptr<PostgresServer> start_primary(const std::string& standby_name,
                                                       std::string& why);
  // A streaming standby of `primary` (pg_basebackup -R), named
  // `standby_name` (its cluster_name, which it gives the primary), waited
  // for until the primary sees it as its synchronous standby.
  static std::unique_ptr<PostgresServer> start_standby(PostgresServer& primary,
                                                       const std::string& standby_name,
                                                       std::string& why);
  ~PostgresServer();  // stops the server ("immediate") and removes its files
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // The directory holding the socket (libpq's host=).
  const std::string& socket_dir() const { return socket_dir_; }
  // A libpq connection string for `user` on `database`.
  std::string conninfo(const std::string& user, const std::string& database) const;
  // The cluster's superuser, made by initdb.
  static constexpr const char* kSuperuser = "koa_super";

  // pg_ctl stop (fast) / start / restart; true when it worked.
  bool stop();
  bool start_again();
  bool restart();
  // Stops at once, as a crash would (pg_ctl stop -m immediate: no
  // checkpoint, every session cut).
  bool crash();
  // A standby becomes a primary (pg_ctl promote, waited for).
  bool promote();
  // From now on conninfo() names this server and then `other`, with
  // target_session_attrs=read-write: a client reaches whichever is the
  // primary, as the services' multi-host connection string does.
  void fail_over_to(const PostgresServer& other) { partner_socket_dir_ = other.socket_dir_; }
  // When the server last started (steady clock).
  std::chrono::steady_clock::time_point started_at() const { return started_at_; }
  // The server's log so far, for failure messages.
  std::string log() const;

 private:
  PostgresServer() = default;
  // Runs one of PostgreSQL's programs as the cluster's owner; its exit
  // status (-1 when it could not run), its output in `output`.
  int run(const std::string& program, const std::vector<std::string>& args,
          std::string& output) const;
  bool ctl(const std::vector<std::string>& args);
  // Makes the temporary directory and its data and socket folders, owned
  // by the server's owner.
  bool make_dirs(std::string& why);
  // initdb, then a start with `settings` (-c options) beyond the usual.
  static std::unique_ptr<PostgresServer> make_cluster(const std::string& settings,
                                                      std::string& why);

  std::unique_ptr<testing::TempDir> dir_;
  std::string bin_;
  std::string data_dir_;
  std::string socket_dir_;
  std::optional<uid_t> owner_uid_;
  gid_t owner_gid_ = 0;
  bool running_ = false;
  std::string last_output_;  // of the last pg_ctl
  std::string settings_;     // -c options beyond the usual ones
  std::string partner_socket_dir_;
  std::chrono::steady_clock::time_point started_at_{};
};

// The server shared by one test binary, started on first use; nullptr (and
// the reason) when it cannot start. Tests call skip_or_fail_without_server
// to skip outside CI and fail in CI (CI=true).
PostgresServer* shared_server(std::string& why);

// True when the environment says this is CI, where a missing server fails.
bool running_in_ci();

}  // namespace kelvane::fleet_test

// In a test body: the shared server, or skip (fail under CI=true).
#define KOA_REQUIRE_POSTGRES(server)                                        \
  std::string koa_postgres_why;                                             \
  ::kelvane::fleet_test::PostgresServer* server =                           \
      ::kelvane::fleet_test::shared_server(koa_postgres_why);               \
  if (server == nullptr) {                                                  \
    if (::kelvane::fleet_test::running_in_ci()) FAIL() << koa_postgres_why; \
    GTEST_SKIP() << "PostgreSQL cannot start here: " << koa_postgres_why;   \
  }
