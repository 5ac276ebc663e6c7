#include "daemon.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>

#include <csignal>
#include <ctime>

#include "service/answer.h"
#include "service/signed_vote.h"
#include "support/utc_time.h"

namespace kelvane::approvald {
namespace {

// How long a stop waits for verdicts to be recorded and sent.
constexpr std::chrono::seconds kStopGrace{10};
constexpr std::chrono::hours kPruneEvery{1};

FileDescriptor blocked_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, signal);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return FileDescriptor();
  return FileDescriptor(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

}  // namespace

Daemon::Daemon(Settings settings, Start start, DecisionJournal& journal)
    : settings_(std::move(settings)),
      journal_(journal),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      signals_(blocked_signals()),
      requests_listener_(std::move(start.requests)),
      operators_listener_(std::move(start.operators)),
      request_file_(std::move(start.request_file)),
      operator_file_(std::move(start.operator_file)),
      lookups_(mailbox_),
      commits_(std::make_unique<CommitThread>(std::move(start.store), mailbox_)),
      record_path_(commits_->record_path()),
      fleet_(std::move(start.fleet)),
      notifier_(mailbox_, [this](const std::string& line) { journal_.note(line); }),
      next_id_(start.first_id),
      id_limit_(start.first_id + start.id_count),
      key_paths_(std::move(start.key_paths)),
      keys_(std::move(start.keys)) {
  if (!epoll_.is_open() || !signals_.is_open() || !mailbox_.ok()) return;
  watching_own_ = watch_fd(requests_listener_.get(), kRequestListenerKey, EPOLLIN) &&
                  watch_fd(operators_listener_.get(), kOperatorListenerKey, EPOLLIN) &&
                  watch_fd(signals_.get(), kSignalKey, EPOLLIN) &&
                  watch_fd(mailbox_.fd(), kMailboxKey, EPOLLIN);
  timers_.arm(kPruneTimer, prune_at_, Clock::now() + kPruneEvery);
  if (fleet_) {
    start_fleet();
    // The local record was pruned before the loop (main.cc); the shared
    // database's rows of this host are, from here.
    prune_fleet();
  }
}

Daemon::~Daemon() = default;

bool Daemon::ready(std::string& error) const {
  if (!epoll_.is_open() || !signals_.is_open() || !mailbox_.ok()) {
    error = "cannot set up the event loop (epoll, signalfd or eventfd)";
    return false;
  }
  if (!watching_own_) {
    error = "cannot set up the event loop: epoll does not take the sockets";
    return false;
  }
  return true;
}

bool Daemon::watch_fd(int fd, std::uint64_t key, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = key;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0) return true;
  journal_.note(std::string("epoll_ctl (add): ") + std::strerror(errno));
  return false;
}

bool Daemon::change_fd(int fd, std::uint64_t key, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = key;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0) return true;
  journal_.note(std::string("epoll_ctl (modify): ") + std::strerror(errno));
  return false;
}

void Daemon::pause_accepting(std::chrono::milliseconds how_long) {
  // Not paused, the listener is tried again on the next turn: no worse.
  (void)change_fd(requests_listener_.get(), kRequestListenerKey, 0);
  timers_.arm(kAcceptPauseTimer, accept_paused_until_, Clock::now() + how_long);
}

int Daemon::run() {
  // Nothing the loop runs throws by design (errors are values); what still
  // can (memory exhausted, a broken invariant) ends the service here, logged,
  // rather than carry on from a half-done step. Nothing is lost by it: every
  // verdict given was durable before it was sent, the commit thread writes
  // what is queued as the daemon goes, and a requester still waiting sees
  // its connection close, which its client takes as no approval.
  try {
    return serve();
  } catch (const std::exception& error) {
    journal_.note(std::string("stopping on a failure the service cannot go on from: ") +
                  error.what());
    return 1;
  }
}

