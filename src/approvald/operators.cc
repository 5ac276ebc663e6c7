// The operators' side of the loop: who each operator is (SO_PEERCRED, its
// user and groups looked up off the loop), the operators' protocol, votes,
// and the events pushed to watching operators.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "daemon.h"
#include "record_upkeep.h"
#include "requester_text.h"
#include "service/answer.h"
#include "support/quoting.h"
#include "support/retry.h"
#include "support/utc_time.h"

#ifndef KOA_VERSION
#define KOA_VERSION "0.0.0"
#endif

namespace kelvane::approvald {
namespace {

// No new line of an operator is served while this much of its output is
// unsent: one that asks without reading waits on itself (operator_limits.cc
// bounds the rest).
constexpr std::size_t kServePause = std::size_t{64} << 10;
// Lines of one operator being answered at once; past this, its lines wait.
constexpr std::size_t kMaxRepliesInFlight = 1024;

std::string not_allowed(std::string_view what) {
  return "you are not allowed to " + std::string(what) +
         " (not an approver or auditor in the configuration)";
}

}  // namespace

void Daemon::accept_operators() {
  for (;;) {
    FileDescriptor fd(
        ::accept4(operators_listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.is_open()) return;
    const auto credentials = service::peer_credentials(fd.get());
    if (!credentials) continue;
    service::Accountable owner;
    if (!admit_operator(fd, *credentials, owner)) continue;
    const std::uint64_t key = next_key_++;
    if (!watch_fd(fd.get(), key, EPOLLIN | EPOLLRDHUP)) {
      // Closed unanswered; its place under operator_connections_per_user
      // is given back.
      if (auto count = operators_per_owner_.find(owner);
          count != operators_per_owner_.end() && --count->second == 0)
        operators_per_owner_.erase(count);
      continue;
    }
    auto o = std::make_unique<Operator>();
    o->key = key;
    o->fd = std::move(fd);
    o->credentials = *credentials;
    o->owner = owner;
    set_idle_deadline(*o);
    const uid_t uid = credentials->uid;
    const gid_t gid = credentials->gid;
    operators_.emplace(key, std::move(o));
    // Kept for NameCache::kLifetime: a change to the user's groups counts
    // from then, or at once after a reload.
    lookups_.submit([this, key, uid, gid]() -> std::function<void()> {
      Identity identity = names_.identity(uid, gid);
      return [this, key, identity = std::move(identity)]() mutable {
        auto found = operators_.find(key);
        if (found == operators_.end()) return;
        found->second->identity = std::move(identity);
        set_idle_deadline(*found->second);  // none with a role
        serve_operator_lines(*found->second);
      };
    });
  }
}

Role Daemon::role(const Operator& o) const {
  return o.identity ? role_of(settings_.config, *o.identity) : Role::None;
}

void Daemon::on_operator_event(Operator& o, std::uint32_t events) {
  // `o` may be closed (and freed) by what is done below: ask by its key.
  const std::uint64_t key = o.key;
  if (events & EPOLLOUT) {
    flush_operator(o);
    pump_history(o);
  }
  if (events & (EPOLLIN | EPOLLRDHUP)) {
    char buffer[65536];
    for (;;) {
      const ssize_t n = repeat_if_interrupted(
          [&] { return ::recv(o.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT); });
      if (n < 0 && errno == EAGAIN) break;
      if (n <= 0) {
        o.input_closed = true;
        break;
      }
      o.reader.hold(std::string_view(buffer, static_cast<std::size_t>(n)));
      // Lines wait while an answer waits for the record; past two lines'
      // worth the operator waits too (its sends block).
      if (o.reader.held() > 2 * service::kMaxOperatorLine) break;
    }
  }
  serve_operator_lines(o);
  if (operators_.count(key) == 0) return;
  if (events & (EPOLLHUP | EPOLLERR)) {
    close_operator(o);
    return;
  }
  // Listen for input only while it can be taken.
  std::uint32_t wanted = o.writing ? std::uint32_t{EPOLLOUT} : 0u;
  if (!o.input_closed && o.reader.held() <= 2 * service::kMaxOperatorLine)
    wanted |= EPOLLIN | EPOLLRDHUP;
  if (!change_fd(o.fd.get(), o.key, wanted)) lose_operator(o);
}

void Daemon::serve_operator_lines(Operator& o) {
  // Answers given while its lines are served only fill their slots.
  if (o.serving) return;
  const std::uint64_t key = o.key;
  o.serving = true;
  while (o.identity && o.replies.size() < kMaxRepliesInFlight && unsent(o) < kServePause &&
         !o.history) {
    const LineReader::Event event = o.reader.next();
    if (event == LineReader::Event::NeedMore) break;
    if (o.idle_deadline && event == LineReader::Event::Line) set_idle_deadline(o);
    const Reply to = o.take_slot();
    if (event == LineReader::Event::TooLong) {
      refuse(to, service::kOperatorBadLine,
             "the line is longer than " + std::to_string(service::kMaxOperatorLine) + " bytes");
      close_operator(o);
      return;
    }
    auto request = service::decode_operator_request(o.reader.line());
    if (!request.ok()) {
      refuse(to, service::kOperatorBadLine, request.error());
    } else {
      handle_operator_request(o, to, request.value());
    }
    if (operators_.count(key) == 0) return;
  }
  o.serving = false;
  // An operator that has said all it will and is owed nothing is done.
  if (o.input_closed && o.replies.empty() && !o.watching && !o.reader.holds_line_end() &&
      o.out.unsent() == 0) {
    close_operator(o);
  }
}

void Daemon::handle_operator_request(Operator& o, Reply to,
                                     const service::OperatorRequest& request) {
  const Role who = role(o);
  const bool may_read = who != Role::None;
  switch (request.op) {
    case service::OperatorOp::Status:
      return answer(to, status_answer(may_read));
    case service::OperatorOp::Cancel:
      cancel(o, to, request);
      return;
    case service::OperatorOp::List:
      if (!may_read) return refuse(to, service::kOperatorRefused, not_allowed("list requests"));
      return list_pending(o, to);
    case service::OperatorOp::Show:
      if (!may_read) return refuse(to, service::kOperatorRefused, not_allowed("see requests"));
      return show(to, request);
    case service::OperatorOp::History:
      if (!may_read) return refuse(to, service::kOperatorRefused, not_allowed("read the record"));
      return history(o, to, request);
    case service::OperatorOp::Watch: {
      if (!may_read) return refuse(to, service::kOperatorRefused, not_allowed("watch requests"));
      if (!o.watch_slot) o.watch_slot = to.slot;
      o.events_after = to.slot;
      o.watching = true;
      watchers_.insert(o.key);
      service::OperatorAnswer a;
      describe_signing(a);
      answer(to, std::move(a));
      for (const auto& [id, key] : pending_) {
        const Requester& r = *requesters_.at(key);
        if (shown_to_operators(r)) send_event(o, pending_event(r));
      }
      if (fleet_) write_others_to(o);
      return;
    }
    case service::OperatorOp::Vote:
      if (who != Role::Approver) {
        return refuse(to, service::kOperatorRefused,
                      "you are not an approver (approvers in the configuration)");
      }
      // Every uid of a requester's user namespace is the user who made it.
      if (const Requester* r = pending_request(request.id);
          r && r->cap_owner.is_user(o.credentials.uid))
        return refuse(to, service::kOperatorRefused,
                      "request " + request.id +
                          " is your own: someone else has to decide it (no self-approval)");
      return vote(o, to, request);
    // Approval tokens: keys are the administrator's, revocations an approver's.
    case service::OperatorOp::RotateKey:
      if (o.credentials.uid != 0) {
        return refuse(to, service::kOperatorRefused, "only root may rotate the signing key");
      }
      return rotate_key(to);
    case service::OperatorOp::Revoke:
      if (who != Role::Approver) {
        return refuse(to, service::kOperatorRefused,
                      "you are not an approver (approvers in the configuration)");
      }
      return revoke(to, request);
  }
}

service::OperatorAnswer Daemon::status_answer(bool may_read) const {
  service::OperatorAnswer a;
  a.version = KOA_VERSION;
  a.uptime_secs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_).count());
  a.pending = pending_.size();
  a.record_bytes = commits_->record_bytes();
  if (const std::time_t at = commits_->last_commit(); at != 0) a.last_commit = utc_text(at);
  a.last_backup = last_backup_time(directory_of(commits_->record_path()));
  // Who waits, and since when, is for those who may read requests: a member
  // of the operators' group without a role learns nothing of them.
  if (!may_read) return a;
  std::map<std::string, std::uint64_t> by_user;
  for (const auto& [id, key] : pending_) {
    const service::RequestRecord& record = requesters_.at(key)->record;
    ++by_user[record.verified_user.empty() ? std::to_string(record.verified_uid)
                                           : record.verified_user];
    // RFC 3339 UTC times of one form: their order is their text's.
    if (!a.oldest_pending || record.created_at < *a.oldest_pending)
      a.oldest_pending = record.created_at;
  }
  a.pending_by_user = std::move(by_user);
  return a;
}

