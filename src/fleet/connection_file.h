// The file that holds the service's libpq connection string. It may hold a
// password, so it must be the service's own: owned by the user reading it
// (root for the daemon), a regular file, and neither group nor others may
// read or write it. A file that breaks this is refused, not used.
#pragma once

#include <string>

#include "support/result.h"

namespace kelvane::fleet {

// The connection string: the file's text without surrounding white space
// (a trailing line feed is usual). Errors name the path.
Result<std::string, std::string> read_connection_file(const std::string& path);

}  // namespace kelvane::fleet