int Daemon::serve() {
  std::vector<epoll_event> events(256);
  while (!stopped()) {
    const int n =
        ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), next_timeout());
    if (n < 0 && errno != EINTR) {
      journal_.note(std::string("epoll_wait failed: ") + std::strerror(errno));
      return 1;
    }
    for (int i = 0; i < n; ++i)
      dispatch(events[static_cast<std::size_t>(i)].data.u64,
               events[static_cast<std::size_t>(i)].events);
    fire_timers();
  }
  // Refusals still waiting for the record at the end of the grace are sent.
  while (!refusals_.empty())
    release_refusal(refusals_.begin()->first, "the service stopped before it was written");
  journal_.note("stopped");
  return 0;
}

bool Daemon::stopped() const {
  if (!stopping_) return false;
  if (Clock::now() >= stop_deadline_) return true;
  return requesters_.empty() && refusals_.empty() && commits_->in_flight() == 0 &&
         (!fleet_ || fleet_->in_flight() == 0);
}

void Daemon::dispatch(std::uint64_t key, std::uint32_t events) {
  loop_.check("the event loop");
  switch (key) {
    case kRequestListenerKey:
      accept_requesters();
      return;
    case kOperatorListenerKey:
      accept_operators();
      return;
    case kSignalKey:
      handle_signals();
      return;
    case kMailboxKey:
      mailbox_.run_posted();
      return;
    default:
      break;
  }
  if (auto r = requesters_.find(key); r != requesters_.end()) {
    on_requester_event(*r->second, events);
  } else if (auto o = operators_.find(key); o != operators_.end()) {
    on_operator_event(*o->second, events);
  }
}

int Daemon::next_timeout() const {
  Clock::time_point next = Clock::now() + std::chrono::minutes(1);
  if (stopping_ && stop_deadline_ < next) next = stop_deadline_;
  if (const TimerSet::Held first = timers_.next(); first && *first < next) next = *first;
  if (!refusals_due_.empty() && refusals_due_.front().first < next)
    next = refusals_due_.front().first;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

void Daemon::fire_timers() {
  const Clock::time_point now = Clock::now();
  release_overdue_refusals(now);
  // What a timer does may set others, never at `now` or before.
  while (const std::optional<std::uint64_t> due = timers_.take_due(now)) fire(*due);
}

void Daemon::fire(std::uint64_t timer) {
  switch (timer) {
    case kPruneTimer:
      prune_at_.reset();
      schedule_prune();
      return;
    case kRewriteTimer:
      rewrite_at_.reset();
      rewrite_unrecorded();
      return;
    case kRefusalCountTimer:
      refusal_count_at_.reset();
      write_accept_refusals();
      return;
    case kAcceptPauseTimer:
      accept_paused_until_.reset();
      // Refused, the listener is not watched: a new pause tries again.
      if (!stopping_ && !change_fd(requests_listener_.get(), kRequestListenerKey, EPOLLIN))
        pause_accepting(std::chrono::milliseconds(100));
      return;
    default:
      break;
  }
  if (auto r = requesters_.find(timer); r != requesters_.end()) {
    r->second->deadline.reset();
    on_deadline(*r->second);
  } else if (auto o = operators_.find(timer); o != operators_.end()) {
    on_operator_idle(*o->second);
  }
}

void Daemon::handle_signals() {
  signalfd_siginfo info{};
  while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGHUP) {
      reload();
    } else if (!stopping_) {
      journal_.note(info.ssi_signo == SIGTERM ? "SIGTERM: refusing every waiting request"
                                              : "SIGINT: refusing every waiting request");
      begin_stop();
    }
  }
}

