#include "commit_thread.h"

#include <sys/stat.h>

#include <vector>

namespace kelvane::approvald {

CommitThread::CommitThread(std::unique_ptr<service::Store> store, Mailbox& mailbox)
    : store_(std::move(store)), mailbox_(mailbox), path_(store_->path()) {
  const std::string directory = path_.substr(0, path_.size() - service::kRecordFileName.size() - 1);
  if (auto second = service::Store::open(directory); second.ok()) {
    checkpoints_ = std::move(second).value();
    store_->leave_checkpoints_to_others();
    checkpoint_thread_ = std::thread([this] { checkpoint_when_asked(); });
  }
  thread_ = std::thread([this] { run(); });
}

CommitThread::~CommitThread() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  if (checkpoint_thread_.joinable()) {
    {
      const std::lock_guard lock(checkpoint_mutex_);
      checkpoint_stopping_ = true;
    }
    checkpoint_wake_.notify_one();
    checkpoint_thread_.join();
  }
}

void CommitThread::submit(Work work, Done done, Committed committed) {
  enqueue({std::move(work), std::move(done), std::move(committed)}, false);
}

void CommitThread::submit_deferrable(Work work, Done done) {
  enqueue({std::move(work), std::move(done), {}}, true);
}

void CommitThread::enqueue(Job job, bool deferrable) {
  loop_.check("CommitThread::submit");
  ++in_flight_;
  bool wake = true;
  {
    const std::lock_guard lock(mutex_);
    if (!deferrable) {
      ++waited_on_;
    } else if (first_deferred_ == std::chrono::steady_clock::time_point{}) {
      // The thread wakes for the first one, to learn when it is due.
      first_deferred_ = std::chrono::steady_clock::now();
    } else {
      wake = false;
    }
    queue_.push_back(std::move(job));
  }
  if (wake) wake_.notify_one();
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
      for (;;) {
        if (queue_.empty()) {
          if (stopping_) return;
          wake_.wait(lock);
          continue;
        }
        if (waited_on_ > 0 || stopping_) break;
        const auto due = first_deferred_ + kDeferLimit;
        if (std::chrono::steady_clock::now() >= due) break;
        wake_.wait_until(lock, due);
      }
      group.swap(queue_);
      waited_on_ = 0;
      first_deferred_ = {};
    }
    write_group(group);
  }
}

// One job in a savepoint of its own: when it fails, what it wrote before
// failing is undone and the group's other jobs are still committed.
Result<void, std::string> CommitThread::write_part(Job& job) {
  if (auto begun = store_->begin_part(); !begun.ok()) return begun;
  Result<void, std::string> done = job.work(*store_);
  if (done.ok()) done = store_->end_part();
  if (!done.ok()) store_->undo_part();
  return done;
}

void CommitThread::write_group(std::deque<Job>& group) {
  std::vector<Result<void, std::string>> results;
  results.reserve(group.size());
  auto begun = store_->begin();
  if (!begun.ok()) {
    results.assign(group.size(), begun);
  } else {
    for (Job& job : group) results.push_back(write_part(job));
    if (auto committed = store_->commit(); !committed.ok()) {
      store_->rollback();
      results.assign(group.size(), committed);
    } else {
      last_commit_.store(std::time(nullptr), std::memory_order_relaxed);
      for (std::size_t i = 0; i < group.size(); ++i) {
        if (group[i].committed && results[i].ok()) group[i].committed();
      }
    }
  }
  // The results go back in one posting, in submission order.
  auto jobs = std::make_shared<std::deque<Job>>(std::move(group));
  auto outcomes = std::make_shared<std::vector<Result<void, std::string>>>(std::move(results));
  mailbox_.post([this, jobs, outcomes] {
    loop_.check("a commit's report");
    for (std::size_t i = 0; i < jobs->size(); ++i) {
      --in_flight_;
      if ((*jobs)[i].done) (*jobs)[i].done((*outcomes)[i]);
    }
  });
  if (!checkpoints_) return;
  const int pages = store_->wal_pages();
  if (pages < checkpoint_at_ - kCheckpointPages) checkpoint_at_ = kCheckpointPages;  // restarted
  if (pages >= kCheckpointPagesHere) {
    // Commits without a pause keep the other connection from ever copying
    // all of the log, and the log only starts again once it has: past this
    // length the commits wait for one checkpoint of their own.
    (void)store_->checkpoint();
  } else if (pages >= checkpoint_at_) {
    // One checkpoint per kCheckpointPages written: each costs two fsyncs,
    // which the commits' own would wait behind.
    checkpoint_at_ = pages + kCheckpointPages;
    {
      const std::lock_guard lock(checkpoint_mutex_);
      checkpoint_asked_ = true;
    }
    checkpoint_wake_.notify_one();
  }
}

// Copies the log back while commits go on: a passive checkpoint takes no
// lock that a writer waits for. Once all of the log is copied, the next
// commit starts writing the log from its beginning again.
void CommitThread::checkpoint_when_asked() {
  for (;;) {
    {
      std::unique_lock lock(checkpoint_mutex_);
      checkpoint_wake_.wait(lock, [&] { return checkpoint_stopping_ || checkpoint_asked_; });
      if (checkpoint_stopping_) return;
      checkpoint_asked_ = false;
    }
    // A failed checkpoint leaves the log longer; the next one copies it.
    (void)checkpoints_->checkpoint();
  }
}

}  // namespace kelvane::approvald
