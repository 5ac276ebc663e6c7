#include "service/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "service/glob.h"
#include "service/policy.h"
#include "support/file_descriptor.h"
#include "support/read_up_to.h"
#include "support/utf8.h"

namespace kelvane::service {
namespace {

// Larger than any sensible configuration; a bigger file is a mistake.
constexpr std::size_t kMaxConfigBytes = 1 << 20;

std::string where(std::string_view path, const toml::source_region& source) {
  return std::string(path) + ":" + std::to_string(source.begin.line) + ":" +
         std::to_string(source.begin.column) + ": ";
}

using Errors = std::vector<std::string>;

// A number's range: below `least` it is an error; above `most` it is
// brought down to `most` with a warning when earlier versions took such a
// value (so that an upgrade never stops the service), and an error for a
// key that came with its range.
struct Range {
  std::uint64_t least;
  std::uint64_t most;
  bool clamped = true;
};

struct Count {
  std::string_view key;
  std::uint64_t Config::*slot;
  Range range;
};

constexpr std::array<Count, 10> kCounts = {{
    {"approvals", &Config::approvals, {1, kMaxApprovals}},
    {"max_pending_per_user", &Config::max_pending_per_user, {1, kMaxPendingCount}},
    {"max_pending", &Config::max_pending, {1, kMaxPendingCount}},
    {"default_timeout", &Config::default_timeout, {1, kMaxDurationSecs}},
    {"max_timeout", &Config::max_timeout, {1, kMaxDurationSecs}},
    {"token_lifetime", &Config::token_lifetime, {1, kMaxTokenLifetimeSecs}},
    {"keep_days", &Config::keep_days, {0, kMaxKeepDays}},
    {"notify_timeout", &Config::notify_timeout, {1, kMaxNotifySecs}},
    {"operator_connections_per_user",
     &Config::operator_connections_per_user,
     {1, kMaxOperatorConnections, false}},
    {"operator_idle_timeout", &Config::operator_idle_timeout, {1, kMaxOperatorIdleSecs, false}},
}};

constexpr Range kRuleApprovals{1, kMaxApprovals};
constexpr Range kRuleSeconds{1, kMaxDurationSecs};  // max_timeout
constexpr Range kReuseSeconds{0, kMaxDurationSecs};

// A whole number in `range`: one below it is an error, one above it is
// clamped with a warning.
Result<std::uint64_t, std::string> read_count(const toml::node& node, std::string_view key,
                                              std::string_view path, Range range,
                                              Errors& warnings) {
  const auto* integer = node.as_integer();
  if (integer == nullptr || integer->get() < 0 ||
      static_cast<std::uint64_t>(integer->get()) < range.least) {
    return fail(where(path, node.source()) + std::string(key) + " must be a whole number from " +
                std::to_string(range.least) + " to " + std::to_string(range.most));
  }
  const auto value = static_cast<std::uint64_t>(integer->get());
  if (value <= range.most) return value;
  if (!range.clamped) {
    return fail(where(path, node.source()) + std::string(key) + " must be a whole number from " +
                std::to_string(range.least) + " to " + std::to_string(range.most));
  }
  warnings.push_back(where(path, node.source()) + std::string(key) + " = " + std::to_string(value) +
                     " is above its range (" + std::to_string(range.least) + " to " +
                     std::to_string(range.most) + "); using " + std::to_string(range.most));
  return range.most;
}

struct Path {
  std::string_view key;
  std::optional<std::string> Config::*slot;
};

constexpr std::array<Path, 5> kPaths = {{
    {"socket", &Config::socket},
    {"operator_socket", &Config::operator_socket},
    {"state_dir", &Config::state_dir},
    {"public_dir", &Config::public_dir},
    {"operator_keys", &Config::operator_keys},
}};

struct Flag {
  std::string_view key;
  bool Config::*slot;
};

constexpr std::array<Flag, 2> kFlags = {{
    {"require_signed_votes", &Config::require_signed_votes},
    {"require_touch", &Config::require_touch},
}};

// A user or group name as the system's tools accept it: no white space,
// colon, comma or control character, and not empty.
bool is_account_name(std::string_view name) {
  if (name.empty() || name.size() > 256) return false;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= ' ' || b == 0x7f || c == ':' || c == ',' || c == '/') return false;
  }
  return true;
}

