// The approval daemon's configuration: service.toml.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace kelvane::service {

inline constexpr std::string_view kDefaultConfigPath =
    "/etc/kelvane-operator-approval/service.toml";

struct Config {
  // User names, or "@group" for every member of a group.
  std::vector<std::string> approvers;
  std::vector<std::string> auditors;
  std::uint64_t approvals = 1;  // yes votes of different approvers needed
  std::uint64_t max_pending_per_user = 16;
  std::uint64_t max_pending = 1024;
  std::uint64_t default_timeout = 300;  // seconds, when the requester names none
  std::uint64_t max_timeout = 3600;     // seconds, the most a requester may ask for
  std::uint64_t token_lifetime = 600;   // seconds an approval token stays good
  std::uint64_t keep_days = 90;         // records older than this are pruned
  std::optional<std::string> socket;
  std::optional<std::string> operator_socket;
  std::optional<std::string> state_dir;
  // Where the public keys and the revocation list are published (world-
  // readable); default: the state directory's path with "-public" appended.
  std::optional<std::string> public_dir;

  // The fleet (docs/fleet.md): the record in a PostgreSQL database that the
  // services of many hosts share.
  std::string store = "sqlite";                // "sqlite" or "postgresql"
  std::optional<std::string> connection_file;  // the libpq connection string
  std::optional<std::string> host_name;        // the host this service stands for

  bool operator==(const Config&) const = default;
};

// The host this service stands for: host_name, or the machine's name.
std::string host_name_of(const Config& config);
// A name the fleet's database accepts for a host: letters, digits, ".", "_"
// and "-", starting with a letter or digit, at most 253 bytes.
bool is_host_name(std::string_view name);

// Reads a configuration text. An error names `path`, the line and the column:
// "service.toml:3:1: unknown key "aprovers"".
Result<Config, std::string> parse_config(std::string_view text, std::string_view path);

// Reads the file at `path`. A missing file is an error only when the path
// was named (`named`); the default path may be absent and means defaults.
Result<Config, std::string> load_config(const std::string& path, bool named);

}  // namespace kelvane::service
