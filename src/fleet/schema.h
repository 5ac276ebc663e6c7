// The fleet's schema in PostgreSQL, created and upgraded by
// `kelvane-operator-approvald --migrate` with an administrator's connection.
//
// Everything lives in the schema kSchemaName; schema_version holds the one
// version number. The services' own roles are members of kServiceRole and
// get only what that role was granted (see docs/fleet.md).
#pragma once

#include <string>
#include <string_view>

#include "fleet/connection.h"
#include "support/result.h"

namespace kelvane::fleet {

inline constexpr int kFleetSchemaVersion = 4;
inline constexpr std::string_view kSchemaName = "kelvane_approval";
inline constexpr std::string_view kServiceRole = "kelvane_approvald";
// The channel every notification goes to; the payload says what happened.
inline constexpr std::string_view kChannel = "kelvane_approval";
// Advisory locks of this program: the first key of the two-key form.
inline constexpr int kHostLockClass = 0x4b4f41;       // a service holds its host's
inline constexpr int kMigrationLockClass = 0x4b4f42;  // --migrate, one at a time

struct Migration {
  int from = 0;  // 0: there was no schema
  int to = 0;
};

// Creates the schema or brings it to kFleetSchemaVersion, in one
// transaction; a schema already there is left alone, a newer one refused.
// `up_to` stops at an older version (the tests upgrade from each one).
Result<Migration, std::string> migrate(Connection& admin, int up_to = kFleetSchemaVersion);

// The version the database holds (0: none), for a service checking at start.
Result<int, std::string> schema_version(Connection& connection);

// What --migrate prints.
std::string describe(const Migration& migration);

}  // namespace kelvane::fleet
