// The one way to move a host's SQLite record into the fleet's database:
// every request of the file, with its votes, becomes a request of `host`
// (already bound to a role). Run as the administrator, whose rights the
// copy needs (it writes decided requests and other operators' votes).
#pragma once

#include <cstdint>
#include <string>

#include "fleet/connection.h"
#include "support/result.h"

namespace kelvane::fleet {

struct Imported {
  std::uint64_t requests = 0;  // newly copied
  std::uint64_t skipped = 0;   // already in the database (same id)
  std::uint64_t votes = 0;
  // Second votes of one person (see schema version 4), kept in
  // votes_set_aside rather than counted.
  std::uint64_t set_aside = 0;
};

// `record` is the path of a record file (record.sqlite3). In one
// transaction: all of it, or nothing. A request still pending in the file
// (its service stopped) is copied as abandoned.
Result<Imported, std::string> import_sqlite(Connection& admin, const std::string& record,
                                            const std::string& host);

std::string describe(const Imported& imported, const std::string& host);

}  // namespace kelvane::fleet
