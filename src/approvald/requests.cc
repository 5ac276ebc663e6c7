// The requesters' side of the loop: accepting under the caps, reading the
// one request line within its limits, identifying the requester off the
// loop, waiting for a verdict, recording it and only then sending it.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "daemon.h"
#include "json/json.h"
#include "policy_facts.h"
#include "requester_text.h"
#include "service/answer.h"
#include "service/id_block.h"
#include "service/request_limits.h"
#include "support/retry.h"
#include "support/utc_time.h"

namespace kelvane::approvald {
namespace {

constexpr std::uint32_t kReading = EPOLLIN | EPOLLRDHUP;
// After the line only a hang-up or an error is of interest (epoll always
// reports those); a half-close is not leaving.
constexpr std::uint32_t kWaiting = 0;

std::string now_text() {
  return utc_text(std::time(nullptr));
}

// Sends what fits at once on a socket that is then closed.
void send_once(int fd, const std::string& line) {
  (void)::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// The verdict the client is sent for a request that closed in `state`.
std::string_view verdict_of(std::string_view state) {
  const std::optional<Verdict> verdict = verdict_named(state);
  return verdict ? sent_verdict(*verdict) : state;
}

}  // namespace

std::optional<RequestId> Daemon::take_id() {
  if (!reserving_ids_ && id_limit_ - next_id_ < service::kIdBlock / 2) {
    reserving_ids_ = true;
    auto first = std::make_shared<std::uint64_t>(0);
    if (fleet_)
      reserve_fleet_ids();
    else
      commits_->submit(
          [first](service::Store& store) -> Result<void, std::string> {
            auto reserved = store.reserve_ids(service::kIdBlock);
            if (!reserved.ok()) return fail(std::move(reserved).error());
            *first = reserved.value();
            return {};
          },
          [this, first](const Result<void, std::string>& done) {
            reserving_ids_ = false;
            if (!done.ok()) {
              journal_.note("cannot reserve request ids: " + done.error());
              return;
            }
            // The sequence only goes up, so the new block follows the old one.
            if (*first == id_limit_)
              id_limit_ += service::kIdBlock;
            else {
              next_id_ = *first;
              id_limit_ = *first + service::kIdBlock;
            }
          });
  }
  if (next_id_ >= id_limit_) return std::nullopt;
  return RequestId(next_id_++);
}

void Daemon::accept_requesters() {
  // At most this many at once: a flood of connections queued behind each
  // other must not keep the loop from what the others are owed.
  constexpr int kAcceptsPerTurn = 256;
  for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
    if (refusals_.size() >= kMaxHeldRefusals) {
      // Refusals waiting for the record hold descriptors: new connections
      // wait in the listen backlog until the next commit lets those go.
      pause_accepting(std::chrono::milliseconds(5));
      return;
    }
    FileDescriptor fd(
        ::accept4(requests_listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.is_open()) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: leave the rest queued for a moment rather than
        // spin on a listener that stays readable.
        journal_.note(std::string("accept: ") + std::strerror(errno));
        pause_accepting(std::chrono::milliseconds(100));
      }
      return;
    }
    const auto credentials = service::peer_credentials(fd.get());
    if (!credentials) continue;  // closed: the kernel cannot say who it was
    uid_t cap_uid = credentials->uid;
    if (cap_uid == 0) {
      // sudo before it changes user: the invoking user's cap, not root's.
      if (auto real = service::real_uid_of(credentials->pid); real && *real != 0) cap_uid = *real;
    }
    // Every uid of a user namespace is the user who made it.
    auto owner = service::namespace_owner(fd.get(), credentials->pid);
    if (!owner.ok() && owner.error() == service::kOutOfDescriptors) {
      // As when accept itself finds none: the rest wait in the backlog.
      refuse_at_accept(std::move(fd), *credentials, service::Accountable{credentials->uid, 0},
                       "the approval service is out of descriptors; try again later");
      journal_.note(std::string("accept: ") + std::strerror(EMFILE));
      pause_accepting(std::chrono::milliseconds(100));
      return;
    }
    if (!owner.ok()) {
      refuse_at_accept(std::move(fd), *credentials, service::Accountable{credentials->uid, 0},
                       "the approval service cannot tell who is asking: " + owner.error());
      continue;
    }
    const service::Accountable cap_owner = owner.value().value_or(service::Accountable{cap_uid, 0});
    const service::Config& config = settings_.config;
    if (requesters_.size() >= config.max_pending) {
      refuse_at_accept(std::move(fd), *credentials, cap_owner,
                       "the approval service holds as many requests as it takes (max_pending = " +
                           std::to_string(config.max_pending) + "); try again later");
      continue;
    }
    if (const std::size_t held = per_owner_[cap_owner]; held >= owner_cap()) {
      refuse_at_accept(std::move(fd), *credentials, cap_owner, over_owner_cap(held));
      continue;
    }
    const std::uint64_t key = next_key_++;
    if (!watch_fd(fd.get(), key, kReading)) {
      refuse_at_accept(std::move(fd), *credentials, cap_owner,
                       "the approval service cannot take more connections now; try again later");
      continue;
    }
    auto r = std::make_unique<Requester>();
    r->key = key;
    r->fd = std::move(fd);
    r->credentials = *credentials;
    r->cap_uid = cap_uid;
    r->cap_owner = cap_owner;
    r->namespace_owner = owner.value();
    ++per_owner_[cap_owner];
    set_deadline(*r, Clock::now() + service::kRequestTimeLimit);
    requesters_.emplace(r->key, std::move(r));
  }
}

