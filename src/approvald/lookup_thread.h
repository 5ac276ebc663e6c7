// A thread for the calls that may wait on the name service or on /proc (user
// and group look-ups, who a requester is), so that the loop never does.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "mailbox.h"
#include "owning_thread.h"

namespace kelvane::approvald {

class LookupThread {
 public:
  explicit LookupThread(Mailbox& mailbox);
  ~LookupThread();  // drops what has not started
  LookupThread(const LookupThread&) = delete;
  LookupThread& operator=(const LookupThread&) = delete;

  // `look_up` runs on the thread and returns what runs on the loop after it.
  void submit(std::function<std::function<void()>()> look_up);

 private:
  void run();

  Mailbox& mailbox_;
  OwningThread loop_;  // submits, as the answers run on it
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<std::function<void()>()>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kelvane::approvald