void Daemon::list_pending(Operator& o, Reply to) {
  // Written straight from the records' kept text.
  service::RecordListAnswer answer(service::RecordListAnswer::Member::Requests,
                                   o.is_reply(to.slot));
  std::string line;
  answer.open(line);
  for (const auto& [id, key] : pending_) {
    const Requester& r = *requesters_.at(key);
    if (shown_to_operators(r)) answer.add_text(line, r.record_json);
  }
  if (fleet_) append_others(line, answer);
  answer.close(line);
  answer_text(to, std::move(line));
}

void Daemon::read_record(RecordRead read,
                         std::function<void(const Result<void, std::string>&)> then) {
  reads_.submit([this, read = std::move(read), then = std::move(then)]() -> std::function<void()> {
    Result<void, std::string> done;
    if (!reader_) {
      auto opened = service::Store::open_for_reading(record_path_);
      if (opened.ok()) {
        reader_ = std::move(opened).value();
      } else {
        done = fail(std::move(opened).error());
      }
    }
    if (reader_) done = read(*reader_);
    return [then, done = std::move(done)] { then(done); };
  });
}

// What a signed vote's message needs that a request's record does not say,
// told to operators only where votes can be signed (the answers' bytes are
// otherwise as before).
void Daemon::describe_signing(service::OperatorAnswer& a) const {
  if (!settings_.config.operator_keys) return;
  a.service_host = service::host_name_of(settings_.config);
  a.signed_votes = true;
}

