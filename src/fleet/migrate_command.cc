#include "fleet/migrate_command.h"

#include "fleet/connection.h"
#include "fleet/connection_file.h"
#include "fleet/schema.h"

namespace kelvane::fleet {

Result<std::string, std::string> run_migration(const std::optional<std::string>& connection_file) {
  std::string conninfo;
  if (connection_file) {
    auto read = read_connection_file(*connection_file);
    if (!read.ok()) return fail(std::move(read).error());
    conninfo = std::move(read).value();
  }
  auto connection = Connection::open(conninfo);
  if (!connection.ok())
    return fail("cannot connect to the database: " + connection.error().message);
  auto migrated = migrate(*connection.value());
  if (!migrated.ok()) return fail(std::move(migrated).error());
  return describe(migrated.value());
}

}  // namespace kelvane::fleet
