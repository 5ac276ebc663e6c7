// The policy rules in the daemon's flow: the rule is chosen once the
// requester is identified (apply_policy, from on_identified); once the
// request is in the record, a deny or approve rule, or an approval the rule
// lets stand again, decides it at once (act_on_policy), and otherwise it
// waits for the rule's approvers, with the notify command told.
#include <ctime>

#include "daemon.h"
#include "policy_facts.h"
#include "support/quoting.h"

namespace kelvane::approvald {
namespace {

std::string voters_of(const std::vector<service::VoteRecord>& votes) {
  std::string names;
  for (const service::VoteRecord& vote : votes) {
    if (!vote.approve) continue;
    if (!names.empty()) names += ", ";
    names += vote.operator_name.empty() ? "uid " + std::to_string(vote.uid) : vote.operator_name;
  }
  return names;
}

}  // namespace

void Daemon::apply_policy(Requester& r, const service::VerifiedRequester& who) {
  const service::Config& config = settings_.config;
  const service::PolicyFacts facts = policy_facts(r.request, who, std::move(r.groups));
  r.groups = {};
  r.policy = service::decide_by_policy(config, facts).outcome;
  const service::PolicyOutcome& policy = r.policy;
  service::RequestRecord& record = r.record;
  if (!policy.rule_name.empty()) record.rule = policy.rule_name;
  if (policy.effect != service::Effect::Ask) {
    record.needed = 0;  // no operator is asked
    r.line.clear();
    return;
  }
  record.needed = policy.approvals;
  record.timeout_secs =
      std::min(r.request.timeout_secs.value_or(config.default_timeout), policy.max_timeout);
  const auto rule =
      std::find_if(config.rules.begin(), config.rules.end(),
                   [&](const service::Rule& x) { return x.name == policy.rule_name; });
  if (rule != config.rules.end() && !rule->approvers.empty()) r.approvers = rule->approvers;
  if (policy.reuse_for == 0) {
    r.line.clear();
    return;
  }
  const std::optional<std::string> key = ReuseCache::key_of(record, r.line, policy.rule_name);
  if (!key) return;
  r.reused = reuse_.find(*key, std::chrono::seconds(policy.reuse_for), ReuseCache::Clock::now());
  if (!r.reused) return;
  record.reused_from = r.reused->id;
  record.votes = r.reused->votes;
}

std::optional<Daemon::PolicyVerdict> Daemon::policy_verdict(const Requester& r) const {
  const service::PolicyOutcome& policy = r.policy;
  switch (policy.effect) {
    case service::Effect::Deny:
      return PolicyVerdict{Verdict::Denied, policy.reason};
    case service::Effect::Approve:
      return PolicyVerdict{Verdict::Approved, "approved by rule " + quoted(policy.rule_name)};
    case service::Effect::Ask:
      break;
  }
  if (!r.reused) return std::nullopt;
  return PolicyVerdict{Verdict::Approved, "approved again under rule " + quoted(policy.rule_name) +
                                              ": request " + r.reused->id + " was approved by " +
                                              voters_of(r.reused->votes)};
}

bool Daemon::act_on_policy(Requester& r) {
  std::optional<PolicyVerdict> verdict = policy_verdict(r);
  if (!verdict) return false;
  decide(r, verdict->verdict, std::move(verdict->detail), std::nullopt, {});
  return true;
}

void Daemon::remember_approval(const Requester& r) {
  // Only an approval by operators starts a window: a reuse does not make
  // its own window longer.
  if (r.policy.effect != service::Effect::Ask || r.policy.reuse_for == 0 || r.record.reused_from)
    return;
  const std::optional<std::string> key = ReuseCache::key_of(r.record, r.line, r.policy.rule_name);
  if (!key) return;
  reuse_.remember(*key, {r.record.id, r.record.votes, ReuseCache::Clock::now()});
}

// Who may vote on a request: named by its rule's approvers, or by the
// top-level ones when its rule names none; and then only a person other
// than its requester and its voters so far (judge_vote). In the fleet the
// database holds the same line (fleet::FleetStore::vote).
bool Daemon::may_vote_on(const Requester& r, const Identity& identity) const {
  return is_named_in(r.approvers ? *r.approvers : settings_.config.approvers, identity);
}

service::Person Daemon::person_of(const Operator& o) const {
  const std::string_view host = fleet_ ? std::string_view(fleet_->host_name()) : "";
  return service::Person{host, o.identity ? std::string_view(o.identity->name) : "",
                         o.credentials.uid};
}

void Daemon::notify_waiting(const Requester& r) {
  if (r.policy.notify.empty()) return;
  NotifyJob job;
  job.request_id = r.record.id;
  job.argv = r.policy.notify;
  job.user = settings_.config.notify_user;
  job.limit = std::chrono::seconds(settings_.config.notify_timeout);
  job.input = r.record_json + "\n";
  notifier_.submit(std::move(job));
}

}  // namespace kelvane::approvald