// Half of the total is kept for the others: one user, with every uid of
// their namespaces, never fills max_pending.
std::uint64_t Daemon::owner_cap() const {
  const service::Config& config = settings_.config;
  return std::min(config.max_pending_per_user, std::max<std::uint64_t>(1, config.max_pending / 2));
}

std::string Daemon::over_owner_cap(std::size_t held) const {
  const service::Config& config = settings_.config;
  if (held >= config.max_pending_per_user)
    return "this user already has " + std::to_string(held) +
           " requests waiting (max_pending_per_user = " +
           std::to_string(config.max_pending_per_user) + ")";
  return "this user already has " + std::to_string(held) +
         " requests waiting, half of what the approval service takes (max_pending = " +
         std::to_string(config.max_pending) + "); the rest is kept for other users";
}

void Daemon::refuse_at_accept(FileDescriptor fd, const service::PeerCredentials& credentials,
                              const service::Accountable& owner, const std::string& detail) {
  // No id, no row, no commit: the answer goes at once and the refusal is
  // counted (written with the others of its minute).
  send_once(fd.get(), service::decision_line("refused", detail, ""));
  if (accept_refusals_.count(owner, std::time(nullptr)))
    journal_.refusal("refused", owner.uid, static_cast<std::uint64_t>(credentials.pid),
                     detail + " [" + service::describe(owner) +
                         "; further refusals of this owner in this minute are counted, not "
                         "logged]");
  if (!refusal_count_at_)
    timers_.arm(kRefusalCountTimer, refusal_count_at_, Clock::now() + std::chrono::seconds(1));
}

void Daemon::write_accept_refusals() {
  timers_.arm(kRefusalCountTimer, refusal_count_at_, std::nullopt);
  const std::time_t now = std::time(nullptr);
  for (const std::string& line : accept_refusals_.close_minutes(now)) journal_.note(line);
  auto counts = accept_refusals_.take_unwritten();
  if (!counts.empty()) {
    commits_->submit([counts = std::move(counts)](
                         service::Store& store) { return store.add_accept_refusals(counts); },
                     [this](const Result<void, std::string>& done) {
                       if (!done.ok())
                         journal_.note("cannot count refused connections: " + done.error());
                     });
  }
  // A minute still open is summed up once it is over.
  if (!accept_refusals_.idle())
    timers_.arm(kRefusalCountTimer, refusal_count_at_, Clock::now() + std::chrono::seconds(1));
}