Result<std::vector<std::string>, std::string> read_names(const toml::node& node,
                                                         std::string_view key,
                                                         std::string_view path) {
  const toml::array* array = node.as_array();
  if (array == nullptr)
    return fail(where(path, node.source()) + std::string(key) + " must be an array of names");
  std::vector<std::string> names;
  for (const toml::node& element : *array) {
    const auto* text = element.as_string();
    const std::string_view name = text ? std::string_view(text->get()) : std::string_view();
    const std::string_view bare = name.starts_with('@') ? name.substr(1) : name;
    if (text == nullptr || !is_account_name(bare)) {
      return fail(where(path, element.source()) + std::string(key) +
                  " takes user names and @group names");
    }
    names.emplace_back(name);
  }
  return names;
}

// The fleet's keys.
bool is_fleet_key(std::string_view key) {
  return key == "store" || key == "connection_file" || key == "host_name";
}

Result<void, std::string> read_fleet_key(Config& config, std::string_view key,
                                         const toml::node& node, std::string_view path) {
  const auto* text = node.as_string();
  const std::string value = text ? text->get() : std::string();
  if (key == "store") {
    if (value != "sqlite" && value != "postgresql")
      return fail(where(path, node.source()) + "store must be \"sqlite\" or \"postgresql\"");
    config.store = value;
  } else if (key == "connection_file") {
    if (!value.starts_with('/') || value.find('\0') != std::string::npos)
      return fail(where(path, node.source()) + "connection_file must be an absolute path");
    config.connection_file = value;
  } else {
    if (!is_host_name(value))
      return fail(where(path, node.source()) +
                  "host_name takes letters, digits, \".\", \"_\" and \"-\" (at most 253)");
    config.host_name = value;
  }
  return {};
}

Result<void, std::string> check_fleet(const Config& config, std::string_view path) {
  if (config.store == "postgresql" && !config.connection_file)
    return fail(std::string(path) + ": store = \"postgresql\" needs connection_file");
  return {};
}

// What the signed-vote keys ask for must be possible: a check against no
// keys would refuse every vote, and the fleet's database does not carry
// signatures yet, so a vote there could not be held to them.
void check_signed_votes(const Config& config, std::string_view path, Errors& errors) {
  if ((config.require_signed_votes || config.require_touch) && !config.operator_keys)
    errors.push_back(std::string(path) +
                     ": require_signed_votes and require_touch need operator_keys");
  if (config.operator_keys && config.store == "postgresql")
    errors.push_back(std::string(path) +
                     ": operator_keys is not supported with store = \"postgresql\" yet");
}

Result<void, std::string> read_key(Config& config, std::string_view key, const toml::node& node,
                                   std::string_view path) {
  for (const Count& count : kCounts) {
    if (count.key != key) continue;
    auto value = read_count(node, key, path, count.range, config.warnings);
    if (!value.ok()) return fail(std::move(value).error());
    config.*count.slot = value.value();
    return {};
  }
  for (const Path& entry : kPaths) {
    if (entry.key != key) continue;
    const auto* text = node.as_string();
    if (text == nullptr || !text->get().starts_with('/') ||
        text->get().find('\0') != std::string::npos)
      return fail(where(path, node.source()) + std::string(key) + " must be an absolute path");
    config.*entry.slot = text->get();
    return {};
  }
  for (const Flag& flag : kFlags) {
    if (flag.key != key) continue;
    const auto* value = node.as_boolean();
    if (value == nullptr)
      return fail(where(path, node.source()) + std::string(key) + " must be true or false");
    config.*flag.slot = value->get();
    return {};
  }
  if (is_fleet_key(key)) return read_fleet_key(config, key, node, path);
  if (key == "approvers" || key == "auditors") {
    auto names = read_names(node, key, path);
    if (!names.ok()) return fail(std::move(names).error());
    (key == "approvers" ? config.approvers : config.auditors) = std::move(names).value();
    return {};
  }
  return fail(where(path, node.source()) + "unknown key \"" + std::string(key) + "\"");
}

