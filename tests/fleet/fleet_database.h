// A fresh database on the shared test server, migrated by an administrator
// role that is not a superuser (as docs/fleet.md advises), with hosts bound
// to service roles of their own.
#pragma once

#include <memory>
#include <string>

#include "fleet/connection.h"
#include "fleet/postgres_server.h"

namespace kelvane::fleet_test {

class FleetDatabase {
 public:
  static constexpr const char* kAdmin = "koa_admin";

  // Makes the database; `migrate` runs the schema migration too.
  FleetDatabase(PostgresServer& server, bool migrate = true);
  ~FleetDatabase();
  FleetDatabase(const FleetDatabase&) = delete;
  FleetDatabase& operator=(const FleetDatabase&) = delete;

  const std::string& name() const { return name_; }
  std::string admin_conninfo() const { return server_.conninfo(kAdmin, name_); }
  // The service role of `host` ("host-a" -> koa_host_a).
  static std::string role_of(const std::string& host);
  std::string host_conninfo(const std::string& host) const {
    return server_.conninfo(role_of(host), name_);
  }
  // Binds `host` to its role (made when missing), as the administrator does.
  void add_host(const std::string& host);
  // A connection as the administrator, for direct SQL.
  fleet::Connection& admin();

 private:
  PostgresServer& server_;
  std::string name_;
  std::unique_ptr<fleet::Connection> admin_;
};

// A connection as `conninfo`; throws when it cannot connect.
std::unique_ptr<fleet::Connection> connect_or_throw(const std::string& conninfo);
// Runs SQL; throws with the server's message when it fails.
fleet::Rows sql(fleet::Connection& connection, const std::string& text,
                const std::vector<fleet::Param>& params = {});

}  // namespace kelvane::fleet_test