void Daemon::refuse_unread(FileDescriptor fd, const service::PeerCredentials& credentials,
                           uid_t cap_uid, std::string_view verdict, const std::string& detail) {
  const std::optional<RequestId> id = take_id();
  std::string line =
      service::decision_line(verdict, detail_to_send(detail).text, id ? id->text() : "");
  journal_.refusal(verdict, cap_uid, static_cast<std::uint64_t>(credentials.pid), detail);
  if (!id) {
    // Without an id there is no row to write; the journal has the line.
    send_once(fd.get(), line);
    return;
  }
  service::RequestRecord record;
  record.id = id->text();
  record.state = verdict == "refused" ? "refused" : "invalid";
  record.created_at = now_text();
  record.decided_at = record.created_at;
  record.verified_uid = cap_uid;
  record.via_sudo = cap_uid != credentials.uid;
  record.peer.uid = credentials.uid;
  record.peer.gid = credentials.gid;
  record.peer.pid = static_cast<std::uint64_t>(credentials.pid > 0 ? credentials.pid : 0);
  record.needed = settings_.config.approvals;
  record.detail_of_verdict = detail;
  std::string id_text = record.id;
  hold_refusal(std::move(fd), std::move(id_text), std::move(line), std::move(record));
}

void Daemon::hold_refusal(FileDescriptor fd, std::string id, std::string line,
                          service::RequestRecord record) {
  const std::uint64_t serial = next_refusal_++;
  refusals_.emplace(serial, HeldRefusal{std::move(fd), std::move(id), std::move(line)});
  refusals_due_.emplace_back(Clock::now() + kRefusalRecordWait, serial);
  commits_->submit(
      [record = std::move(record)](service::Store& store) { return store.insert_request(record); },
      [this, serial](const Result<void, std::string>& done) {
        release_refusal(serial, done.ok() ? "" : "the record cannot be written: " + done.error());
      });
}

void Daemon::release_refusal(std::uint64_t serial, const std::string& unrecorded_because) {
  auto found = refusals_.find(serial);
  if (found == refusals_.end()) return;
  HeldRefusal& held = found->second;
  // A refusal is sent in any case: it gives nothing, and a requester left
  // without an answer would hang. The journal says when it is not recorded.
  if (!unrecorded_because.empty())
    journal_.note("request " + held.id + ": refused without a record: " + unrecorded_because);
  send_once(held.fd.get(), held.line);
  refusals_.erase(found);
  // Commits answer in order: the deadlines of those answered go at once.
  while (!refusals_due_.empty() && refusals_.count(refusals_due_.front().second) == 0)
    refusals_due_.pop_front();
}

void Daemon::release_overdue_refusals(Clock::time_point now) {
  while (!refusals_due_.empty() && refusals_due_.front().first <= now) {
    const std::uint64_t serial = refusals_due_.front().second;
    refusals_due_.pop_front();
    release_refusal(serial, "the record took longer than " +
                                std::to_string(kRefusalRecordWait.count()) + " s to write it");
  }
}

void Daemon::set_deadline(Requester& r, std::optional<Clock::time_point> at) {
  timers_.arm(r.key, r.deadline, at);
}

void Daemon::on_requester_event(Requester& r, std::uint32_t events) {
  if (r.phase == Phase::Reading) {
    // Read first: a line and a hang-up may come together.
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) read_request(r);
    return;
  }
  if (events & EPOLLOUT) {
    if (r.phase == Phase::Sending) send_to_requester(r);
    return;
  }
  if (events & (EPOLLHUP | EPOLLERR)) requester_left(r);
}

void Daemon::read_request(Requester& r) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = repeat_if_interrupted(
        [&] { return ::recv(r.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT); });
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      // Closed (or failed) before the line feed: nothing to answer when
      // nothing came, else the line is unfinished. A client that only
      // half-closed still reads the answer.
      if (r.reader.skipping()) {
        answer_unread(r, "invalid_request", service::line_problem(service::LineStatus::TooLong));
      } else if (!r.reader.in_line()) {
        close_requester(r);
      } else {
        answer_unread(r, "invalid_request", service::line_problem(service::LineStatus::Unfinished));
      }
      return;
    }
    // Bytes after the line feed are not taken: they are not part of a
    // request, and a hang-up is still seen with them queued.
    std::string_view chunk(buffer, static_cast<std::size_t>(n));
    const bool was_skipping = r.reader.skipping();
    switch (r.reader.feed(chunk)) {
      case LineReader::Event::Line:
        line_complete(r, r.reader.take_line());
        return;
      case LineReader::Event::TooLong:
        // Answered once the rest of the line is read (or the time is up):
        // a client still sending can then read the answer.
        if (!r.reader.skipping()) {
          answer_unread(r, "invalid_request", service::line_problem(service::LineStatus::TooLong));
          return;
        }
        break;
      case LineReader::Event::NeedMore:
        if (was_skipping && !r.reader.skipping()) {
          answer_unread(r, "invalid_request", service::line_problem(service::LineStatus::TooLong));
          return;
        }
        break;
    }
  }
}