bool is_known_key(std::string_view key) {
  if (is_fleet_key(key)) return true;
  for (const Count& count : kCounts) {
    if (count.key == key) return true;
  }
  for (const Path& entry : kPaths) {
    if (entry.key == key) return true;
  }
  for (const Flag& flag : kFlags) {
    if (flag.key == key) return true;
  }
  return key == "approvers" || key == "auditors" || key == "rule" || key == "notify" ||
         key == "notify_user";
}

// ---- Policy rules and notify ------------------------------------------------

// "notify": an argv of an absolute program path and its arguments.
Result<std::vector<std::string>, std::string> read_argv(const toml::node& node,
                                                        std::string_view key,
                                                        std::string_view path) {
  const toml::array* array = node.as_array();
  const std::string must = std::string(key) +
                           " must be an array of texts: an absolute program path, then its"
                           " arguments";
  if (array == nullptr || array->empty()) return fail(where(path, node.source()) + must);
  std::vector<std::string> argv;
  for (const toml::node& element : *array) {
    const auto* text = element.as_string();
    if (text == nullptr || text->get().find('\0') != std::string::npos)
      return fail(where(path, element.source()) + must);
    argv.push_back(text->get());
  }
  if (!argv.front().starts_with('/')) return fail(where(path, node.source()) + must);
  return argv;
}

// A text or an array of texts, each checked by `check` (which says what is
// wrong with one, or nothing).
template <typename Check>
Result<std::vector<std::string>, std::string> read_texts(const toml::node& node,
                                                         std::string_view key,
                                                         std::string_view path,
                                                         std::string_view what, Check check,
                                                         bool array_only = false) {
  std::vector<const toml::node*> elements;
  if (!array_only && node.is_string()) {
    elements.push_back(&node);
  } else if (const toml::array* array = node.as_array(); array && (array_only || !array->empty())) {
    for (const toml::node& element : *array) elements.push_back(&element);
  } else {
    return fail(where(path, node.source()) + std::string(key) + " must be " +
                (array_only ? "an array of " : "a text or a non-empty array of ") +
                std::string(what));
  }
  std::vector<std::string> texts;
  for (const toml::node* element : elements) {
    const auto* text = element->as_string();
    if (text == nullptr)
      return fail(where(path, element->source()) + std::string(key) + " takes " +
                  std::string(what));
    if (std::optional<std::string> problem = check(text->get()))
      return fail(where(path, element->source()) + std::string(key) + ": " + *problem);
    texts.push_back(text->get());
  }
  return texts;
}

std::optional<std::string> name_problem(std::string_view name) {
  // "@" marks a group in approvers; here each key says which it takes.
  if (is_account_name(name) && !name.starts_with('@')) return std::nullopt;
  std::string problem = "\"";
  problem.append(name).append("\" is not a user or group name (without \"@\")");
  return problem;
}

std::optional<std::string> glob_text_problem(std::string_view glob) {
  if (glob.find('\0') != std::string_view::npos) return std::string("a glob cannot hold NUL");
  if (auto problem = glob_problem(glob)) {
    std::string text = "bad glob \"";
    text.append(glob).append("\": ").append(*problem);
    return text;
  }
  return std::nullopt;
}

std::optional<Effect> effect_named(std::string_view name) {
  if (name == "approve") return Effect::Approve;
  if (name == "deny") return Effect::Deny;
  if (name == "ask") return Effect::Ask;
  return std::nullopt;
}

// Which effect a key belongs to, if it belongs to one only.
std::optional<Effect> effect_of_key(std::string_view key) {
  if (key == "reason") return Effect::Deny;
  if (key == "approvals" || key == "approvers" || key == "max_timeout" || key == "reuse_for" ||
      key == "notify")
    return Effect::Ask;
  return std::nullopt;
}

bool is_rule_key(std::string_view key) {
  for (const std::string_view known :
       {"name", "effect", "user", "group", "command", "args", "run_as", "action", "target_host",
        "reason", "approvals", "approvers", "max_timeout", "reuse_for", "notify"}) {
    if (key == known) return true;
  }
  return false;
}