void Daemon::show(Reply to, const service::OperatorRequest& request) {
  if (fleet_ && show_other(to, request.id)) return;
  for (const auto& [key, r] : requesters_) {
    // While its verdict is being recorded, the record's view holds: the
    // verdict may still end otherwise (refused, when it cannot be written).
    if (r->phase.has_id() && r->phase != Phase::Recording && r->record.id == request.id) {
      service::OperatorAnswer a;
      a.request = r->record;
      describe_signing(a);
      answer(to, std::move(a));
      return;
    }
  }
  with_recorded_request(to, request.id, [this](Reply later, service::RequestRecord record) {
    service::OperatorAnswer a;
    a.request = std::move(record);
    if (const service::RequestRecord* sent = unrecorded(a.request->id)) {
      a.request->state = sent->state;
      a.request->decided_at = sent->decided_at;
      a.request->detail_of_verdict = sent->detail_of_verdict;
    }
    answer(later, std::move(a));
  });
}

void Daemon::with_recorded_request(Reply to, const std::string& id,
                                   std::function<void(Reply, service::RequestRecord)> then) {
  auto found = std::make_shared<std::optional<service::RequestRecord>>();
  read_record(
      [found, id](service::Store& store) -> Result<void, std::string> {
        auto record = store.find(id);
        if (!record.ok()) return fail(std::move(record).error());
        *found = std::move(record).value();
        return {};
      },
      [this, to, found, id, then = std::move(then)](const Result<void, std::string>& done) {
        // Nothing is done for an operator that has gone meanwhile.
        if (operators_.count(to.operator_key) == 0) return;
        if (!done.ok()) {
          journal_.note("cannot read the record: " + done.error());
          refuse(to, service::kOperatorRefused, "the record cannot be read");
        } else if (!*found) {
          refuse(to, service::kOperatorRefused, "there is no request " + id);
        } else {
          then(to, std::move(**found));
        }
      });
}

void Daemon::history(Operator& o, Reply to, const service::OperatorRequest& request) {
  auto stream = std::make_unique<HistoryStream>();
  stream->slot = to.slot;
  stream->answer =
      service::RecordListAnswer(service::RecordListAnswer::Member::Records, o.is_reply(to.slot));
  if (request.since) stream->since = utc_text(*request.since);
  stream->left = request.limit;
  o.history = std::move(stream);
  read_history_page(o);
}

