// The daemon's link to the fleet's database (store = "postgresql"): one
// thread of its own that owns the database session, so that no libpq call
// ever waits on the event loop's thread. libpq's non-blocking API on the
// loop would keep one thread, but turn every statement of a transaction
// (a vote is four) into a state machine of its own; a thread runs them as
// plain calls, in order, and hands results back through the loop's mailbox
// exactly as the commit thread does.
//
// A second thread listens, on a session of its own: notifications of new
// requests, votes, verdicts and token keys on the fleet's channel wake it;
// it reads what changed and posts it to the loop. Its own session, so that
// a verdict reached elsewhere reaches the waiting requester without queueing
// behind this host's inserts and votes (each waits for a commit's flush).
// A notification sent while that session is down is lost, so on every
// reconnect the loop re-reads its waiting requests. Once a second (no
// verdict depends on this tick) the first thread marks abandoned the
// pending requests of hosts whose service is gone (not within the restart
// grace of its own session's connect: after a failover every service is
// coming back), and retries a lost connection.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fleet/fleet_store.h"
#include "mailbox.h"
#include "support/file_descriptor.h"
#include "support/result.h"

namespace kelvane::approvald {

class FleetLink {
 public:
  // What the thread tells the loop (each runs on the loop).
  struct Events {
    // One of this host's requests was decided in the database (by votes,
    // or abandoned), not by this service.
    std::function<void(const fleet::HostedRequest&)> verdict;
    // The other hosts' pending requests as they now stand (after a
    // reconnect, or when some were abandoned), and the states of those
    // that closed since the last time.
    std::function<void(std::vector<fleet::HostedRequest>,
                       std::unordered_map<std::string, std::string>)>
        others_pending;
    // One other host's request changed: it is new or has new votes
    // (`changed`, as it now stands), or it closed (`closed`: id and state).
    // Read one request at a time, so that a busy fleet does not make every
    // service read every pending request on every notification.
    std::function<void(std::vector<fleet::HostedRequest> changed,
                       std::unordered_map<std::string, std::string> closed)>
        other_changed;
    // A vote (cast on any host) on one of this host's pending requests:
    // the request with every vote on it, for what its operators see.
    std::function<void(const fleet::HostedRequest&)> own_votes;
    // The session was lost and is back: what this host waits on may have
    // been decided meanwhile.
    std::function<void()> reconnected;
    // Every host's token keys and revocations, after one of them changed
    // (or a reconnect, since a notification may have been lost).
    std::function<void(std::vector<fleet::HostKeys>)> keys;
  };

  FleetLink(std::string conninfo, std::string host_name);
  ~FleetLink();  // runs what is queued, then stops
  FleetLink(const FleetLink&) = delete;
  FleetLink& operator=(const FleetLink&) = delete;

  // Before the loop, on the caller's thread: connects, takes the host's
  // lock, marks this host's requests left pending by an earlier run
  // abandoned, and reserves the first block of ids (returned).
  Result<std::uint64_t, std::string> open();
  // Starts the thread, which reports to the loop through `mailbox`.
  void begin(Mailbox& mailbox, Events events);

  // Work for the thread. `store` is null when the database cannot be
  // reached (one connection attempt, bounded by connect_timeout, was made
  // for this job); the job posts its own result to the mailbox.
  using Job = std::function<void(fleet::FleetStore* store)>;
  void submit(Job job);
  std::size_t in_flight() const { return in_flight_; }  // loop thread only
  const std::string& host_name() const { return host_name_; }

  // For a job whose statement found the session lost (the server
  // restarted since): one fresh attempt at once. Thread only.
  fleet::FleetStore* reconnect_now();
  // The error of the last failed connection attempt (thread only).
  const std::string& last_error() const { return last_error_; }

 private:
  void run();
  bool ensure_connected();
  void drop_connection(const std::string& why);
  // Whether the other hosts' services have had the grace to take their
  // locks again since this one's working session connected.
  bool settled_since_connect(std::chrono::steady_clock::time_point now) const;
  // The listening thread and what it reads, on its own session.
  void listen();
  bool ensure_listening(bool& first);
  bool read_events(fleet::FleetStore& store);  // false: the session is lost
  void refresh_others(fleet::FleetStore& store,
                      std::unordered_map<std::string, std::string> closed);
  void refresh_keys(fleet::FleetStore& store);
  bool stopping() {
    const std::lock_guard lock(mutex_);
    return stopping_;
  }
  void post(std::function<void()> work) { mailbox_->post(std::move(work)); }

  std::string conninfo_;
  std::string host_name_;
  Mailbox* mailbox_ = nullptr;
  Events events_;
  std::unique_ptr<fleet::FleetStore> store_;
  std::string last_error_;
  FileDescriptor wake_;
  std::mutex mutex_;
  // A failed attempt is not repeated for every job of a burst: each would
  // wait connect_timeout again.
  std::chrono::steady_clock::time_point last_attempt_{};
  std::chrono::steady_clock::time_point connected_at_{};  // the working session's
  std::deque<Job> queue_;
  bool stopping_ = false;
  std::size_t in_flight_ = 0;
  std::thread thread_;
  std::unique_ptr<fleet::FleetStore> listener_store_;  // the listening thread's
  FileDescriptor listener_wake_;
  std::thread listener_;
};

}  // namespace kelvane::approvald