// Stores a read value or the error.
template <typename T, typename Slot>
void keep(Result<T, std::string> read, Slot& slot, Errors& errors) {
  if (read.ok())
    slot = std::move(read).value();
  else
    errors.push_back(std::move(read).error());
}

void read_rule_text(Rule& rule, std::string_view key, const toml::node& node, std::string_view path,
                    Errors& errors) {
  const auto names = [](std::string_view name) { return name_problem(name); };
  const auto globs = [](std::string_view glob) { return glob_text_problem(glob); };
  if (key == "user")
    return keep(read_texts(node, key, path, "user names", names), rule.users, errors);
  if (key == "group")
    return keep(read_texts(node, key, path, "group names", names), rule.groups, errors);
  if (key == "run_as")
    return keep(read_texts(node, key, path, "user names", names), rule.run_as, errors);
  if (key == "command")
    return keep(read_texts(node, key, path, "globs", globs), rule.commands, errors);
  if (key == "action")
    return keep(read_texts(node, key, path, "globs", globs), rule.actions, errors);
  if (key == "target_host")
    return keep(read_texts(node, key, path, "globs", globs), rule.target_hosts, errors);
  if (key == "args") {
    auto args = read_texts(node, key, path, "globs, one per argument", globs, true);
    if (args.ok())
      rule.args = std::move(args).value();
    else
      errors.push_back(std::move(args).error());
  }
}

void read_rule_key(Rule& rule, std::string_view key, const toml::node& node, std::string_view path,
                   Errors& errors, Errors& warnings) {
  if (key == "reason") {
    const auto* text = node.as_string();
    if (text == nullptr || text->get().empty() || text->get().find('\0') != std::string::npos) {
      errors.push_back(where(path, node.source()) + "reason must be a non-empty text");
      return;
    }
    rule.reason = text->get();
    return;
  }
  if (key == "approvals")
    return keep(read_count(node, key, path, kRuleApprovals, warnings), rule.approvals, errors);
  if (key == "reuse_for")
    return keep(read_count(node, key, path, kReuseSeconds, warnings), rule.reuse_for, errors);
  if (key == "max_timeout") {
    auto read = read_count(node, key, path, kRuleSeconds, warnings);
    if (read.ok())
      rule.max_timeout = read.value();
    else
      errors.push_back(std::move(read).error());
    return;
  }
  if (key == "approvers") return keep(read_names(node, key, path), rule.approvers, errors);
  if (key == "notify") return keep(read_argv(node, key, path), rule.notify, errors);
  read_rule_text(rule, key, node, path, errors);
}

// A rule's name: printable text, so that it can stand in logs and records.
bool is_rule_name(std::string_view name) {
  if (name.empty() || name.size() > 128) return false;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < ' ' || b == 0x7f || c == '"' || c == '\\') return false;
  }
  return true;
}

// The effect and the name first, so that the other keys can be judged
// against the effect.
void read_rule_head(Rule& rule, const toml::table& table, std::string_view path, bool& effect_known,
                    Errors& errors) {
  if (const toml::node* name = table.get("name")) {
    const auto* text = name->as_string();
    if (text == nullptr || !is_rule_name(text->get()))
      errors.push_back(where(path, name->source()) +
                       "name must be printable text of 1 to 128 bytes without \" or \\");
    else
      rule.name = text->get();
  } else {
    errors.push_back(rule.where + ": a rule needs a name");
  }
  if (const toml::node* effect = table.get("effect")) {
    const auto* text = effect->as_string();
    const std::optional<Effect> known = text ? effect_named(text->get()) : std::nullopt;
    if (!known) {
      errors.push_back(where(path, effect->source()) +
                       "effect must be \"approve\", \"deny\" or \"ask\"");
    } else {
      rule.effect = *known;
      effect_known = true;
    }
  } else {
    errors.push_back(rule.where + ": a rule needs an effect");
  }
}

