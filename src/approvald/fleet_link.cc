#include "fleet_link.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <unordered_set>

namespace kelvane::approvald {
namespace {

constexpr auto kTick = std::chrono::seconds(1);

// The service's own session holds the host's lock and does not listen; the
// listening one takes no lock.
constexpr fleet::FleetStore::Uses kWorking{true, false};
constexpr fleet::FleetStore::Uses kListening{false, true};

void wake(const FileDescriptor& fd) {
  const std::uint64_t one = 1;
  // A counter that cannot take more already wakes the thread; otherwise
  // it sees stopping_ at its next tick, within a second.
  if (::write(fd.get(), &one, sizeof one) < 0) return;
}

}  // namespace

FleetLink::FleetLink(std::string conninfo, std::string host_name)
    : conninfo_(std::move(conninfo)),
      host_name_(std::move(host_name)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      listener_wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FleetLink::~FleetLink() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake(wake_);
  wake(listener_wake_);
  if (thread_.joinable()) thread_.join();
  if (listener_.joinable()) listener_.join();
}

Result<std::uint64_t, std::string> FleetLink::open() {
  auto store = fleet::FleetStore::open(conninfo_, host_name_, {}, kWorking);
  if (!store.ok()) return fail(std::move(store).error().message);
  store_ = std::move(store).value();
  connected_at_ = std::chrono::steady_clock::now();
  if (auto abandoned = store_->abandon_own_pending(); !abandoned.ok())
    return fail(abandoned.error().message);
  auto first = store_->reserve_id_block();
  if (!first.ok()) return fail(first.error().message);
  return first.value();
}

void FleetLink::begin(Mailbox& mailbox, Events events) {
  mailbox_ = &mailbox;
  events_ = std::move(events);
  thread_ = std::thread([this] { run(); });
  listener_ = std::thread([this] { listen(); });
}

void FleetLink::submit(Job job) {
  ++in_flight_;
  auto counted = [this, job = std::move(job)](fleet::FleetStore* store) {
    job(store);
    post([this] { --in_flight_; });
  };
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(counted));
  }
  wake(wake_);
}

bool FleetLink::ensure_connected() {
  if (store_ && store_->connected()) return true;
  store_.reset();
  const auto now = std::chrono::steady_clock::now();
  if (now - last_attempt_ < kTick) return false;
  last_attempt_ = now;
  auto store = fleet::FleetStore::open(conninfo_, host_name_, {}, kWorking);
  if (!store.ok()) {
    last_error_ = store.error().message;
    // Counted from the failure: a request queued behind this attempt is
    // refused at once, not after a second attempt of its own.
    last_attempt_ = std::chrono::steady_clock::now();
    return false;
  }
  store_ = std::move(store).value();
  connected_at_ = std::chrono::steady_clock::now();
  last_error_.clear();
  return true;
}

fleet::FleetStore* FleetLink::reconnect_now() {
  store_.reset();
  last_attempt_ = {};
  return ensure_connected() ? store_.get() : nullptr;
}

void FleetLink::drop_connection(const std::string& why) {
  last_error_ = why;
  store_.reset();
}

void FleetLink::refresh_others(fleet::FleetStore& store,
                               std::unordered_map<std::string, std::string> closed) {
  auto pending = store.pending();
  if (!pending.ok()) return;  // a lost session is seen by its thread
  std::vector<fleet::HostedRequest> others;
  for (fleet::HostedRequest& hosted : pending.value()) {
    if (hosted.host_name != host_name_) others.push_back(std::move(hosted));
  }
  post([this, others = std::move(others), closed = std::move(closed)]() mutable {
    if (events_.others_pending) events_.others_pending(std::move(others), std::move(closed));
  });
}

void FleetLink::refresh_keys(fleet::FleetStore& store) {
  auto hosts = store.host_keys();
  if (!hosts.ok()) return;
  post([this, hosts = std::move(hosts).value()]() mutable {
    if (events_.keys) events_.keys(std::move(hosts));
  });
}