// Why a request that is not pending cannot be voted on or cancelled.
void Daemon::about_decided(Reply to, const std::string& id) {
  for (const auto& [key, r] : requesters_) {
    if (r->phase.decided() && r->record.id == id) {
      // Until the record has it, the verdict may still change (to refused).
      if (r->phase == Phase::Recording) {
        refuse(to, service::kOperatorRefused,
               "request " + id + " is no longer open: its verdict is being recorded");
      } else {
        refuse(to, service::kOperatorRefused, "request " + id + " is already " + r->record.state);
      }
      return;
    }
  }
  if (const service::RequestRecord* sent = unrecorded(id)) {
    refuse(to, service::kOperatorRefused, "request " + id + " is already " + sent->state);
    return;
  }
  auto found = std::make_shared<std::optional<service::RequestRecord>>();
  read_record(
      [found, id](service::Store& store) -> Result<void, std::string> {
        auto record = store.find(id);
        if (!record.ok()) return fail(std::move(record).error());
        *found = std::move(record).value();
        return {};
      },
      [this, to, found, id](const Result<void, std::string>&) {
        const bool known = *found && (*found)->state != "pending";
        refuse(to, service::kOperatorRefused,
               known ? "request " + id + " is already " + (*found)->state
                     : "there is no pending request " + id);
      });
}

void Daemon::vote(Operator& o, Reply to, const service::OperatorRequest& request) {
  // The requester's terminal shows the reason as it is.
  if (request.reason) {
    if (std::optional<std::string> refusal = reason_refusal(*request.reason)) {
      return refuse(to, service::kOperatorBadLine, *refusal);
    }
  }
  if (fleet_ && request.signature) {
    return refuse(to, service::kOperatorRefused,
                  "signed votes are not carried by the fleet's database yet; vote without --key");
  }
  if (fleet_) return fleet_vote(o, to, request);
  Requester* r = pending_request(request.id);
  if (r == nullptr) return about_decided(to, request.id);
  if (!may_vote_on(*r, *o.identity)) {
    return refuse(
        to, service::kOperatorRefused,
        "you are not an approver of request " + request.id +
            (r->record.rule ? " (its rule " + quoted(*r->record.rule) + " names who decides)"
                            : " (approvers in the configuration)"));
  }
  const service::Person voter = person_of(o);
  auto judged = judge_vote(r->record, voter, request.approve);
  if (!judged.ok()) return refuse(to, service::kOperatorRefused, judged.error());
  const std::time_t now = std::time(nullptr);
  auto signature =
      check_vote_signature(r->record, request, o.identity->name, settings_.config,
                           settings_.operator_keys, service::host_name_of(settings_.config), now);
  if (!signature.ok()) return refuse(to, service::kOperatorRefused, signature.error());
  service::VoteRecord vote{o.identity->name,
                           voter.uid,
                           request.approve,
                           request.reason,
                           utc_text(now),
                           std::nullopt,
                           std::move(signature.value().signature),
                           std::move(signature.value().key_fingerprint),
                           signature.value().signed_at};
  r->record.votes.push_back(vote);
  refresh_json(*r);
  std::uint64_t yes = 0;
  for (const auto& v : r->record.votes) yes += v.approve ? 1 : 0;
  const std::uint64_t needed = r->record.needed;
  auto reply = [this, to, yes, needed](const std::string& state, bool ok) {
    if (!ok) {
      refuse(to, service::kOperatorRefused, "the record cannot be written; the vote is not taken");
    } else {
      service::OperatorAnswer a;
      a.state = state;
      a.votes = yes;
      a.needed = needed;
      answer(to, std::move(a));
    }
  };
  const Outcome outcome = judged.value();
  if (outcome == Outcome::StillPending) {
    commits_->submit(
        [id = r->record.id, vote](service::Store& store) { return store.add_vote(id, vote); },
        [reply](const Result<void, std::string>& done) { reply("pending", done.ok()); });
    return;
  }
  const Verdict verdict = outcome == Outcome::Approved ? Verdict::Approved : Verdict::Denied;
  decide(*r, verdict, verdict_detail(r->record, outcome), vote,
         [reply, state = std::string(state_text(verdict))](bool ok) { reply(state, ok); });
}

void Daemon::cancel(Operator& o, Reply to, const service::OperatorRequest& request) {
  Requester* r = pending_request(request.id);
  // Without a role, another's request, or one that is decided, is not
  // there: the answer says nothing of it.
  if (role(o) == Role::None && (r == nullptr || r->record.verified_uid != o.credentials.uid))
    return refuse(to, service::kOperatorRefused, "there is no pending request " + request.id);
  if (r == nullptr) return about_decided(to, request.id);
  if (r->record.verified_uid != o.credentials.uid) {
    return refuse(to, service::kOperatorRefused,
                  "request " + request.id + " is not yours: only its requester may cancel it");
  }
  decide(*r, Verdict::Withdrawn, "the requester withdrew the request", std::nullopt,
         [this, to](bool ok) {
           if (ok) {
             service::OperatorAnswer a;
             a.state = "withdrawn";
             answer(to, std::move(a));
           } else {
             refuse(to, service::kOperatorRefused, "the record cannot be written");
           }
         });
}

