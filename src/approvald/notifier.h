// Runs the configured notify command when a request starts to wait, so that
// operators elsewhere hear of it: no shell, as notify_user, the request as
// JSON on standard input, a time limit after which its whole process group
// is killed, its output captured for the log. Off the loop, on a few worker
// threads: at most that many commands run at once, and a bounded queue waits
// for them (past it, notifications are dropped and the drop logged).
// Nothing here changes a decision.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mailbox.h"

namespace kelvane::approvald {

struct NotifyJob {
  std::string request_id;
  std::vector<std::string> argv;  // argv[0] is an absolute path
  std::string user;               // runs as this user and its groups
  std::chrono::seconds limit{10};
  std::string input;  // the request as JSON, with a line feed
};

// Runs one job to its end and says how it went, in one line fit for the
// log (output escaped and shortened). Returns early, killing the command,
// once `stop` is set.
std::string run_notify(const NotifyJob& job, const std::atomic<bool>& stop);

class Notifier {
 public:
  // `log` runs on the loop (through `mailbox`) with each job's line.
  Notifier(Mailbox& mailbox, std::function<void(std::string)> log);
  ~Notifier();  // kills what runs, drops what waits
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  void submit(NotifyJob job);

  static constexpr std::size_t kWorkers = 4;
  static constexpr std::size_t kMaxQueued = 256;

 private:
  void work();

  Mailbox& mailbox_;
  std::function<void(std::string)> log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<NotifyJob> queue_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> workers_;  // started with the first job
};

}  // namespace kelvane::approvald
