#include "operators/options.h"

#include <array>

#include "sshsig/public_key.h"
#include "support/decimal.h"
#include "support/hex.h"
#include "support/utc_time.h"
#include "support/utf8.h"

namespace kelvane::operators {

const std::string_view kUsageText =
    "usage: kelvane-operator-approvals [--socket PATH] SUBCOMMAND [ARGS]\n"
    "  list [--json]                 the requests waiting for a decision\n"
    "  show ID [--json]              one request, whole\n"
    "  approve ID [--reason TEXT] [--key FINGERPRINT]\n"
    "                                vote for a request\n"
    "  deny ID --reason TEXT [--key FINGERPRINT]\n"
    "                                vote against a request\n"
    "  watch [--key FINGERPRINT]     answer requests one at a time, as they arrive\n"
    "  status                        the daemon's version, uptime, pending requests by user\n"
    "                                and the oldest, record size, last commit and backup\n"
    "  cancel ID                     withdraw a request of your own\n"
    "  history [--json] [--since TIME] [--limit N]\n"
    "                                the record (TIME in RFC 3339, e.g. 2026-12-07T20:00:00Z;\n"
    "                                N: only the newest N requests)\n"
    "  explain [--config FILE] [--uid N] [--run-as USER] [CLIENT OPTIONS]\n"
    "          [--sudo-command PATH ARGS...]\n"
    "                                which policy rule decides a request, and why (the\n"
    "                                request line on standard input without CLIENT OPTIONS);\n"
    "                                asks the daemon nothing\n"
    "  verify TOKEN|- [--digest D] [--target-host H] [--public-key FILE]\n"
    "         [--operators SIGNERS [--min-approvers N]]\n"
    "                                check an approval token without the daemon (-: read it\n"
    "                                from standard input); 0 genuine, 1 refused with why;\n"
    "                                SIGNERS: your allowed-signers file, which a koa2 token's\n"
    "                                votes must prove (N distinct people, default 1)\n"
    "  public-key [--public-key FILE]  the published public keys\n"
    "  rotate-key                    a new signing key (root)\n"
    "  revoke ID                     revoke the token of an approved request\n"
    "  --help, --version\n"
    "The socket: --socket PATH, else $KELVANE_OPERATOR_APPROVALS_SOCK, else\n"
    "/run/kelvane-operator-approval/operators.sock.\n"
    "FILE: default /var/lib/kelvane-operator-approval-public/public-keys.json, with\n"
    "revoked.json beside it.\n"
    "Exit status: 0 done, 1 refused, 2 usage, 3 daemon unreachable.\n";

namespace {

// A reason travels in one operator line, which the daemon takes up to 64 KiB;
// a reason is a sentence or two, and a clear refusal here beats a closed
// connection there.
constexpr std::size_t kMaxReasonBytes = 4096;
// Ids are decimal counters; twenty digits hold any 64-bit one.
constexpr std::size_t kMaxIdDigits = 20;

struct SubcommandName {
  std::string_view name;
  Subcommand subcommand;
};

constexpr std::array<SubcommandName, 16> kSubcommands = {{
    {"list", Subcommand::List},
    {"show", Subcommand::Show},
    {"approve", Subcommand::Approve},
    {"deny", Subcommand::Deny},
    {"watch", Subcommand::Watch},
    {"status", Subcommand::Status},
    {"cancel", Subcommand::Cancel},
    {"history", Subcommand::History},
    {"help", Subcommand::Help},
    {"--help", Subcommand::Help},
    {"--version", Subcommand::Version},
    {"explain", Subcommand::Explain},
    // Approval tokens.
    {"verify", Subcommand::Verify},
    {"public-key", Subcommand::PublicKey},
    {"rotate-key", Subcommand::RotateKey},
    {"revoke", Subcommand::Revoke},
}};

std::optional<Subcommand> find_subcommand(std::string_view word) {
  for (const SubcommandName& s : kSubcommands) {
    if (s.name == word) return s.subcommand;
  }
  if (word == "-h") return Subcommand::Help;
  return std::nullopt;
}

Failure<UsageError> usage(std::string message) {
  return fail(UsageError{std::move(message)});
}

// Shown in messages: what the user typed, made safe for a terminal.
std::string shown(std::string_view arg) {
  std::string text;
  for (const char c : arg) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || byte >= 0x80) {
      text.append("\\x");
      hex::append_digits(text, byte, 2);
    } else {
      text += c;
    }
  }
  return text;
}

