// The daemon with store = "postgresql": its requests also wait in the
// fleet's shared database, every vote is cast there (and the verdict it
// reaches is written there, in the vote's transaction), and this host's
// operators see and vote on every host's pending requests. The local
// record keeps what this service decided and sent, as with SQLite alone.
#include <algorithm>
#include <ctime>
#include <unordered_set>

#include "daemon.h"
#include "service/answer.h"
#include "service/id_block.h"
#include "support/utc_time.h"

namespace kelvane::approvald {
namespace {

std::string unreachable(const std::string& why) {
  return "the fleet's database cannot be reached (" + why + ")";
}

}  // namespace

void Daemon::start_fleet() {
  FleetLink::Events events;
  events.verdict = [this](const fleet::HostedRequest& hosted) { on_fleet_verdict(hosted); };
  events.others_pending = [this](std::vector<fleet::HostedRequest> others,
                                 std::unordered_map<std::string, std::string> closed) {
    on_others_pending(std::move(others), std::move(closed));
  };
  events.other_changed = [this](std::vector<fleet::HostedRequest> changed,
                                std::unordered_map<std::string, std::string> closed) {
    on_other_changed(std::move(changed), std::move(closed));
  };
  events.own_votes = [this](const fleet::HostedRequest& hosted) {
    // Votes cast elsewhere show in list and show here at once; the
    // verdict's commit puts them in the record.
    Requester* r = pending_request(hosted.record.id);
    // Votes are only ever added: a read older than what a vote of this
    // host's brought back changes nothing.
    if (r == nullptr || !r->in_fleet || r->fleet_settled ||
        hosted.record.votes.size() <= r->record.votes.size())
      return;
    r->record.votes = hosted.record.votes;
    refresh_json(*r);
  };
  events.reconnected = [this] { on_fleet_reconnected(); };
  events.keys = [this](std::vector<fleet::HostKeys> hosts) { on_fleet_keys(std::move(hosts)); };
  fleet_->begin(mailbox_, std::move(events));
  fleet_publish_keys();
}

void Daemon::reserve_fleet_ids() {
  fleet_->submit([this](fleet::FleetStore* store) {
    auto first = store ? store->reserve_id_block()
                       : fleet::StoreResult<std::uint64_t>(fail(
                             fleet::StoreError{unreachable(fleet_->last_error()), false, true}));
    mailbox_.post([this, first = std::move(first)] {
      reserving_ids_ = false;
      if (!first.ok()) {
        journal_.note("cannot reserve request ids: " + first.error().message);
        return;
      }
      // Blocks of other services lie between this one's.
      next_id_ = first.value();
      id_limit_ = first.value() + service::kIdBlock;
    });
  });
}

void Daemon::fleet_insert(Requester& r) {
  const std::uint64_t key = r.key;
  // A request its rule decides goes into the shared database with that
  // verdict, in one statement: no other host's operator ever sees it
  // pending. It is decided here just as without the fleet.
  service::RequestRecord record = r.record;
  const std::optional<PolicyVerdict> verdict = policy_verdict(r);
  if (verdict) {
    record.state = state_text(verdict->verdict);
    record.decided_at = utc_text(std::time(nullptr));
    record.detail_of_verdict = verdict->detail;
    // The reused votes stay with the request they were cast on (reused_from).
    record.votes.clear();
  }
  const bool decided = verdict.has_value();
  fleet_inserting_.insert(r.record.id);
  fleet_->submit([this, key, decided, record = std::move(record),
                  approvers =
                      r.approvers.value_or(std::vector<std::string>{})](fleet::FleetStore* store) {
    std::string error;
    auto inserted = store ? store->insert_request(record, approvers)
                          : fleet::StoreResult<void>(fail(fleet::StoreError{"", false, true}));
    // A session lost since the last statement (the server restarted) is
    // worth one fresh try before refusing.
    if (!inserted.ok() && inserted.error().connection_lost) {
      store = fleet_->reconnect_now();
      if (store) inserted = store->insert_request(record, approvers);
    }
    if (store == nullptr) {
      error = unreachable(fleet_->last_error());
    } else if (!inserted.ok()) {
      error = inserted.error().connection_lost
                  ? unreachable(inserted.error().message)
                  : "the fleet's database refuses the request (" + inserted.error().message + ")";
    }
    mailbox_.post([this, key, decided, id = record.id, error] {
      fleet_inserting_.erase(id);
      auto early = early_verdicts_.extract(id);
      auto found = requesters_.find(key);
      if (found == requesters_.end()) return;
      Requester& waiting = *found->second;
      if (!error.empty()) {
        // Not in the shared database, so no operator can see it: fail
        // closed at once rather than wait for a verdict that cannot come.
        journal_.note("request " + waiting.record.id + ": " + error);
        decide(waiting, Verdict::Refused, error, std::nullopt, {});
        return;
      }
      waiting.in_fleet = true;
      waiting.record.host = fleet_->host_name();
      if (decided) {
        // Its verdict is in the database already: decide() records it
        // here only. (A rule's verdict stands even if the requester left.)
        waiting.fleet_settled = true;
        waiting.phase = Phase::Pending;
        act_on_policy(waiting);
        return;
      }
      start_waiting(waiting);
      if (!early.empty()) on_fleet_verdict(early.mapped());
    });
  });
}

void Daemon::fleet_settle(Requester& r, Verdict verdict, std::string detail,
                          std::optional<service::VoteRecord> vote,
                          std::function<void(bool)> after) {
  pending_.erase(r.id);
  set_deadline(r, std::nullopt);
  r.phase = Phase::Recording;
  release_place(r);
  const std::uint64_t key = r.key;
  const std::string decided_at = utc_text(std::time(nullptr));
  const std::string state(state_text(verdict));
  fleet_->submit([this, key, id = r.record.id, verdict, state, detail, decided_at,
                  vote = std::move(vote),
                  after = std::move(after)](fleet::FleetStore* store) mutable {
    // The database may already hold another verdict (votes on another
    // host reached it first): that one is what the requester gets.
    std::optional<std::string> other_state;  // the database's, when it had another
    std::string final_detail = detail;
    std::optional<std::vector<service::VoteRecord>> votes;
    std::string note;
    bool lost = store == nullptr;
    if (store == nullptr) {
      note = unreachable(fleet_->last_error());
    } else if (auto closed = store->close_request(id, state, decided_at, detail); !closed.ok()) {
      note = closed.error().message;
      lost = closed.error().connection_lost;
    } else {
      // The votes cast on it, on any host, go into this host's record with
      // whichever verdict it ends in.
      auto found = store->find(id);
      if (found.ok() && found.value()) {
        votes = std::move(found.value()->record.votes);
        if (closed.value()) {
          other_state = found.value()->record.state;
          final_detail = found.value()->record.detail_of_verdict.value_or("");
        }
      }
    }
    const bool unclosed = lost;
    mailbox_.post([this, key, id, verdict, state, detail, decided_at, unclosed, other_state,
                   final_detail, note, votes = std::move(votes), vote = std::move(vote),
                   after = std::move(after)]() mutable {
      if (unclosed) fleet_unclosed_.push_back({id, state, decided_at, detail});
      auto found = requesters_.find(key);
      if (found == requesters_.end()) return;
      Requester& settled = *found->second;
      // Unrecorded in the database, the local verdict still stands (it is
      // never an approval: those come from the database).
      if (!note.empty()) journal_.note("request " + settled.record.id + ": " + note);
      settled.fleet_settled = true;
      if (votes) settled.record.votes = std::move(*votes);
      Verdict final_verdict = verdict;
      if (other_state) {
        if (const std::optional<Verdict> named = verdict_named(*other_state)) {
          final_verdict = *named;
        } else {
          // A state no verdict has (another service abandoned it): fail
          // closed, as when the database announces it (on_fleet_verdict).
          final_verdict = Verdict::Refused;
          final_detail =
              "the fleet's database closed the request as " + *other_state + ": " + final_detail;
        }
      }
      decide(settled, final_verdict, final_detail, std::move(vote), std::move(after));
    });
  });
}

void Daemon::fleet_vote(Operator& o, Reply to, const service::OperatorRequest& request) {
  const service::Person voter = person_of(o);
  if (Requester* r = pending_request(request.id)) {
    // This host's own checks first (the record's votes as the database last
    // told them); the database checks every vote again in its transaction.
    auto judged = judge_vote(r->record, voter, request.approve);
    if (!judged.ok()) return refuse(to, service::kOperatorRefused, judged.error());
  }
  const service::VoteRecord vote{
      o.identity->name,   voter.uid, request.approve, request.reason, utc_text(std::time(nullptr)),
      fleet_->host_name()};
  // This host vouches for its operator's name and groups; the requesting
  // host's rule, stored with the request, says whether they count.
  const fleet::Voter rights{o.identity->groups,
                            is_named_in(settings_.config.approvers, *o.identity)};
  fleet_->submit([this, to, id = request.id, vote, rights](fleet::FleetStore* store) {
    auto outcome =
        store ? store->vote(id, vote, rights)
              : fleet::StoreResult<fleet::VoteOutcome>(fail(fleet::StoreError{"", false, true}));
    // As for a request: one fresh try on a session lost meanwhile.
    if (!outcome.ok() && outcome.error().connection_lost) {
      store = fleet_->reconnect_now();
      if (store) outcome = store->vote(id, vote, rights);
    }
    if (store == nullptr)
      outcome = fail(fleet::StoreError{unreachable(fleet_->last_error()), false, true});
    mailbox_.post([this, to, id, vote, outcome = std::move(outcome)] {
      Requester* r = pending_request(id);
      if (outcome.ok() && r != nullptr && r->in_fleet && !r->fleet_settled) {
        // Every host's votes, as the database has them with this one.
        r->record.votes = outcome.value().votes;
        const std::string& state = outcome.value().state;
        if (state == "approved" || state == "denied") {
          r->fleet_settled = true;
          const bool approved = state == "approved";
          decide(*r, approved ? Verdict::Approved : Verdict::Denied,
                 verdict_detail(r->record, approved ? Outcome::Approved : Outcome::Denied), vote,
                 {});
        } else {
          refresh_json(*r);
        }
      }
      if (!outcome.ok()) {
        const fleet::StoreError& error = outcome.error();
        refuse(to, service::kOperatorRefused,
               error.refused ? error.message : error.message + "; the vote is not taken");
      } else {
        service::OperatorAnswer a;
        a.state = outcome.value().state;
        a.votes = outcome.value().yes;
        a.needed = outcome.value().needed;
        answer(to, std::move(a));
      }
    });
  });
}

void Daemon::on_fleet_verdict(const fleet::HostedRequest& hosted) {
  if (fleet_inserting_.contains(hosted.record.id)) {
    early_verdicts_.insert_or_assign(hosted.record.id, hosted);
    return;
  }
  Requester* r = pending_request(hosted.record.id);
  if (r == nullptr || !r->in_fleet || r->fleet_settled) return;
  r->fleet_settled = true;
  r->record.votes = hosted.record.votes;
  const std::string& state = hosted.record.state;
  if (state == "approved" || state == "denied") {
    const bool approved = state == "approved";
    decide(*r, approved ? Verdict::Approved : Verdict::Denied,
           verdict_detail(r->record, approved ? Outcome::Approved : Outcome::Denied), std::nullopt,
           {});
    return;
  }
  // Abandoned by another service that found this one's lock free (it was
  // cut off from the database for a while): fail closed.
  decide(*r, Verdict::Refused,
         "the fleet's database closed the request as " + state + ": " +
             hosted.record.detail_of_verdict.value_or(""),
         std::nullopt, {});
}

void Daemon::on_others_pending(std::vector<fleet::HostedRequest> others,
                               std::unordered_map<std::string, std::string> closed) {
  std::unordered_set<std::string> before;
  for (const auto& [record, json] : others_) before.insert(record.id);
  std::unordered_set<std::string> now;
  std::vector<std::pair<service::RequestRecord, std::string>> next;
  next.reserve(others.size());
  for (fleet::HostedRequest& hosted : others) {
    std::string json;
    service::append_request_record(json, hosted.record);
    now.insert(hosted.record.id);
    if (!before.contains(hosted.record.id)) broadcast(service::encode_pending_event_of(json));
    next.emplace_back(std::move(hosted.record), std::move(json));
  }
  for (const auto& [record, json] : others_) {
    if (now.contains(record.id)) continue;
    const auto state = closed.find(record.id);
    // A verdict whose notification was lost while the session was down:
    // it closed, in a state this service did not hear.
    service::OperatorEvent event{service::OperatorEvent::Kind::Closed, std::nullopt, record.id,
                                 state == closed.end() ? "abandoned" : state->second};
    broadcast(service::encode_event(event));
  }
  others_ = std::move(next);
}

void Daemon::on_other_changed(std::vector<fleet::HostedRequest> changed,
                              std::unordered_map<std::string, std::string> closed) {
  for (fleet::HostedRequest& hosted : changed) {
    if (closed.contains(hosted.record.id)) continue;  // read before it closed
    std::string json;
    service::append_request_record(json, hosted.record);
    auto known = std::find_if(others_.begin(), others_.end(), [&](const auto& other) {
      return other.first.id == hosted.record.id;
    });
    if (known != others_.end()) {
      // New votes: what list and show give; watchers saw it already.
      *known = {std::move(hosted.record), std::move(json)};
      continue;
    }
    broadcast(service::encode_pending_event_of(json));
    others_.emplace_back(std::move(hosted.record), std::move(json));
  }
  for (const auto& entry : closed) {
    const std::string& id = entry.first;
    auto known = std::find_if(others_.begin(), others_.end(),
                              [&](const auto& other) { return other.first.id == id; });
    if (known == others_.end()) continue;
    others_.erase(known);
    broadcast(service::encode_event(
        {service::OperatorEvent::Kind::Closed, std::nullopt, id, entry.second}));
  }
}

void Daemon::on_fleet_reconnected() {
  // This host's keys may not have reached the database before it went.
  fleet_publish_keys();
  // Notifications sent while the session was down are lost: ask after
  // every request this host still waits on.
  std::vector<std::string> ids;
  for (const auto& [number, key] : pending_) {
    const Requester& r = *requesters_.at(key);
    if (r.in_fleet && !r.fleet_settled) ids.push_back(r.record.id);
  }
  std::vector<Unclosed> unclosed = std::move(fleet_unclosed_);
  fleet_unclosed_.clear();
  if (ids.empty() && unclosed.empty()) return;
  fleet_->submit([this, ids, unclosed = std::move(unclosed)](fleet::FleetStore* store) {
    // The listening session is back; this one may not be yet (it waits a
    // second between attempts, or has not yet found its session lost to
    // the server's restart). One fresh attempt now: otherwise a verdict
    // reached meanwhile waits for its request's expiry.
    if (store == nullptr || !store->connection().exec("SELECT 1").ok())
      store = fleet_->reconnect_now();
    if (store == nullptr) {
      mailbox_.post([this, unclosed] {
        fleet_unclosed_.insert(fleet_unclosed_.end(), unclosed.begin(), unclosed.end());
      });
      return;
    }
    std::vector<Unclosed> failed;
    for (const Unclosed& u : unclosed) {
      // A verdict reached there meanwhile stays: the requester was told
      // this service's, which was never an approval.
      if (!store->close_request(u.id, u.state, u.decided_at, u.detail).ok()) failed.push_back(u);
    }
    if (!failed.empty()) {
      mailbox_.post([this, failed] {
        fleet_unclosed_.insert(fleet_unclosed_.end(), failed.begin(), failed.end());
      });
    }
    for (const std::string& id : ids) {
      auto found = store->find(id);
      if (!found.ok() || !found.value() || found.value()->record.state == "pending") continue;
      mailbox_.post([this, hosted = std::move(*found.value())] { on_fleet_verdict(hosted); });
    }
  });
}

void Daemon::append_others(std::string& line, service::RecordListAnswer& answer) const {
  for (const auto& [record, json] : others_) answer.add_text(line, json);
}

void Daemon::write_others_to(Operator& o) {
  for (const auto& [record, json] : others_) send_event(o, service::encode_pending_event_of(json));
}

bool Daemon::show_other(Reply to, const std::string& id) {
  for (const auto& [record, json] : others_) {
    if (record.id != id) continue;
    service::OperatorAnswer a;
    a.request = record;
    answer(to, std::move(a));
    return true;
  }
  return false;
}

}  // namespace kelvane::approvald