void Daemon::reload() {
  names_.clear();  // with a good file or a bad one
  auto loaded = service::load_config(settings_.config_path, settings_.config_named);
  if (!loaded.ok()) {
    journal_.note("SIGHUP: keeping the configuration in force: " + loaded.error());
    return;
  }
  const service::Config& next = loaded.value();
  if (next.socket != settings_.config.socket ||
      next.operator_socket != settings_.config.operator_socket ||
      next.state_dir != settings_.config.state_dir) {
    journal_.note("SIGHUP: socket and state_dir changes take effect at the next start");
  }
  // The operators' keys are re-read with the file that names them: a key
  // taken out of them verifies no vote from now on.
  std::vector<sshsig::AllowedSigner> keys;
  if (next.operator_keys) {
    auto read = service::load_operator_keys(*next.operator_keys);
    if (!read.ok()) {
      journal_.note("SIGHUP: keeping the configuration in force: " + read.error());
      return;
    }
    keys = std::move(read).value();
  }
  for (const std::string& warning : next.warnings) journal_.note("SIGHUP: warning: " + warning);
  settings_.config = std::move(loaded).value();
  settings_.operator_keys = std::move(keys);
  journal_.note("SIGHUP: configuration reloaded from " + settings_.config_path);
}

void Daemon::begin_stop() {
  stopping_ = true;
  stop_deadline_ = Clock::now() + kStopGrace;
  timers_.arm(kPruneTimer, prune_at_, std::nullopt);  // no pruning while stopping
  // No new connections: closing the listeners leaves later connects refused.
  (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, requests_listener_.get(), nullptr);
  (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, operators_listener_.get(), nullptr);
  requests_listener_.close();
  operators_listener_.close();
  request_file_.reset();
  operator_file_.reset();
  std::vector<std::uint64_t> keys;
  for (const auto& [key, r] : requesters_) keys.push_back(key);
  const std::string stopping = "the approval service is stopping";
  for (const std::uint64_t key : keys) {
    auto found = requesters_.find(key);
    if (found == requesters_.end()) continue;
    Requester& r = *found->second;
    switch (r.phase.value()) {
      case Phase::Reading:
      case Phase::Identifying:
        answer_unread(r, "refused", stopping);
        break;
      case Phase::Pending:
        decide(r, Verdict::Refused, stopping, std::nullopt, {});
        break;
      case Phase::Inserting:  // refused once the shared database answers
      case Phase::Recording:
      case Phase::Sending:
        break;
    }
  }
  std::vector<std::uint64_t> operator_keys;
  for (const auto& [key, o] : operators_) operator_keys.push_back(key);
  for (const std::uint64_t key : operator_keys) close_operator(*operators_.at(key));
  // One last try for the verdicts the record has not taken yet.
  rewrite_unrecorded();
  write_accept_refusals();
}

void Daemon::schedule_prune() {
  timers_.arm(kPruneTimer, prune_at_, Clock::now() + kPruneEvery);
  const std::optional<std::int64_t> cutoff =
      service::prune_cutoff(settings_.config, std::time(nullptr));
  if (!cutoff) return;  // keep_days = 0: kept for ever
  const std::string before = utc_text(*cutoff);
  commits_->submit([before](service::Store& store) -> Result<void, std::string> {
    auto pruned = store.prune(before);
    if (!pruned.ok()) return fail(std::move(pruned).error());
    return {};
  });
  if (fleet_) prune_fleet();
}

void Daemon::prune_fleet() {
  const std::optional<std::int64_t> cutoff =
      service::prune_cutoff(settings_.config, std::time(nullptr));
  if (!cutoff) return;  // keep_days = 0: kept for ever
  // This host's closed requests only: the others are their own hosts' to
  // prune, by their own keep_days (row-level security allows no more).
  fleet_->submit([this, before = utc_text(*cutoff)](fleet::FleetStore* store) {
    if (store == nullptr) return;  // unreachable: tried again at the next prune
    auto pruned = store->prune(before);
    if (pruned.ok()) return;
    mailbox_.post([this, why = pruned.error().message] {
      journal_.note("cannot prune the fleet's database: " + why);
    });
  });
}

}  // namespace kelvane::approvald
