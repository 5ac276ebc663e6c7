// The one thread that writes the record. What the loop submits is run in
// order; everything waiting when the thread gets to it is written in one
// transaction, so that a burst of verdicts costs one fsync, not one each.
// Each submitter hears back, on the loop, once its part is durable. Each
// job runs in a savepoint of its own: one that fails half-way leaves none
// of its writes, and the others of its transaction are still committed.
//
// Work nobody waits on (a new request's row: operators are shown the
// request once it is durable) may be held back for up to kDeferLimit, so
// that it rides in the transaction of the next work somebody waits on (its
// verdict, usually) instead of costing a commit of its own. Because the
// queue is kept in order, work submitted after it is never durable before
// it.
//
// The write-ahead log is copied back into the database file (checkpointed)
// on a second connection and thread, so that no commit waits for that.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mailbox.h"
#include "owning_thread.h"
#include "service/store.h"
#include "support/result.h"

namespace kelvane::approvald {

class CommitThread {
 public:
  using Work = std::function<Result<void, std::string>(service::Store&)>;
  // Runs on the loop once the transaction holding the work has committed
  // (ok), or failed (the error).
  using Done = std::function<void(const Result<void, std::string>&)>;

  // How long deferrable work may wait for company.
  static constexpr std::chrono::milliseconds kDeferLimit{20};
  // Write-ahead log pages past which a checkpoint is started.
  static constexpr int kCheckpointPages = 1000;
  // Past this many the commit thread checkpoints itself, to bound the log.
  static constexpr int kCheckpointPagesHere = 16 * kCheckpointPages;

  CommitThread(std::unique_ptr<service::Store> store, Mailbox& mailbox);
  ~CommitThread();  // writes what is queued, then stops
  CommitThread(const CommitThread&) = delete;
  CommitThread& operator=(const CommitThread&) = delete;

  // Runs on the commit thread as soon as the transaction holding the work
  // has committed, before the loop hears of it (never after a failure).
  using Committed = std::function<void()>;

  void submit(Work work, Done done = {}, Committed committed = {});
  // Work that nobody waits on: committed with the next other work, or
  // after kDeferLimit at the latest.
  void submit_deferrable(Work work, Done done = {});
  // Submissions not yet reported back.
  std::size_t in_flight() const { return in_flight_; }
  std::uint64_t record_bytes() const;
  // When the last transaction committed (0: none since the thread started).
  std::time_t last_commit() const { return last_commit_.load(std::memory_order_relaxed); }
  const std::string& record_path() const { return path_; }

 private:
  struct Job {
    Work work;
    Done done;
    Committed committed;
  };
  void enqueue(Job job, bool deferrable);
  void run();
  void write_group(std::deque<Job>& group);
  Result<void, std::string> write_part(Job& job);
  void checkpoint_when_asked();

  std::unique_ptr<service::Store> store_;
  Mailbox& mailbox_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  std::size_t waited_on_ = 0;                               // queued jobs that somebody waits on
  std::chrono::steady_clock::time_point first_deferred_{};  // oldest deferrable queued
  bool stopping_ = false;
  // The loop's: submissions and the count of those not yet reported back
  // (the reports run on the loop, from the mailbox).
  OwningThread loop_;
  std::size_t in_flight_ = 0;
  std::atomic<std::time_t> last_commit_{0};
  std::string path_;

  // Checkpoints: their own connection and thread; nullptr when the second
  // connection cannot be opened (the commits then checkpoint as SQLite does
  // by default).
  std::unique_ptr<service::Store> checkpoints_;
  int checkpoint_at_ = kCheckpointPages;  // commit thread only
  std::mutex checkpoint_mutex_;
  std::condition_variable checkpoint_wake_;
  bool checkpoint_asked_ = false;
  bool checkpoint_stopping_ = false;
  std::thread checkpoint_thread_;

  std::thread thread_;
};

}  // namespace kelvane::approvald
