// The daemon's command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"

namespace kelvane::approvald {

enum class Command {
  Serve,
  CheckConfig,
  Migrate,
  Help,
  Version,
  // The record's upkeep (record_upkeep.h).
  Backup,
  Restore,
  CheckRecord,
};

struct Options {
  Command command = Command::Serve;
  std::optional<std::string> socket;
  std::optional<std::string> operator_socket;
  std::optional<std::string> state_dir;
  std::optional<std::string> config;  // named on the command line
  // --migrate: the administrator's connection string file.
  std::optional<std::string> connection_file;
  // --migrate: a host's SQLite record to copy in.
  std::optional<std::string> import_sqlite;
  // --backup FILE, --restore FILE: the backup's file.
  std::optional<std::string> record_file;
};

inline constexpr std::string_view kDefaultSocket = "/run/kelvane-operator-approval.sock";
inline constexpr std::string_view kDefaultOperatorSocket =
    "/run/kelvane-operator-approval/operators.sock";
inline constexpr std::string_view kDefaultStateDir = "/var/lib/kelvane-operator-approval";

extern const std::string_view kUsage;

// The options, or a one-line reason saying which argument was wrong.
Result<Options, std::string> parse_options(int argc, const char* const* argv);

}  // namespace kelvane::approvald
