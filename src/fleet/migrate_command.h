// `kelvane-operator-approvald --migrate`: the administrator creates or
// upgrades the fleet's schema.
#pragma once

#include <optional>
#include <string>

#include "support/result.h"

namespace kelvane::fleet {

// Connects with the string in `connection_file` (a file of the user running
// it that nobody else may read), or with libpq's own defaults and
// environment (PGHOST, PGDATABASE, PGUSER, PGSERVICE, ...) when there is
// none, and migrates; then, when `import_record` names a SQLite record,
// copies it in as the requests of `host`. The lines to print on success.
Result<std::string, std::string> run_migration(const std::optional<std::string>& connection_file,
                                               const std::optional<std::string>& import_record,
                                               const std::string& host);

}  // namespace kelvane::fleet
