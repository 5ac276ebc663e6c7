#include "operators/explain.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "approval/request.h"
#include "approval/request_options.h"
#include "service/config.h"
#include "service/peer.h"
#include "service/policy.h"
#include "service/request.h"
#include "service/request_limits.h"
#include "service/user_groups.h"
#include "support/decimal.h"
#include "support/quoting.h"
#include "support/read_up_to.h"
#include "support/write_loop.h"

namespace kelvane::operators {
namespace {

constexpr std::string_view kPrefix = "kelvane-operator-approvals: explain: ";
constexpr std::string_view kSudoAction = "sudo";  // what the plugin declares
constexpr std::string_view kNeedsRequest =
    "needs a request: client-style options, a request line on standard input, or "
    "--sudo-command PATH ARGS...";

struct ExplainArgs {
  std::string config_path = std::string(service::kDefaultConfigPath);
  bool config_named = false;
  std::optional<uid_t> uid;
  std::string run_as = "root";
  std::optional<service::SudoFacts> sudo;
  std::vector<std::string_view> client_args;
};

std::string listed(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) out += (i ? ", " : "") + quoted(texts[i]);
  return out + "]";
}

// The value of --name at args[i] ("--name VALUE" or "--name=VALUE"),
// advancing i; nullopt when args[i] is another argument.
Result<std::optional<std::string_view>, std::string> value_of(
    std::span<const std::string_view> args, std::size_t& i, std::string_view name) {
  const std::string_view arg = args[i];
  if (arg == name) {
    if (i + 1 >= args.size()) return fail(std::string(name) + " needs a value");
    i += 2;
    return std::optional<std::string_view>(args[i - 1]);
  }
  if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
    ++i;
    return std::optional<std::string_view>(arg.substr(name.size() + 1));
  }
  return std::optional<std::string_view>();
}

Result<ExplainArgs, std::string> parse_explain_args(std::span<const std::string_view> args) {
  ExplainArgs parsed;
  std::size_t i = 0;
  while (i < args.size()) {
    if (args[i] == "--sudo-command") {
      if (i + 1 >= args.size()) return fail(std::string("--sudo-command needs a command path"));
      service::SudoFacts sudo;
      sudo.command = std::string(args[i + 1]);
      for (std::size_t j = i + 2; j < args.size(); ++j) sudo.args.emplace_back(args[j]);
      parsed.sudo = std::move(sudo);
      break;
    }
    auto config = value_of(args, i, "--config");
    if (!config.ok()) return fail(std::move(config).error());
    if (config.value()) {
      parsed.config_path = std::string(*config.value());
      parsed.config_named = true;
      continue;
    }
    auto uid = value_of(args, i, "--uid");
    if (!uid.ok()) return fail(std::move(uid).error());
    if (uid.value()) {
      const auto number = parse_decimal(*uid.value(), 0xFFFFFFFEu);
      if (!number) return fail("--uid takes a number, not " + quoted(*uid.value()));
      parsed.uid = static_cast<uid_t>(*number);
      continue;
    }
    auto run_as = value_of(args, i, "--run-as");
    if (!run_as.ok()) return fail(std::move(run_as).error());
    if (run_as.value()) {
      parsed.run_as = std::string(*run_as.value());
      continue;
    }
    parsed.client_args.push_back(args[i++]);
  }
  if (parsed.sudo) parsed.sudo->run_as = parsed.run_as;
  return parsed;
}

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// Standard input, up to one byte more than a request may have.
Result<std::string, std::string> read_input(int fd) {
  auto read = read_up_to(fd, service::kMaxRequestBytes + 1);
  if (!read.ok()) return fail(std::string("cannot read standard input"));
  std::string text = std::move(read).value();
  if (const std::size_t end = text.find('\n'); end != std::string::npos) text.resize(end);
  return text;
}