void Daemon::line_complete(Requester& r, std::string line) {
  if (!change_fd(r.fd.get(), r.key, kWaiting)) {
    // Left as it was, the connection would wake the loop for ever.
    answer_unread(r, "refused", "the approval service cannot take more connections now");
    return;
  }
  set_deadline(r, std::nullopt);
  auto parsed = service::parse_request(line);
  if (!parsed.ok()) {
    answer_unread(r, "invalid_request", parsed.error());
    return;
  }
  r.request = std::move(parsed).value();
  r.phase = Phase::Identifying;
  // Kept while a rule may reuse an approval of this very line.
  if (std::any_of(settings_.config.rules.begin(), settings_.config.rules.end(),
                  [](const service::Rule& rule) { return rule.reuse_for > 0; }))
    r.line = std::move(line);
  const bool wants_groups =
      std::any_of(settings_.config.rules.begin(), settings_.config.rules.end(),
                  [](const service::Rule& rule) { return !rule.groups.empty(); });
  const std::optional<uid_t> stated =
      r.request.has_context ? service::stated_invoking_uid(r.request.context) : std::nullopt;
  const std::uint64_t key = r.key;
  const service::PeerCredentials credentials = r.credentials;
  const std::optional<service::Accountable> owner = r.namespace_owner;
  // /proc is read here (the kernel's memory, nothing to wait for); a name
  // not kept by the cache is looked up on the lookup thread, and so are the
  // groups when a policy rule names groups.
  bool kept = !wants_groups;
  auto who = service::verify_requester(
      credentials, stated,
      [&](uid_t uid) {
        auto name = names_.kept_user_name(uid);
        kept = kept && name.has_value();
        return name.value_or("");
      },
      owner);
  // Requests are identified in the order their lines came: while an earlier
  // one waits on the lookup thread, a later one queues behind it there even
  // when its name is kept, so that it cannot take a lower id and overtake.
  if (kept && identifying_off_loop_ == 0) {
    on_identified(key, std::move(who));
    return;
  }
  ++identifying_off_loop_;
  lookups_.submit([this, key, credentials, stated, owner, wants_groups]() -> std::function<void()> {
    auto found = service::verify_requester(
        credentials, stated, [this](uid_t uid) { return names_.user_name(uid); }, owner);
    Result<std::vector<std::string>, std::string> groups = std::vector<std::string>();
    if (wants_groups) groups = service::group_names_of(found.verified.uid);
    return [this, key, who = std::move(found), groups = std::move(groups)]() mutable {
      --identifying_off_loop_;
      const auto requester = requesters_.find(key);
      if (requester != requesters_.end() && !groups.ok()) {
        // A rule on a group is not judged on a guessed list.
        Requester& waiting = *requester->second;
        if (!waiting.gone && waiting.phase == Phase::Identifying)
          answer_unread(waiting, "refused",
                        "the requester's groups cannot be listed: " + groups.error());
        return;
      }
      if (requester != requesters_.end()) requester->second->groups = std::move(groups).value();
      on_identified(key, std::move(who));
    };
  });
}

void Daemon::answer_unread(Requester& r, std::string_view verdict, const std::string& detail) {
  // The connection waits for the refusal's record apart from the requester,
  // whose place under the caps is given back now.
  if (r.fd.is_open()) (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, r.fd.get(), nullptr);
  refuse_unread(std::move(r.fd), r.credentials, r.cap_uid, verdict, detail);
  close_requester(r);
}