bool is_id(std::string_view text) {
  return !text.empty() && text.size() <= kMaxIdDigits &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "--name VALUE" or "--name=VALUE" at args[i]; advances i past what it used.
// nullopt when args[i] is not this option; a missing value is a usage error.
Result<std::optional<std::string_view>, UsageError> option_value(
    std::span<const std::string_view> args, std::size_t& i, std::string_view name) {
  const std::string_view arg = args[i];
  if (arg == name) {
    if (i + 1 >= args.size()) return usage(std::string(name) + " needs a value");
    i += 2;
    return std::optional<std::string_view>(args[i - 1]);
  }
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
    i += 1;
    return std::optional<std::string_view>(arg.substr(name.size() + 1));
  }
  return std::optional<std::string_view>();
}

bool takes_id(Subcommand s) {
  return s == Subcommand::Show || s == Subcommand::Approve || s == Subcommand::Deny ||
         s == Subcommand::Cancel || s == Subcommand::Revoke;
}

Result<void, UsageError> take_reason(Invocation& invocation, std::string_view text) {
  if (!utf8::is_valid(text)) return usage("--reason is not valid UTF-8");
  if (text.size() > kMaxReasonBytes) {
    return usage("--reason is longer than " + std::to_string(kMaxReasonBytes) + " bytes");
  }
  invocation.reason = std::string(text);
  return {};
}

Result<void, UsageError> take_key(Invocation& invocation, std::string_view text) {
  if (invocation.key) return usage("--key is given twice");
  if (!sshsig::is_fingerprint_text(text)) {
    return usage("--key needs a key's fingerprint as ssh-add -l prints it (SHA256:...), not " +
                 shown(text));
  }
  invocation.key = std::string(text);
  return {};
}

Result<void, UsageError> take_since(Invocation& invocation, std::string_view text) {
  const std::optional<std::int64_t> since = parse_rfc3339(text);
  if (!since) {
    return usage("--since needs an RFC 3339 time such as 2026-12-07T20:00:00Z, not " + shown(text));
  }
  // The record starts after 1970; an earlier time asks for all of it.
  invocation.since = *since < 0 ? 0 : *since;
  return {};
}

// As many approvers as a token may carry votes.
constexpr std::uint64_t kMaxMinApprovers = 1000;

Result<bool, UsageError> take_min_approvers(Invocation& invocation, std::string_view text) {
  if (invocation.min_approvers) return usage("--min-approvers is given twice");
  invocation.min_approvers = parse_decimal(text, kMaxMinApprovers);
  if (!invocation.min_approvers || *invocation.min_approvers == 0) {
    return usage("--min-approvers needs a whole number from 1 to " +
                 std::to_string(kMaxMinApprovers) + ", not " + shown(text));
  }
  return true;
}

// verify's and public-key's arguments, at args[i]; false when args[i] is
// none of them.
Result<bool, UsageError> take_token_argument(Invocation& invocation,
                                             std::span<const std::string_view> args,
                                             std::size_t& i) {
  const bool verify = invocation.subcommand == Subcommand::Verify;
  struct Named {
    std::string_view name;
    std::optional<std::string>* slot;
  };
  const Named options[] = {{"--public-key", &invocation.public_keys},
                           {"--digest", &invocation.digest},
                           {"--target-host", &invocation.target_host},
                           {"--operators", &invocation.operators}};
  for (const Named& option : options) {
    if (!verify && option.name != "--public-key") continue;
    auto value = option_value(args, i, option.name);
    if (!value.ok()) return fail(std::move(value).error());
    if (!value.value()) continue;
    const std::string_view text = *value.value();
    if (option.slot->has_value()) return usage(std::string(option.name) + " is given twice");
    if (!utf8::is_valid(text)) return usage(std::string(option.name) + " is not valid UTF-8");
    if (text.empty() && option.slot == &invocation.public_keys)
      return usage("--public-key needs a path");
    if (text.empty() && option.slot == &invocation.operators)
      return usage("--operators needs the path of an allowed-signers file");
    *option.slot = std::string(text);
    return true;
  }
  if (verify) {
    auto min = option_value(args, i, "--min-approvers");
    if (!min.ok()) return fail(std::move(min).error());
    if (min.value()) return take_min_approvers(invocation, *min.value());
  }
  const std::string_view arg = args[i];
  if (verify && !invocation.token && (arg == "-" || !arg.starts_with("-"))) {
    invocation.token = std::string(arg);
    ++i;
    return true;
  }
  return false;
}

