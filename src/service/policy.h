// The policy rules at work: which [[rule]] of the configuration decides a
// request, from the facts the service has about it, and why (for `explain`).
//
// Facts are either verified (the requester's user and groups from the
// kernel's uid; for sudo, the command the plugin reports from inside sudo)
// or declared (the action and target host the requester wrote). A rule that
// uses declared text can be chosen by a requester who writes that text; the
// configuration check keeps such a rule from standing in front of a stricter
// one (shadowing_problems).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "json/value.h"
#include "service/config.h"

namespace kelvane::service {

// What sudo is about to run, as the approval plugin reports it from inside
// sudo. Trusted only when the requester is verified as root running sudo.
struct SudoFacts {
  std::string command;            // the path sudo executes
  std::vector<std::string> args;  // argv without argv[0]
  std::string run_as;             // the run-as user's name
};

struct PolicyFacts {
  uid_t uid = 0;
  std::string user;                 // "" when the uid has no name
  std::vector<std::string> groups;  // names of all the user's groups
  std::optional<SudoFacts> sudo;    // only for a request verified as from sudo
  std::string action;               // declared
  std::string target_host;          // declared
};

// The plugin's facts in a request context ("command", "argv", "runAsUser");
// nullopt when any is missing or of another type.
std::optional<SudoFacts> sudo_facts_of(const json::Value& context);

// What the service does with a request: the matching rule's effect with the
// top-level settings filled in where the rule leaves them, or, when no rule
// matches, the top-level ask (rule_name empty).
struct PolicyOutcome {
  Effect effect = Effect::Ask;
  std::string rule_name;  // "" when no rule matched
  std::string reason;     // deny
  std::uint64_t approvals = 1;
  std::vector<std::string> approvers;  // user names and @group names
  std::uint64_t max_timeout = 0;
  std::uint64_t reuse_for = 0;
  std::vector<std::string> notify;  // argv, empty for none
};

struct RuleTrace {
  std::string name;
  std::string where;  // file:line:column of the rule
  bool matched = false;
  std::vector<std::string> why;  // one line per key looked at
};

struct PolicyDecision {
  PolicyOutcome outcome;
  // With `explain`: every rule looked at, in order, up to the one that
  // matched.
  std::vector<RuleTrace> trace;
};

PolicyDecision decide_by_policy(const Config& config, const PolicyFacts& facts,
                                bool explain = false);

// Whether one rule matches; with `why`, one line per key.
bool rule_matches(const Rule& rule, const PolicyFacts& facts,
                  std::vector<std::string>* why = nullptr);

// Rules on declared text (action, target_host) that stand before a stricter
// rule they could shadow, each with the two rules' places. "Could shadow":
// unless the verified keys both rules name (user, command, run_as) are
// lists of plain names or paths with nothing in common, a requester may be
// able to match both, and then picks the earlier one by what it declares.
// "Stricter": a deny rule, or an ask rule that needs more approvals, other
// approvers, or a shorter reuse_for than the earlier ask rule.
std::vector<std::string> shadowing_problems(const Config& config);

}  // namespace kelvane::service