void Daemon::on_identified(std::uint64_t key, service::VerifiedRequester who) {
  auto found = requesters_.find(key);
  if (found == requesters_.end()) return;
  Requester& r = *found->second;
  if (r.gone || r.phase != Phase::Identifying) return;
  const service::Config& config = settings_.config;
  const uid_t verified = who.verified.uid;
  if (who.accountable != r.cap_owner) {
    // The stated invoking user's cap applies from here on.
    const auto counted = per_owner_.find(who.accountable);
    if (const std::size_t held = counted == per_owner_.end() ? 0 : counted->second;
        held >= owner_cap()) {
      answer_unread(r, "refused", over_owner_cap(held));
      return;
    }
    if (--per_owner_[r.cap_owner] == 0) per_owner_.erase(r.cap_owner);
    r.cap_owner = who.accountable;
    ++per_owner_[who.accountable];
  }
  r.cap_uid = verified;
  const std::optional<RequestId> id = take_id();
  if (!id) {
    answer_unread(r, "refused", "the approval service cannot write its record");
    return;
  }
  service::RequestRecord& record = r.record;
  const service::Request& q = r.request;
  r.id = *id;
  record.id = id->text();
  record.state = "pending";
  record.title = q.title;
  record.detail = q.detail;
  record.action = q.action;
  record.requester = q.requester;
  record.source_host = q.source_host;
  record.target_host = q.target_host;
  record.operation_digest = q.operation_digest;
  if (q.has_context) record.context = json::to_json(q.context);
  record.timeout_secs =
      q.timeout_secs ? std::min(*q.timeout_secs, config.max_timeout) : config.default_timeout;
  record.created_at = now_text();
  record.verified_uid = verified;
  record.verified_user = who.user;
  record.via_sudo = who.verified.via_sudo;
  record.peer = who.peer;
  record.needed = config.approvals;
  apply_policy(r, who);
  r.request = {};  // the record holds what is kept
  // Its row is written with the next commit somebody waits on (its
  // verdict's, at the latest) or within CommitThread::kDeferLimit; the
  // verdict, queued after it, is never durable before it. Operators are
  // shown the request once the row is durable (on_inserted).
  commits_->submit_deferrable(
      [record](service::Store& store) -> Result<void, std::string> {
        if (auto inserted = store.insert_request(record); !inserted.ok()) return inserted;
        // A reused approval carries the votes it repeats.
        for (const service::VoteRecord& vote : record.votes) {
          if (auto added = store.add_vote(record.id, vote); !added.ok()) return added;
        }
        return {};
      },
      [this, key](const Result<void, std::string>& done) {
        if (!done.ok()) journal_.note("cannot record a request: " + done.error());
        on_inserted(key, done.ok());
      });
  start_waiting(r);
}

void Daemon::start_waiting(Requester& r) {
  if (fleet_ && !r.in_fleet) {
    // In the fleet a request waits only once the shared database has it,
    // where every host's operators see it.
    r.phase = Phase::Inserting;
    return fleet_insert(r);
  }
  r.phase = Phase::Pending;
  pending_.emplace(r.id, r.key);
  if (r.gone) {
    decide(r, Verdict::Withdrawn, "the requester left before a verdict", std::nullopt, {});
    return;
  }
  if (stopping_) {
    decide(r, Verdict::Refused, "the approval service is stopping", std::nullopt, {});
    return;
  }
  if (act_on_policy(r)) return;
  set_deadline(r, Clock::now() + std::chrono::seconds(r.record.timeout_secs));
  refresh_json(r);
  if (shown_to_operators(r)) show_waiting(r);
}

void Daemon::show_waiting(Requester& r) {
  broadcast(pending_event(r));
  notify_waiting(r);
}

void Daemon::on_inserted(std::uint64_t key, bool ok) {
  auto found = requesters_.find(key);
  if (found == requesters_.end()) return;
  if (ok) {
    Requester& r = *found->second;
    const bool shown = shown_to_operators(r);
    r.row_durable = true;
    if (!shown && r.phase == Phase::Pending) show_waiting(r);
    return;
  }
  // A verdict queued after the row fails with it (it has no row to close);
  // a request still waiting is refused now.
  if (found->second->phase == Phase::Pending)
    decide(*found->second, Verdict::Refused, "the approval service cannot write its record",
           std::nullopt, {});
}

