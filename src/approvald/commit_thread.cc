#include "commit_thread.h"

#include <sys/stat.h>

#include <vector>

namespace kelvane::approvald {

CommitThread::CommitThread(std::unique_ptr<service::Store> store, Mailbox& mailbox)
    : store_(std::move(store)), mailbox_(mailbox), path_(store_->path()) {
  thread_ = std::thread([this] { run(); });
}

CommitThread::~CommitThread() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void CommitThread::submit(Work work, Done done) {
  ++in_flight_;
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back({std::move(work), std::move(done)});
  }
  wake_.notify_one();
}

std::uint64_t CommitThread::record_bytes() const {
  std::uint64_t total = 0;
  for (const std::string& file : {path_, path_ + "-wal"}) {
    struct stat status {};
    if (::stat(file.c_str(), &status) == 0) total += static_cast<std::uint64_t>(status.st_size);
  }
  return total;
}

void CommitThread::run() {
  for (;;) {
    std::deque<Job> group;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      group.swap(queue_);
    }
    write_group(group);
  }
}

void CommitThread::write_group(std::deque<Job>& group) {
  std::vector<Result<void, std::string>> results;
  results.reserve(group.size());
  auto begun = store_->begin();
  if (!begun.ok()) {
    results.assign(group.size(), begun);
  } else {
    for (Job& job : group) results.push_back(job.work(*store_));
    if (auto committed = store_->commit(); !committed.ok()) {
      store_->rollback();
      results.assign(group.size(), committed);
    }
  }
  // The results go back in one posting, in submission order.
  auto jobs = std::make_shared<std::deque<Job>>(std::move(group));
  auto outcomes = std::make_shared<std::vector<Result<void, std::string>>>(std::move(results));
  mailbox_.post([this, jobs, outcomes] {
    for (std::size_t i = 0; i < jobs->size(); ++i) {
      --in_flight_;
      if ((*jobs)[i].done) (*jobs)[i].done((*outcomes)[i]);
    }
  });
}

}  // namespace kelvane::approvald
