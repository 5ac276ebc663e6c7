// The approval daemon's configuration: service.toml.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace kelvane::service {

// The configuration folder of the installation prefix the build was made
// for (/etc for /usr), the same as the service's unit names.
#ifndef KOA_SYSCONFDIR
#define KOA_SYSCONFDIR "/etc"
#endif
inline constexpr std::string_view kDefaultConfigPath =
    KOA_SYSCONFDIR "/kelvane-operator-approval/service.toml";

// The ranges of the configuration's numbers (docs/service.md, "Ranges"):
// within them no sum or product the service makes with a value overflows.
inline constexpr std::uint64_t kMaxDurationSecs = 365 * 86400;  // a year
inline constexpr std::uint64_t kMaxTokenLifetimeSecs = 86400;   // a day
inline constexpr std::uint64_t kMaxNotifySecs = 3600;
inline constexpr std::uint64_t kMaxOperatorConnections = 4096;
inline constexpr std::uint64_t kMaxOperatorIdleSecs = 86400;  // a day
inline constexpr std::uint64_t kMaxKeepDays = 36500;          // 0: keep for ever
inline constexpr std::uint64_t kMaxApprovals = 1000;
inline constexpr std::uint64_t kMaxPendingCount = 1000000;

// What a rule does with the requests it matches.
enum class Effect { Approve, Deny, Ask };

std::string_view effect_name(Effect effect);

// One [[rule]] table. Empty match lists match everything; a list matches
// when any of its entries does. See docs/service.md, "Policy rules".
struct Rule {
  std::string name;
  std::string where;  // "service.toml:12:1", the table's header
  // Verified facts.
  std::vector<std::string> users;   // user names
  std::vector<std::string> groups;  // group names
  // Verified facts of sudo requests only: a rule naming any of them never
  // matches a request that is not from sudo.
  std::vector<std::string> commands;             // globs
  std::optional<std::vector<std::string>> args;  // one glob per argument
  std::vector<std::string> run_as;               // user names
  // Declared by the requester (the token binds them).
  std::vector<std::string> actions;       // globs
  std::vector<std::string> target_hosts;  // globs
  Effect effect = Effect::Ask;
  std::string reason;                        // deny
  std::uint64_t approvals = 0;               // ask: at least 1
  std::vector<std::string> approvers;        // ask: empty means the top-level approvers
  std::optional<std::uint64_t> max_timeout;  // ask: else the top-level one
  std::uint64_t reuse_for = 0;               // ask: seconds, 0 = never
  std::vector<std::string> notify;           // ask: argv; empty = the top-level one

  bool matches_declared_text() const { return !actions.empty() || !target_hosts.empty(); }
  bool operator==(const Rule&) const = default;
};

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
  std::uint64_t keep_days = 90;         // records older than this are pruned; 0: never
  // The operators' socket: connections one user may hold, and how long one
  // whose user has no role (neither approver nor auditor) may stay silent.
  std::uint64_t operator_connections_per_user = 64;
  std::uint64_t operator_idle_timeout = 60;  // seconds
  std::optional<std::string> socket;
  std::optional<std::string> operator_socket;
  std::optional<std::string> state_dir;
  // Policy rules, in order: the first that matches decides.
  std::vector<Rule> rules;
  // Run when a request starts to wait (argv, no shell), as notify_user.
  std::vector<std::string> notify;
  std::string notify_user = "nobody";
  std::uint64_t notify_timeout = 10;  // seconds, then SIGKILL
  // Where the public keys and the revocation list are published (world-
  // readable); default: the state directory's path with "-public" appended.
  std::optional<std::string> public_dir;

  // Signed votes (docs/signed-votes.md): the administrator's allowed-signers
  // file naming each operator's SSH keys, whether every vote must be signed,
  // and whether only security keys touched for the vote may sign.
  std::optional<std::string> operator_keys;
  bool require_signed_votes = false;
  bool require_touch = false;

  // The fleet (docs/fleet.md): the record in a PostgreSQL database that the
  // services of many hosts share.
  std::string store = "sqlite";                // "sqlite" or "postgresql"
  std::optional<std::string> connection_file;  // the libpq connection string
  std::optional<std::string> host_name;        // the host this service stands for

  // A number above its range that an earlier version took is brought down
  // to the range's end rather than refused, so that an upgrade never stops
  // the service: one line per value, "service.toml:3:13: keep_days = ...".
  std::vector<std::string> warnings;

  bool operator==(const Config&) const = default;
};

// The moment before which requests are pruned (`now` less keep_days), or
// nothing when keep_days = 0 keeps them for ever.
std::optional<std::int64_t> prune_cutoff(const Config& config, std::int64_t now);

// The host this service stands for: host_name, or the machine's name.
std::string host_name_of(const Config& config);
// A name the fleet's database accepts for a host: letters, digits, ".", "_"
// and "-", starting with a letter or digit, at most 253 bytes.
bool is_host_name(std::string_view name);

// Reads a configuration text. An error names `path`, the line and the column:
// "service.toml:3:1: unknown key "aprovers"". Every error found is given,
// one per line.
Result<Config, std::string> parse_config(std::string_view text, std::string_view path);

// Reads the file at `path`. A missing file is an error only when the path
// was named (`named`); the default path may be absent and means defaults.
Result<Config, std::string> load_config(const std::string& path, bool named);

}  // namespace kelvane::service
