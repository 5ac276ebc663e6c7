#include "service/policy.h"

#include <algorithm>
#include <set>

#include "service/glob.h"
#include "support/quoting.h"

namespace kelvane::service {
namespace {

std::string listed(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ", ";
    out += quoted(texts[i]);
  }
  return out + "]";
}

bool any_glob_matches(const std::vector<std::string>& globs, std::string_view text) {
  return std::any_of(globs.begin(), globs.end(),
                     [&](const std::string& glob) { return glob_matches(glob, text); });
}

bool any_name_is(const std::vector<std::string>& names, std::string_view name) {
  return !name.empty() && std::find(names.begin(), names.end(), name) != names.end();
}

// One key of a rule, judged and (with `why`) explained.
class Judge {
 public:
  explicit Judge(std::vector<std::string>* why) : why_(why) {}

  bool matched() const { return matched_; }

  void note(bool fits, const std::string& text) {
    matched_ = matched_ && fits;
    if (why_) why_->push_back((fits ? "  yes: " : "  no:  ") + text);
  }

 private:
  std::vector<std::string>* why_;
  bool matched_ = true;
};

// `args` holds one glob per argument. The counts must be equal, except that
// a last glob of exactly "**" stands for any number of further arguments,
// none included.
bool args_match(const std::vector<std::string>& globs, const std::vector<std::string>& args) {
  const bool open_end = !globs.empty() && globs.back() == "**";
  const std::size_t fixed = open_end ? globs.size() - 1 : globs.size();
  if (open_end ? args.size() < fixed : args.size() != fixed) return false;
  for (std::size_t i = 0; i < fixed; ++i) {
    if (!glob_matches(globs[i], args[i])) return false;
  }
  return true;
}

void judge_sudo_keys(const Rule& rule, const PolicyFacts& facts, Judge& judge) {
  const bool wants_sudo = !rule.commands.empty() || rule.args || !rule.run_as.empty();
  if (!wants_sudo) return;
  if (!facts.sudo) {
    judge.note(false, "command, args and run_as match only requests verified as from sudo");
    return;
  }
  const SudoFacts& sudo = *facts.sudo;
  if (!rule.commands.empty())
    judge.note(any_glob_matches(rule.commands, sudo.command),
               "command " + quoted(sudo.command) + " against " + listed(rule.commands));
  if (rule.args)
    judge.note(args_match(*rule.args, sudo.args),
               "args " + listed(sudo.args) + " against " + listed(*rule.args));
  if (!rule.run_as.empty())
    judge.note(any_name_is(rule.run_as, sudo.run_as),
               "run_as " + quoted(sudo.run_as) + " in " + listed(rule.run_as));
}

const std::vector<std::string>& approvers_of(const Config& config, const Rule& rule) {
  return rule.approvers.empty() ? config.approvers : rule.approvers;
}

PolicyOutcome outcome_of(const Config& config, const Rule* rule) {
  PolicyOutcome outcome;
  outcome.approvals = config.approvals;
  outcome.approvers = config.approvers;
  outcome.max_timeout = config.max_timeout;
  outcome.notify = config.notify;
  if (rule == nullptr) return outcome;
  outcome.effect = rule->effect;
  outcome.rule_name = rule->name;
  outcome.reason = rule->reason;
  if (rule->effect != Effect::Ask) return outcome;
  outcome.approvals = rule->approvals;
  outcome.approvers = approvers_of(config, *rule);
  outcome.max_timeout = rule->max_timeout.value_or(config.max_timeout);
  outcome.reuse_for = rule->reuse_for;
  if (!rule->notify.empty()) outcome.notify = rule->notify;
  return outcome;
}

// True when no text matches both lists: both hold plain names or paths only
// and share none. Globs are assumed to overlap.
bool surely_apart(const std::vector<std::string>& a, const std::vector<std::string>& b,
                  bool globs) {
  if (a.empty() || b.empty()) return false;
  std::set<std::string> left;
  for (const std::string& entry : a) {
    const std::optional<std::string> text = globs ? literal_of_glob(entry) : entry;
    if (!text) return false;
    left.insert(*text);
  }
  for (const std::string& entry : b) {
    const std::optional<std::string> text = globs ? literal_of_glob(entry) : entry;
    if (!text || left.contains(*text)) return false;
  }
  return true;
}

bool could_overlap(const Rule& a, const Rule& b) {
  return !surely_apart(a.users, b.users, false) && !surely_apart(a.run_as, b.run_as, false) &&
         !surely_apart(a.commands, b.commands, true);
}

// Whether `later` asks more of a requester than `earlier` (an ask rule).
bool stricter(const Config& config, const Rule& earlier, const Rule& later) {
  if (later.effect == Effect::Deny) return true;
  if (later.effect == Effect::Approve) return false;
  const std::vector<std::string>& mine = approvers_of(config, earlier);
  const std::vector<std::string>& theirs = approvers_of(config, later);
  const std::set<std::string> a(mine.begin(), mine.end());
  const std::set<std::string> b(theirs.begin(), theirs.end());
  return later.approvals > earlier.approvals || a != b || later.reuse_for < earlier.reuse_for;
}

}  // namespace

