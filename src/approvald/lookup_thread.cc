#include "lookup_thread.h"

namespace kelvane::approvald {

LookupThread::LookupThread(Mailbox& mailbox) : mailbox_(mailbox) {
  thread_ = std::thread([this] { run(); });
}

LookupThread::~LookupThread() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_one();
  thread_.join();
}

void LookupThread::submit(std::function<std::function<void()>()> look_up) {
  loop_.check("LookupThread::submit");
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(look_up));
  }
  wake_.notify_one();
}

void LookupThread::run() {
  for (;;) {
    std::function<std::function<void()>()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    if (auto then = job()) mailbox_.post(std::move(then));
  }
}

}  // namespace kelvane::approvald