// An error about `key` of a rule of `effect`, or nothing.
std::optional<std::string> misplaced(std::string_view key, Effect effect) {
  const std::optional<Effect> belongs = effect_of_key(key);
  if (belongs && *belongs != effect)
    return std::string(key) + " is only for " + std::string(effect_name(*belongs)) + " rules";
  if (effect == Effect::Approve && (key == "action" || key == "target_host")) {
    return "an approve rule may not match on " + std::string(key) +
           ", which the requester declares; match on verified facts (user, group, command, "
           "args, run_as) only";
  }
  return std::nullopt;
}

// An approve rule lets requests through unseen: it must say whose requests
// (user, group) or which program (command) it lets through. Without a
// command, args would approve any program given those arguments.
std::optional<std::string> unnamed_match(const Rule& rule) {
  if (rule.users.empty() && rule.groups.empty() && rule.commands.empty())
    return "an approve rule must name what it matches: user, group or command";
  if (rule.args && rule.commands.empty()) return "an approve rule with args must name its command";
  return std::nullopt;
}

Rule read_rule(const toml::table& table, std::string_view path, Errors& errors, Errors& warnings) {
  const std::size_t errors_before = errors.size();
  Rule rule;
  rule.where = where(path, table.source());
  rule.where.resize(rule.where.size() - 2);  // without ": "
  bool effect_known = false;
  read_rule_head(rule, table, path, effect_known, errors);
  for (const auto& [key, node] : table) {
    const std::string_view name = key.str();
    if (name == "name" || name == "effect") continue;
    if (!is_rule_key(name)) {
      errors.push_back(where(path, key.source()) + "unknown key \"" + std::string(name) +
                       "\" in a rule");
      continue;
    }
    if (effect_known) {
      if (auto problem = misplaced(name, rule.effect)) {
        errors.push_back(where(path, key.source()) + *problem);
        continue;
      }
    }
    read_rule_key(rule, name, node, path, errors, warnings);
  }
  if (effect_known && rule.effect == Effect::Deny && !table.contains("reason"))
    errors.push_back(rule.where + ": a deny rule needs a reason");
  if (effect_known && rule.effect == Effect::Ask && !table.contains("approvals"))
    errors.push_back(rule.where + ": an ask rule needs approvals (1 or more)");
  // Said only of an otherwise good rule: a key in error is not matched on.
  if (effect_known && rule.effect == Effect::Approve && errors.size() == errors_before) {
    if (auto problem = unnamed_match(rule)) errors.push_back(rule.where + ": " + *problem);
  }
  return rule;
}

void read_rules(Config& config, const toml::node& node, std::string_view path, Errors& errors) {
  const toml::array* array = node.as_array();
  if (array == nullptr || !array->is_array_of_tables()) {
    errors.push_back(where(path, node.source()) + "rule must be written as [[rule]] tables");
    return;
  }
  for (const toml::node& element : *array) {
    const std::size_t before = errors.size();
    Rule rule = read_rule(*element.as_table(), path, errors, config.warnings);
    for (const Rule& earlier : config.rules) {
      if (!rule.name.empty() && earlier.name == rule.name)
        errors.push_back(rule.where + ": a rule named \"" + rule.name + "\" is already at " +
                         earlier.where);
    }
    if (errors.size() == before) config.rules.push_back(std::move(rule));
  }
}

void read_top_key(Config& config, std::string_view key, const toml::node& node,
                  std::string_view path, Errors& errors) {
  if (key == "rule") return read_rules(config, node, path, errors);
  if (key == "notify") return keep(read_argv(node, key, path), config.notify, errors);
  if (key == "notify_user") {
    const auto* text = node.as_string();
    if (text == nullptr || !is_account_name(text->get())) {
      errors.push_back(where(path, node.source()) + "notify_user must be a user name");
      return;
    }
    config.notify_user = text->get();
    return;
  }
  if (auto read = read_key(config, key, node, path); !read.ok())
    errors.push_back(std::move(read).error());
}

