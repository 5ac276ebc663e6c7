#include "fleet/fleet_database.h"

#include <atomic>
#include <stdexcept>

#include "fleet/schema.h"

namespace kelvane::fleet_test {

std::unique_ptr<fleet::Connection> connect_or_throw(const std::string& conninfo) {
  auto connection = fleet::Connection::open(conninfo);
  if (!connection.ok())
    throw std::runtime_error("cannot connect (" + conninfo + "): " + connection.error().message);
  return std::move(connection).value();
}

fleet::Rows sql(fleet::Connection& connection, const std::string& text,
                const std::vector<fleet::Param>& params) {
  auto rows = connection.exec(text, params);
  if (!rows.ok()) throw std::runtime_error(text + ": " + rows.error().message);
  return std::move(rows).value();
}

std::string FleetDatabase::role_of(const std::string& host) {
  std::string role = "koa_host_";
  for (const char c : host) role += c == '-' || c == '.' ? '_' : c;
  return role;
}

FleetDatabase::FleetDatabase(PostgresServer& server, bool migrate) : server_(server) {
  static std::atomic<int> counter{0};
  name_ = "fleet_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  auto super = connect_or_throw(server_.conninfo(PostgresServer::kSuperuser, "postgres"));
  sql(*super,
      "DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'koa_admin') THEN "
      "CREATE ROLE koa_admin LOGIN CREATEROLE; END IF; END $$");
  sql(*super, "CREATE DATABASE " + name_ + " OWNER koa_admin");
  admin_ = connect_or_throw(admin_conninfo());
  if (migrate) {
    auto migrated = fleet::migrate(*admin_);
    if (!migrated.ok()) throw std::runtime_error("migrate: " + migrated.error());
  }
}

FleetDatabase::~FleetDatabase() {
  admin_.reset();
  try {
    auto super = connect_or_throw(server_.conninfo(PostgresServer::kSuperuser, "postgres"));
    (void)super->exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  } catch (const std::exception&) {
    // The server is gone (a test stopped it): nothing to drop.
  }
}

void FleetDatabase::add_host(const std::string& host) {
  const std::string role = role_of(host);
  auto super = connect_or_throw(server_.conninfo(PostgresServer::kSuperuser, "postgres"));
  sql(*super, "DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '" + role +
                  "') THEN CREATE ROLE " + role +
                  " LOGIN IN ROLE kelvane_approvald; END IF; END $$");
  sql(admin(), "INSERT INTO kelvane_approval.hosts (host_name, role_name) VALUES ($1, $2)",
      {host, role});
}

fleet::Connection& FleetDatabase::admin() {
  if (!admin_->is_open()) admin_ = connect_or_throw(admin_conninfo());
  return *admin_;
}

}  // namespace kelvane::fleet_test