std::optional<SudoFacts> sudo_facts_of(const json::Value& context) {
  if (context.kind() != json::Value::Kind::Object) return std::nullopt;
  const json::Value* command = nullptr;
  const json::Value* argv = nullptr;
  const json::Value* run_as = nullptr;
  for (const json::Member& member : context.as_object()) {
    if (member.name() == "command") command = &member.value;
    if (member.name() == "argv") argv = &member.value;
    if (member.name() == "runAsUser") run_as = &member.value;
  }
  using Kind = json::Value::Kind;
  if (!command || !argv || !run_as || command->kind() != Kind::String ||
      argv->kind() != Kind::Array || run_as->kind() != Kind::String)
    return std::nullopt;
  SudoFacts facts;
  facts.command = std::string(command->as_string());
  facts.run_as = std::string(run_as->as_string());
  bool first = true;
  for (const json::Value& arg : argv->as_array()) {
    if (arg.kind() != Kind::String) return std::nullopt;
    if (!first) facts.args.emplace_back(arg.as_string());
    first = false;
  }
  if (first) return std::nullopt;  // sudo always passes argv[0]
  return facts;
}

bool rule_matches(const Rule& rule, const PolicyFacts& facts, std::vector<std::string>* why) {
  Judge judge(why);
  const std::string user =
      facts.user.empty() ? "uid " + std::to_string(facts.uid) : quoted(facts.user);
  if (!rule.users.empty())
    judge.note(any_name_is(rule.users, facts.user), "user " + user + " in " + listed(rule.users));
  if (!rule.groups.empty()) {
    const bool member =
        std::any_of(facts.groups.begin(), facts.groups.end(),
                    [&](const std::string& g) { return any_name_is(rule.groups, g); });
    judge.note(member, "groups " + listed(facts.groups) + " meet " + listed(rule.groups));
  }
  judge_sudo_keys(rule, facts, judge);
  if (!rule.actions.empty())
    judge.note(any_glob_matches(rule.actions, facts.action),
               "action " + quoted(facts.action) + " (declared) against " + listed(rule.actions));
  if (!rule.target_hosts.empty())
    judge.note(any_glob_matches(rule.target_hosts, facts.target_host),
               "target_host " + quoted(facts.target_host) + " (declared) against " +
                   listed(rule.target_hosts));
  if (why && why->empty()) why->push_back("  yes: the rule names no facts, so it matches all");
  return judge.matched();
}

PolicyDecision decide_by_policy(const Config& config, const PolicyFacts& facts, bool explain) {
  PolicyDecision decision;
  for (const Rule& rule : config.rules) {
    RuleTrace* trace = nullptr;
    if (explain) {
      decision.trace.push_back({rule.name, rule.where, false, {}});
      trace = &decision.trace.back();
    }
    const bool matched = rule_matches(rule, facts, trace ? &trace->why : nullptr);
    if (trace) trace->matched = matched;
    if (matched) {
      decision.outcome = outcome_of(config, &rule);
      return decision;
    }
  }
  decision.outcome = outcome_of(config, nullptr);
  return decision;
}

std::vector<std::string> shadowing_problems(const Config& config) {
  std::vector<std::string> problems;
  const std::vector<Rule>& rules = config.rules;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const Rule& earlier = rules[i];
    if (!earlier.matches_declared_text() || earlier.effect == Effect::Deny) continue;
    for (std::size_t j = i + 1; j < rules.size(); ++j) {
      const Rule& later = rules[j];
      if (!could_overlap(earlier, later) || !stricter(config, earlier, later)) continue;
      problems.push_back(earlier.where + ": rule " + quoted(earlier.name) +
                         " matches on text the requester declares (action, target_host) and "
                         "stands before the stricter rule " +
                         quoted(later.name) + " at " + later.where +
                         ", which it could shadow; put it after that rule, or match on "
                         "verified facts");
      break;
    }
  }
  return problems;
}

}  // namespace kelvane::service