void Daemon::answer(Reply to, service::OperatorAnswer a) {
  const auto found = operators_.find(to.operator_key);
  if (found == operators_.end()) return;
  Operator& o = *found->second;
  a.reply = o.is_reply(to.slot);
  fill_slot(o, to.slot, service::encode_answer(a));
  serve_operator_lines(o);
}

void Daemon::refuse(Reply to, int status, std::string error) {
  answer(to, service::refused_answer(status, std::move(error)));
}

void Daemon::answer_text(Reply to, std::string text) {
  const auto found = operators_.find(to.operator_key);
  if (found == operators_.end()) return;
  fill_slot(*found->second, to.slot, std::move(text));
  serve_operator_lines(*found->second);
}

void Daemon::fill_slot(Operator& o, std::uint64_t slot, std::string text) {
  const auto found = o.replies.find(slot);
  if (found == o.replies.end()) return;
  found->second = std::move(text);
  while (!o.replies.empty() && o.replies.begin()->second) {
    const std::uint64_t written = o.replies.begin()->first;
    write_to_operator(o, *o.replies.begin()->second);
    o.replies.erase(o.replies.begin());
    if (written == o.events_after && !o.held_events.empty()) {
      const std::string events = std::move(o.held_events);
      o.held_events = {};
      write_to_operator(o, events);
    }
  }
  pump_history(o);
}

void Daemon::send_event(Operator& o, const std::string& line) {
  // Not in the middle of a history line being written.
  const bool midline = o.history && o.history->started;
  if (!midline && (!o.events_after || o.replies.count(*o.events_after) == 0)) {
    write_to_operator(o, line);
    return;
  }
  o.held_events += line;
  if (o.held_events.size() > backlog_cap(o)) drop_slow_operator(o);
}

void Daemon::write_to_operator(Operator& o, std::string_view text) {
  // One answer of any size is kept; more on top of a backlog past the cap
  // (events a slow reader does not read) is not.
  if (unsent(o) > backlog_cap(o)) {
    drop_slow_operator(o);
    return;
  }
  o.out.append(text);
  flush_operator(o);
}

void Daemon::drop_slow_operator(Operator& o) {
  journal_.note("an operator (uid " + std::to_string(o.credentials.uid) +
                ") reads too slowly; its connection is closed");
  lose_operator(o);
}

void Daemon::lose_operator(Operator& o) {
  // Closed on its hang-up, which epoll reports whatever it was asked for,
  // not here: callers still hold the operator.
  o.input_closed = true;
  o.watching = false;
  o.held_events = {};
  watchers_.erase(o.key);
  (void)::shutdown(o.fd.get(), SHUT_RDWR);
}

void Daemon::flush_operator(Operator& o) {
  switch (o.out.flush(o.fd.get())) {
    case SendBuffer::Flush::Blocked:
      if (!o.writing) {
        o.writing = true;
        std::uint32_t wanted = EPOLLOUT;
        if (!o.input_closed) wanted |= EPOLLIN | EPOLLRDHUP;
        if (!change_fd(o.fd.get(), o.key, wanted)) lose_operator(o);
      }
      return;
    case SendBuffer::Flush::Failed:
      o.out.clear();  // gone; its hang-up closes it
      break;
    case SendBuffer::Flush::Done:
      break;
  }
  if (o.writing) {
    o.writing = false;
    if (!change_fd(o.fd.get(), o.key, o.input_closed ? 0 : EPOLLIN | EPOLLRDHUP)) lose_operator(o);
  }
}

void Daemon::broadcast(const std::string& line) {
  std::vector<std::uint64_t> keys(watchers_.begin(), watchers_.end());
  for (const std::uint64_t key : keys) {
    auto found = operators_.find(key);
    if (found != operators_.end()) send_event(*found->second, line);
  }
}

void Daemon::close_operator(Operator& o) {
  watchers_.erase(o.key);
  timers_.arm(o.key, o.idle_deadline, std::nullopt);
  if (auto count = operators_per_owner_.find(o.owner);
      count != operators_per_owner_.end() && --count->second == 0)
    operators_per_owner_.erase(count);
  (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, o.fd.get(), nullptr);
  operators_.erase(o.key);
}

}  // namespace kelvane::approvald