void Daemon::refresh_json(Requester& r) {
  r.record_json.clear();
  service::append_request_record(r.record_json, r.record);
  // The writer works in steps of 64 KiB and gives back the length, not the
  // room: without this each waiting request would hold a step.
  r.record_json.shrink_to_fit();
}

std::string Daemon::pending_event(const Requester& r) {
  return service::encode_pending_event_of(r.record_json);
}

void Daemon::on_deadline(Requester& r) {
  switch (r.phase.value()) {
    case Phase::Reading:
      answer_unread(r, "invalid_request",
                    service::line_problem(r.reader.skipping() ? service::LineStatus::TooLong
                                                              : service::LineStatus::TimedOut));
      return;
    case Phase::Pending:
      decide(r, Verdict::Expired,
             "no operator decided within " + std::to_string(r.record.timeout_secs) + " seconds",
             std::nullopt, {});
      return;
    default:
      return;
  }
}

Requester* Daemon::pending_request(RequestId id) {
  const auto found = pending_.find(id);
  if (found == pending_.end()) return nullptr;
  auto r = requesters_.find(found->second);
  return r == requesters_.end() ? nullptr : r->second.get();
}

Requester* Daemon::pending_request(std::string_view id) {
  const std::optional<RequestId> number = RequestId::parse(id);
  return number ? pending_request(*number) : nullptr;
}

const Requester* Daemon::pending_request(std::string_view id) const {
  return const_cast<Daemon*>(this)->pending_request(id);
}

void Daemon::decide(Requester& r, Verdict verdict, std::string detail,
                    std::optional<service::VoteRecord> vote, std::function<void(bool)> after) {
  if (fleet_ && r.in_fleet && !r.fleet_settled)
    return fleet_settle(r, verdict, std::move(detail), std::move(vote), std::move(after));
  pending_.erase(r.id);
  set_deadline(r, std::nullopt);
  r.phase = Phase::Recording;
  release_place(r);
  r.record.state = state_text(verdict);
  // The token's iat is the decision's second, so that a revocation can
  // find when its token was issued from the record.
  const std::time_t decided = std::time(nullptr);
  r.record.decided_at = utc_text(decided);
  r.record.detail_of_verdict = std::move(detail);
  if (verdict == Verdict::Approved && !sign_approval(r, decided)) {
    // No signature, no approval: fail closed.
    r.record.state = "refused";
    r.record.detail_of_verdict = "the approval service cannot make an approval token";
  }
  const std::uint64_t key = r.key;
  const service::RequestRecord& record = r.record;
  r.out.replace(verdict_line(r));
  auto early = send_once_durable(r);
  // The votes this verdict adds to the record: the deciding vote, or in the
  // fleet every vote the database has on the request, each with its host
  // (none of them is in the record yet; a reused approval's votes went in
  // with the request).
  std::vector<service::VoteRecord> votes;
  if (r.in_fleet && !r.reused) {
    votes = r.record.votes;
  } else if (vote) {
    votes.push_back(std::move(*vote));
  }
  commits_->submit(
      [id = record.id, state = record.state, decided = *record.decided_at,
       text = *record.detail_of_verdict,
       votes = std::move(votes)](service::Store& store) -> Result<void, std::string> {
        for (const service::VoteRecord& v : votes) {
          if (auto added = store.add_vote(id, v); !added.ok()) return added;
        }
        return store.close_request(id, state, decided, text);
      },
      [this, key, early, after = std::move(after)](const Result<void, std::string>& done) {
        if (!done.ok()) journal_.note("cannot record a verdict: " + done.error());
        if (auto found = requesters_.find(key); found != requesters_.end() && early)
          found->second->out.skip(early->taken);
        on_recorded(key, done.ok());
        if (after) after(done.ok());
      },
      [early] {
        if (early) early->send();
      });
}

std::string Daemon::verdict_line(const Requester& r) {
  // Checked again as it goes out, whoever wrote it: in the fleet a reason
  // comes from the shared database. The record keeps the text as it was.
  const SentDetail detail = detail_to_send(*r.record.detail_of_verdict);
  if (detail.escaped) {
    journal_.note("request " + r.record.id +
                  ": the verdict's detail holds characters a terminal would act on; the "
                  "requester is sent it escaped");
  }
  return service::decision_line(verdict_of(r.record.state), detail.text, r.record.id, r.token,
                                r.token_expires_at);
}

