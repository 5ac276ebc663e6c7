// The one thread that writes the record. What the loop submits is run in
// order; everything waiting when the thread gets to it is written in one
// transaction, so that a burst of verdicts costs one fsync, not one each.
// Each submitter hears back, on the loop, once its part is durable.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mailbox.h"
#include "service/store.h"
#include "support/result.h"

namespace kelvane::approvald {

class CommitThread {
 public:
  using Work = std::function<Result<void, std::string>(service::Store&)>;
  // Runs on the loop once the transaction holding the work has committed
  // (ok), or failed (the error).
  using Done = std::function<void(const Result<void, std::string>&)>;

  CommitThread(std::unique_ptr<service::Store> store, Mailbox& mailbox);
  ~CommitThread();  // writes what is queued, then stops
  CommitThread(const CommitThread&) = delete;
  CommitThread& operator=(const CommitThread&) = delete;

  void submit(Work work, Done done = {});
  // Submissions not yet reported back.
  std::size_t in_flight() const { return in_flight_; }
  std::uint64_t record_bytes() const;

 private:
  struct Job {
    Work work;
    Done done;
  };
  void run();
  void write_group(std::deque<Job>& group);

  std::unique_ptr<service::Store> store_;
  Mailbox& mailbox_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  bool stopping_ = false;
  std::size_t in_flight_ = 0;  // loop thread only
  std::string path_;
  std::thread thread_;
};

}  // namespace kelvane::approvald