// "file:LINE:COLUMN: ..." as numbers, to give errors in the file's order (the
// TOML reader hands keys over sorted by name); errors without a place last.
std::pair<std::uint64_t, std::uint64_t> place_of(std::string_view error, std::string_view path) {
  constexpr std::pair<std::uint64_t, std::uint64_t> kNowhere{~std::uint64_t{0}, 0};
  if (!error.starts_with(path) || error.size() <= path.size() || error[path.size()] != ':')
    return kNowhere;
  std::string_view rest = error.substr(path.size() + 1);
  std::uint64_t numbers[2] = {0, 0};
  for (std::uint64_t& number : numbers) {
    std::size_t digits = 0;
    while (digits < rest.size() && digits < 9 && rest[digits] >= '0' && rest[digits] <= '9')
      number = number * 10 + static_cast<std::uint64_t>(rest[digits++] - '0');
    if (digits == 0 || digits >= rest.size() || rest[digits] != ':') return kNowhere;
    rest.remove_prefix(digits + 1);
  }
  return {numbers[0], numbers[1]};
}

void sort_by_place(Errors& lines, std::string_view path) {
  std::stable_sort(lines.begin(), lines.end(), [&](const std::string& a, const std::string& b) {
    return place_of(a, path) < place_of(b, path);
  });
}

std::string joined(Errors errors, std::string_view path) {
  sort_by_place(errors, path);
  std::string text;
  for (const std::string& error : errors) {
    if (!text.empty()) text += '\n';
    text += error;
  }
  return text;
}

}  // namespace

std::string_view effect_name(Effect effect) {
  switch (effect) {
    case Effect::Approve:
      return "approve";
    case Effect::Deny:
      return "deny";
    case Effect::Ask:
      return "ask";
  }
  return "ask";
}

Result<Config, std::string> parse_config(std::string_view text, std::string_view path) {
  if (!utf8::is_valid(text)) return fail(std::string(path) + ": the file is not UTF-8 text");
  toml::table table;
  try {
    table = toml::parse(text, path);
  } catch (const toml::parse_error& error) {
    return fail(where(path, error.source()) + std::string(error.description()));
  }
  Config config;
  Errors errors;
  for (const auto& [key, node] : table) {
    // An unknown key is shown where the key itself is (a table's value
    // would point at its header or its first member).
    if (!is_known_key(key.str())) {
      errors.push_back(where(path, key.source()) + "unknown key \"" + std::string(key.str()) +
                       "\"");
      continue;
    }
    read_top_key(config, key.str(), node, path, errors);
  }
  if (auto fleet = check_fleet(config, path); !fleet.ok()) return fail(std::move(fleet).error());
  if (config.default_timeout > config.max_timeout) {
    errors.push_back(std::string(path) + ": default_timeout (" +
                     std::to_string(config.default_timeout) + ") is longer than max_timeout (" +
                     std::to_string(config.max_timeout) + ")");
  }
  for (std::string& problem : shadowing_problems(config)) errors.push_back(std::move(problem));
  check_signed_votes(config, path, errors);
  if (!errors.empty()) return fail(joined(std::move(errors), path));
  sort_by_place(config.warnings, path);
  return config;
}

std::optional<std::int64_t> prune_cutoff(const Config& config, std::int64_t now) {
  if (config.keep_days == 0) return std::nullopt;
  // keep_days is at most kMaxKeepDays (parse_config), so this cannot overflow.
  return now - static_cast<std::int64_t>(std::min(config.keep_days, kMaxKeepDays)) * 86400;
}

bool is_host_name(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && (i == 0 || (c != '.' && c != '_' && c != '-'))) return false;
  }
  return true;
}

std::string host_name_of(const Config& config) {
  if (config.host_name) return *config.host_name;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

Result<Config, std::string> load_config(const std::string& path, bool named) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) {
    if (errno == ENOENT && !named) return Config{};
    return fail(path + ": " + std::strerror(errno));
  }
  auto text = read_up_to(fd.get(), kMaxConfigBytes);
  if (!text.ok()) return fail(path + ": " + std::strerror(text.error()));
  if (text.value().size() > kMaxConfigBytes) return fail(path + ": the file is larger than 1 MiB");
  return parse_config(text.value(), path);
}

}  // namespace kelvane::service
