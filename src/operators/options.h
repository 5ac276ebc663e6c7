// Reading the command line of kelvane-operator-approvals: the options before
// the subcommand, the subcommand, and its own arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace kelvane::operators {

inline constexpr const char* kSocketVariable = "KELVANE_OPERATOR_APPROVALS_SOCK";
inline constexpr std::string_view kDefaultSocketPath =
    "/run/kelvane-operator-approval/operators.sock";

// The usage text, written to standard output for --help and to standard
// error after a usage error.
extern const std::string_view kUsageText;

inline constexpr std::string_view kDefaultPublicKeysPath =
    "/var/lib/kelvane-operator-approval-public/public-keys.json";

enum class Subcommand {
  List,
  Show,
  Approve,
  Deny,
  Watch,
  Status,
  Cancel,
  History,
  Help,
  Version,
  Explain,
  // Approval tokens.
  Verify,
  PublicKey,
  RotateKey,
  Revoke,
};

struct Invocation {
  std::optional<std::string> socket;  // --socket, when given
  Subcommand subcommand = Subcommand::Help;
  std::string id;                      // show, approve, deny, cancel
  std::optional<std::string> reason;   // approve (optional), deny (required)
  std::optional<std::string> key;      // approve, deny, watch: --key FINGERPRINT
  bool json = false;                   // list, history
  std::optional<std::int64_t> since;   // history: Unix seconds
  std::optional<std::uint64_t> limit;  // history: the newest this many
  // explain: every argument after the subcommand, read by explain itself
  std::vector<std::string_view> explain_args;
  // verify: the token ("-": from standard input) and what it must match;
  // verify and public-key: the published keys' file, when named.
  std::optional<std::string> token;
  std::optional<std::string> digest;
  std::optional<std::string> target_host;
  std::optional<std::string> public_keys;
  // verify: the administrator's allowed-signers file the votes of a koa2
  // token are checked against, and how many distinct people must have
  // approved (1 unless given; only with --operators).
  std::optional<std::string> operators;
  std::optional<std::uint64_t> min_approvers;
};

// What ends option reading with status 2: the message, without the usage.
struct UsageError {
  std::string message;
};

// Reads the arguments (program name already dropped).
Result<Invocation, UsageError> parse_invocation(std::span<const std::string_view> args);

// --socket as given, else a non-empty KELVANE_OPERATOR_APPROVALS_SOCK, else
// the packaged default.
std::string operator_socket_path(const Invocation& invocation,
                                 std::optional<std::string_view> variable);

}  // namespace kelvane::operators
