#include "fleet/migrate_command.h"

#include "fleet/connection.h"
#include "fleet/connection_file.h"
#include "fleet/import_sqlite.h"
#include "fleet/schema.h"

namespace kelvane::fleet {

Result<std::string, std::string> run_migration(const std::optional<std::string>& connection_file,
                                               const std::optional<std::string>& import_record,
                                               const std::string& host) {
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
  std::string said = describe(migrated.value());
  if (!import_record) return said;
  auto imported = import_sqlite(*connection.value(), *import_record, host);
  if (!imported.ok()) return fail(said + "; " + imported.error());
  return said + "; " + describe(imported.value(), host);
}

}  // namespace kelvane::fleet