// The verdict goes out from the commit thread the moment it is durable:
// the loop, busy or not scheduled, would add its own wake-up to every
// decision. The connection is the thread's own duplicate, so the loop may
// close its copy meanwhile; what is not sent at once the loop sends.
std::shared_ptr<EarlySend> Daemon::send_once_durable(const Requester& r) {
  if (r.gone || !r.fd.is_open()) return nullptr;
  auto early = std::make_shared<EarlySend>();
  early->fd = FileDescriptor(::fcntl(r.fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!early->fd.is_open()) return nullptr;
  early->out.append(r.out.unsent_text());
  return early;
}

void EarlySend::send() {
  const std::size_t size = out.unsent();
  (void)out.flush(fd.get());
  taken = size - out.unsent();
  fd.close();
}

void Daemon::on_recorded(std::uint64_t key, bool ok) {
  auto found = requesters_.find(key);
  if (found == requesters_.end()) return;
  Requester& r = *found->second;
  if (!ok) {
    // The verdict is not in the record, so it is not given: fail closed.
    r.record.state = "refused";
    r.record.detail_of_verdict = "the approval service cannot write its record";
    r.token.clear();
    r.out.replace(verdict_line(r));
    // Written again later as the requester, the journal and the watchers
    // have it (unrecorded.cc).
    service::RequestRecord unwritten = r.record;
    unwritten.votes.clear();
    unrecorded_.push_back(std::move(unwritten));
    if (!rewrite_at_ && !rewriting_)
      timers_.arm(kRewriteTimer, rewrite_at_, Clock::now() + kRewriteEvery);
  }
  journal_.decision(r.record);
  if (ok && r.record.state == "approved") remember_approval(r);
  service::OperatorEvent closed{service::OperatorEvent::Kind::Closed, std::nullopt, r.record.id,
                                r.record.state};
  broadcast(service::encode_event(closed));
  if (r.gone) {
    close_requester(r);
    return;
  }
  r.phase = Phase::Sending;
  send_to_requester(r);
}

void Daemon::send_to_requester(Requester& r) {
  switch (r.out.flush(r.fd.get())) {
    case SendBuffer::Flush::Blocked:
      if (change_fd(r.fd.get(), r.key, EPOLLOUT)) return;
      journal_.note("request " + r.record.id + ": its verdict cannot be sent in full");
      break;
    case SendBuffer::Flush::Failed:
      journal_.note("request " + r.record.id + ": the requester left before its verdict arrived");
      break;
    case SendBuffer::Flush::Done:
      break;
  }
  close_requester(r);
}

void Daemon::requester_left(Requester& r) {
  (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, r.fd.get(), nullptr);
  r.fd.close();
  r.gone = true;
  switch (r.phase.value()) {
    case Phase::Pending:
      decide(r, Verdict::Withdrawn, "the requester left before a verdict", std::nullopt, {});
      return;
    case Phase::Inserting:
      return;  // withdrawn once the shared database has it
    case Phase::Recording:
      return;  // closed once recorded
    default:
      close_requester(r);
      return;
  }
}

// A request holds its place under the per-user cap until its verdict is
// decided, not until its connection closes: the verdict goes out from the
// commit thread as soon as it is durable, and the requester may ask again
// before the loop has heard of it. Counting it then would refuse a user who
// has nothing waiting.
void Daemon::release_place(Requester& r) {
  if (!r.holds_place) return;
  r.holds_place = false;
  if (auto count = per_owner_.find(r.cap_owner); count != per_owner_.end() && --count->second == 0)
    per_owner_.erase(count);
}

void Daemon::close_requester(Requester& r) {
  if (r.fd.is_open()) (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, r.fd.get(), nullptr);
  set_deadline(r, std::nullopt);
  release_place(r);
  if (r.phase == Phase::Pending) pending_.erase(r.id);
  requesters_.erase(r.key);  // closes the connection
}

}  // namespace kelvane::approvald
