// Verdicts the record could not take. Their requesters were sent a refusal
// (a verdict not in the record is never given); the record still has the
// request pending. Each is written again until the record takes it, so that
// the record says what the requester was told, and an operator asking about
// the request meanwhile is told that, not "pending".
#include "daemon.h"

namespace kelvane::approvald {

void Daemon::rewrite_unrecorded() {
  timers_.arm(kRewriteTimer, rewrite_at_, std::nullopt);
  if (unrecorded_.empty() || rewriting_) return;
  rewriting_ = true;
  // Kept in unrecorded_ until written: operators asking meanwhile are told.
  auto batch = std::make_shared<std::vector<service::RequestRecord>>(unrecorded_);
  auto lost = std::make_shared<std::vector<std::string>>();
  commits_->submit(
      [batch, lost](service::Store& store) -> Result<void, std::string> {
        // Inside the transaction the record takes writes: a row that still
        // fails (its request's own row was never written) will not do better.
        for (const service::RequestRecord& r : *batch) {
          auto closed = store.close_request(r.id, r.state, *r.decided_at, *r.detail_of_verdict);
          if (!closed.ok()) lost->push_back(std::move(closed).error());
        }
        return {};
      },
      [this, batch, lost](const Result<void, std::string>& done) {
        rewriting_ = false;
        if (done.ok()) {
          // Those added meanwhile come after the batch.
          unrecorded_.erase(unrecorded_.begin(),
                            unrecorded_.begin() + static_cast<std::ptrdiff_t>(batch->size()));
          for (const std::string& why : *lost) journal_.note("a verdict stays unrecorded: " + why);
        }
        if (!unrecorded_.empty() && !stopping_)
          timers_.arm(kRewriteTimer, rewrite_at_, Clock::now() + kRewriteEvery);
      });
}

const service::RequestRecord* Daemon::unrecorded(const std::string& id) const {
  for (const service::RequestRecord& r : unrecorded_) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

}  // namespace kelvane::approvald