// One argument after the subcommand, at args[i].
Result<void, UsageError> take_argument(Invocation& invocation,
                                       std::span<const std::string_view> args, std::size_t& i) {
  const Subcommand s = invocation.subcommand;
  const std::string_view arg = args[i];
  if (s == Subcommand::Verify || s == Subcommand::PublicKey) {
    auto taken = take_token_argument(invocation, args, i);
    if (!taken.ok()) return fail(std::move(taken).error());
    if (taken.value()) return {};
  }
  if ((s == Subcommand::List || s == Subcommand::History || s == Subcommand::Show) &&
      arg == "--json") {
    invocation.json = true;
    ++i;
    return {};
  }
  if (s == Subcommand::Approve || s == Subcommand::Deny) {
    auto reason = option_value(args, i, "--reason");
    if (!reason.ok()) return fail(std::move(reason).error());
    if (reason.value()) return take_reason(invocation, *reason.value());
  }
  if (s == Subcommand::Approve || s == Subcommand::Deny || s == Subcommand::Watch) {
    auto key = option_value(args, i, "--key");
    if (!key.ok()) return fail(std::move(key).error());
    if (key.value()) return take_key(invocation, *key.value());
  }
  if (s == Subcommand::History) {
    auto since = option_value(args, i, "--since");
    if (!since.ok()) return fail(std::move(since).error());
    if (since.value()) return take_since(invocation, *since.value());
    auto limit = option_value(args, i, "--limit");
    if (!limit.ok()) return fail(std::move(limit).error());
    if (limit.value()) {
      const std::string_view text = *limit.value();
      invocation.limit = parse_decimal(text, std::uint64_t{1} << 53);
      if (!invocation.limit || *invocation.limit == 0)
        return usage("--limit needs a whole number from 1, not " + shown(text));
      return {};
    }
  }
  if (takes_id(s) && invocation.id.empty() && !arg.starts_with("-")) {
    if (!is_id(arg)) return usage("a request id is a decimal number, not " + shown(arg));
    invocation.id = std::string(arg);
    ++i;
    return {};
  }
  return usage("unexpected argument: " + shown(arg));
}

Result<void, UsageError> check_complete(const Invocation& invocation, std::string_view name) {
  if (takes_id(invocation.subcommand) && invocation.id.empty()) {
    return usage(std::string(name) + " needs a request id");
  }
  if (invocation.subcommand == Subcommand::Verify && !invocation.token) {
    return usage("verify needs a token (or - to read it from standard input)");
  }
  if (invocation.min_approvers && !invocation.operators) {
    return usage(
        "--min-approvers needs --operators FILE: approvers are counted only from votes that "
        "file proves");
  }
  if (invocation.subcommand == Subcommand::Deny) {
    const std::string& reason = invocation.reason.value_or("");
    if (reason.find_first_not_of(" \t\r\n") == std::string::npos) {
      return usage("deny needs --reason TEXT: the requester is told why");
    }
  }
  return {};
}

}  // namespace

Result<Invocation, UsageError> parse_invocation(std::span<const std::string_view> args) {
  Invocation invocation;
  std::size_t i = 0;
  // Options of the command itself come before the subcommand.
  while (i < args.size()) {
    auto socket = option_value(args, i, "--socket");
    if (!socket.ok()) return fail(std::move(socket).error());
    if (!socket.value()) break;
    if (socket.value()->empty()) return usage("--socket needs a path");
    invocation.socket = std::string(*socket.value());
  }
  if (i == args.size()) return usage("a subcommand is needed");
  const std::string_view name = args[i++];
  const std::optional<Subcommand> subcommand = find_subcommand(name);
  if (!subcommand) return usage("unknown subcommand: " + shown(name));
  invocation.subcommand = *subcommand;
  if (*subcommand == Subcommand::Explain) {
    invocation.explain_args.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    return invocation;
  }
  if (*subcommand == Subcommand::Help || *subcommand == Subcommand::Version) {
    if (i < args.size()) return usage("unexpected argument: " + shown(args[i]));
    return invocation;
  }
  while (i < args.size()) {
    Result<void, UsageError> taken = take_argument(invocation, args, i);
    if (!taken.ok()) return fail(std::move(taken).error());
  }
  Result<void, UsageError> complete = check_complete(invocation, name);
  if (!complete.ok()) return fail(std::move(complete).error());
  return invocation;
}

std::string operator_socket_path(const Invocation& invocation,
                                 std::optional<std::string_view> variable) {
  if (invocation.socket) return *invocation.socket;
  if (variable && !variable->empty()) return std::string(*variable);
  return std::string(kDefaultSocketPath);
}

}  // namespace kelvane::operators