bool FleetLink::read_events(fleet::FleetStore& store) {
  auto events = store.events();
  if (!events.ok()) return false;
  std::vector<std::string> verdicts;  // this host's requests, decided
  std::vector<std::string> to_read;   // new requests and votes, once each
  std::unordered_set<std::string> seen;
  std::unordered_set<std::string> voted;  // ids a vote event named
  std::unordered_map<std::string, std::string> closed;
  bool keys_changed = false;
  for (const fleet::FleetEvent& event : events.value()) {
    const bool own = event.host_name == host_name_;
    if (event.kind == fleet::FleetEvent::Kind::Keys) {
      keys_changed = keys_changed || !own;
      continue;
    }
    if (event.kind == fleet::FleetEvent::Kind::Verdict) {
      if (own) {
        verdicts.push_back(event.id);
      } else {
        closed[event.id] = event.state;
      }
      continue;
    }
    if (event.kind == fleet::FleetEvent::Kind::Request && own) continue;
    // A new request or a vote (the vote's host is in the payload, the
    // request's is not: the read says whose it is).
    if (event.kind == fleet::FleetEvent::Kind::Vote) voted.insert(event.id);
    if (seen.insert(event.id).second) to_read.push_back(event.id);
  }
  // What a requester here waits for first, before the other hosts' news.
  for (const std::string& id : verdicts) {
    auto found = store.find(id);
    if (!found.ok() || !found.value()) continue;
    post([this, hosted = std::move(*found.value())] {
      if (events_.verdict) events_.verdict(hosted);
    });
  }
  // On another host's requests, read as they now stand, all of a burst in
  // one read: every host reads every other host's new requests and votes,
  // so a listener that falls behind catches up in fewer round trips.
  std::vector<fleet::HostedRequest> changed;
  auto found = store.find_many(to_read);
  if (found.ok()) {
    for (fleet::HostedRequest& hosted : found.value()) {
      if (hosted.host_name == host_name_) {
        // On this host's own requests its operators see the local record,
        // which takes the votes cast elsewhere as they come.
        if (voted.contains(hosted.record.id) && hosted.record.state == "pending") {
          post([this, hosted = std::move(hosted)] {
            if (events_.own_votes) events_.own_votes(hosted);
          });
        }
        continue;
      }
      if (closed.contains(hosted.record.id)) continue;
      if (hosted.record.state == "pending") {
        changed.push_back(std::move(hosted));
      } else {
        closed[hosted.record.id] = hosted.record.state;
      }
    }
  }
  if (keys_changed) refresh_keys(store);
  if (changed.empty() && closed.empty()) return true;
  post([this, changed = std::move(changed), closed = std::move(closed)]() mutable {
    if (events_.other_changed) events_.other_changed(std::move(changed), std::move(closed));
  });
  return true;
}

void FleetLink::run() {
  auto next_tick = std::chrono::steady_clock::now() + kTick;
  for (;;) {
    std::deque<Job> jobs;
    {
      const std::lock_guard lock(mutex_);
      jobs.swap(queue_);
      if (jobs.empty() && stopping_) return;
    }
    for (Job& job : jobs) job(ensure_connected() ? store_.get() : nullptr);
    if (store_ && !store_->connected()) drop_connection("lost the database connection");
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_tick) {
      next_tick = now + kTick;
      if (ensure_connected() && settled_since_connect(now)) {
        auto abandoned = store_->abandon_orphans();
        if (!abandoned.ok() && abandoned.error().connection_lost)
          drop_connection(abandoned.error().message);
        if (abandoned.ok() && abandoned.value() > 0) refresh_others(*store_, {});
      }
    }
    if (!jobs.empty()) continue;
    pollfd fd{wake_.get(), POLLIN, 0};
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - now).count();
    (void)::poll(&fd, 1, static_cast<int>(std::max<long>(wait, 0)));
    std::uint64_t count = 0;
    if ((fd.revents & POLLIN) && ::read(wake_.get(), &count, sizeof count) < 0) count = 0;
  }
}

bool FleetLink::settled_since_connect(std::chrono::steady_clock::time_point now) const {
  // The server's own start time does not cover a failover: a promoted
  // standby started long ago, yet every service lost its session with the
  // old primary and is connecting again, and each holds its host's lock
  // only once it is back. Nor a service that was cut off alone. A free
  // lock proves a service gone only a grace after this one came back.
  return now - connected_at_ >=
         std::chrono::seconds(fleet::FleetStore::Timing{}.restart_grace_secs);
}

bool FleetLink::ensure_listening(bool& first) {
  if (listener_store_ && listener_store_->connected()) return true;
  listener_store_.reset();
  auto store = fleet::FleetStore::open(conninfo_, host_name_, {}, kListening);
  if (!store.ok()) return false;
  listener_store_ = std::move(store).value();
  // What was sent while no session listened is lost: the loop asks after
  // what it waits on, and the other hosts' requests and keys are read whole.
  if (!first) {
    post([this] {
      if (events_.reconnected) events_.reconnected();
    });
  }
  first = false;
  refresh_others(*listener_store_, {});
  refresh_keys(*listener_store_);
  return true;
}

void FleetLink::listen() {
  bool first = true;
  while (!stopping()) {
    const bool listening = ensure_listening(first);
    // A statement's answer may have brought notifications along: libpq
    // keeps them, and the socket then has nothing more to wake poll for.
    if (listening && !read_events(*listener_store_)) {
      listener_store_.reset();  // lost: connected again at once
      continue;
    }
    pollfd fds[2] = {{listener_wake_.get(), POLLIN, 0},
                     {listening ? listener_store_->socket() : -1, POLLIN, 0}};
    (void)::poll(
        fds, 2,
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kTick).count()));
    std::uint64_t count = 0;
    if ((fds[0].revents & POLLIN) && ::read(listener_wake_.get(), &count, sizeof count) < 0)
      count = 0;
  }
}

}  // namespace kelvane::approvald