// The request to explain: from client-style options, from standard input,
// or the plugin's for --sudo-command alone.
Result<service::Request, std::string> request_of(const ExplainArgs& args, int in) {
  std::string line;
  if (!args.client_args.empty()) {
    const char* hostname = std::getenv("HOSTNAME");
    auto parsed =
        approval::parse_args(args.client_args, hostname ? std::optional<std::string_view>(hostname)
                                                        : std::optional<std::string_view>());
    if (!parsed.ok()) return fail(std::move(parsed).error().output);
    line = approval::encode_request_line(parsed.value());
    if (!line.empty() && line.back() == '\n') line.pop_back();
  } else if (args.sudo) {
    service::Request request;
    request.action = std::string(kSudoAction);
    request.target_host = host_name();
    return request;
  } else {
    if (::isatty(in) == 1) return fail(std::string(kNeedsRequest));
    auto input = read_input(in);
    if (!input.ok()) return fail(std::move(input).error());
    line = std::move(input).value();
    if (line.empty()) return fail(std::string(kNeedsRequest));
  }
  auto request = service::parse_request(line);
  if (!request.ok()) return fail("the request does not read: " + request.error());
  return std::move(request).value();
}

std::string decision_text(const service::PolicyOutcome& o) {
  const std::string by = o.rule_name.empty() ? "the top-level settings (no rule matches)"
                                             : "rule " + quoted(o.rule_name);
  switch (o.effect) {
    case service::Effect::Deny:
      return "decision: deny, by " + by + ": " + quoted(o.reason) + "\n";
    case service::Effect::Approve:
      return "decision: approve at once, by " + by + "\n";
    case service::Effect::Ask:
      break;
  }
  std::string text = "decision: ask, by " + by + ": " + std::to_string(o.approvals) +
                     " approval(s) from " + listed(o.approvers) + ", waiting at most " +
                     std::to_string(o.max_timeout) + " s";
  if (o.reuse_for > 0) text += ", approval reused for " + std::to_string(o.reuse_for) + " s";
  if (!o.notify.empty()) text += ", notify " + listed(o.notify);
  return text + "\n";
}

std::string explanation(const service::PolicyFacts& facts, const service::PolicyDecision& d,
                        const std::string& config_path) {
  std::string out = "configuration: " + quoted(config_path) + "\n";
  out += "requester: uid " + std::to_string(facts.uid) +
         (facts.user.empty() ? " (no user)" : " (" + quoted(facts.user) + ")") + ", groups " +
         listed(facts.groups) + "\n";
  if (facts.sudo) {
    out += "from sudo: command " + quoted(facts.sudo->command) + ", args " +
           listed(facts.sudo->args) + ", run as " + quoted(facts.sudo->run_as) + "\n";
  } else {
    out += "not from sudo: command, args and run_as match nothing\n";
  }
  out += "declared: action " + quoted(facts.action) + ", target_host " + quoted(facts.target_host) +
         "\n";
  for (const service::RuleTrace& rule : d.trace) {
    out += "rule " + quoted(rule.name) + " (" + rule.where +
           "): " + (rule.matched ? "matches" : "does not match") + "\n";
    for (const std::string& why : rule.why) out += why + "\n";
  }
  return out + decision_text(d.outcome);
}

int complain(const Streams& streams, const std::string& message) {
  (void)io::write_fully(streams.err, std::string(kPrefix) + message + "\n");
  return kUsage;
}

}  // namespace

int explain(std::span<const std::string_view> args, const Streams& streams) {
  auto parsed = parse_explain_args(args);
  if (!parsed.ok()) return complain(streams, parsed.error());
  const ExplainArgs& a = parsed.value();
  auto config = service::load_config(a.config_path, a.config_named);
  if (!config.ok()) {
    (void)io::write_fully(streams.err, config.error() + "\n");
    return kUsage;
  }
  auto request = request_of(a, streams.in);
  if (!request.ok()) {
    const std::string& error = request.error();
    if (error.find('\n') != std::string::npos) {  // the client's own usage text
      (void)io::write_fully(streams.err, error);
      return kUsage;
    }
    return complain(streams, error);
  }
  service::PolicyFacts facts;
  facts.uid = a.uid.value_or(::getuid());
  facts.user = service::user_name_of(facts.uid);
  auto groups = service::group_names_of(facts.uid);
  if (!groups.ok()) {
    (void)io::write_fully(streams.err, std::string(kPrefix) + groups.error() + "\n");
    return kRefused;
  }
  facts.groups = std::move(groups).value();
  facts.sudo = a.sudo;
  facts.action = request.value().action;
  facts.target_host = request.value().target_host;
  const service::PolicyDecision decision = service::decide_by_policy(config.value(), facts, true);
  const std::string text = explanation(facts, decision, a.config_path);
  if (!io::write_fully(streams.out, text).ok()) return kRefused;
  return kDone;
}

}  // namespace kelvane::operators
